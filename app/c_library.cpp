// The few C library functions the program calls, on KERNEL32 and plain
// loops. Windows 95 and NT 4.0 as installed have no MSVCRT.DLL (it came with
// later programs and Internet Explorer 4), so the program imports none of
// it: the linker takes these in place of its import stubs. The string code
// of the C++ library calls the mem and str ones.
#include <stdio.h>
#include <string.h>
#include <windows.h>

// Files are only ever read, so a FILE is the handle itself.
extern "C" FILE *__cdecl fopen(const char *path, const char *mode)
{
    if (mode[0] != 'r')
        return NULL;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    return file == INVALID_HANDLE_VALUE ? NULL : reinterpret_cast<FILE *>(file);
}

extern "C" int __cdecl fclose(FILE *file)
{
    return CloseHandle(reinterpret_cast<HANDLE>(file)) ? 0 : EOF;
}

extern "C" size_t __cdecl fread(void *buffer, size_t size, size_t count, FILE *file)
{
    DWORD got = 0;
    if (size == 0 || !ReadFile(reinterpret_cast<HANDLE>(file), buffer, size * count, &got, NULL))
        return 0;
    return got / size;
}

extern "C" int __cdecl fseek(FILE *file, long offset, int origin)
{
    const DWORD method = origin == SEEK_SET ? FILE_BEGIN : origin == SEEK_CUR ? FILE_CURRENT : FILE_END;
    const DWORD moved = SetFilePointer(reinterpret_cast<HANDLE>(file), offset, NULL, method);
    return moved == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR ? -1 : 0;
}

extern "C" long __cdecl ftell(FILE *file)
{
    const DWORD at = SetFilePointer(reinterpret_cast<HANDLE>(file), 0, NULL, FILE_CURRENT);
    return at == INVALID_SET_FILE_POINTER || at > 0x7FFFFFFF ? -1L : static_cast<long>(at);
}

// Reads are unbuffered anyway.
extern "C" int __cdecl setvbuf(FILE *, char *, int, size_t)
{
    return 0;
}

extern "C" void *__cdecl memchr(const void *block, int value, size_t size)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(block);
    for (size_t i = 0; i < size; ++i)
        if (bytes[i] == static_cast<unsigned char>(value))
            return const_cast<unsigned char *>(bytes + i);
    return NULL;
}

extern "C" int __cdecl memcmp(const void *left, const void *right, size_t size)
{
    const unsigned char *a = static_cast<const unsigned char *>(left);
    const unsigned char *b = static_cast<const unsigned char *>(right);
    for (size_t i = 0; i < size; ++i)
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    return 0;
}

extern "C" void *__cdecl memmove(void *target, const void *source, size_t size)
{
    unsigned char *to = static_cast<unsigned char *>(target);
    const unsigned char *from = static_cast<const unsigned char *>(source);
    if (to < from)
        for (size_t i = 0; i < size; ++i)
            to[i] = from[i];
    else
        while (size--)
            to[size] = from[size];
    return target;
}

extern "C" size_t __cdecl strlen(const char *text)
{
    size_t length = 0;
    while (text[length])
        ++length;
    return length;
}

extern "C" char *__cdecl strchr(const char *text, int c)
{
    for (;; ++text) {
        if (*text == static_cast<char>(c))
            return const_cast<char *>(text);
        if (!*text)
            return NULL;
    }
}
