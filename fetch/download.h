// One HTTP download into a file, resumed across interruptions. It knows
// the transports and the file only: no window, no box, no exit.
#pragma once
#include <windows.h>

#include <string>

#include "fetch/download_outcome.h"
#include "net/transport.h"

// Told of every block that arrives and, each second of a pause before the
// next attempt, of the seconds left (otherwise 0); on the downloading thread.
typedef void (*ProgressCallback)(void *context, DWORD received, DWORD length, DWORD retryIn);

// Shared by the downloading thread and the thread that waits for it.
struct DownloadControl {
    CRITICAL_SECTION guard;  // held around each write, a cancel, and abandoning the transport
    HANDLE file;
    std::string path;
    Transport *transport;
    volatile LONG cancelled;
    // What the waiting thread needs to give up on a call that hangs past
    // the transport's own time-outs (a WININET connect, a name lookup).
    volatile LONG answered;     // a server answered the file's first request
    volatile DWORD deadline;    // tick by which the current call must end, 0: none
    volatile DWORD received, length, attempts;
    volatile DWORD furthest, lastGrowth;  // the most the file held, and when it got there
    volatile DWORD timeoutError;          // the transport's code for a server that kept silent
    // Under guard: the address being opened, and how the transport reaches it.
    std::string currentUrl;
    ConnectionTrouble route;
};

void InitDownloadControl(DownloadControl *control);
void FreeDownloadControl(DownloadControl *control);

// Fetches url into path on the calling thread; on any outcome but
// kDownloaded the partial file is gone.
DownloadOutcome DownloadFile(const std::string &url, const std::string &path,
                             ProgressCallback progress, void *context, DownloadControl *control);

// From any thread: stops the download and removes its partial file at once,
// even while the downloading thread still waits on a silent server (it then
// ends on its own and writes nothing more).
void CancelDownload(DownloadControl *control);
// Whether the downloading thread is stuck in a call past its deadline.
bool DownloadOverdue(const DownloadControl *control);
// Gives up on a stuck download: cancels it, lets the transport unblock what
// it can (WININET's session is closed: the way round a connect time-out it
// does not honour), and tells what happened as far as it got.
DownloadOutcome AbandonDownload(DownloadControl *control);
