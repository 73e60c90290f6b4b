// Running the extractor through the command interpreter, and waiting for it.
#pragma once
#include <windows.h>

#include <string>

#include "fetch/fetch_paths.h"

struct ExtractOutcome {
    bool started;
    bool exitCodeKnown;  // not on the 95 family (see RunExtractor)
    DWORD exitCode;
};

bool IsWinNT();
// Unpacks the download of paths into extractFolder, dispatching messages
// while the interpreter runs.
ExtractOutcome RunExtractor(const FetchPaths &paths, const std::string &extractFolder);
