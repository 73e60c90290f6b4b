// The progress window of a fetch. It has a class of its own: a close request
// must cancel the download, never end the program, and the window must be
// destroyed when its fetch is done with it, neither of which a window of the
// main class could do.
#include "app/progress_window.h"

#include <commctrl.h>

#include "app/globals.h"
#include "app/window_helpers.h"
#include "fetch/download.h"
#include "fetch/progress_meter.h"
#include "fetch/words.h"

namespace {

const char kClassName[] = "PelmoraProgress";
const UINT kProgressMessage = WM_APP;
const UINT kRetryMessage = WM_APP + 1;
const int kBarId = 0;
const int kStatusId = 3;

ProgressSubject *SubjectOf(HWND window)
{
    return reinterpret_cast<ProgressSubject *>(GetWindowLongA(window, GWL_USERDATA));
}

LRESULT CALLBACK ProgressWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    ProgressSubject *subject = SubjectOf(hwnd);
    switch (message) {
    case kProgressMessage:
        if (subject)
            ShowProgress(hwnd, static_cast<DWORD>(wParam), static_cast<DWORD>(lParam));
        return 0;
    case kRetryMessage:
        if (subject) {
            ResetRate(&subject->rate);
            ShowStatus(hwnd, RetryText(subject->fileName, subject->received, subject->length,
                                       static_cast<DWORD>(wParam)));
        }
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
    HWND bar = CreateChild(window, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, {20, 15, 360, 20},
                           kBarId);
    SendMessageA(bar, PBM_SETRANGE32, 0, 100);
    HWND status = CreateChild(window, "STATIC", "", WS_CHILD | WS_VISIBLE, {20, 45, 360, 16},
                              kStatusId);
    // Greyed until a download is attached: before it, and for a copy at
    // hand, there is nothing it could stop.
    HWND cancel = CreateChild(window, "BUTTON", "Cancel",
                              WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_DISABLED, {300, 66, 80, 23},
                              IDCANCEL);
    SetGuiFont(status);
    SetGuiFont(cancel);
    UpdateWindow(window);
    return window;
}

void AttachDownload(HWND window, ProgressSubject *subject)
{
    SetWindowLongA(window, GWL_USERDATA, reinterpret_cast<LONG>(subject));
    HWND cancel = GetDlgItem(window, IDCANCEL);
    EnableWindow(cancel, subject != NULL);
    if (subject)
        SetFocus(cancel);
}

void PostProgress(HWND window, DWORD received, DWORD length, DWORD retryIn)
{
    PostMessageA(window, kProgressMessage, received, length);
    if (retryIn)
        PostMessageA(window, kRetryMessage, retryIn, 0);
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
    if (ProgressSubject *subject = SubjectOf(window)) {
        subject->received = received;
        subject->length = length;
        AddSample(&subject->rate, GetTickCount(), received);
        ShowStatus(window, ProgressText(subject->fileName, received, length,
                                        BytesPerSecond(subject->rate)));
    }
}

void ShowStatus(HWND window, const std::string &text)
{
    SetDlgItemTextA(window, kStatusId, text.c_str());
}
