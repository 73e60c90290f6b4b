// The program's own checksum code, built as the program builds it, timed
// under Wine. Prints "SUM MICROSECONDS".
#include <windows.h>

#include <cstdio>

#include "fetch/checksum.h"

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceCounter(&start);
    std::string sum = ComputeChecksum(argv[1]);
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    std::printf("%s %.0f\n", sum.c_str(), (end.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart);
    return 0;
}
