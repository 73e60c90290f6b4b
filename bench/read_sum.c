/* The bare reference for the checksum under Wine: 64 KiB ReadFile calls,
 * adding every byte. Prints "SUM MICROSECONDS". */
#include <windows.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    static unsigned char block[64 * 1024];
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    LARGE_INTEGER start, end, frequency;
    DWORD got, i;
    unsigned int sum = 0;
    if (argc != 2 || file == INVALID_HANDLE_VALUE)
        return 2;
    QueryPerformanceCounter(&start);
    while (ReadFile(file, block, sizeof block, &got, NULL) && got)
        for (i = 0; i < got; ++i)
            sum += block[i];
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    printf("%u %.0f\n", sum, (end.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart);
    return 0;
}
