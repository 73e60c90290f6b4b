// One HTTP download into a file, resumed with Range requests when the body
// stops short. Each attempt opens its own request so that it can carry a
// receive timeout: that is the only thing that ends a wait on a silent
// server under every WININET we run on (Wine's ignores timeouts set for
// InternetOpenUrlA, and closing a handle does not break a blocked read).
#include "fetch/download.h"

#include <wininet.h>

#include <memory>

namespace {

const char kAgent[] = "Pelmora Downloader";
// Read calls cost the same whatever their size, so read big blocks.
const DWORD kBlockSize = 64 * 1024;
const DWORD kSmallestBlock = 4 * 1024;
const DWORD kSilenceMs = kSilenceSeconds * 1000;

// Closes an Internet handle when it goes out of scope.
struct InternetHandle {
    HINTERNET handle;
    explicit InternetHandle(HINTERNET h) : handle(h) {}
    ~InternetHandle()
    {
        if (handle)
            InternetCloseHandle(handle);
    }
    InternetHandle(const InternetHandle &) = delete;
    InternetHandle &operator=(const InternetHandle &) = delete;
};

enum AttemptEnd { kComplete, kInterrupted, kFailed };

struct Transfer {
    DownloadControl *control;
    ProgressCallback progress;
    void *context;
    std::unique_ptr<char[]> block;
    DownloadOutcome outcome;
    bool answered;   // the server has answered at least once
    bool silent;     // the last attempt ended after kSilenceMs of silence
    DWORD lastHeard;
};

bool Cancelled(const Transfer &t)
{
    return t.control->cancelled != 0;
}

AttemptEnd Fail(Transfer &t, DownloadResult result, DWORD error)
{
    t.outcome.result = result;
    t.outcome.error = error;
    return kFailed;
}

// Failures that mean no server took the first request at all, as opposed
// to one that answered badly or went quiet, which is worth another try.
bool NoServer(DWORD error)
{
    return error != ERROR_INTERNET_TIMEOUT && error != ERROR_INTERNET_CONNECTION_ABORTED &&
           error != ERROR_INTERNET_CONNECTION_RESET &&
           error != ERROR_HTTP_INVALID_SERVER_RESPONSE;
}

AttemptEnd Interrupted(Transfer &t)
{
    t.silent = GetTickCount() - t.lastHeard >= kSilenceMs - 1000;
    return kInterrupted;
}

DWORD QueryNumber(HINTERNET request, DWORD what)
{
    DWORD value = 0, size = sizeof value, index = 0;
    if (!HttpQueryInfoA(request, what | HTTP_QUERY_FLAG_NUMBER, &value, &size, &index))
        return 0;
    return value;
}

// Starts the file afresh, or (answer 200 to a resumed request) starts it over.
bool OpenFile(Transfer &t)
{
    DownloadControl *c = t.control;
    EnterCriticalSection(&c->guard);
    if (c->file == INVALID_HANDLE_VALUE && !c->cancelled)
        c->file = CreateFileA(c->path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    else if (c->file != INVALID_HANDLE_VALUE) {
        SetFilePointer(c->file, 0, NULL, FILE_BEGIN);
        SetEndOfFile(c->file);
    }
    const bool open = c->file != INVALID_HANDLE_VALUE;
    t.outcome.error = open ? 0 : GetLastError();
    LeaveCriticalSection(&c->guard);
    t.outcome.received = 0;
    return open || c->cancelled;
}

// Writes a block unless the download was cancelled meanwhile; false when
// the disk refused it.
bool WriteBlock(Transfer &t, DWORD size)
{
    DownloadControl *c = t.control;
    DWORD written = 0, error = 0;
    EnterCriticalSection(&c->guard);
    if (!c->cancelled) {
        if (!WriteFile(c->file, t.block.get(), size, &written, NULL))
            error = GetLastError();
        else if (written != size)
            error = ERROR_DISK_FULL;  // a short write: no room for the rest
    }
    LeaveCriticalSection(&c->guard);
    t.outcome.error = error;
    return error == 0;
}

AttemptEnd Attempt(Transfer &t, HINTERNET connection, const char *path)
{
    InternetHandle request(HttpOpenRequestA(connection, "GET", path, NULL, NULL, NULL,
                                            INTERNET_FLAG_RELOAD, 0));
    if (!request.handle)
        return Fail(t, kCannotConnect, GetLastError());
    DWORD timeout = kSilenceMs;
    InternetSetOptionA(request.handle, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(request.handle, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(request.handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);

    const bool resuming = t.outcome.received > 0;
    char range[40] = "";
    if (resuming)
        wsprintfA(range, "Range: bytes=%lu-\r\n", t.outcome.received);
    t.lastHeard = GetTickCount();
    if (!HttpSendRequestA(request.handle, resuming ? range : NULL, resuming ? -1L : 0, NULL, 0)) {
        DWORD error = GetLastError();
        if (!t.answered && !Cancelled(t) && NoServer(error))
            return Fail(t, kCannotConnect, error);
        return Interrupted(t);
    }

    DWORD status = QueryNumber(request.handle, HTTP_QUERY_STATUS_CODE);
    if (status == 0)  // no status line: the connection closed without an answer
        return Interrupted(t);
    if (status != 200 && !(status == 206 && resuming)) {
        char text[128] = "";
        DWORD size = sizeof text, index = 0;
        HttpQueryInfoA(request.handle, HTTP_QUERY_STATUS_TEXT, text, &size, &index);
        t.outcome.status = status;
        t.outcome.statusText = text;
        return Fail(t, kHttpStatus, 0);
    }
    t.answered = true;
    if (status == 200) {
        t.outcome.length = QueryNumber(request.handle, HTTP_QUERY_CONTENT_LENGTH);
        if (!OpenFile(t))
            return Fail(t, kCannotCreate, t.outcome.error);
    }

    // A read returns only once its whole block is in, so a slow line asks
    // for about a quarter second's worth: the progress keeps moving.
    DWORD got = 0, want = kSmallestBlock;
    while (InternetReadFile(request.handle, t.block.get(), want, &got) && !Cancelled(t)) {
        if (got == 0) {
            if (t.outcome.length && t.outcome.received < t.outcome.length)
                return Interrupted(t);  // closed early
            return kComplete;
        }
        if (!WriteBlock(t, got))
            return Fail(t, kCannotWrite, t.outcome.error);
        const DWORD took = GetTickCount() - t.lastHeard;
        want = got * 250 / (took ? took : 1);
        want = want < kSmallestBlock ? kSmallestBlock : want > kBlockSize ? kBlockSize : want;
        t.outcome.received += got;
        t.lastHeard = GetTickCount();
        t.progress(t.context, t.outcome.received, t.outcome.length);
    }
    return Interrupted(t);
}

// Closes the file; a download that did not complete takes its file along.
void CloseFile(DownloadControl *c, bool keep)
{
    EnterCriticalSection(&c->guard);
    if (c->file != INVALID_HANDLE_VALUE) {
        CloseHandle(c->file);
        c->file = INVALID_HANDLE_VALUE;
        if (!keep)
            DeleteFileA(c->path.c_str());
    }
    LeaveCriticalSection(&c->guard);
}

DownloadOutcome Run(Transfer &t, const std::string &url)
{
    InternetHandle internet(InternetOpenA(kAgent, INTERNET_OPEN_TYPE_DIRECT, NULL, NULL, 0));
    if (!internet.handle) {
        Fail(t, kNoInternet, GetLastError());
        return t.outcome;
    }
    char host[INTERNET_MAX_HOST_NAME_LENGTH], path[INTERNET_MAX_PATH_LENGTH];
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    if (!InternetCrackUrlA(url.c_str(), 0, 0, &parts)) {
        Fail(t, kCannotConnect, GetLastError());
        return t.outcome;
    }
    InternetHandle connection(InternetConnectA(internet.handle, host, parts.nPort, NULL, NULL,
                                               INTERNET_SERVICE_HTTP, 0, 0));
    int idle = 0;
    for (;;) {
        const DWORD before = t.outcome.received;
        AttemptEnd end = connection.handle ? Attempt(t, connection.handle, path)
                                           : Fail(t, kCannotConnect, GetLastError());
        if (end != kInterrupted)
            return t.outcome;
        if (Cancelled(t)) {
            t.outcome.result = kCancelled;
            return t.outcome;
        }
        idle = t.outcome.received > before ? 0 : idle + 1;
        // Without a length only a fresh start can be tried again.
        if (idle >= kAttemptsWithoutProgress || (!t.outcome.length && t.outcome.received)) {
            t.outcome.result = t.silent ? kSilence : kConnectionLost;
            return t.outcome;
        }
    }
}

}  // namespace

void InitDownloadControl(DownloadControl *control)
{
    InitializeCriticalSection(&control->guard);
    control->file = INVALID_HANDLE_VALUE;
    control->cancelled = 0;
}

void FreeDownloadControl(DownloadControl *control)
{
    DeleteCriticalSection(&control->guard);
}

DownloadOutcome DownloadFile(const std::string &url, const std::string &path,
                             ProgressCallback progress, void *context, DownloadControl *control)
{
    Transfer t = {control, progress, context, std::unique_ptr<char[]>(new char[kBlockSize]),
                  DownloadOutcome(), false, false, 0};
    control->path = path;
    DownloadOutcome outcome = Run(t, url);
    if (outcome.result == kDownloaded && Cancelled(t))
        outcome.result = kCancelled;
    CloseFile(control, outcome.result == kDownloaded);
    return outcome;
}

void CancelDownload(DownloadControl *control)
{
    InterlockedExchange(&control->cancelled, 1);
    CloseFile(control, false);
}
