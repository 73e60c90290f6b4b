// Entry point, main window and the message loop.
#include <windows.h>
#include <commctrl.h>

#include "app/globals.h"
#include "app/pelmora.h"
#include "app/progress_window.h"
#include "app/window_helpers.h"
#include "fetch/catalogue.h"

namespace {

// Where each package button goes, in catalogue order.
const ControlPlace kPackagePlaces[kPackageCount] = {
    {5, 30, 70, 20}, {80, 30, 70, 20}, {155, 30, 70, 20}, {5, 55, 70, 20}, {155, 55, 70, 20},
};

// WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON: every button looks like
// the default one.
const DWORD kButtonStyle = 0x50010001;

void CreateMainWindow(HINSTANCE instance)
{
    g_hMainWnd = CreateWindowExA(0, kMainClassName, "Pelmora Downloader",
                                 WS_VISIBLE | WS_CAPTION | WS_SYSMENU, 100, 100, 260, 105, NULL,
                                 NULL, instance, NULL);

    // The label is wider than the window and overlaps the first button row;
    // the window clips it.
    HWND label = CreateChild(g_hMainWnd, "STATIC", "What do you want to download and extract?",
                             WS_CHILD | WS_VISIBLE, {10, 10, 360, 30}, 0);
    HWND packageButtons[kPackageCount];
    for (int i = 0; i < kPackageCount; ++i)
        packageButtons[i] = CreateChild(g_hMainWnd, "BUTTON", kPackages[i].label, kButtonStyle,
                                        kPackagePlaces[i], kPackages[i].commandId);
    CreateChild(g_hMainWnd, "BUTTON", "Cancel", kButtonStyle, {80, 55, 70, 20}, kCancelButtonId);
    CreateChild(g_hMainWnd, "BUTTON", "?", kButtonStyle, {230, 55, 20, 20}, kAboutButtonId);

    // "Cancel" and "?" keep the system font.
    for (int i = kPackageCount - 1; i >= 0; --i)
        SetGuiFont(packageButtons[i]);
    SetGuiFont(label);
}

}  // namespace

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        OnMainCommand(hwnd, LOWORD(wParam));
        return 0;
    case WM_CTLCOLORSTATIC:
        return PaintStaticOnFace(wParam);
    }
    return DefProgramWindowProc(hwnd, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    g_hInstance = instance;
    // Importing from COMCTL32 makes the loader map it, which registers the
    // progress bar class on every system from the original Windows 95 on.
    InitCommonControls();
    g_hFaceBrush = CreateSolidBrush(kFaceColour);
    RegisterFaceClass(instance, kMainClassName, MainWndProc);
    RegisterProgressClass(instance);
    CreateMainWindow(instance);

    MSG msg = {};
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
