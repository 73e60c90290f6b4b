// The little of a C++ run-time that the program needs, compiled with it for
// the i486. The prebuilt MinGW start-up code, libstdc++ and the printf family
// are built for the Pentium Pro: they use CMOV and friends, which a 486,
// Pentium, K6 or 6x86 does not have, so the program would die with an
// illegal instruction before its window appeared. They also brought in
// libstdc++'s stream and locale code, a megabyte of it.
#include "app/runtime.h"

#include <string>


// Every std::string member is compiled here rather than taken from
// libstdc++'s prebuilt copy; the linker drops the ones nothing calls.
template class std::__cxx11::basic_string<char>;

namespace {

typedef void(__cdecl *ExitFunction)();

// Functions registered to run at exit, static destructors among them.
ExitFunction g_atExit[32];
int g_atExitCount = 0;

[[noreturn]] void GiveUpForLackOfMemory()
{
    MessageBoxA(NULL, "Pelmora Downloader ran out of memory and has to stop.", "Error",
                MB_ICONERROR);
    ExitProgram(1);
}

void *Allocate(size_t size)
{
    void *block = HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
    if (!block)
        GiveUpForLackOfMemory();
    return block;
}

}  // namespace

// msvcrt's atexit is only an import slot without the start-up code that
// sets its table up, so keep our own (static objects register their
// destructors here as they are constructed).
extern "C" int __cdecl atexit(ExitFunction function)
{
    if (g_atExitCount == sizeof g_atExit / sizeof g_atExit[0])
        return -1;
    g_atExit[g_atExitCount++] = function;
    return 0;
}

// The start-up code's fix-up of imported data; the program imports none.
extern "C" void _pei386_runtime_relocator() {}

// Called through a half-built object's table of virtual functions, which
// the program never does.
extern "C" void __cxa_pure_virtual()
{
    GiveUpForLackOfMemory();
}

void ExitProgram(int code)
{
    while (g_atExitCount > 0)
        g_atExit[--g_atExitCount]();
    ExitProcess(code);
}

void *operator new(size_t size)
{
    return Allocate(size);
}

void *operator new[](size_t size)
{
    return Allocate(size);
}

void operator delete(void *block) noexcept
{
    if (block)
        HeapFree(GetProcessHeap(), 0, block);
}

void operator delete[](void *block) noexcept
{
    operator delete(block);
}

void operator delete(void *block, size_t) noexcept
{
    operator delete(block);
}

void operator delete[](void *block, size_t) noexcept
{
    operator delete(block);
}

// What the string code calls where it would throw. Lengths beyond what
// memory holds are the only way to get here.
namespace std {
void __throw_length_error(const char *)
{
    GiveUpForLackOfMemory();
}
void __throw_logic_error(const char *)
{
    GiveUpForLackOfMemory();
}
void __throw_out_of_range_fmt(const char *, ...)
{
    GiveUpForLackOfMemory();
}
void __throw_bad_alloc()
{
    GiveUpForLackOfMemory();
}
void __throw_bad_array_new_length()
{
    GiveUpForLackOfMemory();
}
}  // namespace std
