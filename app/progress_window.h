// The window a fetch shows from its download to its end: a bar, a status
// line and a "Cancel" button. Each fetch makes its own and destroys it when
// done with it.
#pragma once
#include <windows.h>

#include <string>

struct DownloadControl;

// What the window reports on and cancels while a download runs.
struct ProgressSubject {
    std::string fileName;
    DownloadControl *control;
};

void RegisterProgressClass(HINSTANCE instance);
HWND CreateProgressWindow();
// While a subject is attached, progress reports name its file, and Cancel,
// Esc and a close request cancel its download. NULL detaches and disables
// "Cancel": nothing after the transfer can be stopped.
void AttachDownload(HWND window, ProgressSubject *subject);
// From any thread: shows how far the download is.
void PostProgress(HWND window, DWORD received, DWORD length);
void ShowProgress(HWND window, DWORD received, DWORD length);
void ShowStatus(HWND window, const std::string &text);
