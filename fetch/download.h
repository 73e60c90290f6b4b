// One HTTP download into a file, resumed across interruptions. It knows
// WININET and the file only: no window, no box, no exit.
#pragma once
#include <windows.h>

#include <string>

enum DownloadResult {
    kDownloaded,       // the whole body is in the file
    kNoInternet,       // the Internet client could not be set up
    kCannotConnect,    // no server answered the first request (error)
    kCannotCreate,     // the file could not be opened for writing
    kHttpStatus,       // the server answered neither 200 nor 206 (status, statusText)
    kConnectionLost,   // the body stopped short, 3 attempts in a row without progress
    kSilence,          // as kConnectionLost, the last attempt heard nothing for 30 s
    kCannotWrite,      // writing failed (error)
    kCancelled,
};

struct DownloadOutcome {
    DownloadResult result;
    DWORD error;             // system or WININET error code, where one is known
    DWORD status;            // HTTP status for kHttpStatus
    std::string statusText;
    DWORD received, length;  // bytes in the file; the body's length, 0 if unknown
};

const DWORD kSilenceSeconds = 30;
const int kAttemptsWithoutProgress = 3;

// Told of every block that arrives, on the downloading thread.
typedef void (*ProgressCallback)(void *context, DWORD received, DWORD length);

// Shared by the downloading thread and the thread that may cancel it.
struct DownloadControl {
    CRITICAL_SECTION guard;  // held around each write and around a cancel
    HANDLE file;
    std::string path;
    volatile LONG cancelled;
};

void InitDownloadControl(DownloadControl *control);
void FreeDownloadControl(DownloadControl *control);

// Fetches url into path on the calling thread; on any outcome but
// kDownloaded the partial file is gone. Blocks while the server is silent,
// up to kSilenceSeconds per attempt.
DownloadOutcome DownloadFile(const std::string &url, const std::string &path,
                             ProgressCallback progress, void *context, DownloadControl *control);

// From any thread: stops the download and removes its partial file at once,
// even while the downloading thread still waits on a silent server (it then
// ends on its own, within kSilenceSeconds, and writes nothing more).
void CancelDownload(DownloadControl *control);
