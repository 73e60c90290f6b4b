// One package request, from the button press to the final box. This is the
// only place that turns what happened into a box, into "exit 1", or into the
// main window coming back.
#include "app/request.h"

#include <shlobj.h>

#include <algorithm>

#include "app/globals.h"
#include "app/progress_window.h"
#include "app/runtime.h"
#include "fetch/catalogue.h"
#include "fetch/checksum.h"
#include "fetch/download.h"
#include "fetch/extractor.h"
#include "fetch/fetch_paths.h"
#include "fetch/message_wait.h"

namespace {

// How often the progress window hears of a download: more would only cost
// repaints.
const DWORD kProgressInterval = 250;
// How long a cancelled download may take to wind up before the request goes
// on without it (it ends by itself once its server call returns).
const DWORD kCancelGraceMs = 500;

enum FolderChoice { kFolderChosen, kPickerCancelled, kFolderRefused };

// A download on its worker thread; both threads hold a reference, and the
// last one to let go frees it, so a cancelled worker that still waits on a
// silent server can be left behind.
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
    if (GetTickCount() - job->lastReport >= kProgressInterval) {
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

// Downloads on a worker thread while this thread keeps every window
// answering. False when the user cancelled.
bool Download(const std::string &url, const std::string &path, const std::string &fileName,
              HWND progressWindow, DownloadOutcome *outcome)
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

    DWORD id;
    HANDLE worker = CreateThread(NULL, 0, DownloadWorker, job, 0, &id);
    if (worker) {
        WaitWhileDispatching(worker, progressWindow, &job->control.cancelled, kCancelGraceMs);
        CloseHandle(worker);
    } else {
        DownloadWorker(job);  // no thread to be had: download here, blocking
    }
    const bool cancelled = job->control.cancelled != 0;
    if (!cancelled) {
        *outcome = job->outcome;
        ShowProgress(progressWindow, outcome->received, outcome->length);
    }
    AttachDownload(progressWindow, NULL);
    ReleaseJob(job);
    return !cancelled;
}

// The system's own words for an error code, without the closing full stop.
std::string SystemText(DWORD error)
{
    char *text = NULL;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   NULL, error, 0, reinterpret_cast<char *>(&text), 0, NULL);
    std::string words = text ? text : "error " + DecimalText(error);
    LocalFree(text);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.'))
        words.pop_back();
    return words;
}

// Why a download failed, in words, after the fixed first line.
std::string FailureCause(const DownloadOutcome &outcome, const std::string &path)
{
    switch (outcome.result) {
    case kHttpStatus:
        return "The server answered " + DecimalText(outcome.status) + " " + outcome.statusText +
               ".";
    case kConnectionLost:
        return "The connection was lost after " + DecimalText(outcome.received) +
               (outcome.length ? " of " + DecimalText(outcome.length) : std::string()) +
               " bytes (" + DecimalText(kAttemptsWithoutProgress) + " attempts).";
    case kSilence:
        return "Nothing arrived from the server for " + DecimalText(kSilenceSeconds) + " seconds.";
    case kCannotWrite: {
        std::string shown = path;
        std::replace(shown.begin(), shown.end(), '/', '\\');
        const bool full = outcome.error == ERROR_DISK_FULL || outcome.error == ERROR_HANDLE_DISK_FULL;
        return "The file could not be written to " + shown + ": " +
               (full ? std::string("the disk is full") : SystemText(outcome.error)) + ".";
    }
    default:
        return "";
    }
}

void ShowError(const std::string &text)
{
    MessageBoxA(NULL, text.c_str(), "Error", MB_ICONERROR);
}

[[noreturn]] void FailFatally(const std::string &text, const char *caption, UINT icon)
{
    MessageBoxA(NULL, text.c_str(), caption, icon);
    ExitProgram(1);
}

void BackToMainWindow(HWND progressWindow)
{
    if (progressWindow)
        ShowWindow(progressWindow, SW_HIDE);
    ShowWindow(g_hMainWnd, SW_SHOW);
}

// Ends a request that cannot go on without leaving the user with no window.
bool GiveUp(HWND progressWindow, const std::string &text)
{
    BackToMainWindow(progressWindow);
    ShowError(text);
    return false;
}

// The Windows folder from the environment, or "" when WINDIR is not set.
std::string WindowsFolder()
{
    char folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("WINDIR", folder, sizeof folder);
    return length > 0 && length < sizeof folder ? folder : "";
}

// Fetches one catalogue file into the temp folder, verifies it and, given a
// folder, extracts it there. True when the request may go on.
bool DownloadAndExtract(const std::string &url, const std::string &fileName,
                        const std::string &extractFolder)
{
    const std::string windowsFolder = WindowsFolder();
    if (windowsFolder.empty())
        return GiveUp(NULL, "The WINDIR environment variable is not set, so the Windows folder "
                            "and its TEMP folder cannot be found. Nothing was downloaded.");
    const FetchPaths paths = BuildFetchPaths(windowsFolder, fileName);

    HWND progressWindow = CreateProgressWindow();
    DownloadOutcome outcome;
    if (!Download(url, paths.downloadPath, fileName, progressWindow, &outcome)) {
        BackToMainWindow(progressWindow);
        return false;
    }
    switch (outcome.result) {
    case kDownloaded:
        break;
    case kNoInternet:
        return GiveUp(progressWindow, "The Internet connection could not be set up, so " +
                                          fileName + " was not downloaded.");
    case kCannotConnect:
        FailFatally("Failed to open URL: " + url + "\r\n\r\nError code: " +
                        DecimalText(outcome.error),
                    "Error", MB_ICONERROR);
    case kCannotCreate:
        FailFatally("Failed to open the output file for writing", "Error", MB_ICONERROR);
    default:
        FailFatally("Checksum Failed\r\n\r\n" + FailureCause(outcome, paths.downloadPath),
                    "Failed.", MB_ICONWARNING);
    }
    if (ComputeChecksum(paths.downloadPath) != ExpectedChecksum(fileName)) {
        DeleteFileA(paths.downloadPath.c_str());
        FailFatally("Checksum Failed", "Failed.", MB_ICONWARNING);
    }

    bool extracted = true;
    if (!extractFolder.empty()) {
        const ExtractOutcome run = RunExtractor(paths, extractFolder);
        ShowWindow(g_hMainWnd, SW_SHOW);
        extracted = run.started && (!run.exitCodeKnown || run.exitCode == 0);
        if (extracted)
            MessageBoxA(NULL, ("File downloaded and extracted successfully to: " + extractFolder).c_str(),
                        "Task succesfull", MB_ICONINFORMATION);
        else
            ShowError((run.started ? "The extractor failed (exit code " + DecimalText(run.exitCode) + ")."
                                   : std::string("The extractor could not be started.")) +
                      "\r\n\r\n" + fileName + " was downloaded but could not be extracted to: " +
                      extractFolder);
    } else if (fileName != kExtractorEntry.fileName) {
        MessageBoxA(NULL, "No extract path selected.", "Skipping extraction.", MB_ICONWARNING);
    }
    ShowWindow(progressWindow, SW_HIDE);
    return extracted;
}

// Standard output reaches a file or pipe only when it was redirected at
// start; unbuffered, so the line is there at once.
void LogLine(const std::string &text)
{
    const std::string line = text + "\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), line.size(), &written, NULL);
}

// Asks for the extract folder. A cancelled picker, or a choice that has no
// file-system path, keeps the folder of an earlier request; so does a folder
// that is refused.
FolderChoice AskForExtractFolder(HWND owner, std::string *picked)
{
    BROWSEINFOA info = {};
    info.hwndOwner = owner;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    LPITEMIDLIST folder = SHBrowseForFolderA(&info);
    if (!folder)
        return kPickerCancelled;
    char path[MAX_PATH] = "";
    const bool converted = SHGetPathFromIDListA(folder, path) && path[0];
    CoTaskMemFree(folder);
    if (!converted)
        return kPickerCancelled;
    *picked = path;
    // The interpreter would expand %NAME% in the command line and extract
    // somewhere else.
    if (picked->find('%') != std::string::npos)
        return kFolderRefused;
    g_extractPath = path;
    g_pathSelected = true;
    LogLine("Extract path selected: " + g_extractPath);
    return kFolderChosen;
}

}  // namespace

void RequestPackage(HWND hwnd, const PackageEntry &package)
{
    if (g_hAboutWnd)
        ShowWindow(g_hAboutWnd, SW_HIDE);
    ShowWindow(hwnd, SW_HIDE);

    std::string picked;
    if (AskForExtractFolder(hwnd, &picked) == kFolderRefused) {
        ShowError("The folder " + picked + " has a % in its name, which the command interpreter "
                  "would change, so the files would land in another folder. Please choose "
                  "another folder.");
        ShowWindow(hwnd, SW_SHOW);
        return;
    }
    if (!g_pathSelected) {
        ShowError("Extract path not selected. Please select an extract path before downloading.");
        ShowWindow(hwnd, SW_SHOW);
        return;
    }

    MessageBoxA(NULL,
                "It will now download and extract the specific file.\r\n Depending on the size of "
                "the file that can take up to a min.\r\n",
                "Start Task", MB_ICONINFORMATION);
    // The extractor is fetched and verified again before every package; a
    // package is never fetched when that did not work out.
    if (!DownloadAndExtract(kExtractorEntry.url, kExtractorEntry.fileName, std::string()))
        return;
    DownloadAndExtract(package.url, package.fileName, g_extractPath);
}
