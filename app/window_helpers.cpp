// Helpers of the main, progress and About windows, in a unit of their own so
// that no window's unit has to call into another's.
#include "app/window_helpers.h"

#include "app/globals.h"

// The main window and the progress windows: the face colour behind
// everything, no icon, no cursor.
void RegisterFaceClass(HINSTANCE instance, const char *name, WNDPROC procedure)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hbrBackground = g_hFaceBrush;
    wc.lpszClassName = name;
    RegisterClassA(&wc);
}

// Static controls on a face-coloured window: the same colour behind their text.
LRESULT PaintStaticOnFace(WPARAM deviceContext)
{
    SetBkColor(reinterpret_cast<HDC>(deviceContext), kFaceColour);
    return reinterpret_cast<LRESULT>(g_hFaceBrush);
}

HWND CreateChild(HWND parent, const char *className, const char *text, DWORD style,
                 const ControlPlace &place, int id)
{
    return CreateWindowExA(0, className, text, style, place.x, place.y, place.width, place.height,
                           parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), g_hInstance,
                           NULL);
}

void SetGuiFont(HWND control)
{
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                 TRUE);
}

// What the main and About windows do with the rest: closing either one
// destroys it, and that ends the program.
LRESULT DefProgramWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}
