// The request runs inside a button press, so while it waits for a worker
// thread or a child process it runs the message loop itself: every window
// keeps painting and answering.
#include "app/message_wait.h"

namespace {

// What is left of timeoutMs since start: INFINITE for no limit, 0 once it is up.
DWORD TimeLeft(DWORD start, DWORD timeoutMs)
{
    if (timeoutMs == INFINITE)
        return INFINITE;
    const DWORD waited = GetTickCount() - start;
    return waited < timeoutMs ? timeoutMs - waited : 0;
}

}  // namespace

bool WaitWhileDispatching(HANDLE object, HWND dialog, DWORD timeoutMs)
{
    bool quit = false;
    WPARAM quitCode = 0;
    const DWORD start = GetTickCount();
    DWORD left = timeoutMs;
    // The object is looked at after every message: posted messages that
    // keep coming (clicks on a disabled button, say) must not hold back a
    // finished extraction until they stop.
    while (left && MsgWaitForMultipleObjects(1, &object, FALSE, left, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG msg;
        while ((left = TimeLeft(start, timeoutMs)) &&
               WaitForSingleObject(object, 0) == WAIT_TIMEOUT &&
               PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
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
    return WaitForSingleObject(object, 0) == WAIT_OBJECT_0;
}
