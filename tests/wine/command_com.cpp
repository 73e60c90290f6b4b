// The tests' command.com for the 95 family. Wine has no DOS, whose
// program's command tail holds at most 126 characters: this keeps only that
// much of its own tail, as a real command.com sees it, and hands the rest
// on to Wine's cmd.exe.
#include <windows.h>
#include <string.h>

#include <string>

int main()
{
    const char *tail = GetCommandLineA();
    const char *quote = *tail == '"' ? strchr(tail + 1, '"') : NULL;
    tail = quote ? quote + 1 : tail + strcspn(tail, " \t");
    std::string line = "cmd.exe" + std::string(tail).substr(0, 126);
    char cmd[MAX_PATH];
    GetSystemDirectoryA(cmd, MAX_PATH - 8);
    lstrcatA(cmd, "\\cmd.exe");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(cmd, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return 1;
    DWORD code = 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}
