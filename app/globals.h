// The few globals of the program, all defined in globals.cpp.
#pragma once
#include <windows.h>

#include <string>

// Face colour of the main and progress windows and their static controls.
const COLORREF kFaceColour = RGB(212, 208, 200);  // 0xC8D0D4

extern HINSTANCE g_hInstance;
extern HWND g_hMainWnd;
extern HBRUSH g_hFaceBrush;   // one brush for the whole run
extern std::string g_extractPath;
extern bool g_pathSelected;
