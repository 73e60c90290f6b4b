#include <gtest/gtest.h>

#include "fetch/catalogue.h"

TEST(CatalogueTest, ChecksumLookupMatchesTheStoredNameExactly)
{
    EXPECT_EQ(ExpectedChecksum("pkzip.exe"), "33714744");
    for (const char *name : {"PKZIP.EXE", "pkzip25.exe", "7z920.zip ", ""}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ExpectedChecksum(name), "");
    }
}
