// The request runs inside a button press, so while it waits for a worker
// thread or a child process it runs the message loop itself: every window
// keeps painting and answering.
#include "app/message_wait.h"

bool WaitWhileDispatching(HANDLE object, HWND dialog, DWORD timeoutMs)
{
    bool quit = false, signalled = false;
    WPARAM quitCode = 0;
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD timeout = INFINITE;
        if (timeoutMs != INFINITE) {
            const DWORD waited = GetTickCount() - start;
            if (waited >= timeoutMs)
                break;
            timeout = timeoutMs - waited;
        }
        if (MsgWaitForMultipleObjects(1, &object, FALSE, timeout, QS_ALLINPUT) == WAIT_OBJECT_0) {
            signalled = true;
            break;
        }
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                quitCode = msg.wParam;
            } else if (!dialog || !IsDialogMessageA(dialog, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }
    if (quit)
        PostQuitMessage(static_cast<int>(quitCode));
    return signalled;
}
