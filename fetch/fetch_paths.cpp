// Everything a fetch derives from text alone, kept free of windows.h so that
// it is unit-tested natively.
#include "fetch/fetch_paths.h"

#include <algorithm>

FetchPaths BuildFetchPaths(const std::string &windowsFolder, const std::string &fileName)
{
    FetchPaths paths;
    paths.ntInterpreter = windowsFolder + "\\system32\\cmd.exe";
    paths.dosInterpreter = windowsFolder + "\\command.com";
    paths.tempFolder = windowsFolder + "\\TEMP";
    // The "/" stays: the file APIs accept it, and the command below turns it
    // into "\" for the interpreter.
    paths.downloadPath = paths.tempFolder + "/" + fileName;
    return paths;
}

// A drive root such as D:\ (3 characters or fewer) goes in bare; anything
// longer is quoted so that folders with spaces survive the interpreter.
std::string BuildExtractCommand(const FetchPaths &paths, const std::string &extractFolder)
{
    std::string command = paths.tempFolder + "/PKZIP -extract " + paths.downloadPath;
    if (extractFolder.size() > 3)
        command += " \"" + extractFolder + "\"";
    else
        command += " " + extractFolder;
    std::replace(command.begin(), command.end(), '/', '\\');
    return command;
}

std::string InterpreterParameters(const std::string &command)
{
    return "/c " + command;
}

// DOS keeps at most 126 characters of a program's command tail (its PSP
// holds them and a CR), and command.com on the 95 family is a DOS program:
// there a longer command is cut, and the extractor gets another folder.
bool FitsDosCommandTail(const std::string &parameters)
{
    const size_t kDosCommandTail = 126;
    // The tail is all after the program's name, the space before it included.
    return 1 + parameters.size() <= kDosCommandTail;
}
