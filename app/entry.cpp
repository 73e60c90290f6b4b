// The entry point the linker is told about, in place of the MinGW start-up
// code (see app/runtime.cpp for why).
#include <windows.h>

#include "app/runtime.h"

typedef void (*StaticConstructor)();
// The linker's list of static constructors: a count (or -1), the functions,
// then 0.
extern "C" StaticConstructor __CTOR_LIST__[];

namespace {

// Last to first, as the list holds them; what the prebuilt start-up helper
// did, without the unwind tables it brought along.
void RunStaticConstructors()
{
    int count = 0;
    while (__CTOR_LIST__[count + 1])
        ++count;
    for (int i = count; i >= 1; --i)
        __CTOR_LIST__[i]();
}

}  // namespace

extern "C" void WINAPI Entry()
{
    RunStaticConstructors();
    ExitProgram(WinMain(GetModuleHandleA(NULL), NULL, GetCommandLineA(), SW_SHOWDEFAULT));
}
