// Waiting on the user-interface thread without freezing its windows.
#pragma once
#include <windows.h>

// Waits up to timeoutMs for object while dispatching messages, through
// IsDialogMessage for dialog so that Esc and Tab work there. True once the
// object is signalled. A quit request seen meanwhile is posted again for
// the main loop.
bool WaitWhileDispatching(HANDLE object, HWND dialog = NULL, DWORD timeoutMs = INFINITE);
