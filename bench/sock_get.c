/* The bare reference for a transfer over Winsock: one HTTP/1.0 GET on a
 * blocking socket, read in 64 KiB blocks and written to a file, head and
 * all, nothing else. */
#include <winsock.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    static char block[64 * 1024];
    WSADATA data;
    struct sockaddr_in address = {0};
    struct hostent *host;
    SOCKET s;
    HANDLE file;
    DWORD written;
    int got;
    if (argc != 4 || WSAStartup(MAKEWORD(1, 1), &data) != 0)
        return 2;
    host = gethostbyname(argv[1]);
    if (!host)
        return 1;
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
    s = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(s, (struct sockaddr *)&address, sizeof address) != 0)
        return 1;
    got = _snprintf(block, sizeof block, "GET %s HTTP/1.0\r\nHost: %s\r\n\r\n", argv[2], argv[1]);
    send(s, block, got, 0);
    file = CreateFileA(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    while ((got = recv(s, block, sizeof block, 0)) > 0)
        WriteFile(file, block, got, &written, NULL);
    CloseHandle(file);
    closesocket(s);
    return 0;
}
