// Starting the extractor through the command interpreter.
#pragma once
#include <windows.h>

#include <string>

#include "fetch/fetch_paths.h"

struct ExtractorRun {
    HANDLE process;      // the interpreter, for the caller to wait for and close; NULL
                         // when it could not be started
    bool exitCodeKnown;  // not on the 95 family (see StartExtractor)
    bool folderTooLong;  // for the 95 family's interpreter even in 8.3 form: nothing ran
};

bool IsWinNT();
// Starts unpacking the download of paths into extractFolder.
ExtractorRun StartExtractor(const FetchPaths &paths, const std::string &extractFolder);
