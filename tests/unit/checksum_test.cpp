#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "fetch/checksum.h"

namespace {

std::string WriteFile(const std::string &name, const std::string &bytes)
{
    std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// Independent reference: every byte counted once, wrapped to 32 bits.
std::string ReferenceSum(const std::string &bytes)
{
    unsigned long long sum = 0;
    for (unsigned char c : bytes)
        sum += c;
    return std::to_string(sum % 4294967296ULL);
}

}  // namespace

TEST(ChecksumTest, SmallFiles)
{
    EXPECT_EQ(ComputeChecksum(WriteFile("empty", "")), "0");
    EXPECT_EQ(ComputeChecksum(WriteFile("abc", "abc")), "294");
    // Bytes above 127 count as unsigned, and CR/LF are not translated.
    EXPECT_EQ(ComputeChecksum(WriteFile("high", std::string("\xff\r\n\x80", 4))), "406");
}

TEST(ChecksumTest, BlockBoundaries)
{
    for (size_t size : {1023u, 1024u, 1025u, 2048u, 2049u, 4096u + 7u}) {
        SCOPED_TRACE(size);
        std::string bytes;
        for (size_t i = 0; i < size; ++i)
            bytes += static_cast<char>((i * 37 + 11) & 0xff);
        EXPECT_EQ(ComputeChecksum(WriteFile("block", bytes)), ReferenceSum(bytes));
    }
}

TEST(ChecksumTest, WrapsModulo2To32)
{
    // 16843010 bytes of 0xFF sum to 4294967550, which wraps to 254.
    std::string bytes(16843010, '\xff');
    EXPECT_EQ(ComputeChecksum(WriteFile("wrap", bytes)), "254");
}

TEST(ChecksumTest, UnreadableFileGivesZero)
{
    EXPECT_EQ(ComputeChecksum(::testing::TempDir() + "does-not-exist/file"), "0");
    EXPECT_EQ(ComputeChecksum(::testing::TempDir()), "0");  // a folder
}
