// inspector.exe: reports what other processes show on screen and presses
// their buttons, for the Python tests. It knows nothing of the program: one
// command per line on stdin, one JSON answer per line on stdout.
//
//   windows                      top-level windows of other processes
//   children HWND                every descendant of HWND
//   post HWND MSG WPARAM LPARAM  PostMessage; {"ok": bool}
//   send HWND MSG WPARAM LPARAM  SendMessageTimeout (1 s); {"ok", "result", "ms"}
//   tree HWND [ITEM]             the items under ITEM (default: the root), expanded
//   select HWND ITEM             make ITEM the tree view's selection
//   pixel X Y                    the screen colour at X,Y as [r, g, b]
//   version PATH                 the file's version texts, as Explorer's Properties show them
//
// Windows are {"hwnd", "pid", "parent", "class", "text", "id", "visible",
// "style", "x", "y", "w", "h", "cx", "cy"}: top-level windows in screen coordinates,
// children in their parent's client coordinates; cx, cy is where the
// window's own client area starts on screen. Texts of another process's
// windows come from the window manager, so a busy program cannot block an answer.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Json(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7e) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Num(long long v)
{
    return std::to_string(v);
}

std::string Describe(HWND h, bool child)
{
    char cls[256] = "", text[4096] = "", numbers[256];
    GetClassNameA(h, cls, sizeof cls);
    GetWindowTextA(h, text, sizeof text);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    RECT r = {};
    GetWindowRect(h, &r);
    POINT client = {0, 0};
    ClientToScreen(h, &client);
    HWND parent = child ? GetParent(h) : NULL;
    if (parent)
        MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT *>(&r), 2);
    std::snprintf(numbers, sizeof numbers,
                  "\"hwnd\": %ld, \"pid\": %lu, \"parent\": %ld, \"id\": %ld, \"visible\": %s, "
                  "\"style\": %lu, \"x\": %ld, \"y\": %ld, \"w\": %ld, \"h\": %ld, \"cx\": %ld, \"cy\": %ld",
                  static_cast<long>(reinterpret_cast<INT_PTR>(h)), pid,
                  static_cast<long>(reinterpret_cast<INT_PTR>(parent)),
                  child ? GetWindowLongA(h, GWL_ID) & 0xFFFF : 0L, IsWindowVisible(h) ? "true" : "false",
                  static_cast<unsigned long>(GetWindowLongA(h, GWL_STYLE)), r.left, r.top, r.right - r.left, r.bottom - r.top, client.x, client.y);
    return "{" + std::string(numbers) + ", \"class\": " + Json(cls) + ", \"text\": " + Json(text) + "}";
}

BOOL CALLBACK Collect(HWND h, LPARAM list)
{
    reinterpret_cast<std::vector<HWND> *>(list)->push_back(h);
    return TRUE;
}

std::string List(const std::vector<HWND> &windows, bool child)
{
    std::string out = "[";
    for (HWND h : windows) {
        if (!child) {
            DWORD pid = 0;
            GetWindowThreadProcessId(h, &pid);
            if (pid == GetCurrentProcessId())
                continue;
        }
        out += (out.size() > 1 ? ", " : "") + Describe(h, child);
    }
    return out + "]";
}

// Tree items live in the other process: ask for each text into memory there.
std::string TreeItems(HWND tree, DWORD_PTR root)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(tree, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                                 pid);
    if (!process)
        return "{\"error\": \"OpenProcess failed\"}";
    char *remote = static_cast<char *>(
        VirtualAllocEx(process, NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD_PTR item = 0;
    if (!root)
        SendMessageTimeoutA(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0, SMTO_NORMAL, 5000, &root);
    SendMessageTimeoutA(tree, TVM_EXPAND, TVE_EXPAND, root, SMTO_NORMAL, 5000, &item);
    SendMessageTimeoutA(tree, TVM_GETNEXTITEM, TVGN_CHILD, root, SMTO_NORMAL, 5000, &item);
    std::string out = "[";
    while (remote && item) {
        TVITEMA tv = {};
        tv.mask = TVIF_TEXT | TVIF_HANDLE;
        tv.hItem = reinterpret_cast<HTREEITEM>(item);
        tv.pszText = remote + 512;
        tv.cchTextMax = 1024;
        char text[1024] = "";
        DWORD_PTR got = 0;
        WriteProcessMemory(process, remote, &tv, sizeof tv, NULL);
        WriteProcessMemory(process, remote + 512, text, sizeof text, NULL);
        SendMessageTimeoutA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote), SMTO_NORMAL,
                            5000, &got);
        ReadProcessMemory(process, remote + 512, text, sizeof text - 1, NULL);
        out += std::string(out.size() > 1 ? ", " : "") + "{\"item\": " + Num(item) +
               ", \"text\": " + Json(text) + "}";
        DWORD_PTR next = 0;
        SendMessageTimeoutA(tree, TVM_GETNEXTITEM, TVGN_NEXT, item, SMTO_NORMAL, 5000, &next);
        item = next;
    }
    if (remote)
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return out + "]";
}

// The version resource's texts in its first language, as Explorer reads them.
std::string VersionTexts(const std::string &path)
{
    DWORD unused = 0, size = GetFileVersionInfoSizeA(path.c_str(), &unused);
    std::vector<char> data(size + 1);
    WORD *language = NULL;
    UINT length = 0;
    if (!size || !GetFileVersionInfoA(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void **>(&language), &length) || length < 4)
        return "{}";
    std::string out = "{";
    for (const char *name : {"ProductName", "FileDescription", "FileVersion"}) {
        char key[128];
        std::snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\%s", language[0], language[1], name);
        char *text = NULL;
        if (VerQueryValueA(data.data(), key, reinterpret_cast<void **>(&text), &length) && text)
            out += std::string(out.size() > 1 ? ", " : "") + Json(name) + ": " + Json(text);
    }
    return out + "}";
}

DWORD_PTR Arg(const std::vector<std::string> &words, size_t i)
{
    return i < words.size() ? static_cast<DWORD_PTR>(std::strtoll(words[i].c_str(), NULL, 0)) : 0;
}

std::string Answer(const std::vector<std::string> &words)
{
    const std::string &verb = words[0];
    HWND h = reinterpret_cast<HWND>(Arg(words, 1));
    if (verb == "windows") {
        std::vector<HWND> all;
        EnumWindows(Collect, reinterpret_cast<LPARAM>(&all));
        return List(all, false);
    }
    if (verb == "children") {
        std::vector<HWND> all;
        if (IsWindow(h))
            EnumChildWindows(h, Collect, reinterpret_cast<LPARAM>(&all));
        return List(all, true);
    }
    if (verb == "post") {
        BOOL ok = PostMessageA(h, Arg(words, 2), Arg(words, 3), Arg(words, 4));
        return std::string("{\"ok\": ") + (ok ? "true" : "false") + "}";
    }
    if (verb == "send") {
        DWORD_PTR result = 0;
        DWORD start = GetTickCount();
        LRESULT ok = SendMessageTimeoutA(h, Arg(words, 2), Arg(words, 3), Arg(words, 4),
                                         SMTO_NORMAL, 1000, &result);
        return std::string("{\"ok\": ") + (ok ? "true" : "false") + ", \"result\": " +
               Num(static_cast<LONG>(result)) + ", \"ms\": " + Num(GetTickCount() - start) + "}";
    }
    if (verb == "tree")
        return TreeItems(h, Arg(words, 2));
    if (verb == "select") {
        DWORD_PTR item = Arg(words, 2), now = 0;
        SendMessageTimeoutA(h, TVM_SELECTITEM, TVGN_CARET, item, SMTO_NORMAL, 5000, &now);
        SendMessageTimeoutA(h, TVM_GETNEXTITEM, TVGN_CARET, 0, SMTO_NORMAL, 5000, &now);
        return std::string("{\"ok\": ") + (now == item ? "true" : "false") + "}";
    }
    if (verb == "pixel") {
        HDC screen = GetDC(NULL);
        COLORREF c = GetPixel(screen, static_cast<int>(Arg(words, 1)), static_cast<int>(Arg(words, 2)));
        ReleaseDC(NULL, screen);
        return "[" + Num(GetRValue(c)) + ", " + Num(GetGValue(c)) + ", " + Num(GetBValue(c)) + "]";
    }
    if (verb == "version")
        return VersionTexts(words.size() > 1 ? words[1] : "");
    return "{\"error\": " + Json("unknown command " + verb) + "}";
}

}  // namespace

int main()
{
    char line[4096];
    while (std::fgets(line, sizeof line, stdin)) {
        std::vector<std::string> words(1);
        for (const char *c = line; *c; ++c) {
            if (*c != ' ' && *c != '\t' && *c != '\r' && *c != '\n')
                words.back() += *c;
            else if (!words.back().empty())
                words.emplace_back();
        }
        if (words.back().empty())
            words.pop_back();
        if (words.empty())
            continue;
        std::fputs((Answer(words) + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
