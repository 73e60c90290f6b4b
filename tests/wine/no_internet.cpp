// A wininet.dll whose InternetOpenA fails, as it does when the system's
// Internet client cannot be set up. It exports every function the program
// looks up in WININET, since one missing would make the program take
// WININET for absent and go its own way over Winsock; the others are never
// reached.
#include <windows.h>

extern "C" {
__declspec(dllexport) void *WINAPI InternetOpenA(const char *, DWORD, const char *, const char *, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}
__declspec(dllexport) void *WINAPI InternetConnectA(void *, const char *, WORD, const char *,
                                                    const char *, DWORD, DWORD, DWORD_PTR)
{
    return NULL;
}
__declspec(dllexport) void *WINAPI HttpOpenRequestA(void *, const char *, const char *, const char *,
                                                    const char *, const char **, DWORD, DWORD_PTR)
{
    return NULL;
}
__declspec(dllexport) BOOL WINAPI HttpSendRequestA(void *, const char *, DWORD, void *, DWORD)
{
    return FALSE;
}
__declspec(dllexport) BOOL WINAPI HttpQueryInfoA(void *, DWORD, void *, DWORD *, DWORD *)
{
    return FALSE;
}
__declspec(dllexport) BOOL WINAPI InternetCrackUrlA(const char *, DWORD, DWORD, void *)
{
    return FALSE;
}
__declspec(dllexport) BOOL WINAPI InternetSetOptionA(void *, DWORD, void *, DWORD)
{
    return FALSE;
}
__declspec(dllexport) BOOL WINAPI InternetQueryDataAvailable(void *, DWORD *, DWORD, DWORD_PTR)
{
    return FALSE;
}
__declspec(dllexport) BOOL WINAPI InternetReadFile(void *, void *, DWORD, DWORD *)
{
    return FALSE;
}
__declspec(dllexport) BOOL WINAPI InternetCloseHandle(void *)
{
    return TRUE;
}
}
