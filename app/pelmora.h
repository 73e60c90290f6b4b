// Window procedures, the handlers they hand work to, and what windows share.
#pragma once
#include <windows.h>

const char kMainClassName[] = "PelmoraDownloader";

// Control ids of the main window that are not packages.
const int kCancelButtonId = 6;
const int kAboutButtonId = 7;

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK AboutWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
void OnMainCommand(HWND hwnd, int id);
void ToggleAbout();

struct ControlPlace {
    int x, y, width, height;
};

void RegisterFaceClass(HINSTANCE instance, const char *name, WNDPROC procedure);
LRESULT PaintStaticOnFace(WPARAM deviceContext);
HWND CreateChild(HWND parent, const char *className, const char *text, DWORD style,
                 const ControlPlace &place, int id);
void SetGuiFont(HWND control);
