// The About window, shown and hidden by the "?" button.
#include <windows.h>

#include "app/globals.h"
#include "app/pelmora.h"
#include "app/window_helpers.h"

namespace {

// Created on the first press of "?"; whether the last toggle showed it.
HWND g_hAboutWnd = NULL;
bool g_aboutVisible = false;

const char kAboutText[] =
    "This is a basic program to download and extract necesary applications for users who dont "
    "have a tool to extract zip files. This is made for operating systems like Windows 95 to "
    "2000.\r\n\r\n"
    "How does it work?\r\n"
    "Set a path to save the extracted file and the program will download the application to the "
    "%temp% directory as a zip, after that it will be extracted using PKZIP to the specified "
    "path.\r\n\r\n"
    "Made by: the Pelmora Downloader developers\r\n"
    "Site: http://www.pelmora.example/";

LRESULT CALLBACK AboutWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE)
        return 0;
    return DefProgramWindowProc(hwnd, message, wParam, lParam);
}

void CreateAboutWindow()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = AboutWndProc;
    wc.hInstance = g_hInstance;
    wc.lpszClassName = "AboutWindow";
    RegisterClassA(&wc);

    // A caption but no system menu: the window has no close box.
    g_hAboutWnd = CreateWindowExA(0, "AboutWindow", "About", WS_VISIBLE | WS_CAPTION, 200, 200,
                                  400, 200, NULL, NULL, g_hInstance, NULL);
    SetGuiFont(CreateChild(g_hAboutWnd, "STATIC", kAboutText, WS_CHILD | WS_VISIBLE,
                           {0, 0, 395, 180}, 0));
    ShowWindow(g_hAboutWnd, SW_SHOW);
}

}  // namespace

void ToggleAbout()
{
    if (!g_hAboutWnd)
        CreateAboutWindow();
    g_aboutVisible = !g_aboutVisible;
    ShowWindow(g_hAboutWnd, g_aboutVisible ? SW_SHOW : SW_HIDE);
}

void HideAbout()
{
    if (g_hAboutWnd)
        ShowWindow(g_hAboutWnd, SW_HIDE);
}
