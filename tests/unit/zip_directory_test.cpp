#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "fetch/zip_directory.h"

// The archives in zips/ were made by real writers:
// tree.zip, Info-ZIP zip 3.0, from top/readme.txt ("pelmora " 512 times),
//   top/docs/note.txt ("stored as is\n") and top/bin/deep/tool.dat ("deep\n"):
//     zip -X -9 tree.zip top/ top/readme.txt && zip -X -0 -r tree.zip top/docs &&
//     zip -X -D tree.zip top/bin/deep/tool.dat
// names.zip, Python's zipfile: writestr(name, b"x") for each name in NamesTest.
// comment.zip and comment-sig.zip, Python's zipfile: writestr("a.txt", b"a") and
//   the comments b"a comment at the end" and b"quoted: PK\5\6" + 18 zero bytes + b" and more".
// dot.zip, bsdtar 3.6: bsdtar -C dir -cf dot.zip --format zip . (dir holds a.txt, sub/b.txt).
// zip64.zip, Info-ZIP zip 3.0 from standard input: printf 'streamed\n' | zip zip64.zip -

namespace {

std::string Zip(const char *name)
{
    return std::string(PELMORA_TEST_ZIPS) + name;
}

std::string Bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Written(const std::string &bytes)
{
    const std::string path = ::testing::TempDir() + "zip-directory-test.zip";
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// BYTES with a 32-bit little-endian VALUE written at AT.
std::string Patched(std::string bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = (char)(value >> (8 * i));
    return bytes;
}

}  // namespace

TEST(ZipDirectoryTest, CrcCheckValueWholeOrInBlocks)
{
    EXPECT_EQ(Crc32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32(Crc32(0, "1234", 4), "56789", 5), 0xCBF43926u);
    EXPECT_EQ(Crc32(0, "", 0), 0u);
}

TEST(ZipDirectoryTest, StoredDeflatedAndFoldersWithAndWithoutEntries)
{
    const ZipDirectory dir = ReadZipDirectory(Zip("tree.zip"));
    ASSERT_TRUE(dir.ok) << dir.why;
    const struct {
        const char *name, *path;
        bool isFolder;
        uint16_t method;
        uint32_t compressedSize, size, crc;
    } expected[] = {
        {"top/", "top", true, 0, 0, 0, 0},
        {"top/readme.txt", "top\\readme.txt", false, 8, 35, 4096, 0xb41d145e},
        {"top/docs/", "top\\docs", true, 0, 0, 0, 0},
        {"top/docs/note.txt", "top\\docs\\note.txt", false, 0, 13, 13, 0xed575274},
        {"top/bin/deep/tool.dat", "top\\bin\\deep\\tool.dat", false, 0, 5, 5, 0x279eb882},
    };
    ASSERT_EQ(dir.members.size(), std::size(expected));
    for (size_t i = 0; i < dir.members.size(); ++i) {
        const ZipMember &m = dir.members[i];
        const auto &e = expected[i];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(m.name, e.name);
        EXPECT_EQ(m.path, e.path);
        EXPECT_EQ(m.isFolder, e.isFolder);
        EXPECT_EQ(m.method, e.method);
        EXPECT_EQ(m.compressedSize, e.compressedSize);
        EXPECT_EQ(m.size, e.size);
        EXPECT_EQ(m.crc, e.crc);
    }
    EXPECT_EQ(Crc32(0, "stored as is\n", 13), expected[3].crc);
    EXPECT_EQ(Bytes(Zip("tree.zip")).substr(dir.directoryStart, 4), "PK\1\2");
    EXPECT_EQ(dir.dataShift, 0u);
}

TEST(ZipDirectoryTest, DataInFrontShiftsEveryOffset)
{
    const ZipDirectory plain = ReadZipDirectory(Zip("tree.zip"));
    const std::string stub(300, 'M');
    const ZipDirectory shifted = ReadZipDirectory(Written(stub + Bytes(Zip("tree.zip"))));
    ASSERT_TRUE(shifted.ok) << shifted.why;
    EXPECT_EQ(shifted.dataShift, 300u);
    EXPECT_EQ(shifted.directoryStart, plain.directoryStart + 300);
    ASSERT_EQ(shifted.members.size(), plain.members.size());
    EXPECT_EQ(shifted.members[4].localOffset, plain.members[4].localOffset);  // as recorded
}

TEST(ZipDirectoryTest, UnsafeNamesGetNoPath)
{
    const struct {
        const char *name, *path;
    } expected[] = {
        {"ok.txt", "ok.txt"},
        {"win/sub/file.txt", "win\\sub\\file.txt"},  // stored with '\'
        {"a/./b//c.txt", "a\\b\\c.txt"},
        {"console.txt", "console.txt"},
        {"../up.txt", ""},
        {"a/../../up.txt", ""},
        {"a/. ./up.txt", ""},  // Windows drops trailing dots and spaces
        {"/abs.txt", ""},
        {"/abs.txt", ""},  // stored as "\abs.txt"
        {"C:/drive.txt", ""},
        {"x/file.txt:stream", ""},
        {"what?.txt", ""},
        {"tab\tname.txt", ""},
        {"a/con.txt", ""},
        {"Lpt1", ""},
        {"aux .log", ""},
    };
    const ZipDirectory dir = ReadZipDirectory(Zip("names.zip"));
    ASSERT_TRUE(dir.ok) << dir.why;
    ASSERT_EQ(dir.members.size(), std::size(expected));
    for (size_t i = 0; i < dir.members.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(dir.members[i].name, expected[i].name);
        EXPECT_EQ(dir.members[i].path, expected[i].path);
    }
}

TEST(ZipDirectoryTest, DotSlashIsTheFolderItself)
{
    const ZipDirectory dir = ReadZipDirectory(Zip("dot.zip"));
    std::vector<std::string> paths;
    for (const ZipMember &m : dir.members)
        paths.push_back(m.path);
    EXPECT_EQ(paths, (std::vector<std::string>{".", "sub", "a.txt", "sub\\b.txt"})) << dir.why;
}

// Python writes a count of 0xFFFF without zip64 for exactly that many members.
TEST(ZipDirectoryTest, FullCountWithoutZip64IsReadAsItIs)
{
    const ZipDirectory dir = ReadZipDirectory(PELMORA_FULL_COUNT_ZIP);
    ASSERT_TRUE(dir.ok) << dir.why;
    ASSERT_EQ(dir.members.size(), 65535u);
    EXPECT_EQ(dir.members.back().name, "m65534");
}

TEST(ZipDirectoryTest, CommentAtTheEndEvenWithTheEndSignatureInIt)
{
    for (const char *name : {"comment.zip", "comment-sig.zip"}) {
        SCOPED_TRACE(name);
        const ZipDirectory dir = ReadZipDirectory(Zip(name));
        ASSERT_TRUE(dir.ok) << dir.why;
        ASSERT_EQ(dir.members.size(), 1u);
        EXPECT_EQ(dir.members[0].name, "a.txt");
    }
}

TEST(ZipDirectoryTest, DamagedOrForeignFilesAreRefusedWithAReason)
{
    const std::string good = Bytes(Zip("tree.zip"));
    const size_t first = good.find("PK\1\2"), second = good.find("PK\1\2", first + 1),
                 end = good.rfind("PK\5\6");
    const struct {
        const char *what;
        std::string bytes;
        const char *why;
    } cases[] = {
        {"cut in half", good.substr(0, good.size() / 2), "no end of central directory"},
        {"last byte cut", good.substr(0, good.size() - 1), "no end of central directory"},
        {"text", std::string(100, 't'), "no end of central directory"},
        {"5 bytes", good.substr(0, 5), "too short"},
        {"second entry's signature", Patched(good, second, 0), "bad central directory entry"},
        {"name length", Patched(good, first + 28, 0xFFFF), "entry is truncated"},
        // Not 4 members checked: the directory says how many there are.
        {"entry count", Patched(good, end + 8, 0x00040004),
         "holds 5 entries, but its end record counts 4"},
        {"directory offset", Patched(good, end + 16, 0x7FFF), "not found at its recorded offset"},
        {"directory size", Patched(good, end + 12, 0x7FFF), "size is out of range"},
        {"second volume", Patched(good, end + 4, 1), "multi-volume"},
        {"zip64", Bytes(Zip("zip64.zip")), "zip64"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const ZipDirectory dir = ReadZipDirectory(Written(c.bytes));
        EXPECT_FALSE(dir.ok);
        EXPECT_NE(dir.why.find(c.why), std::string::npos) << dir.why;
        EXPECT_TRUE(dir.members.empty());
    }
    EXPECT_EQ(ReadZipDirectory(Zip("no-such.zip")).why, "cannot open archive");
}
