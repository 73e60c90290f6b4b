#include <gtest/gtest.h>

#include "fetch/fetch_paths.h"

TEST(FetchPathsTest, ExtractCommandQuotesAllButADriveRoot)
{
    const FetchPaths paths = BuildFetchPaths("C:\\WINDOWS", "7z920.zip");
    const std::string start = "C:\\WINDOWS\\TEMP\\PKZIP -extract C:\\WINDOWS\\TEMP\\7z920.zip ";
    const struct {
        const char *folder, *tail;
    } cases[] = {
        {"C:\\My Files", "\"C:\\My Files\""},
        {"D:\\", "D:\\"},            // 3 characters: a bare drive root
        {"D:\\a", "\"D:\\a\""},      // 4 characters: quoted
        {"C:/Apps/new", "\"C:\\Apps\\new\""},  // every "/" becomes "\"
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.folder);
        EXPECT_EQ(BuildExtractCommand(paths, c.folder), start + c.tail);
    }
}

TEST(FetchPathsTest, DosCommandTailKeeps126CharactersWithItsLeadingSpace)
{
    EXPECT_TRUE(FitsDosCommandTail(std::string(125, 'x')));
    EXPECT_FALSE(FitsDosCommandTail(std::string(126, 'x')));
}
