#include <gtest/gtest.h>

#include <set>
#include <string>

#include "fetch/catalogue.h"

TEST(CatalogueTest, PackageRowsInButtonOrder)
{
    struct Row {
        int id;
        const char *label, *fileName, *path, *sum;
    };
    const Row expected[] = {
        {1, "RetroZilla", "retrozilla-2.2.zip", "/downloads/software/retrozilla/retrozilla-2.2.zip",
         "1676791377"},
        {2, "Winzip", "winzip63.zip", "/downloads/software/winzip/winzip63.zip", "89393433"},
        {3, "Winrar", "winrar361.zip", "/downloads/software/winrar/winrar361.zip", "127388765"},
        {4, "7zip", "7z920.zip", "/downloads/software/7zip/7z920.zip", "139553229"},
        {5, "IE 5.5", "ie551websetup.zip",
         "/downloads/software/internet_explorer/ie551websetup.zip", "68153449"},
    };
    for (int i = 0; i < kPackageCount; ++i) {
        SCOPED_TRACE(expected[i].label);
        const PackageEntry *row = FindPackage(expected[i].id);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row, &kPackages[i]);
        EXPECT_STREQ(row->label, expected[i].label);
        EXPECT_STREQ(row->fileName, expected[i].fileName);
        EXPECT_EQ(std::string(row->url), std::string("http://mirror.pelmora.example") + expected[i].path);
        EXPECT_STREQ(row->expectedChecksum, expected[i].sum);
    }
}

TEST(CatalogueTest, ExtractorIsFetchedUnderAnotherName)
{
    EXPECT_STREQ(kExtractorEntry.fileName, "pkzip.exe");
    EXPECT_STREQ(kExtractorEntry.url, "http://archive.pelmora.example/files/pkzip25.exe");
    EXPECT_STREQ(kExtractorEntry.label, "");
}

TEST(CatalogueTest, OnlyPackageIdsHaveRows)
{
    for (int id : {0, 6, 7, -1, 100}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(FindPackage(id), nullptr);
    }
}

TEST(CatalogueTest, ExpectedChecksumMatchesStoredNameExactly)
{
    struct Case {
        const char *name, *sum;
    };
    const Case cases[] = {
        {"pkzip.exe", "33714744"},
        {"7z920.zip", "139553229"},
        {"ie551websetup.zip", "68153449"},
        {"PKZIP.EXE", ""},      // case-sensitive
        {"pkzip25.exe", ""},    // the URL's last segment is not a key
        {"7z920.zip ", ""},
        {"", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ExpectedChecksum(c.name), c.sum);
    }
}

TEST(CatalogueTest, FileNamesAreDistinct)
{
    std::set<std::string> names{kExtractorEntry.fileName};
    for (const PackageEntry &row : kPackages)
        names.insert(row.fileName);
    EXPECT_EQ(names.size(), static_cast<size_t>(kPackageCount + 1));
}
