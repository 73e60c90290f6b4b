// The tests' command.com for the 95 family. Wine has no DOS, which keeps at
// most 126 characters of a program's command tail: this keeps as much of
// its own tail and hands it on to Wine's cmd.exe.
#include <windows.h>
#include <string.h>

#include <string>

int main()
{
    const char *tail = GetCommandLineA();
    const char *quote = *tail == '"' ? strchr(tail + 1, '"') : NULL;
    tail = quote ? quote + 1 : tail + strcspn(tail, " \t");
    std::string line = "cmd.exe" + std::string(tail).substr(0, 126);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    DWORD code = 1;
    if (CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
    }
    return static_cast<int>(code);
}
