/* Keeps the executable loadable on Windows 95, 98 and NT 4.0.
 *
 * libstdc++'s file streams call _fstat64, which msvcrt.dll only gained with
 * Windows ME and 2000; importing it stops the program from starting on the
 * older systems. Defining the import pointer here means the linker never
 * pulls the import stub; the replacement asks the kernel directly, which is
 * all the streams need (is it a regular file, and how big). */
#include <io.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

static int __cdecl FileStat64(int fd, struct _stat64 *out)
{
    HANDLE file = (HANDLE)_get_osfhandle(fd);
    DWORD type, low, high = 0;

    if (file == INVALID_HANDLE_VALUE)
        return -1;
    memset(out, 0, sizeof *out);
    out->st_nlink = 1;
    type = GetFileType(file);
    if (type == FILE_TYPE_DISK) {
        out->st_mode = _S_IFREG | _S_IREAD | _S_IWRITE;
        low = GetFileSize(file, &high);
        if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
            return -1;
        out->st_size = ((__int64)high << 32) | low;
    } else {
        out->st_mode = type == FILE_TYPE_PIPE ? _S_IFIFO : _S_IFCHR;
    }
    return 0;
}

int(__cdecl *fstat64_import)(int, struct _stat64 *) __asm__("__imp___fstat64") = FileStat64;

/* The C++ runtime also calls a few wide-character kernel functions
 * (CreateSemaphoreW for its locks, GetModuleHandleW and LoadLibraryW for
 * locale helpers). The 95 family exports them only as stubs that fail, so
 * route them to the ANSI functions, which work everywhere. */
static void NarrowName(LPCWSTR wide, char *narrow, int size)
{
    if (!WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, size, NULL, NULL))
        narrow[0] = '\0';
}

static HANDLE WINAPI CreateSemaphoreNarrow(LPSECURITY_ATTRIBUTES attributes, LONG initial,
                                           LONG maximum, LPCWSTR name)
{
    char narrow[MAX_PATH];
    if (!name)
        return CreateSemaphoreA(attributes, initial, maximum, NULL);
    NarrowName(name, narrow, sizeof narrow);
    return CreateSemaphoreA(attributes, initial, maximum, narrow);
}

static HMODULE WINAPI GetModuleHandleNarrow(LPCWSTR name)
{
    char narrow[MAX_PATH];
    if (!name)
        return GetModuleHandleA(NULL);
    NarrowName(name, narrow, sizeof narrow);
    return GetModuleHandleA(narrow);
}

static HMODULE WINAPI LoadLibraryNarrow(LPCWSTR name)
{
    char narrow[MAX_PATH];
    NarrowName(name, narrow, sizeof narrow);
    return LoadLibraryA(narrow);
}

HANDLE(WINAPI *create_semaphore_import)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR)
    __asm__("__imp__CreateSemaphoreW@16") = CreateSemaphoreNarrow;
HMODULE(WINAPI *get_module_handle_import)(LPCWSTR)
    __asm__("__imp__GetModuleHandleW@4") = GetModuleHandleNarrow;
HMODULE(WINAPI *load_library_import)(LPCWSTR) __asm__("__imp__LoadLibraryW@4") = LoadLibraryNarrow;
