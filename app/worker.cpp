// The request runs inside a button press; long work goes to a worker thread
// so that the windows keep painting and "Cancel" keeps working meanwhile.
#include "app/worker.h"

#include "app/progress_window.h"
#include "fetch/message_wait.h"

namespace {

// How often the progress window hears of a download: more would only cost
// repaints.
const DWORD kProgressInterval = 250;
// How long a cancelled download may take to wind up before the request goes
// on without it (it ends by itself once its server call returns).
const DWORD kCancelGraceMs = 500;

// Both threads hold a reference, and the last one to let go frees the job,
// so a cancelled worker that still waits on a silent server can be left
// behind.
struct DownloadJob {
    std::string url, path;
    HWND progressWindow;
    DWORD lastReport;
    DownloadControl control;
    DownloadOutcome outcome;
    volatile LONG references;
};

void ReleaseJob(DownloadJob *job)
{
    if (InterlockedDecrement(&job->references) == 0) {
        FreeDownloadControl(&job->control);
        delete job;
    }
}

void ReportBlock(void *context, DWORD received, DWORD length)
{
    DownloadJob *job = static_cast<DownloadJob *>(context);
    // Once cancelled, the window may be gone.
    if (!job->control.cancelled && GetTickCount() - job->lastReport >= kProgressInterval) {
        job->lastReport = GetTickCount();
        PostProgress(job->progressWindow, received, length);
    }
}

DWORD WINAPI DownloadWorker(void *context)
{
    DownloadJob *job = static_cast<DownloadJob *>(context);
    job->outcome = DownloadFile(job->url, job->path, ReportBlock, job, &job->control);
    ReleaseJob(job);
    return 0;
}

struct Work {
    void (*work)(void *);
    void *context;
};

DWORD WINAPI Worker(void *context)
{
    Work *w = static_cast<Work *>(context);
    w->work(w->context);
    return 0;
}

// Runs start(context) on a new thread and dispatches messages until it ends
// or, given stop, until *stop has been set for graceMs. Without a thread to
// be had, runs it here, blocking.
void RunThread(LPTHREAD_START_ROUTINE start, void *context, HWND dialog,
               const volatile LONG *stop, DWORD graceMs)
{
    DWORD id;
    HANDLE thread = CreateThread(NULL, 0, start, context, 0, &id);
    if (!thread) {
        start(context);
        return;
    }
    WaitWhileDispatching(thread, dialog, stop, graceMs);
    CloseHandle(thread);
}

}  // namespace

DownloadOutcome DownloadBesideWindows(const std::string &url, const std::string &path,
                                      const std::string &fileName, HWND progressWindow)
{
    DownloadJob *job = new DownloadJob();
    job->url = url;
    job->path = path;
    job->progressWindow = progressWindow;
    job->references = 2;  // this thread and the worker
    InitDownloadControl(&job->control);
    ProgressSubject subject = {fileName, &job->control};
    AttachDownload(progressWindow, &subject);
    ShowProgress(progressWindow, 0, 0);

    RunThread(DownloadWorker, job, progressWindow, &job->control.cancelled, kCancelGraceMs);
    // A cancelled worker may still be running: its outcome is not ours to read.
    DownloadOutcome outcome = DownloadOutcome();
    outcome.result = kCancelled;
    if (!job->control.cancelled) {
        outcome = job->outcome;
        ShowProgress(progressWindow, outcome.received, outcome.length);
    }
    AttachDownload(progressWindow, NULL);
    ReleaseJob(job);
    return outcome;
}

void RunBesideWindows(void (*work)(void *context), void *context)
{
    Work w = {work, context};
    RunThread(Worker, &w, NULL, NULL, 0);
}
