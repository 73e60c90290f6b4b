// What the program's windows share in making and colouring their controls.
#pragma once
#include <windows.h>

struct ControlPlace {
    int x, y, width, height;
};

void RegisterFaceClass(HINSTANCE instance, const char *name, WNDPROC procedure);
LRESULT PaintStaticOnFace(WPARAM deviceContext);
HWND CreateChild(HWND parent, const char *className, const char *text, DWORD style,
                 const ControlPlace &place, int id);
void SetGuiFont(HWND control);
LRESULT DefProgramWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
