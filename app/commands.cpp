// What the main window's buttons do.
#include <windows.h>
#include <shlobj.h>

#include "app/globals.h"
#include "app/pelmora.h"
#include "fetch/catalogue.h"
#include "fetch/fetch_task.h"

namespace {

// Standard output reaches a file or pipe only when it was redirected at
// start; unbuffered, so the line is there at once.
void LogLine(const std::string &text)
{
    const std::string line = text + "\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), line.size(), &written, NULL);
}

// Asks for the extract folder. A cancelled picker, or a choice that has no
// file-system path, keeps the folder of an earlier request.
void AskForExtractFolder(HWND owner)
{
    BROWSEINFOA info = {};
    info.hwndOwner = owner;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    LPITEMIDLIST folder = SHBrowseForFolderA(&info);
    if (!folder)
        return;
    char path[MAX_PATH] = "";
    if (SHGetPathFromIDListA(folder, path) && path[0]) {
        g_extractPath = path;
        g_pathSelected = true;
        LogLine("Extract path selected: " + g_extractPath);
    }
    CoTaskMemFree(folder);
}

void RequestPackage(HWND hwnd, const PackageEntry &package)
{
    if (g_hAboutWnd)
        ShowWindow(g_hAboutWnd, SW_HIDE);
    ShowWindow(hwnd, SW_HIDE);

    AskForExtractFolder(hwnd);
    if (!g_pathSelected) {
        MessageBoxA(NULL,
                    "Extract path not selected. Please select an extract path before downloading.",
                    "Error", MB_ICONERROR);
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

}  // namespace

void OnMainCommand(HWND hwnd, int id)
{
    if (const PackageEntry *package = FindPackage(id))
        RequestPackage(hwnd, *package);
    else if (id == kCancelButtonId)
        DestroyWindow(hwnd);
    else if (id == kAboutButtonId)
        ToggleAbout();
}
