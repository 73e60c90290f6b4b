#include <gtest/gtest.h>

#include "fetch/fetch_paths.h"

TEST(FetchPathsTest, BuiltFromWindowsFolder)
{
    FetchPaths paths = BuildFetchPaths("C:\\WINDOWS", "7z920.zip");
    EXPECT_EQ(paths.ntInterpreter, "C:\\WINDOWS\\system32\\cmd.exe");
    EXPECT_EQ(paths.dosInterpreter, "C:\\WINDOWS\\command.com");
    EXPECT_EQ(paths.tempFolder, "C:\\WINDOWS\\TEMP");
    EXPECT_EQ(paths.downloadPath, "C:\\WINDOWS\\TEMP/7z920.zip");
}

TEST(FetchPathsTest, ExtractCommand)
{
    const FetchPaths paths = BuildFetchPaths("C:\\WINDOWS", "7z920.zip");
    const std::string prefix = "C:\\WINDOWS\\TEMP\\PKZIP -extract C:\\WINDOWS\\TEMP\\7z920.zip ";
    struct Case {
        const char *folder, *tail;
    };
    const Case cases[] = {
        {"C:\\Apps", "\"C:\\Apps\""},
        {"D:\\", "D:\\"},                        // 3 characters: a bare drive root
        {"D:\\a", "\"D:\\a\""},                  // 4 characters: quoted
        {"E:", "E:"},
        {"C:\\My Files", "\"C:\\My Files\""},
        {"C:/Apps/new", "\"C:\\Apps\\new\""},    // every "/" becomes "\"
        {"D:/", "D:\\"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.folder);
        EXPECT_EQ(BuildExtractCommand(paths, c.folder), prefix + c.tail);
    }
    EXPECT_EQ(InterpreterParameters("X -extract a b"), "/c X -extract a b");
}
