// Work done on a worker thread while the user-interface thread keeps every
// window answering.
#pragma once
#include <windows.h>

#include <string>

#include "fetch/download.h"

// Downloads url into path, reporting to progressWindow, whose "Cancel" stops
// it. A cancelled download ends as kCancelled, with its partial file gone.
DownloadOutcome DownloadBesideWindows(const std::string &url, const std::string &path,
                                      const std::string &fileName, HWND progressWindow);
// Runs work(context) to its end; work must not touch any window.
void RunBesideWindows(void (*work)(void *context), void *context);

template <typename Work>
void CallWork(void *work)
{
    (*static_cast<Work *>(work))();
}

// The same for a function object, such as a lambda that fills in its result.
template <typename Work>
void RunBesideWindows(Work work)
{
    RunBesideWindows(CallWork<Work>, &work);
}
