// Starts the interpreter with the extraction command and hands back its
// process: success is only reported for an extraction that really worked,
// and how to wait without freezing the windows is the caller's business.
#include "fetch/extractor.h"

#include <shellapi.h>

#include <algorithm>

bool IsWinNT()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

namespace {

// The 8.3 form of a path that exists, or the path itself.
std::string ShortPath(std::string path)
{
    std::replace(path.begin(), path.end(), '/', '\\');
    char shortPath[MAX_PATH];
    const DWORD length = GetShortPathNameA(path.c_str(), shortPath, sizeof shortPath);
    return length > 0 && length < sizeof shortPath ? shortPath : path;
}

// The exact command whenever it fits. Where the 95 family's interpreter
// would cut it, the extractor, the archive and the folder go as 8.3 names;
// "" when even those do not fit, since a cut command extracts into a folder
// the user never chose.
std::string ExtractParameters(bool nt, const FetchPaths &paths, const std::string &folder)
{
    const std::string exact = InterpreterParameters(BuildExtractCommand(paths, folder));
    if (nt || FitsDosCommandTail(exact))
        return exact;
    FetchPaths shortPaths = paths;
    shortPaths.tempFolder = ShortPath(paths.tempFolder);
    shortPaths.downloadPath = ShortPath(paths.downloadPath);
    const std::string shortened =
        InterpreterParameters(BuildExtractCommand(shortPaths, ShortPath(folder)));
    return FitsDosCommandTail(shortened) ? shortened : "";
}

}  // namespace

ExtractorRun StartExtractor(const FetchPaths &paths, const std::string &extractFolder)
{
    const bool nt = IsWinNT();
    const std::string interpreter = nt ? paths.ntInterpreter : paths.dosInterpreter;
    const std::string parameters = ExtractParameters(nt, paths, extractFolder);
    if (parameters.empty()) {
        const ExtractorRun tooLong = {NULL, nt, true};
        return tooLong;
    }
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "open";
    info.lpFile = interpreter.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOW;
    // command.com on the 95 family does not pass on the exit code of what it
    // ran, so there the interpreter finishing is all we can go by.
    const ExtractorRun run = {ShellExecuteExA(&info) ? info.hProcess : NULL, nt, false};
    return run;
}
