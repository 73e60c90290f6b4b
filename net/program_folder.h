// Where the program was started from: a floppy or CD may hold the files
// beside it, and an operator's .crt files lie there too.
#pragma once
#include <string>

// The folder of the running .exe, without a closing backslash; "" if unknown.
std::string ProgramFolder();
