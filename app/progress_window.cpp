// The progress window of a fetch. It has a class of its own: a close request
// must cancel the download, never end the program, as destroying a window of
// the main class would.
#include "app/progress_window.h"

#include <commctrl.h>

#include "app/globals.h"
#include "app/pelmora.h"
#include "fetch/download.h"
#include "fetch/progress_text.h"

namespace {

const char kClassName[] = "PelmoraProgress";
const UINT kProgressMessage = WM_APP;
const int kBarId = 0;
const int kStatusId = 3;

ProgressSubject *SubjectOf(HWND window)
{
    return reinterpret_cast<ProgressSubject *>(GetWindowLongA(window, GWL_USERDATA));
}

HWND CreateControl(HWND parent, const char *className, const char *text, DWORD style, int x, int y,
                   int width, int height, int id)
{
    HWND control = CreateWindowExA(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width,
                                   height, parent, reinterpret_cast<HMENU>(id), g_hInstance, NULL);
    SetGuiFont(control);
    return control;
}

LRESULT CALLBACK ProgressWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    ProgressSubject *subject = SubjectOf(hwnd);
    switch (message) {
    case kProgressMessage:
        if (subject)
            ShowProgress(hwnd, static_cast<DWORD>(wParam), static_cast<DWORD>(lParam));
        return 0;
    case WM_COMMAND:  // the "Cancel" button, or Esc through IsDialogMessage
        if (LOWORD(wParam) == IDCANCEL && subject)
            CancelDownload(subject->control);
        return 0;
    case WM_CLOSE:  // Alt+F4 and the like: the same as "Cancel"
        if (subject)
            CancelDownload(subject->control);
        return 0;
    case WM_CTLCOLORSTATIC:
        return PaintStaticOnFace(wParam);
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

void RegisterProgressClass(HINSTANCE instance)
{
    RegisterFaceClass(instance, kClassName, ProgressWndProc);
}

HWND CreateProgressWindow()
{
    // A caption without a system menu: "Cancel" is the way out.
    HWND window = CreateWindowExA(0, kClassName, "Progress", WS_VISIBLE | WS_CAPTION, 100, 100, 400,
                                  130, NULL, NULL, g_hInstance, NULL);
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 20, 15, 360, 20, window,
                               reinterpret_cast<HMENU>(kBarId), g_hInstance, NULL);
    SendMessageA(bar, PBM_SETRANGE32, 0, 100);
    CreateControl(window, "STATIC", "", 0, 20, 45, 360, 16, kStatusId);
    SetFocus(CreateControl(window, "BUTTON", "Cancel", WS_TABSTOP, 300, 66, 80, 23, IDCANCEL));
    UpdateWindow(window);
    return window;
}

void AttachDownload(HWND window, ProgressSubject *subject)
{
    SetWindowLongA(window, GWL_USERDATA, reinterpret_cast<LONG>(subject));
}

void PostProgress(HWND window, DWORD received, DWORD length)
{
    PostMessageA(window, kProgressMessage, received, length);
}

void ShowProgress(HWND window, DWORD received, DWORD length)
{
    HWND bar = GetDlgItem(window, kBarId);
    if (length) {
        const int shift = BarShift(length);
        SendMessageA(bar, PBM_SETRANGE32, 0, length >> shift);
        SendMessageA(bar, PBM_SETPOS, received >> shift, 0);
    } else {
        // Unknown length: the range stays 0 to 100 and the bar fills at once.
        SendMessageA(bar, PBM_SETPOS, received < 100 ? received : 100, 0);
    }
    if (ProgressSubject *subject = SubjectOf(window))
        SetDlgItemTextA(window, kStatusId, ProgressText(subject->fileName, received, length).c_str());
}
