// Starts a program with WINDIR removed from its environment, or set to a
// given value, and ends with its exit code. Wine puts its own WINDIR into
// every process it starts from Linux, so tests go through this instead.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: set_windir (--unset | FOLDER) PROGRAM\n");
        return 2;
    }
    std::string block;
    char *strings = GetEnvironmentStringsA();
    for (const char *entry = strings; *entry; entry += std::strlen(entry) + 1)
        if (_strnicmp(entry, "WINDIR=", 7) != 0)
            block.append(entry, std::strlen(entry) + 1);
    FreeEnvironmentStringsA(strings);
    if (std::strcmp(argv[1], "--unset") != 0)
        block += std::string("WINDIR=") + argv[1] + '\0';
    block.push_back('\0');

    std::string commandLine = std::string("\"") + argv[2] + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(NULL, &commandLine[0], NULL, NULL, TRUE, 0, &block[0], NULL, &startup,
                        &process)) {
        std::fprintf(stderr, "cannot start %s: error %lu\n", argv[2], GetLastError());
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 2;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}
