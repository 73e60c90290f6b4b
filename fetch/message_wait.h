// Waiting on the user-interface thread without freezing its windows.
#pragma once
#include <windows.h>

// Waits for object while dispatching messages, through IsDialogMessage for
// dialog so that Esc and Tab work there. Returns true once the object is
// signalled, false when *stop turned non-zero and the object was still not
// signalled graceMs later. A quit request seen meanwhile is posted again
// for the main loop.
bool WaitWhileDispatching(HANDLE object, HWND dialog = NULL, const volatile LONG *stop = NULL,
                          DWORD graceMs = 0);
