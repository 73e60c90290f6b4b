/* The bare reference for a transfer: one GET through WININET, read in
 * 64 KiB blocks and written to a file, nothing else. */
#include <windows.h>
#include <wininet.h>

int main(int argc, char **argv)
{
    static char block[64 * 1024];
    HINTERNET internet, request;
    HANDLE file;
    DWORD got, written;
    if (argc != 3)
        return 2;
    internet = InternetOpenA("bench", INTERNET_OPEN_TYPE_DIRECT, NULL, NULL, 0);
    request = InternetOpenUrlA(internet, argv[1], NULL, 0, INTERNET_FLAG_RELOAD, 0);
    file = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (!request || file == INVALID_HANDLE_VALUE)
        return 1;
    while (InternetReadFile(request, block, sizeof block, &got) && got)
        WriteFile(file, block, got, &written, NULL);
    CloseHandle(file);
    InternetCloseHandle(request);
    InternetCloseHandle(internet);
    return 0;
}
