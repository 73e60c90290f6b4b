// The verification value of a download: the sum of all its bytes modulo 2^32.
#include "fetch/checksum.h"

#include <cstdint>
#include <cstdio>
#include <fstream>

std::string ComputeChecksum(const std::string &path)
{
    uint32_t sum = 0;
    std::ifstream file(path.c_str(), std::ios::in | std::ios::binary);
    char buffer[1024];
    // The short read at end of file sets failbit, but gcount still holds
    // what it delivered, so the last partial block is counted too.
    while (file.good()) {
        file.read(buffer, sizeof buffer);
        std::streamsize got = file.gcount();
        for (std::streamsize i = 0; i < got; ++i)
            sum += static_cast<unsigned char>(buffer[i]);
    }
    char text[16];
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(sum));
    return text;
}
