// One package request, from the button press to the final box: the folder,
// the extractor, then the package. This is the only place that turns what
// happened into a box, into "exit 1", or into the main window coming back;
// what the boxes and the status line say is fetch/words.cpp's.
#include "app/request.h"

#include <shlobj.h>

#include "app/globals.h"
#include "app/message_wait.h"
#include "app/pelmora.h"
#include "app/progress_window.h"
#include "app/runtime.h"
#include "app/worker.h"
#include "fetch/catalogue.h"
#include "fetch/checksum.h"
#include "fetch/copy_at_hand.h"
#include "fetch/download.h"
#include "fetch/extract_check.h"
#include "fetch/extractor.h"
#include "fetch/fetch_paths.h"
#include "fetch/words.h"
#include "net/program_folder.h"

namespace {

// Which file a fetch is for: the extractor has nothing to extract.
enum FetchOf { kExtractorFetch, kPackageFetch };

// How each ending's box looks (fetch/words.cpp says what it says), and
// whether the program then ends with exit code 1.
struct EndingBox {
    UINT icon;
    bool endsProgram;
};

const EndingBox kEndingBoxes[] = {
    {0, false},                   // kGoOn: no box
    {MB_ICONINFORMATION, false},  // kExtracted
    {MB_ICONWARNING, false},      // kNotExtracted
    {0, false},                   // kUserCancelled: no box
    {MB_ICONERROR, false},        // kNoFolder
    {MB_ICONERROR, false},        // kFolderRefused
    {MB_ICONERROR, false},        // kNoWindowsFolder
    {MB_ICONERROR, false},        // kNoInternetClient
    {MB_ICONERROR, true},         // kUrlFailed
    {MB_ICONERROR, true},         // kOutputFailed
    {MB_ICONWARNING, true},       // kChecksumFailed
    {MB_ICONERROR, false},        // kExtractFailed
    {MB_ICONWARNING, true},       // kTransferFailed: as kChecksumFailed
};
static_assert(sizeof kEndingBoxes / sizeof kEndingBoxes[0] == kTransferFailed + 1,
              "one box for each ending, in the order of the endings");

std::string AskForExtractFolder(HWND owner, std::string *refusal);
bool DownloadAndExtract(const PackageEntry &package, FetchOf what,
                        const std::string &extractFolder);
bool End(HWND progressWindow, Ending ending, const std::string &detail);

}  // namespace

void RequestPackage(HWND hwnd, const PackageEntry &package)
{
    HideAbout();
    ShowWindow(hwnd, SW_HIDE);

    std::string refusal;
    const std::string folder = AskForExtractFolder(hwnd, &refusal);
    if (!refusal.empty()) {
        End(NULL, kFolderRefused, refusal);
        return;
    }
    if (folder.empty()) {
        End(NULL, kNoFolder, "");
        return;
    }

    MessageBoxA(NULL, kStartBox.text, kStartBox.caption, MB_ICONINFORMATION);
    // The extractor comes first, downloaded or a verified copy at hand; a
    // package is never fetched when that did not work out.
    if (!DownloadAndExtract(package, kExtractorFetch, std::string()))
        return;
    DownloadAndExtract(package, kPackageFetch, folder);
}

namespace {

// Standard output reaches a file or pipe only when it was redirected at
// start; unbuffered, so the line is there at once.
void LogLine(const std::string &text)
{
    const std::string line = text + "\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), line.size(), &written, NULL);
}

// Asks for the extract folder: the one chosen, or "" when none ever was. A
// cancelled picker, or a choice that has no file-system path, gives the
// folder of an earlier request, which the globals remember. A folder that is
// refused gives "" and says why.
std::string AskForExtractFolder(HWND owner, std::string *refusal)
{
    const std::string earlier = g_pathSelected ? g_extractPath : std::string();
    BROWSEINFOA info = {};
    info.hwndOwner = owner;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    LPITEMIDLIST folder = SHBrowseForFolderA(&info);
    if (!folder)
        return earlier;
    char buffer[MAX_PATH] = "";
    const bool converted = SHGetPathFromIDListA(folder, buffer) && buffer[0];
    CoTaskMemFree(folder);
    if (!converted)
        return earlier;
    const std::string path = buffer;
    // The interpreter would expand %NAME% in the command line and extract
    // somewhere else.
    if (path.find('%') != std::string::npos) {
        *refusal = PercentInFolderText(path);
        return "";
    }
    g_extractPath = path;
    g_pathSelected = true;
    LogLine(FolderChosenLine(path));
    return path;
}

// The Windows folder from the environment, or "" when WINDIR is not set.
std::string WindowsFolder()
{
    char folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("WINDIR", folder, sizeof folder);
    return length > 0 && length < sizeof folder ? folder : "";
}

Ending FetchAndExtract(const PackageEntry &package, FetchOf what, const FetchPaths &paths,
                       const std::string &extractFolder, HWND progressWindow, std::string *detail);

// The file a fetch of a package's request is for.
const PackageEntry &FetchedFile(const PackageEntry &package, FetchOf what)
{
    return what == kExtractorFetch ? kExtractorEntry : package;
}

// Fetches the extractor or the package of a request into the temp folder,
// verifies it and, for the package, extracts it into the folder. True when
// the request may go on.
bool DownloadAndExtract(const PackageEntry &package, FetchOf what,
                        const std::string &extractFolder)
{
    const std::string windowsFolder = WindowsFolder();
    if (windowsFolder.empty())
        return End(NULL, kNoWindowsFolder, "");
    const FetchPaths paths = BuildFetchPaths(windowsFolder, FetchedFile(package, what).fileName);
    HWND progressWindow = CreateProgressWindow();
    std::string detail;
    const Ending ending =
        FetchAndExtract(package, what, paths, extractFolder, progressWindow, &detail);
    return End(progressWindow, ending, detail);
}

const char *CopyAtHand(const FetchPaths &paths, const std::string &fileName);
Ending DownloadEnding(const DownloadOutcome &outcome, const PackageEntry &file,
                      const PackageEntry &package, const std::string &path, std::string *detail);
Ending DownloadChecked(const PackageEntry &file, const PackageEntry &package,
                       const FetchPaths &paths, HWND progressWindow, DWORD *size,
                       std::string *detail);
bool ChecksumMatches(const std::string &path, const std::string &fileName);
DWORD FileSize(const std::string &path);
std::string ExtractionTrouble(const FetchPaths &paths, const std::string &folder);

// The window tells what happens at each step, since after the transfer
// nothing can be cancelled any more.
Ending FetchAndExtract(const PackageEntry &package, FetchOf what, const FetchPaths &paths,
                       const std::string &extractFolder, HWND progressWindow, std::string *detail)
{
    const PackageEntry &file = FetchedFile(package, what);
    const std::string fileName = file.fileName;
    ShowStatus(progressWindow, CheckingText(fileName));
    DWORD size = 0;
    if (const char *where = CopyAtHand(paths, fileName)) {
        size = FileSize(paths.downloadPath);
        ShowProgress(progressWindow, size, size);
        ShowStatus(progressWindow, CopyUsedText(fileName, where));
    } else {
        const Ending fetched = DownloadChecked(file, package, paths, progressWindow, &size, detail);
        if (fetched != kGoOn)
            return fetched;
    }
    if (what == kExtractorFetch)
        return kGoOn;
    if (extractFolder.empty())
        return kNotExtracted;

    ShowStatus(progressWindow, ExtractingText(fileName, extractFolder));
    const std::string trouble = ExtractionTrouble(paths, extractFolder);
    if (!trouble.empty()) {
        *detail = ExtractFailedText(trouble, fileName, extractFolder);
        return kExtractFailed;
    }
    ShowStatus(progressWindow, DoneText(fileName, size));
    *detail = extractFolder;
    return kExtracted;
}

// Downloads the file and checks it: kGoOn, with its size, once it matches.
// A body whose end nothing proved (no length, and chunks read by WININET)
// may have been cut by a close that looked like its end, so such a file is
// fetched once more before it is called corrupt.
Ending DownloadChecked(const PackageEntry &file, const PackageEntry &package,
                       const FetchPaths &paths, HWND progressWindow, DWORD *size,
                       std::string *detail)
{
    for (int fetches = 1;; ++fetches) {
        const DownloadOutcome outcome =
            DownloadBesideWindows(file.url, paths.downloadPath, file.fileName, progressWindow);
        if (outcome.result != kDownloaded)
            return DownloadEnding(outcome, file, package, paths.downloadPath, detail);
        ShowStatus(progressWindow, CheckingText(file.fileName));
        if (ChecksumMatches(paths.downloadPath, file.fileName)) {
            *size = outcome.received;
            return kGoOn;
        }
        DeleteFileA(paths.downloadPath.c_str());
        if (!outcome.endUnproven || fetches == 2)
            return kChecksumFailed;
    }
}

// The system's own words for an error code, without the closing full stop.
std::string SystemText(DWORD error)
{
    char *text = NULL;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   NULL, error, 0, reinterpret_cast<char *>(&text), 0, NULL);
    std::string words = text ? text : ErrorNumberText(error);
    LocalFree(text);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.'))
        words.pop_back();
    return words;
}

// How a download that did not bring the file ends; package is the one the
// request is for, file the one fetched (it or the extractor).
Ending DownloadEnding(const DownloadOutcome &outcome, const PackageEntry &file,
                      const PackageEntry &package, const std::string &path, std::string *detail)
{
    switch (outcome.result) {
    case kCancelled:
        return kUserCancelled;
    case kNoInternet:
        *detail = NotDownloadedText(file.fileName);
        return kNoInternetClient;
    case kNoNetwork:
        *detail = NoNetworkText(file.fileName, package.fileName);
        return kNoInternetClient;
    case kCannotConnect:
    case kSecureRedirect:
        *detail = UrlFailedText(outcome, file.url, file.fileName);
        return kUrlFailed;
    case kCannotCreate:
        return kOutputFailed;
    case kCannotWrite: {
        const bool full = outcome.error == ERROR_DISK_FULL || outcome.error == ERROR_HANDLE_DISK_FULL;
        *detail = CannotWriteText(path, full, full ? std::string() : SystemText(outcome.error));
        return kTransferFailed;
    }
    default:
        *detail = TransferFailedText(outcome);
        return kTransferFailed;
    }
}

// Where a verified copy of the file was found, or NULL.
const char *CopyAtHand(const FetchPaths &paths, const std::string &fileName)
{
    const std::string programFolder = ProgramFolder();
    const char *where = NULL;
    RunBesideWindows([&] { where = UseCopyAtHand(paths, programFolder, fileName); });
    return where;
}

DWORD FileSize(const std::string &path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0,
                              NULL);
    const DWORD size = file == INVALID_HANDLE_VALUE ? 0 : GetFileSize(file, NULL);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return size;
}

bool ChecksumMatches(const std::string &path, const std::string &fileName)
{
    std::string sum;
    RunBesideWindows([&] { sum = ComputeChecksum(path); });
    return sum == ExpectedChecksum(fileName);
}

// Runs the extractor, then looks for every member of the archive in the
// folder. What went wrong, or "" when the files are there.
std::string ExtractionTrouble(const FetchPaths &paths, const std::string &folder)
{
    const ExtractorRun run = StartExtractor(paths, folder);
    if (run.folderTooLong)
        return FolderTooLongText(folder);
    if (!run.process)
        return kExtractorNotStarted;
    WaitWhileDispatching(run.process);
    DWORD exitCode = 0;
    GetExitCodeProcess(run.process, &exitCode);
    CloseHandle(run.process);
    ExtractCheck check = ExtractCheck();
    RunBesideWindows([&] { check = CheckExtracted(paths.downloadPath, folder); });
    const std::string missing = MissingFilesText(check, folder);
    if (run.exitCodeKnown && exitCode != 0)
        return ExtractorFailedText(exitCode, missing);
    return missing;
}

// Tells the user how a fetch or request ended; a fatal failure ends the
// program here. Otherwise the progress window goes (after the success box,
// beside which it stays with its bar full) and, unless the request goes on,
// the main window comes back. True when the request goes on.
bool End(HWND progressWindow, Ending ending, const std::string &detail)
{
    const EndingBox &box = kEndingBoxes[ending];
    const BoxWords words = EndingWords(ending);
    if (box.endsProgram) {
        MessageBoxA(NULL, (words.text + detail).c_str(), words.caption, box.icon);
        ExitProgram(1);
    }
    if (progressWindow && ending != kExtracted) {
        DestroyWindow(progressWindow);
        progressWindow = NULL;
    }
    // Painted whole before the box is made: else its buttons wait for the
    // box's message loop, and an empty frame stands there meanwhile.
    if (ending != kGoOn) {
        ShowWindow(g_hMainWnd, SW_SHOW);
        UpdateWindow(g_hMainWnd);
    }
    if (words.text)
        MessageBoxA(NULL, (words.text + detail).c_str(), words.caption, box.icon);
    if (progressWindow)
        DestroyWindow(progressWindow);
    return ending == kGoOn;
}

}  // namespace
