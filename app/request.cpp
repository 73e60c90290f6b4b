// One package request, from the button press to the final box: the folder,
// the extractor, then the package. This is the only place that turns what
// happened into a box, into "exit 1", or into the main window coming back.
#include "app/request.h"

#include <shlobj.h>

#include <algorithm>

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
#include "fetch/progress_text.h"
#include "net/text.h"
#include "net/tls_profile.h"

namespace {

// How a request, or one fetch of it, ends.
enum Ending {
    kGoOn,  // the extractor is in place: the request goes on
    kExtracted,
    kNotExtracted,  // a package without a folder to extract it to
    kUserCancelled,
    kNoFolder,
    kFolderRefused,
    kNoWindowsFolder,
    kNoInternetClient,
    kUrlFailed,
    kOutputFailed,
    kChecksumFailed,
    kExtractFailed,
    kTransferFailed,  // shown as kChecksumFailed, with the reason after it
};

// Which file a fetch is for: the extractor has nothing to extract.
enum FetchOf { kExtractorFetch, kPackageFetch };

// What the user is told of each ending: the text (followed by the ending's
// details; NULL for no box), caption, icon, and whether the program ends
// with exit code 1.
struct EndingBox {
    const char *text;
    const char *caption;
    UINT icon;
    bool endsProgram;
};

const EndingBox kEndingBoxes[] = {
    {NULL, NULL, 0, false},  // kGoOn
    {"File downloaded and extracted successfully to: ", "Task succesfull", MB_ICONINFORMATION,
     false},
    {"No extract path selected.", "Skipping extraction.", MB_ICONWARNING, false},
    {NULL, NULL, 0, false},  // kUserCancelled
    {"Extract path not selected. Please select an extract path before downloading.", "Error",
     MB_ICONERROR, false},
    {"The folder ", "Error", MB_ICONERROR, false},
    {"The WINDIR environment variable is not set, so the Windows folder and its TEMP folder "
     "cannot be found. Nothing was downloaded.",
     "Error", MB_ICONERROR, false},
    {"The Internet connection could not be set up, so ", "Error", MB_ICONERROR, false},
    {"Failed to open URL: ", "Error", MB_ICONERROR, true},
    {"Failed to open the output file for writing", "Error", MB_ICONERROR, true},
    {"Checksum Failed", "Failed.", MB_ICONWARNING, true},
    {"", "Error", MB_ICONERROR, false},  // kExtractFailed: the details say it all
};
static_assert(sizeof kEndingBoxes / sizeof kEndingBoxes[0] == kExtractFailed + 1,
              "one box for each ending but the last, in the order of the endings");

// A transfer that failed was always told as a failed checksum, the reason
// after it; it keeps that box.
const EndingBox &BoxOf(Ending ending)
{
    return kEndingBoxes[ending == kTransferFailed ? kChecksumFailed : ending];
}

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

    MessageBoxA(NULL,
                "It will now download and extract the specific file.\r\n Depending on the size of "
                "the file that can take up to a min.\r\n",
                "Start Task", MB_ICONINFORMATION);
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
        *refusal = path + " has a % in its name, which the command interpreter would change, so "
                   "the files would land in another folder. Please choose another folder.";
        return "";
    }
    g_extractPath = path;
    g_pathSelected = true;
    LogLine("Extract path selected: " + path);
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
// Where a request's files can come from when there is no network: the
// copies it looks for beside the program before it downloads.
std::string CopiesBesideText(const PackageEntry &package)
{
    return std::string("Copies of ") + kExtractorEntry.fileName + " and " + package.fileName +
           " put beside Pelmora Downloader (on a floppy or CD, say) are used instead of downloads.";
}

// A redirect to https, which plain HTTP cannot follow: where it led, and
// what works on this Windows instead. Only WININET, which tried (and has an
// error to show), knows of a proxy.
std::string SecureRedirectText(const DownloadOutcome &outcome, const std::string &fileName)
{
    const bool tried = outcome.error != 0;
    return "The server sent this request on to " + outcome.url + ", a secure (https) address, " +
           (tried ? "and the secure connection to it could not be made (error " +
                        DecimalText(outcome.error) + ")"
                  : std::string("which this Windows cannot open without Internet Explorer")) +
           ". What works instead: " +
           (tried ? "an HTTP proxy on the LAN that fetches https addresses for this PC, set in "
                    "Internet Options; "
                  : "") +
           "a mirror on the LAN that serves the files over plain http; or " + fileName +
           " put beside Pelmora Downloader.";
}

Ending DownloadEnding(const DownloadOutcome &outcome, const PackageEntry &file,
                      const PackageEntry &package, const std::string &path, std::string *detail);
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
    ShowStatus(progressWindow, "Checking " + fileName + "...");
    DWORD size;
    if (const char *where = CopyAtHand(paths, fileName)) {
        size = FileSize(paths.downloadPath);
        ShowProgress(progressWindow, size, size);
        ShowStatus(progressWindow, fileName + ": the copy " + where + " is used");
    } else {
        const DownloadOutcome outcome =
            DownloadBesideWindows(file.url, paths.downloadPath, fileName, progressWindow);
        if (outcome.result != kDownloaded)
            return DownloadEnding(outcome, file, package, paths.downloadPath, detail);
        ShowStatus(progressWindow, "Checking " + fileName + "...");
        if (!ChecksumMatches(paths.downloadPath, fileName)) {
            DeleteFileA(paths.downloadPath.c_str());
            return kChecksumFailed;
        }
        size = outcome.received;
    }
    if (what == kExtractorFetch)
        return kGoOn;
    if (extractFolder.empty())
        return kNotExtracted;

    ShowStatus(progressWindow, "Extracting " + fileName + " into " + extractFolder + "...");
    *detail = ExtractionTrouble(paths, extractFolder);
    if (!detail->empty()) {
        *detail += "\r\n\r\n" + fileName + " was downloaded but could not be extracted to: " +
                   extractFolder;
        return kExtractFailed;
    }
    ShowStatus(progressWindow, DoneText(fileName, size));
    *detail = extractFolder;
    return kExtracted;
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

// Why a transfer failed, in words, after the fixed first line.
std::string TransferTrouble(const DownloadOutcome &outcome, const std::string &path)
{
    switch (outcome.result) {
    case kHttpStatus:
        return "The server answered " + DecimalText(outcome.status) + " " + outcome.statusText +
               ".";
    case kTooManyRedirects:
        return "The server sent the request on more than " + DecimalText(kMaxRedirects) +
               " times; the last address was " + outcome.url + ".";
    case kConnectionLost:
        return "The connection was lost after " + DecimalText(outcome.received) +
               (outcome.length ? " of " + DecimalText(outcome.length) : std::string()) +
               " bytes; " + DecimalText(outcome.attempts) + " attempts over " +
               DurationText(outcome.silentSeconds) + ".";
    default: {  // kCannotWrite
        std::string shown = path;
        std::replace(shown.begin(), shown.end(), '/', '\\');
        const bool full = outcome.error == ERROR_DISK_FULL || outcome.error == ERROR_HANDLE_DISK_FULL;
        return "The file could not be written to " + shown + ": " +
               (full ? std::string("the disk is full") : SystemText(outcome.error)) + ".";
    }
    }
}

// How a download that did not bring the file ends; package is the one the
// request is for, file the one fetched (it or the extractor).
// Why the program's own TLS could not reach an https address, in words a
// user can act on.
std::string SecureFailureReason(const SecureTrouble &trouble)
{
    switch (trouble.kind) {
    case SecureTrouble::kUntrusted:
        return "its certificate was issued by " + trouble.issuer +
               ", which is not among the issuers Pelmora Downloader trusts. To trust it, put its "
               "certificate (a .crt file) beside Pelmora Downloader.";
    case SecureTrouble::kWrongName:
        return "its certificate is for " + trouble.name + ", not for " + trouble.host + ".";
    case SecureTrouble::kExpired:
    case SecureTrouble::kNotYetValid:
        return std::string(trouble.kind == SecureTrouble::kExpired
                               ? "its certificate expired on "
                               : "its certificate is valid only from ") +
               DateText(trouble.certificateDay) + ", and the date used is " +
               DateText(trouble.usedDay) + ". Please check that this PC's clock is right.";
    case SecureTrouble::kNoCommonProtocol:
        return "the server speaks none of the secure protocols Pelmora Downloader does (TLS 1.2 "
               "with ECDHE and ChaCha20-Poly1305 or AES-GCM); it may offer only TLS 1.0 or 1.1, "
               "RSA key exchange or CBC ciphers.";
    case SecureTrouble::kBrokenOff:
        return "the server broke off the handshake.";
    case SecureTrouble::kNoAnswer:
        return "the server did not answer within " + DecimalText(kFirstContactSeconds) +
               " seconds.";
    default:
        return "the secure protocol failed (error " + DecimalText(trouble.code) + ").";
    }
}

std::string SecureFailureText(const DownloadOutcome &outcome)
{
    std::string text = "The server sent this request on to " + outcome.url +
                       ", and the secure connection to " + outcome.secure.host +
                       " could not be made: " + SecureFailureReason(outcome.secure);
    for (const std::string &file : outcome.secure.skippedFiles)
        text += " " + file + " beside Pelmora Downloader is not a certificate and was skipped.";
    return text;
}

Ending DownloadEnding(const DownloadOutcome &outcome, const PackageEntry &file,
                      const PackageEntry &package, const std::string &path, std::string *detail)
{
    const std::string url = file.url;
    const std::string fileName = file.fileName;
    switch (outcome.result) {
    case kCancelled:
        return kUserCancelled;
    case kNoInternet:
        *detail = fileName + " was not downloaded.";
        return kNoInternetClient;
    case kNoNetwork:
        *detail = fileName + " was not downloaded: this Windows has neither WININET.DLL (which "
                  "Internet Explorer installs) nor WSOCK32.DLL (which comes with TCP/IP, from "
                  "the Network control panel). " + CopiesBesideText(package);
        return kNoInternetClient;
    case kCannotConnect:
    case kSecureRedirect:
        if (outcome.secure.kind != SecureTrouble::kNone)
            *detail = url + "\r\n\r\n" + SecureFailureText(outcome);
        else if (outcome.result == kSecureRedirect)
            *detail = url + "\r\n\r\n" + SecureRedirectText(outcome, fileName);
        else
            *detail = url + "\r\n\r\nError code: " + DecimalText(outcome.error);
        return kUrlFailed;
    case kCannotCreate:
        return kOutputFailed;
    default:
        *detail = "\r\n\r\n" + TransferTrouble(outcome, path);
        return kTransferFailed;
    }
}

// The folder the program was started from, where a floppy or CD may hold
// the files beside it.
std::string ProgramFolder()
{
    char path[MAX_PATH] = "";
    const DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    const std::string file(path, length < sizeof path ? length : 0);
    const size_t slash = file.rfind('\\');
    return slash == std::string::npos ? "" : file.substr(0, slash);
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

// "3 of 14 files are missing from C:\Apps, the first is 7-Zip\7z.exe.", or
// "" when every member is in place.
std::string MissingFiles(const ExtractCheck &check, const std::string &folder)
{
    if (!check.readable)
        return "The archive's table of contents could not be read, so the extracted files could "
               "not be checked.";
    const unsigned bad = check.missing + check.different;
    if (!bad)
        return "";
    return DecimalText(bad) + " of " + DecimalText(check.total) +
           (check.total == 1 ? " file " : " files ") + (bad == 1 ? "is" : "are") +
           (check.different ? " missing or different in " : " missing from ") + folder +
           ", the first is " + check.first + ".";
}

// Runs the extractor, then looks for every member of the archive in the
// folder. What went wrong, or "" when the files are there.
std::string ExtractionTrouble(const FetchPaths &paths, const std::string &folder)
{
    const ExtractorRun run = StartExtractor(paths, folder);
    if (run.folderTooLong)
        return "The name of the folder " + folder + " is too long for the command interpreter "
               "of Windows 95, 98 and Me, even in its short 8.3 form: the files would land in "
               "another folder. Please choose a folder with a shorter name.";
    if (!run.process)
        return "The extractor could not be started.";
    WaitWhileDispatching(run.process);
    DWORD exitCode = 0;
    GetExitCodeProcess(run.process, &exitCode);
    CloseHandle(run.process);
    ExtractCheck check = ExtractCheck();
    RunBesideWindows([&] { check = CheckExtracted(paths.downloadPath, folder); });
    std::string trouble = MissingFiles(check, folder);
    if (run.exitCodeKnown && exitCode != 0)
        trouble = "The extractor failed (exit code " + DecimalText(exitCode) + ")." +
                  (trouble.empty() ? "" : " " + trouble);
    return trouble;
}

// Tells the user how a fetch or request ended; a fatal failure ends the
// program here. Otherwise the progress window goes (after the success box,
// beside which it stays with its bar full) and, unless the request goes on,
// the main window comes back. True when the request goes on.
bool End(HWND progressWindow, Ending ending, const std::string &detail)
{
    const EndingBox &box = BoxOf(ending);
    if (box.endsProgram) {
        MessageBoxA(NULL, (box.text + detail).c_str(), box.caption, box.icon);
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
    if (box.text)
        MessageBoxA(NULL, (box.text + detail).c_str(), box.caption, box.icon);
    if (progressWindow)
        DestroyWindow(progressWindow);
    return ending == kGoOn;
}

}  // namespace
