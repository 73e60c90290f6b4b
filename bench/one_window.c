/* The bare reference for start-up: one visible window and a message loop. */
#include <windows.h>

static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show)
{
    WNDCLASSA wc = {0};
    MSG msg;
    (void)previous, (void)line, (void)show;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = "BenchWindow";
    RegisterClassA(&wc);
    CreateWindowExA(0, "BenchWindow", "Bench", WS_VISIBLE | WS_CAPTION | WS_SYSMENU, 100, 100, 260,
                    105, NULL, NULL, instance, NULL);
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}
