// Starts the interpreter with the extraction command and hands back its
// process: success is only reported for an extraction that really worked,
// and how to wait without freezing the windows is the caller's business.
#include "fetch/extractor.h"

#include <shellapi.h>

bool IsWinNT()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

ExtractorRun StartExtractor(const FetchPaths &paths, const std::string &extractFolder)
{
    const bool nt = IsWinNT();
    const std::string interpreter = nt ? paths.ntInterpreter : paths.dosInterpreter;
    const std::string parameters = InterpreterParameters(BuildExtractCommand(paths, extractFolder));
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "open";
    info.lpFile = interpreter.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOW;
    // command.com on the 95 family does not pass on the exit code of what it
    // ran, so there the interpreter finishing is all we can go by.
    const ExtractorRun run = {ShellExecuteExA(&info) ? info.hProcess : NULL, nt};
    return run;
}
