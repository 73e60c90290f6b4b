// A stand-in wininet.dll whose InternetOpenA always fails, as it does when
// the system's Internet client cannot be set up. Placed beside a copy of the
// program (with Wine told to prefer it), it lets a test reach that path.
#include <windows.h>

extern "C" {

__declspec(dllexport) void *WINAPI InternetOpenA(const char *, DWORD, const char *, const char *,
                                                 DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

__declspec(dllexport) void *WINAPI InternetOpenUrlA(void *, const char *, const char *, DWORD,
                                                    DWORD, DWORD_PTR)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return NULL;
}

__declspec(dllexport) BOOL WINAPI HttpQueryInfoA(void *, DWORD, void *, DWORD *, DWORD *)
{
    return FALSE;
}

__declspec(dllexport) BOOL WINAPI InternetReadFile(void *, void *, DWORD, DWORD *read)
{
    *read = 0;
    return FALSE;
}

__declspec(dllexport) BOOL WINAPI InternetCloseHandle(void *)
{
    return TRUE;
}
}
