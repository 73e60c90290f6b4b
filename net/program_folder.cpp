#include "net/program_folder.h"

#include <windows.h>

std::string ProgramFolder()
{
    char path[MAX_PATH] = "";
    const DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    const std::string file(path, length < sizeof path ? length : 0);
    const size_t slash = file.rfind('\\');
    return slash == std::string::npos ? "" : file.substr(0, slash);
}
