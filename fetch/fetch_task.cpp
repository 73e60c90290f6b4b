// The one operation that does the program's work. It runs on the UI thread
// inside a button press; fatal download failures end the process from here.
#include "fetch/fetch_task.h"

#include <commctrl.h>
#include <shellapi.h>

#include <memory>

#include "app/globals.h"
#include "app/pelmora.h"
#include "app/runtime.h"
#include "fetch/catalogue.h"
#include "fetch/checksum.h"
#include "fetch/fetch_paths.h"

namespace {

const char kAgent[] = "Pelmora Downloader";
// Read calls cost the same whatever their size, so read big blocks.
const DWORD kBlockSize = 64 * 1024;
const int kBarWidth = 360;      // pixels: the bar cannot show a finer step
const DWORD kBarInterval = 100;  // milliseconds between moves of the bar

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

void ShowError(const std::string &text)
{
    MessageBoxA(NULL, text.c_str(), "Error", MB_ICONERROR);
}

[[noreturn]] void FailFatally(const std::string &text, const char *caption, UINT icon)
{
    MessageBoxA(NULL, text.c_str(), caption, icon);
    ExitProgram(1);
}

std::string UnsignedText(DWORD value)
{
    char text[16];
    wsprintfA(text, "%lu", value);
    return text;
}

// The Windows folder from the environment, or "" when WINDIR is not set.
std::string WindowsFolder()
{
    char folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("WINDIR", folder, sizeof folder);
    return length > 0 && length < sizeof folder ? folder : "";
}

// Ends a request that cannot go on without leaving the user with no window.
bool GiveUp(HWND progressWnd, const std::string &text)
{
    if (progressWnd)
        ShowWindow(progressWnd, SW_HIDE);
    ShowWindow(g_hMainWnd, SW_SHOW);
    ShowError(text);
    return false;
}

void CreateProgressWindow()
{
    // A caption without a system menu, so the user cannot close it: it shares
    // the main window's class, and destroying it would end the program.
    g_hProgressWnd = CreateWindowExA(0, kMainClassName, "Progress", WS_VISIBLE | WS_CAPTION, 100,
                                     100, 400, 70, NULL, NULL, NULL, NULL);
    g_hProgressBar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 20, 15, 360,
                                     20, g_hProgressWnd, NULL, NULL, NULL);
    SendMessageA(g_hProgressBar, PBM_SETRANGE32, 0, 100);
    UpdateWindow(g_hProgressWnd);
}

// Waits for a child process while still dispatching messages, so the
// progress window keeps painting. A quit request seen meanwhile is re-posted
// for the main loop.
void WaitForProcess(HANDLE process)
{
    bool quit = false;
    WPARAM quitCode = 0;
    while (MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                quitCode = msg.wParam;
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    if (quit)
        PostQuitMessage(static_cast<int>(quitCode));
}

// Runs the extraction command through the interpreter and waits for it.
// Returns an empty text on success, otherwise what went wrong.
std::string RunExtractor(const std::string &interpreter, bool exitCodeKnown,
                         const std::string &command)
{
    std::string parameters = InterpreterParameters(command);
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "open";
    info.lpFile = interpreter.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOW;
    if (!ShellExecuteExA(&info) || !info.hProcess)
        return "The extractor could not be started.";

    WaitForProcess(info.hProcess);
    DWORD exitCode = 0;
    BOOL known = GetExitCodeProcess(info.hProcess, &exitCode);
    CloseHandle(info.hProcess);
    // command.com on the 95 family does not pass on the exit code of what it
    // ran, so there the interpreter finishing is all we can go by.
    if (!exitCodeKnown || (known && exitCode == 0))
        return "";
    return "The extractor failed (exit code " + UnsignedText(exitCode) + ").";
}

// Streams the response body into the file, moving the progress bar. A
// repaint of the bar costs milliseconds, more than a block takes on a fast
// line, so the bar is only moved when the pixel it shows changes, at most ten
// times a second, and once more when it is full.
void TransferBody(HINTERNET request, HANDLE file, DWORD range)
{
    std::unique_ptr<char[]> buffer(new char[kBlockSize]);
    DWORD got = 0, written = 0, total = 0, lastMove = GetTickCount();
    int shown = 0;
    while (InternetReadFile(request, buffer.get(), kBlockSize, &got) && got != 0) {
        WriteFile(file, buffer.get(), got, &written, NULL);
        total += got;
        // MulDiv rounds, so a full bar is a step of its own: the last
        // block always lands.
        int step = total >= range ? kBarWidth + 1 : MulDiv(total, kBarWidth, range);
        if (step != shown && (step > kBarWidth || GetTickCount() - lastMove >= kBarInterval)) {
            shown = step;
            lastMove = GetTickCount();
            SetProgress(total);
            // The message loop is not running, so paint the new position now.
            UpdateWindow(g_hProgressBar);
        }
    }
}

}  // namespace

bool IsWinNT()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

DWORD GetContentLength(HINTERNET request)
{
    DWORD length = 0;
    DWORD size = sizeof length;
    DWORD index = 0;
    if (HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size,
                       &index))
        return length;
    return 0;
}

void SetProgress(DWORD position)
{
    SendMessageA(g_hProgressBar, PBM_SETPOS, position, 0);
}

// Returns true when the file was fetched, verified and (given a folder)
// extracted; false when the request stopped with the user told why.
bool DownloadAndExtract(const std::string &url, const std::string &fileName,
                        const std::string &extractFolder)
{
    const std::string windowsFolder = WindowsFolder();
    if (windowsFolder.empty())
        return GiveUp(NULL, "The WINDIR environment variable is not set, so the Windows folder "
                            "and its TEMP folder cannot be found. Nothing was downloaded.");
    const FetchPaths paths = BuildFetchPaths(windowsFolder, fileName);
    const std::string expectedChecksum = ExpectedChecksum(fileName);

    CreateProgressWindow();
    // Hide the window this call made: a request started from inside an
    // earlier success box replaces g_hProgressWnd.
    HWND progressWnd = g_hProgressWnd;

    bool succeeded = true;
    {
        InternetHandle internet(InternetOpenA(kAgent, INTERNET_OPEN_TYPE_DIRECT, NULL, NULL, 0));
        if (!internet.handle)
            return GiveUp(progressWnd,
                          "The Internet connection could not be set up, so " + fileName +
                              " was not downloaded.");

        InternetHandle request(
            InternetOpenUrlA(internet.handle, url.c_str(), NULL, 0, INTERNET_FLAG_RELOAD, 0));
        if (!request.handle) {
            DWORD error = GetLastError();
            FailFatally("Failed to open URL: " + url + "\r\n\r\nError code: " + UnsignedText(error),
                        "Error", MB_ICONERROR);
        }

        HANDLE file = CreateFileA(paths.downloadPath.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            FailFatally("Failed to open the output file for writing", "Error", MB_ICONERROR);

        // Without a length the range stays 0 to 100 while the position
        // counts bytes, so the bar is full after the first 100 bytes.
        DWORD range = GetContentLength(request.handle);
        if (range != 0) {
            SetProgress(0);
            SendMessageA(g_hProgressBar, PBM_SETRANGE32, 0, range);
        } else {
            range = 100;
        }
        TransferBody(request.handle, file, range);
        CloseHandle(file);

        if (ComputeChecksum(paths.downloadPath) != expectedChecksum) {
            DeleteFileA(paths.downloadPath.c_str());
            FailFatally("Checksum Failed", "Failed.", MB_ICONWARNING);
        }

        if (!extractFolder.empty()) {
            const bool nt = IsWinNT();
            std::string failure = RunExtractor(nt ? paths.ntInterpreter : paths.dosInterpreter, nt,
                                               BuildExtractCommand(paths, extractFolder));
            ShowWindow(g_hMainWnd, SW_SHOW);
            if (failure.empty()) {
                MessageBoxA(NULL,
                            ("File downloaded and extracted successfully to: " + extractFolder)
                                .c_str(),
                            "Task succesfull", MB_ICONINFORMATION);
            } else {
                succeeded = false;
                ShowError(failure + "\r\n\r\n" + fileName + " was downloaded but could not be "
                          "extracted to: " + extractFolder);
            }
        } else if (fileName != "pkzip.exe") {
            MessageBoxA(NULL, "No extract path selected.", "Skipping extraction.", MB_ICONWARNING);
        }
    }
    ShowWindow(progressWnd, SW_HIDE);
    return succeeded;
}
