// The program's own entry and exit, in place of the MinGW start-up code.
#pragma once
#include <windows.h>

// Runs what was registered to run at exit, then ends the process.
[[noreturn]] void ExitProgram(int code);
