/* Keeps the stand-in extractor loadable on Windows 95, 98 and NT 4.0.
 *
 * The C++ runtime calls a few wide-character kernel functions
 * (CreateSemaphoreW for its locks, GetModuleHandleW and LoadLibraryW for
 * locale helpers). The 95 family exports them only as stubs that fail, so
 * route them to the ANSI functions, which work everywhere. */
#include <windows.h>

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
