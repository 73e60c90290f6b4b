#include <gtest/gtest.h>

#include "fetch/catalogue.h"

TEST(CatalogueTest, EveryPackageButtonHasItsOwnRow)
{
    for (int id = 1; id <= kPackageCount; ++id) {
        SCOPED_TRACE(id);
        const PackageEntry *row = FindPackage(id);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->commandId, id);
        EXPECT_EQ(ExpectedChecksum(row->fileName), row->expectedChecksum);
    }
    for (int id : {0, 6, 7, -1})
        EXPECT_EQ(FindPackage(id), nullptr) << id;
}

TEST(CatalogueTest, ChecksumLookupMatchesTheStoredNameExactly)
{
    EXPECT_EQ(ExpectedChecksum("pkzip.exe"), "33714744");
    for (const char *name : {"PKZIP.EXE", "pkzip25.exe", "7z920.zip ", ""}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ExpectedChecksum(name), "");
    }
}
