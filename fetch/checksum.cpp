// The verification value of a download: the sum of all its bytes modulo 2^32.
#include "fetch/checksum.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>

#include "net/text.h"

namespace {

const size_t kBlockSize = 64 * 1024;

// Adds four bytes at a time without SIMD: the even and the odd bytes of each
// 32-bit word fall into the two 16-bit halves of two accumulators, which
// cannot carry over within 256 words (256 * 255 < 65536).
uint32_t SumBytes(const unsigned char *bytes, size_t count)
{
    uint32_t sum = 0;
    while (count >= 4) {
        size_t words = count / 4 < 256 ? count / 4 : 256;
        uint32_t even = 0, odd = 0;
        for (size_t i = 0; i < words; ++i) {
            uint32_t word;
            memcpy(&word, bytes + 4 * i, 4);
            even += word & 0x00FF00FF;
            odd += (word >> 8) & 0x00FF00FF;
        }
        sum += (even & 0xFFFF) + (even >> 16) + (odd & 0xFFFF) + (odd >> 16);
        bytes += 4 * words;
        count -= 4 * words;
    }
    while (count--)
        sum += *bytes++;
    return sum;
}

}  // namespace

std::string ComputeChecksum(const std::string &path)
{
    uint32_t sum = 0;
    FILE *file = fopen(path.c_str(), "rb");
    if (file) {
        // Large unbuffered reads: the cost under emulation is per call.
        setvbuf(file, NULL, _IONBF, 0);
        std::unique_ptr<unsigned char[]> block(new unsigned char[kBlockSize]);
        size_t got;
        while ((got = fread(block.get(), 1, kBlockSize, file)) > 0)
            sum += SumBytes(block.get(), got);
        fclose(file);
    }
    return DecimalText(sum);
}
