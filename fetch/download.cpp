// One HTTP download into a file, resumed with Range requests when the body
// stops short, patiently: a dial-up line redials, a Wi-Fi bridge reconnects
// and a LAN server restarts within a couple of minutes. Each attempt opens
// its own request so that it can carry a receive timeout, which ends a wait
// on a silent server under every WININET we run on; what WININET lets hang
// anyway (a connect to a host that drops packets) the waiting thread gives
// up on by its own clock (DownloadOverdue).
#include "fetch/download.h"

#include <memory>

#include "fetch/resume.h"

namespace {

const char kAgent[] = "Pelmora Downloader";
const DWORD kBlockSize = 64 * 1024;
const DWORD kSilenceMs = 30 * 1000;
const DWORD kFirstContactMs = kFirstContactSeconds * 1000;
const DWORD kGiveUpMs = kGiveUpSeconds * 1000;

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

enum AttemptEnd { kComplete, kInterrupted, kStartOver, kFailed };

struct Transfer {
    DownloadControl *control;
    ProgressCallback progress;
    void *context;
    std::unique_ptr<char[]> block;
    DownloadOutcome outcome;
    std::string validator;  // of the answer the file came from: its ETag or Last-Modified
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

// No answer: the end for a file's first request, where no server has
// answered yet; once one has, one more interruption of the line.
AttemptEnd Unanswered(Transfer &t, DWORD error)
{
    return t.control->answered ? kInterrupted : Fail(t, kCannotConnect, error);
}

DWORD QueryNumber(HINTERNET request, DWORD what)
{
    DWORD value = 0, size = sizeof value, index = 0;
    if (!HttpQueryInfoA(request, what | HTTP_QUERY_FLAG_NUMBER, &value, &size, &index))
        return 0;
    return value;
}

std::string QueryText(HINTERNET request, DWORD what)
{
    char text[256] = "";
    DWORD size = sizeof text, index = 0;
    return HttpQueryInfoA(request, what, text, &size, &index) ? text : "";
}

// What proves on a resume that the server still has the same file. A weak
// ETag cannot, by the rules of If-Range.
std::string Validator(HINTERNET request)
{
    const std::string tag = QueryText(request, HTTP_QUERY_ETAG);
    if (!tag.empty() && tag.compare(0, 2, "W/") != 0)
        return tag;
    return QueryText(request, HTTP_QUERY_LAST_MODIFIED);
}

// The first request has kFirstContactSeconds; every later call has until
// the line is given up, plus the time a silent read takes to notice.
void SetDeadline(DownloadControl *c)
{
    const DWORD deadline =
        c->answered ? c->lastByte + kGiveUpMs + kSilenceMs : GetTickCount() + kFirstContactMs;
    c->deadline = deadline ? deadline : 1;
}

// Starts the file afresh, or (a whole answer to a resumed request) starts it over.
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
    c->received = 0;
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

// A read returns only once all it asked for is in, so each asks for what
// arrives in about a quarter second: on a fast line 64 KiB at a time, as
// cheap as it gets; on a slow one no more than what has arrived, so that
// the progress moves even at 300 bytes a second.
DWORD NextReadSize(DWORD got, DWORD tookMs)
{
    // A read served at once from what had arrived before says nothing of
    // the line's speed, only that more may be asked for.
    const DWORD want = tookMs < 20 ? got * 2 : got * 250 / tookMs;
    return want < 1 ? 1 : want > kBlockSize ? kBlockSize : want;
}

AttemptEnd ReadBody(Transfer &t, HINTERNET request)
{
    DownloadControl *c = t.control;
    DWORD want = 0, last = GetTickCount();
    for (;;) {
        DWORD available = 0, got = 0;
        if (want < kBlockSize) {  // not known to be fast: see what has arrived
            if (!InternetQueryDataAvailable(request, &available, 0, 0))
                return kInterrupted;
            want = available > kBlockSize ? kBlockSize : available > want ? available : want;
        }
        if ((want && !InternetReadFile(request, t.block.get(), want, &got)) || Cancelled(t))
            return kInterrupted;
        if (got == 0)  // the body ended; early if it had a length
            return c->length && c->received < c->length ? kInterrupted : kComplete;
        if (!WriteBlock(t, got))
            return Fail(t, kCannotWrite, t.outcome.error);
        c->received += got;
        c->lastByte = GetTickCount();
        want = NextReadSize(got, c->lastByte - last);
        last = c->lastByte;
        SetDeadline(c);
        t.progress(t.context, c->received, c->length, 0);
    }
}

// One request: the whole file, or the rest of it from where it stopped.
AttemptEnd Attempt(Transfer &t, HINTERNET connection, const char *path)
{
    DownloadControl *c = t.control;
    InternetHandle request(HttpOpenRequestA(connection, "GET", path, NULL, NULL, NULL,
                                            INTERNET_FLAG_RELOAD, 0));
    if (!request.handle)
        return Fail(t, kCannotConnect, GetLastError());
    // The first request is given up by the waiting thread's clock, which
    // sees every kind of silence alike.
    DWORD timeout = c->answered ? kSilenceMs : kFirstContactMs + 5000;
    InternetSetOptionA(request.handle, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(request.handle, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(request.handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);

    // Without a length a cut body cannot be told from a whole one to
    // resume, so it starts over.
    const bool resuming = c->received > 0 && c->length > 0;
    const std::string headers = resuming ? ResumeHeaders(c->received, t.validator) : "";
    ++c->attempts;
    SetDeadline(c);
    if (!HttpSendRequestA(request.handle, resuming ? headers.c_str() : NULL, headers.size(), NULL,
                          0))
        return Unanswered(t, GetLastError());
    const DWORD status = QueryNumber(request.handle, HTTP_QUERY_STATUS_CODE);
    if (status == 0)  // no status line: closed without an answer
        return Unanswered(t, ERROR_HTTP_INVALID_SERVER_RESPONSE);

    // Anything but the rest of the same file starts it over from byte 0.
    if (resuming && (status == 416 ||
                     (status == 206 && !RangeContinues(QueryText(request.handle, HTTP_QUERY_CONTENT_RANGE),
                                                       c->received, c->length)))) {
        c->received = 0;
        return kStartOver;
    }
    // A server error while resuming is the line's trouble, not the file's:
    // a proxy answers so while the server behind it is unreachable.
    if (c->answered && status >= 500 && status < 600)
        return kInterrupted;
    if (status != 200 && !(status == 206 && resuming)) {
        t.outcome.status = status;
        t.outcome.statusText = QueryText(request.handle, HTTP_QUERY_STATUS_TEXT);
        return Fail(t, kHttpStatus, 0);
    }
    c->answered = 1;
    if (status == 200) {
        c->length = QueryNumber(request.handle, HTTP_QUERY_CONTENT_LENGTH);
        t.validator = Validator(request.handle);
        if (!OpenFile(t))
            return Fail(t, kCannotCreate, t.outcome.error);
    }
    return ReadBody(t, request.handle);
}

// Waits before the next attempt, telling each quarter second how long is
// left. False when the line has brought nothing for kGiveUpSeconds, or the
// user cancelled.
bool PauseBeforeRetry(Transfer &t, int fruitless)
{
    DownloadControl *c = t.control;
    const DWORD silent = GetTickCount() - c->lastByte;
    if (silent + 1000 >= kGiveUpMs) {
        t.outcome.result = kConnectionLost;
        return false;
    }
    DWORD pause = RetryPauseSeconds(fruitless) * 1000;
    if (pause > kGiveUpMs - silent)
        pause = kGiveUpMs - silent;
    const DWORD start = GetTickCount();
    for (DWORD waited = 0; waited < pause && !Cancelled(t); waited = GetTickCount() - start) {
        t.progress(t.context, c->received, c->length, (pause - waited + 999) / 1000);
        Sleep(250);
    }
    return !Cancelled(t);
}

void CloseSession(DownloadControl *c)
{
    EnterCriticalSection(&c->guard);
    if (c->session)
        InternetCloseHandle(c->session);
    c->session = NULL;
    LeaveCriticalSection(&c->guard);
}

void Run(Transfer &t, const std::string &url)
{
    DownloadControl *c = t.control;
    // The proxy set in Internet Options, if any, carries every request, as
    // for the browser: on a LAN whose only way out is such a proxy nothing
    // could be reached directly.
    c->session = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (!c->session) {
        Fail(t, kNoInternet, GetLastError());
        return;
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
        return;
    }
    InternetHandle connection(InternetConnectA(c->session, host, parts.nPort, NULL, NULL,
                                               INTERNET_SERVICE_HTTP, 0, 0));
    c->lastByte = GetTickCount();
    int fruitless = 0;  // attempts in a row that brought nothing
    for (;;) {
        const DWORD before = c->received;
        const AttemptEnd end = connection.handle ? Attempt(t, connection.handle, path)
                                                 : Fail(t, kCannotConnect, GetLastError());
        if (end == kComplete || end == kFailed)
            return;
        if (Cancelled(t)) {
            t.outcome.result = kCancelled;
            return;
        }
        if (end == kStartOver)
            continue;
        fruitless = c->received > before ? 0 : fruitless + 1;
        if (!PauseBeforeRetry(t, fruitless)) {
            if (Cancelled(t))
                t.outcome.result = kCancelled;
            return;
        }
    }
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

// The counts as far as the download got.
void Summarise(const DownloadControl *c, DownloadOutcome *outcome)
{
    outcome->received = c->received;
    outcome->length = c->length;
    outcome->attempts = c->attempts;
    outcome->silentSeconds = (GetTickCount() - c->lastByte) / 1000;
}

}  // namespace

void InitDownloadControl(DownloadControl *control)
{
    InitializeCriticalSection(&control->guard);
    control->file = INVALID_HANDLE_VALUE;
    control->session = NULL;
    control->cancelled = 0;
    control->answered = 0;
    control->deadline = 0;
    control->received = control->length = control->attempts = 0;
    control->lastByte = GetTickCount();
}

void FreeDownloadControl(DownloadControl *control)
{
    DeleteCriticalSection(&control->guard);
}

DownloadOutcome DownloadFile(const std::string &url, const std::string &path,
                             ProgressCallback progress, void *context, DownloadControl *control)
{
    Transfer t = {control, progress, context, std::unique_ptr<char[]>(new char[kBlockSize]),
                  DownloadOutcome(), std::string()};
    control->path = path;
    Run(t, url);
    control->deadline = 0;
    if (t.outcome.result == kDownloaded && Cancelled(t))
        t.outcome.result = kCancelled;
    CloseFile(control, t.outcome.result == kDownloaded);
    CloseSession(control);
    Summarise(control, &t.outcome);
    return t.outcome;
}

void CancelDownload(DownloadControl *control)
{
    InterlockedExchange(&control->cancelled, 1);
    CloseFile(control, false);
}

bool DownloadOverdue(const DownloadControl *control)
{
    const DWORD deadline = control->deadline;
    return deadline && static_cast<LONG>(GetTickCount() - deadline) >= 0;
}

DownloadOutcome AbandonDownload(DownloadControl *control)
{
    CancelDownload(control);
    CloseSession(control);
    DownloadOutcome outcome = DownloadOutcome();
    outcome.result = control->answered ? kConnectionLost : kCannotConnect;
    outcome.error = ERROR_INTERNET_TIMEOUT;
    Summarise(control, &outcome);
    return outcome;
}
