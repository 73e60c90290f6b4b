// The request runs inside a button press; long work goes to a worker thread
// so that the windows keep painting and "Cancel" keeps working meanwhile.
#include "app/worker.h"

#include "app/progress_window.h"
#include "app/message_wait.h"

namespace {

// How often the progress window hears of a download: more would only cost
// repaints.
const DWORD kProgressInterval = 250;
// How often the waiting thread looks at a cancel or a stuck download.
const DWORD kLookInterval = 100;

// Both threads hold a reference, and the last one to let go frees the job,
// so a worker stuck on a silent server can be left behind.
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

void ReportBlock(void *context, DWORD received, DWORD length, DWORD retryIn)
{
    DownloadJob *job = static_cast<DownloadJob *>(context);
    // Once cancelled, the window may be gone.
    if (!job->control.cancelled && GetTickCount() - job->lastReport >= kProgressInterval) {
        job->lastReport = GetTickCount();
        PostProgress(job->progressWindow, received, length, retryIn);
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
    ProgressSubject subject = ProgressSubject();
    subject.fileName = fileName;
    subject.control = &job->control;
    AttachDownload(progressWindow, &subject);
    ShowProgress(progressWindow, 0, 0);

    DownloadOutcome outcome = DownloadOutcome();
    outcome.result = kCancelled;
    DWORD id;
    HANDLE worker = CreateThread(NULL, 0, DownloadWorker, job, 0, &id);
    if (!worker)
        DownloadWorker(job);  // no thread to be had: download here, blocking
    // A cancelled or stuck worker may still be running: its outcome is not
    // ours to read then.
    while (worker && !WaitWhileDispatching(worker, progressWindow, kLookInterval) &&
           !job->control.cancelled) {
        if (DownloadOverdue(&job->control)) {
            outcome = AbandonDownload(&job->control);
            break;
        }
    }
    if (!job->control.cancelled) {
        outcome = job->outcome;
        ShowProgress(progressWindow, outcome.received, outcome.length);
    }
    if (worker)
        CloseHandle(worker);
    AttachDownload(progressWindow, NULL);
    ReleaseJob(job);
    return outcome;
}

void RunBesideWindows(void (*work)(void *context), void *context)
{
    Work w = {work, context};
    DWORD id;
    HANDLE thread = CreateThread(NULL, 0, Worker, &w, 0, &id);
    if (!thread) {
        work(context);  // no thread to be had: here, blocking
        return;
    }
    WaitWhileDispatching(thread);
    CloseHandle(thread);
}
