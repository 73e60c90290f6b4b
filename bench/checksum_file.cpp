// The program's checksum of a file, natively, for comparing with sum -s.
#include <cstdio>

#include "fetch/checksum.h"

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    std::puts(ComputeChecksum(argv[1]).c_str());
    return 0;
}
