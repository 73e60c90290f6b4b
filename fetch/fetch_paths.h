// Paths and command lines of a fetch, built from the Windows folder.
#pragma once
#include <string>

struct FetchPaths {
    std::string ntInterpreter;   // <windows>\system32\cmd.exe
    std::string dosInterpreter;  // <windows>\command.com
    std::string tempFolder;      // <windows>\TEMP
    std::string downloadPath;    // <temp>/<file name>
};

FetchPaths BuildFetchPaths(const std::string &windowsFolder, const std::string &fileName);
std::string BuildExtractCommand(const FetchPaths &paths, const std::string &extractFolder);
std::string InterpreterParameters(const std::string &command);
// Whether the interpreter's parameters reach a DOS program whole.
bool FitsDosCommandTail(const std::string &parameters);
