// The program's check of extracted files, built as the program builds it,
// timed under Wine. Prints "BAD MEMBERS MICROSECONDS".
#include <windows.h>

#include <cstdio>

#include "fetch/extract_check.h"

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceCounter(&start);
    const ExtractCheck check = CheckExtracted(argv[1], argv[2]);
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    std::printf("%u %u %.0f\n", check.missing + check.different + !check.readable, check.total,
                (end.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart);
    return 0;
}
