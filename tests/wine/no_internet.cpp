// A wininet.dll whose InternetOpenA fails, as it does when the system's
// Internet client cannot be set up. The other imports only need to exist.
#include <windows.h>

extern "C" {
__declspec(dllexport) void *WINAPI InternetOpenA(const char *, DWORD, const char *, const char *, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}
__declspec(dllexport) void *WINAPI InternetOpenUrlA(void *, const char *, const char *, DWORD, DWORD,
                                                    DWORD_PTR)
{
    return NULL;
}
__declspec(dllexport) BOOL WINAPI HttpQueryInfoA(void *, DWORD, void *, DWORD *, DWORD *)
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
