// The window a fetch shows from its download to its end: a bar, a status
// line and a "Cancel" button. Each fetch makes its own and destroys it when
// done with it.
#pragma once
#include <windows.h>

#include <string>

#include "fetch/progress_meter.h"

struct DownloadControl;

// What the window reports on and cancels while a download runs; the rest,
// zero to begin with, is the window's own.
struct ProgressSubject {
    std::string fileName;
    DownloadControl *control;
    DWORD received, length;
    RateMeter rate;
};

void RegisterProgressClass(HINSTANCE instance);
HWND CreateProgressWindow();
// While a subject is attached, progress reports name its file, and Cancel,
// Esc and a close request cancel its download. NULL detaches and disables
// "Cancel": nothing after the transfer can be stopped.
void AttachDownload(HWND window, ProgressSubject *subject);
// From any thread: shows how far the download is and, during a pause
// before the next attempt, in how many seconds it tries again.
void PostProgress(HWND window, DWORD received, DWORD length, DWORD retryIn);
void ShowProgress(HWND window, DWORD received, DWORD length);
void ShowStatus(HWND window, const std::string &text);
