// One HTTP download into a file, resumed with Range requests when the body
// stops short, patiently: a dial-up line redials, a Wi-Fi bridge reconnects
// and a LAN server restarts within a couple of minutes. The rules here hold
// whichever transport carries the bytes. Each attempt opens its own request
// with a time limit for every wait; what a transport lets hang anyway (a
// WININET connect to a host that drops packets, a name lookup) the waiting
// thread gives up on by its own clock (DownloadOverdue).
#include "fetch/download.h"

#include <memory>

#include "fetch/resume.h"
#include "net/http_reading.h"
#include "net/transport.h"

namespace {

const char kAgent[] = "Pelmora Downloader";
const DWORD kBlockSize = 64 * 1024;
const DWORD kSilenceMs = 30 * 1000;
const DWORD kFirstContactMs = kFirstContactSeconds * 1000;
const DWORD kGiveUpMs = kGiveUpSeconds * 1000;

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

AttemptEnd Redirected(Transfer &t, DownloadResult result, const std::string &url, DWORD error)
{
    t.outcome.url = url;
    return Fail(t, result, error);
}

// What proves on a resume that the server still has the same file. A weak
// ETag cannot, by the rules of If-Range.
std::string Validator(const HttpAnswer &answer)
{
    if (!answer.etag.empty() && answer.etag.compare(0, 2, "W/") != 0)
        return answer.etag;
    return answer.lastModified;
}

// The first request has kFirstContactSeconds; every later call has until
// the line is given up, plus the time a silent read takes to notice.
void SetDeadline(DownloadControl *c)
{
    const DWORD deadline =
        c->answered ? c->lastGrowth + kGiveUpMs + kSilenceMs : GetTickCount() + kFirstContactMs;
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

// Only bytes that carry the file past the furthest point it has reached
// count as the line working: a server that cuts at the same place every
// time, and ignores Range, would otherwise be asked for the file forever.
void NoteGrowth(DownloadControl *c)
{
    if (c->received > c->furthest) {
        c->furthest = c->received;
        c->lastGrowth = GetTickCount();
    }
}

bool GivenUp(const DownloadControl *c)
{
    return GetTickCount() - c->lastGrowth >= kGiveUpMs;
}

AttemptEnd ReadBody(Transfer &t)
{
    DownloadControl *c = t.control;
    for (;;) {
        DWORD got = 0;
        if (c->transport->Read(t.block.get(), kBlockSize, &got) != 0 || Cancelled(t))
            return kInterrupted;
        if (got == 0)  // the body ended; early if it had a length
            return c->length && c->received < c->length ? kInterrupted : kComplete;
        if (!WriteBlock(t, got))
            return Fail(t, kCannotWrite, t.outcome.error);
        c->received += got;
        NoteGrowth(c);
        SetDeadline(c);
        t.progress(t.context, c->received, c->length, 0);
        if (GivenUp(c))  // the pause after this attempt says so
            return kInterrupted;
    }
}

// Sends the request, following redirects to wherever they lead: another
// host, or https.
AttemptEnd Request(Transfer &t, std::string url, const std::string &headers, HttpAnswer *answer)
{
    DownloadControl *c = t.control;
    for (int redirects = 0;; ++redirects) {
        SetDeadline(c);
        const bool secure = IsHttpsUrl(url);
        const ConnectionTrouble route = c->transport->Route(url);
        EnterCriticalSection(&c->guard);
        c->currentUrl = url;
        c->route = route;
        LeaveCriticalSection(&c->guard);
        // The first request is given up by the waiting thread's clock,
        // which sees every kind of silence alike.
        const DWORD timeout = c->answered ? kSilenceMs : kFirstContactMs + 5000;
        if (const DWORD error = c->transport->Open(url, headers, timeout, answer)) {
            t.outcome.trouble = c->transport->Trouble();
            if (secure)
                t.outcome.url = url;
            // Refused by our TLS or by the proxy, or WININET's own SSL
            // failing (it names no host): no retry can help.
            if (IsRefusal(error) || (secure && t.outcome.trouble.host.empty()))
                return Fail(t, secure ? kSecureRedirect : kCannotConnect, error);
            return Unanswered(t, error);
        }
        if (!IsRedirect(answer->status))
            return kComplete;
        const std::string next = RedirectTarget(url, answer->location);
        if (next.empty())  // nowhere to go: judged by its status
            return kComplete;
        if (redirects == kMaxRedirects)
            return Redirected(t, kTooManyRedirects, url, 0);
        c->transport->Close();
        url = next;
    }
}

// One request: the whole file, or the rest of it from where it stopped.
AttemptEnd Attempt(Transfer &t, const std::string &url)
{
    DownloadControl *c = t.control;
    // Without a length a cut body cannot be told from a whole one to
    // resume, so it starts over.
    const bool resuming = c->received > 0 && c->length > 0;
    const std::string headers = resuming ? ResumeHeaders(c->received, t.validator) : "";
    ++c->attempts;
    HttpAnswer answer = HttpAnswer();
    const AttemptEnd sent = Request(t, url, headers, &answer);
    if (sent != kComplete)
        return sent;
    const DWORD status = answer.status;

    // Anything but the rest of the same file starts it over from byte 0.
    if (resuming && (status == 416 ||
                     (status == 206 && !RangeContinues(answer.contentRange, c->received, c->length)))) {
        c->received = 0;
        return kStartOver;
    }
    // A server error while resuming is the line's trouble, not the file's:
    // a proxy answers so while the server behind it is unreachable.
    if (c->answered && status >= 500 && status < 600)
        return kInterrupted;
    if (status != 200 && !(status == 206 && resuming)) {
        t.outcome.status = status;
        t.outcome.statusText = answer.statusText;
        return Fail(t, kHttpStatus, 0);
    }
    c->answered = 1;
    t.outcome.endUnproven = !answer.endKnown;
    if (status == 200) {
        c->length = answer.length;
        t.validator = Validator(answer);
        if (!OpenFile(t))
            return Fail(t, kCannotCreate, t.outcome.error);
    }
    return ReadBody(t);
}

// Waits before the next attempt, telling each quarter second how long is
// left. False when the file has not grown for kGiveUpSeconds, or the user
// cancelled.
bool PauseBeforeRetry(Transfer &t, int fruitless)
{
    DownloadControl *c = t.control;
    const DWORD silent = GetTickCount() - c->lastGrowth;
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

// WININET where Internet Explorer put it, else the program's own HTTP over
// Winsock; NULL, with the outcome set, when neither can be had.
Transport *ChooseTransport(Transfer &t)
{
    DWORD error = 0;
    Transport *transport = OpenWininetTransport(kAgent, &t.control->cancelled, &error);
    if (!transport && !error)
        transport = OpenWinsockTransport(&t.control->cancelled, &error);
    if (!transport)
        Fail(t, error ? kNoInternet : kNoNetwork, error);
    return transport;
}

void Run(Transfer &t, const std::string &url)
{
    DownloadControl *c = t.control;
    if (!c->transport)
        return;
    c->timeoutError = c->transport->TimeoutError();
    c->lastGrowth = GetTickCount();
    int fruitless = 0;  // attempts in a row that carried the file no further
    for (;;) {
        const DWORD before = c->furthest;
        const AttemptEnd end = Attempt(t, url);
        c->transport->Close();
        if (end == kComplete || end == kFailed)
            return;
        if (Cancelled(t)) {
            t.outcome.result = kCancelled;
            return;
        }
        if (end == kStartOver)
            continue;
        fruitless = c->furthest > before ? 0 : fruitless + 1;
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
    outcome->silentSeconds = (GetTickCount() - c->lastGrowth) / 1000;
}

}  // namespace

void InitDownloadControl(DownloadControl *control)
{
    InitializeCriticalSection(&control->guard);
    control->file = INVALID_HANDLE_VALUE;
    control->transport = NULL;
    control->cancelled = 0;
    control->answered = 0;
    control->deadline = 0;
    control->received = control->length = control->attempts = 0;
    control->furthest = 0;
    control->lastGrowth = GetTickCount();
    control->timeoutError = 0;
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
    Transport *transport = ChooseTransport(t);
    EnterCriticalSection(&control->guard);
    control->transport = transport;
    LeaveCriticalSection(&control->guard);
    Run(t, url);
    control->deadline = 0;
    if (t.outcome.result == kDownloaded && Cancelled(t))
        t.outcome.result = kCancelled;
    // A proxy setting that could not be used is told with any failure.
    EnterCriticalSection(&control->guard);
    t.outcome.trouble.setting = control->route.setting;
    LeaveCriticalSection(&control->guard);
    CloseFile(control, t.outcome.result == kDownloaded);
    EnterCriticalSection(&control->guard);
    control->transport = NULL;
    LeaveCriticalSection(&control->guard);
    delete transport;
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
    EnterCriticalSection(&control->guard);
    if (control->transport)
        control->transport->Abandon();
    LeaveCriticalSection(&control->guard);
    DownloadOutcome outcome = DownloadOutcome();
    outcome.result = control->answered ? kConnectionLost : kCannotConnect;
    outcome.error = control->timeoutError;
    // What it was waiting for: the proxy on the way, or an https server.
    EnterCriticalSection(&control->guard);
    const bool secure = IsHttpsUrl(control->currentUrl);
    outcome.trouble = control->route;
    if (!control->answered && !control->route.proxy.empty())
        outcome.trouble.kind = ConnectionTrouble::kProxyNoAnswer;
    else if (!control->answered && secure)
        outcome.trouble.kind = ConnectionTrouble::kNoAnswer;
    if (secure)
        outcome.url = control->currentUrl;
    LeaveCriticalSection(&control->guard);
    Summarise(control, &outcome);
    return outcome;
}
