#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "fetch/checksum.h"

namespace {

std::string SumOfFile(const std::string &bytes)
{
    const std::string path = ::testing::TempDir() + "checksum-test";
    std::ofstream(path, std::ios::binary) << bytes;
    return ComputeChecksum(path);
}

}  // namespace

TEST(ChecksumTest, SmallFiles)
{
    EXPECT_EQ(SumOfFile(""), "0");
    EXPECT_EQ(SumOfFile("abc"), "294");
    // Bytes above 127 count as unsigned; CR and LF are not translated.
    EXPECT_EQ(SumOfFile(std::string("\xff\r\n\x80", 4)), "406");
}

TEST(ChecksumTest, EveryByteOnceWhateverTheBlocks)
{
    for (size_t size : {1023u, 1024u, 1025u, 65535u, 65536u, 65537u, 3 * 65536u + 5}) {
        SCOPED_TRACE(size);
        std::string bytes;
        unsigned long long sum = 0;
        for (size_t i = 0; i < size; ++i) {
            bytes += static_cast<char>((i * 37 + 11) & 0xff);
            sum += (i * 37 + 11) & 0xff;
        }
        EXPECT_EQ(SumOfFile(bytes), std::to_string(sum));
    }
}

TEST(ChecksumTest, WrapsModulo2To32)
{
    // 16843010 bytes of 0xFF sum to 4294967550, which wraps to 254.
    EXPECT_EQ(SumOfFile(std::string(16843010, '\xff')), "254");
}

TEST(ChecksumTest, UnreadableFileGivesZero)
{
    EXPECT_EQ(ComputeChecksum(::testing::TempDir() + "does-not-exist/file"), "0");
}
