// pdtest.exe: drives Pelmora Downloader from another process, the way a
// person at the screen would, and checks what the program shows.
//
//   pdtest STEP [ARGS] STEP [ARGS] ...
//
// Steps run in order. Each one polls (every 15 ms) until its condition holds
// or the timeout runs out; nothing sleeps a fixed time. The first miss prints
//   FAIL <step>: <what>, expected <x>, got <y>
// and exits 1; every step that holds prints one "ok <step> ..." line; all
// done, exit 0.
//
// Text arguments and printed texts use the same escapes: \\ \" \r \n \t and
// \xHH for any other byte outside printable ASCII.
//
//   wait-main              main window (class "PelmoraDownloader", title
//                          "Pelmora Downloader") exists, is visible and has
//                          its 8 children; prints client=X,Y, the screen
//                          position of its client area
//   check-main             the main window, its class, its 8 children with
//                          their fonts, and the label colouring (class, fonts
//                          and colouring read by pdprobe.dll in the program)
//   click ID               post BM_CLICK to the main window's child with
//                          control id ID (1..7)
//   close main|about       post WM_CLOSE, as the close box does
//   expect-visible main|about|progress
//   expect-hidden main|about|progress
//                          a window of that kind is visible / none is
//                          visible (hidden or gone)
//   check-about            the About window and its one static child
//   check-progress full|any
//                          the progress window and its bar; "full" also
//                          wants the bar at the top of its range (ask only
//                          while the program sits in a modal loop, since a
//                          busy thread cannot answer)
//   expect-box CAPTION TEXT ICON
//   expect-box-prefix CAPTION TEXTPREFIX ICON
//                          a visible message box with exactly this caption,
//                          this text (or text starting with TEXTPREFIX), no
//                          owner, only an OK button, and ICON one of
//                          error|warning|information|question|none; the ok
//                          line ends with text="<full text, escaped>"
//   ok-box                 press OK on that box and wait until it is gone
//   expect-no-box          no message box of the program is visible
//   pick-folder NAME|.|cancel
//                          in the folder picker: Cancel; OK on the initial
//                          selection (the Desktop); or select the Desktop's
//                          child item NAME, then OK
//   sync NAME              create NAME.ready in %PDTEST_SYNC_DIR%, wait for
//                          NAME.go there (the runner screenshots in between)
//
// "The program" is the process that owns the first of its windows a step
// finds (main, About, progress or a box); later steps look only there.
// Geometry is the window rectangle: top-level windows in screen coordinates,
// children mapped into the parent's client area. Names of system classes
// (Static, Button, msctls_progress32) compare without case, as Windows does.
// Facts only the program's own process can read (fonts, class brush, cursor
// and icon, a box's icon) come from pdprobe.dll, which pdtest loads into it
// with CreateRemoteThread(LoadLibraryA) and runs there the same way.
//
// Style bits masked before comparing, and why:
//   WS_CLIPSIBLINGS on top-level windows: the system always adds it to
//     windows that are not children, whatever the program asks for.
//   WS_EX_WINDOWEDGE on the main window: the system adds it to every window
//     with a caption.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

const char kMainClass[] = "PelmoraDownloader";
const char kMainTitle[] = "Pelmora Downloader";
const char kAboutClass[] = "AboutWindow";
const char kProgressTitle[] = "Progress";
const char kBoxClass[] = "#32770";
const DWORD kPollMs = 15;
const DWORD kProbePollMs = 100;
const DWORD kTimeoutMs = 20000;
const DWORD kTopLevelStyleMask = ~static_cast<DWORD>(WS_CLIPSIBLINGS);
const DWORD kCaptionExStyleMask = ~static_cast<DWORD>(WS_EX_WINDOWEDGE);
const COLORREF kFace = 0x00C8D0D4;

DWORD g_pid = 0;           // the program's process, once one of its windows is seen
std::string g_step;        // the step being run, for FAIL lines
HWND g_box = nullptr;      // the box matched by the last expect-box

// ---------------------------------------------------------------- text ----

std::string escape(const std::string& s) {
    std::string out;
    char buf[8];
    for (unsigned char ch : s) {
        switch (ch) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (ch < 0x20 || ch > 0x7e) {
                std::snprintf(buf, sizeof buf, "\\x%02X", ch);
                out += buf;
            } else {
                out += static_cast<char>(ch);
            }
        }
    }
    return out;
}

bool unescape(const std::string& s, std::string& out) {
    out.clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i >= s.size()) return false;
        switch (s[i]) {
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'x': {
            if (i + 2 >= s.size()) return false;
            char hex[3] = {s[i + 1], s[i + 2], 0};
            char* end = nullptr;
            long v = std::strtol(hex, &end, 16);
            if (*end) return false;
            out += static_cast<char>(v);
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return true;
}

std::string quote(const std::string& s) { return "\"" + escape(s) + "\""; }

std::string hexs(DWORD_PTR v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(v));
    return buf;
}

std::string nums(long v) { return std::to_string(v); }

// ------------------------------------------------------------- failing ----

struct Miss {
    std::string what, expected, got;
};

[[noreturn]] void fail(const Miss& m) {
    std::printf("FAIL %s: %s, expected %s, got %s\n", g_step.c_str(), m.what.c_str(),
                m.expected.c_str(), m.got.c_str());
    std::fflush(stdout);
    std::exit(1);
}

[[noreturn]] void fail(const std::string& what, const std::string& expected, const std::string& got) {
    fail(Miss{what, expected, got});
}

void ok(const std::string& detail) {
    std::printf("ok %s%s%s\n", g_step.c_str(), detail.empty() ? "" : " ", detail.c_str());
    std::fflush(stdout);
}

// Collects comparisons and keeps the first one that misses.
class Checker {
public:
    bool good() const { return !failed_; }
    // For polled checks: true when all held, else hands the first miss on.
    bool passed(Miss& m) const {
        if (!failed_) return true;
        m = miss_;
        return false;
    }
    void mismatch(const std::string& what, const std::string& expected, const std::string& got) {
        if (!failed_) {
            failed_ = true;
            miss_ = Miss{what, expected, got};
        }
    }
    void str(const std::string& what, const std::string& expected, const std::string& got) {
        if (expected != got) mismatch(what, quote(expected), quote(got));
    }
    // System class names compare without case, as Windows itself does.
    void classCI(const std::string& what, const std::string& expected, const std::string& got) {
        if (lstrcmpiA(expected.c_str(), got.c_str()) != 0) mismatch(what, quote(expected), quote(got));
    }
    void hex(const std::string& what, DWORD_PTR expected, DWORD_PTR got) {
        if (expected != got) mismatch(what, hexs(expected), hexs(got));
    }
    void num(const std::string& what, long expected, long got) {
        if (expected != got) mismatch(what, nums(expected), nums(got));
    }
    void raw(const std::string& what, const std::string& expected, const std::string& got) {
        if (expected != got) mismatch(what, expected, got);
    }

private:
    bool failed_ = false;
    Miss miss_;
};

// Polls until check() holds; on timeout fails with the last miss it saw.
void eventually(const std::function<bool(Miss&)>& check, DWORD pollMs = kPollMs) {
    const DWORD start = GetTickCount();
    Miss last{"condition", "to hold", "nothing checked"};
    for (;;) {
        if (check(last)) return;
        if (GetTickCount() - start >= kTimeoutMs) fail(last);
        Sleep(pollMs);
    }
}

// ------------------------------------------------------------- windows ----

DWORD pidOf(HWND h) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    return pid;
}

std::string className(HWND h) {
    char buf[256];
    int n = GetClassNameA(h, buf, sizeof buf);
    return std::string(buf, n > 0 ? n : 0);
}

// The text the window manager keeps: read without sending the window a
// message, so a busy program cannot block it.
std::string windowText(HWND h) {
    std::vector<WCHAR> w(32768);
    int n = InternalGetWindowText(h, w.data(), static_cast<int>(w.size()));
    if (n <= 0) return std::string();
    int len = WideCharToMultiByte(CP_ACP, 0, w.data(), n, nullptr, 0, nullptr, nullptr);
    std::string s(len, '\0');
    WideCharToMultiByte(CP_ACP, 0, w.data(), n, &s[0], len, nullptr, nullptr);
    return s;
}

DWORD styleOf(HWND h) { return static_cast<DWORD>(GetWindowLongA(h, GWL_STYLE)); }
DWORD exStyleOf(HWND h) { return static_cast<DWORD>(GetWindowLongA(h, GWL_EXSTYLE)); }
long idOf(HWND h) { return GetWindowLongA(h, GWL_ID); }

std::string geo(long x, long y, long w, long h) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "x=%ld y=%ld w=%ld h=%ld", x, y, w, h);
    return buf;
}

std::string topGeo(HWND h) {
    RECT r{};
    GetWindowRect(h, &r);
    return geo(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

std::string childGeo(HWND child, HWND parent) {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    return geo(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

BOOL CALLBACK collectWindow(HWND h, LPARAM lp) {
    reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
    return TRUE;
}

// Top-level windows of the program: of its process once known, otherwise of
// any process but this one.
std::vector<HWND> programWindows() {
    std::vector<HWND> all, out;
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&all));
    const DWORD self = GetCurrentProcessId();
    for (HWND h : all) {
        DWORD pid = pidOf(h);
        if (pid == self || (g_pid && pid != g_pid)) continue;
        out.push_back(h);
    }
    return out;
}

void adopt(HWND h) {
    if (!g_pid && h) g_pid = pidOf(h);
}

// First match, preferring a visible one; title nullptr matches any title.
HWND findTop(const char* cls, const char* title, bool visibleOnly) {
    HWND hidden = nullptr;
    for (HWND h : programWindows()) {
        if (className(h) != cls) continue;
        if (title && windowText(h) != title) continue;
        if (IsWindowVisible(h)) {
            adopt(h);
            return h;
        }
        if (!hidden) hidden = h;
    }
    if (visibleOnly) return nullptr;
    adopt(hidden);
    return hidden;
}

HWND findMain(bool visibleOnly) { return findTop(kMainClass, kMainTitle, visibleOnly); }
HWND findAbout(bool visibleOnly) { return findTop(kAboutClass, nullptr, visibleOnly); }
HWND findProgress(bool visibleOnly) { return findTop(kMainClass, kProgressTitle, visibleOnly); }

std::vector<HWND> childrenOf(HWND parent) {
    std::vector<HWND> out;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

BOOL CALLBACK collectChild(HWND h, LPARAM lp) {
    reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
    return TRUE;
}

std::vector<HWND> descendantsOf(HWND parent) {
    std::vector<HWND> out;
    EnumChildWindows(parent, collectChild, reinterpret_cast<LPARAM>(&out));
    return out;
}

HWND findDescendant(HWND parent, const char* cls) {
    for (HWND h : descendantsOf(parent))
        if (lstrcmpiA(className(h).c_str(), cls) == 0) return h;
    return nullptr;
}

bool isPicker(HWND dlg) { return findDescendant(dlg, WC_TREEVIEWA) != nullptr; }

std::vector<HWND> visibleBoxes() {
    std::vector<HWND> out;
    for (HWND h : programWindows())
        if (className(h) == kBoxClass && IsWindowVisible(h) && !isPicker(h)) out.push_back(h);
    return out;
}

bool sendTimeout(HWND h, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR* result) {
    DWORD_PTR dummy = 0;
    return SendMessageTimeoutA(h, msg, wp, lp, SMTO_NORMAL, 5000, result ? result : &dummy) != 0;
}

// --------------------------------------------------------------- probe ----

typedef std::map<std::string, std::string> Report;

struct Injection {
    DWORD pid = 0;
    HANDLE process = nullptr;
    DWORD_PTR remoteModule = 0;
};
Injection g_inj;

std::string probePath() {
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    std::string s(buf, n);
    size_t slash = s.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : s.substr(0, slash + 1)) + "pdprobe.dll";
}

std::string lastError(const char* what) {
    return std::string(what) + " failed, error " + nums(static_cast<long>(GetLastError()));
}

// Where a module of ours sits in the program: same image, maybe another base.
DWORD_PTR remoteBase(DWORD pid, const char* module) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
    if (snap == INVALID_HANDLE_VALUE) return 0;
    MODULEENTRY32 me;
    me.dwSize = sizeof me;
    DWORD_PTR base = 0;
    for (BOOL more = Module32First(snap, &me); more; more = Module32Next(snap, &me)) {
        if (lstrcmpiA(me.szModule, module) == 0) {
            base = reinterpret_cast<DWORD_PTR>(me.modBaseAddr);
            break;
        }
    }
    CloseHandle(snap);
    return base;
}

bool remoteCall(DWORD_PTR fn, DWORD_PTR arg, DWORD& exitCode, std::string& err) {
    HANDLE t = CreateRemoteThread(g_inj.process, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(fn),
                                  reinterpret_cast<LPVOID>(arg), 0, nullptr);
    if (!t) {
        err = lastError("CreateRemoteThread");
        return false;
    }
    DWORD wait = WaitForSingleObject(t, 15000);
    if (wait != WAIT_OBJECT_0) {
        CloseHandle(t);
        err = "remote thread still running after 15 s";
        return false;
    }
    GetExitCodeThread(t, &exitCode);
    CloseHandle(t);
    return true;
}

DWORD_PTR remoteCopy(const void* data, size_t size, std::string& err) {
    void* mem = VirtualAllocEx(g_inj.process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!mem) {
        err = lastError("VirtualAllocEx");
        return 0;
    }
    if (!WriteProcessMemory(g_inj.process, mem, data, size, nullptr)) {
        err = lastError("WriteProcessMemory");
        VirtualFreeEx(g_inj.process, mem, 0, MEM_RELEASE);
        return 0;
    }
    return reinterpret_cast<DWORD_PTR>(mem);
}

bool openProgram(std::string& err) {
    if (!g_pid) {
        err = "no window of the program seen yet";
        return false;
    }
    if (g_inj.pid == g_pid && g_inj.process) return true;
    if (g_inj.process) CloseHandle(g_inj.process);
    g_inj = Injection();
    g_inj.process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                                    PROCESS_VM_READ | PROCESS_VM_WRITE | SYNCHRONIZE,
                                FALSE, g_pid);
    if (!g_inj.process) {
        err = lastError("OpenProcess");
        return false;
    }
    g_inj.pid = g_pid;
    return true;
}

bool loadProbe(std::string& err) {
    if (!openProgram(err)) return false;
    if (g_inj.remoteModule) return true;
    const std::string path = probePath();
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        err = "no " + path;
        return false;
    }
    HMODULE k32 = GetModuleHandleA("kernel32.dll");
    DWORD_PTR localLoad = reinterpret_cast<DWORD_PTR>(GetProcAddress(k32, "LoadLibraryA"));
    DWORD_PTR base = remoteBase(g_pid, "kernel32.dll");
    // Without a module list, assume the usual: system DLLs share their base.
    DWORD_PTR remoteLoad = base ? base + (localLoad - reinterpret_cast<DWORD_PTR>(k32)) : localLoad;
    DWORD_PTR remotePath = remoteCopy(path.c_str(), path.size() + 1, err);
    if (!remotePath) return false;
    DWORD module = 0;
    bool called = remoteCall(remoteLoad, remotePath, module, err);
    VirtualFreeEx(g_inj.process, reinterpret_cast<void*>(remotePath), 0, MEM_RELEASE);
    if (!called) return false;
    if (!module) {
        err = "LoadLibraryA(" + path + ") in the program returned NULL";
        return false;
    }
    g_inj.remoteModule = module;
    return true;
}

// Runs pdprobe's ProbeRun inside the program and parses its report.
bool probe(const char* verb, HWND h, Report& report, std::string& err) {
    report.clear();
    if (!loadProbe(err)) return false;
    static HMODULE local = nullptr;
    if (!local) local = LoadLibraryA(probePath().c_str());
    if (!local) {
        err = lastError("LoadLibraryA(pdprobe.dll) in pdtest");
        return false;
    }
    DWORD_PTR localRun = reinterpret_cast<DWORD_PTR>(GetProcAddress(local, "ProbeRun"));
    if (!localRun) {
        err = "pdprobe.dll exports no ProbeRun";
        return false;
    }
    DWORD_PTR remoteRun = g_inj.remoteModule + (localRun - reinterpret_cast<DWORD_PTR>(local));

    static unsigned counter = 0;
    char tmp[MAX_PATH];
    GetTempPathA(sizeof tmp, tmp);
    char file[MAX_PATH + 64];
    std::snprintf(file, sizeof file, "%spdprobe-%lu-%u.txt", tmp, GetCurrentProcessId(), ++counter);
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "%s %lx", verb, static_cast<unsigned long>(reinterpret_cast<DWORD_PTR>(h)));
    std::string block = std::string(file) + '\0' + cmd + '\0';

    DWORD_PTR remoteBlock = remoteCopy(block.data(), block.size(), err);
    if (!remoteBlock) return false;
    DWORD rc = 0;
    bool called = remoteCall(remoteRun, remoteBlock, rc, err);
    VirtualFreeEx(g_inj.process, reinterpret_cast<void*>(remoteBlock), 0, MEM_RELEASE);
    if (!called) return false;
    if (rc != 0) {
        err = "ProbeRun returned " + nums(static_cast<long>(rc));
        return false;
    }
    FILE* f = std::fopen(file, "r");
    if (!f) {
        err = std::string("no report at ") + file;
        return false;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, f)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        size_t eq = s.find('=');
        if (eq != std::string::npos) report[s.substr(0, eq)] = s.substr(eq + 1);
    }
    std::fclose(f);
    DeleteFileA(file);
    if (report["end"] != "1") {
        err = "an incomplete report";
        return false;
    }
    return true;
}

// A probe whose failure is a miss of the polled check it belongs to.
bool probeFor(const char* verb, HWND h, const char* what, Report& r, Miss& m) {
    std::string err;
    if (probe(verb, h, r, err)) return true;
    m = Miss{std::string("probe of ") + what, "a report", err};
    return false;
}

std::string field(const Report& r, const std::string& key) {
    auto it = r.find(key);
    return it == r.end() ? "(missing " + key + ")" : it->second;
}

std::string fontName(const std::string& value, const std::string& stock) {
    if (value == stock) return "DEFAULT_GUI_FONT (" + value + ")";
    if (value == hexs(0)) return "NULL (the system font)";
    return "another font (" + value + ")";
}

// Class facts shared by both window classes: no icon, no cursor.
void checkClassBare(Checker& c, const Report& r, const std::string& who) {
    c.raw(who + " class icon", hexs(0), field(r, "class.icon"));
    c.raw(who + " class small icon", hexs(0), field(r, "class.iconsm"));
    c.raw(who + " class cursor", hexs(0), field(r, "class.cursor"));
}

// --------------------------------------------------------------- specs ----

struct ChildSpec {
    const char* cls;
    const char* text;
    DWORD style;
    long x, y, w, h;
    long id;
    bool guiFont;  // DEFAULT_GUI_FONT; otherwise the system font (no WM_SETFONT)
};

const ChildSpec kMainChildren[] = {
    {"STATIC", "What do you want to download and extract?", 0x50000000, 10, 10, 360, 30, 0, true},
    {"BUTTON", "RetroZilla", 0x50010001, 5, 30, 70, 20, 1, true},
    {"BUTTON", "Winzip", 0x50010001, 80, 30, 70, 20, 2, true},
    {"BUTTON", "Winrar", 0x50010001, 155, 30, 70, 20, 3, true},
    {"BUTTON", "7zip", 0x50010001, 5, 55, 70, 20, 4, true},
    {"BUTTON", "IE 5.5", 0x50010001, 155, 55, 70, 20, 5, true},
    {"BUTTON", "Cancel", 0x50010001, 80, 55, 70, 20, 6, false},
    {"BUTTON", "?", 0x50010001, 230, 55, 20, 20, 7, false},
};
const size_t kMainChildCount = sizeof kMainChildren / sizeof kMainChildren[0];

const char kAboutPrefix[] =
    "This is a basic program to download and extract necesary applications for users who dont have a tool "
    "to extract zip files. This is made for operating systems like Windows 95 to 2000.\r\n\r\n"
    "How does it work?\r\n";

std::string childName(size_t i) {
    return "main child " + nums(static_cast<long>(i) + 1) + " (" + quote(kMainChildren[i].text) + ")";
}

// --------------------------------------------------------------- steps ----

bool mainReady(Miss& m, HWND* out) {
    HWND w = findMain(true);
    if (!w) {
        m = Miss{"main window", "visible", findMain(false) ? "hidden" : "absent"};
        return false;
    }
    std::vector<HWND> kids = childrenOf(w);
    if (kids.size() < kMainChildCount) {
        m = Miss{"main window children", nums(kMainChildCount), nums(static_cast<long>(kids.size()))};
        return false;
    }
    if (out) *out = w;
    return true;
}

void stepWaitMain() {
    HWND w = nullptr;
    eventually([&](Miss& m) { return mainReady(m, &w); });
    POINT origin{0, 0};
    ClientToScreen(w, &origin);
    ok("hwnd=" + hexs(reinterpret_cast<DWORD_PTR>(w)) + " pid=" + nums(static_cast<long>(g_pid)) +
       " client=" + nums(origin.x) + "," + nums(origin.y));
}

bool checkMain(Miss& m) {
    HWND w = nullptr;
    if (!mainReady(m, &w)) return false;
    Checker c;
    c.str("main window class", kMainClass, className(w));
    c.str("main window title", kMainTitle, windowText(w));
    c.hex("main window style", 0x10C80000, styleOf(w) & kTopLevelStyleMask);
    c.hex("main window extended style", 0, exStyleOf(w) & kCaptionExStyleMask);
    c.raw("main window rect", geo(100, 100, 260, 105), topGeo(w));
    c.hex("main window owner", 0, reinterpret_cast<DWORD_PTR>(GetWindow(w, GW_OWNER)));
    c.hex("main window menu", 0, reinterpret_cast<DWORD_PTR>(GetMenu(w)));
    std::vector<HWND> kids = childrenOf(w);
    c.num("main window child count", kMainChildCount, static_cast<long>(kids.size()));
    for (size_t i = 0; i < kids.size() && i < kMainChildCount; ++i) {
        const ChildSpec& s = kMainChildren[i];
        const std::string name = childName(i);
        c.classCI(name + " class", s.cls, className(kids[i]));
        c.str(name + " text", s.text, windowText(kids[i]));
        c.hex(name + " style", s.style, styleOf(kids[i]));
        c.hex(name + " extended style", 0, exStyleOf(kids[i]));
        c.raw(name + " rect", geo(s.x, s.y, s.w, s.h), childGeo(kids[i], w));
        c.num(name + " control id", s.id, idOf(kids[i]));
    }
    if (!c.passed(m)) return false;

    Report r;
    if (!probeFor("main", w, "the main window", r, m)) return false;
    c.raw("main class style", hexs(0), field(r, "class.style"));
    checkClassBare(c, r, "main");
    c.raw("main class menu name", hexs(0), field(r, "class.menuname"));
    c.raw("main class background brush", "solid", field(r, "class.brush.object"));
    c.raw("main class background colour", hexs(kFace), field(r, "class.brush.color"));

    const std::string stock = field(r, "stock.default_gui_font");
    c.raw("stock DEFAULT_GUI_FONT handle", "non-null", stock == hexs(0) ? "NULL" : "non-null");
    c.raw("children seen by the probe", nums(kMainChildCount), field(r, "child.count"));
    for (size_t i = 0; i < kMainChildCount; ++i) {
        const std::string k = "child." + nums(static_cast<long>(i));
        c.raw(childName(i) + " id seen by the probe", nums(kMainChildren[i].id), field(r, k + ".id"));
        const std::string want = kMainChildren[i].guiFont ? stock : hexs(0);
        c.raw(childName(i) + " font (WM_GETFONT)", fontName(want, stock), fontName(field(r, k + ".font"), stock));
    }

    c.raw("label colouring", "no error", r.count("ctl.error") ? field(r, "ctl.error") : "no error");
    c.raw("DC background before WM_CTLCOLORSTATIC", hexs(RGB(0x12, 0x34, 0x56)), field(r, "ctl.bkcolor.before"));
    c.raw("DC background after WM_CTLCOLORSTATIC", hexs(kFace), field(r, "ctl.bkcolor"));
    c.raw("DC background after a second WM_CTLCOLORSTATIC", hexs(kFace), field(r, "ctl.bkcolor2"));
    c.raw("WM_CTLCOLORSTATIC brush", "solid", field(r, "ctl.brush.object"));
    c.raw("WM_CTLCOLORSTATIC brush colour", hexs(kFace), field(r, "ctl.brush.color"));
    c.raw("WM_CTLCOLORSTATIC brush the second time", "the same handle " + field(r, "ctl.brush"),
          field(r, "ctl.brush2") == field(r, "ctl.brush") ? "the same handle " + field(r, "ctl.brush")
                                                           : "another handle " + field(r, "ctl.brush2"));
    if (!c.passed(m)) return false;
    return true;
}

void stepCheckMain() {
    eventually(checkMain, kProbePollMs);
    ok("8 children, class, fonts and label colouring as expected");
}

void stepClick(const std::string& arg) {
    char* end = nullptr;
    long id = std::strtol(arg.c_str(), &end, 10);
    if (*end || id < 1 || id > static_cast<long>(kMainChildCount - 1))
        fail("argument", "a control id 1..7", quote(arg));
    HWND button = nullptr;
    eventually([&](Miss& m) {
        HWND w = nullptr;
        if (!mainReady(m, &w)) return false;
        button = GetDlgItem(w, static_cast<int>(id));
        if (!button) m = Miss{"child with control id " + arg, "present", "absent"};
        return button != nullptr;
    });
    PostMessageA(button, BM_CLICK, 0, 0);
    ok(arg + " " + quote(windowText(button)));
}

HWND findKind(const std::string& kind, bool visibleOnly) {
    if (kind == "main") return findMain(visibleOnly);
    if (kind == "about") return findAbout(visibleOnly);
    return findProgress(visibleOnly);
}

void checkKind(const std::string& kind) {
    if (kind != "main" && kind != "about" && kind != "progress")
        fail("argument", "main|about|progress", quote(kind));
}

void stepClose(const std::string& kind) {
    if (kind != "main" && kind != "about") fail("argument", "main|about", quote(kind));
    HWND w = nullptr;
    eventually([&](Miss& m) {
        w = findKind(kind, false);
        if (!w) m = Miss{kind + " window", "present", "absent"};
        return w != nullptr;
    });
    PostMessageA(w, WM_CLOSE, 0, 0);
    ok(kind);
}

void stepExpectVisible(const std::string& kind, bool visible) {
    checkKind(kind);
    eventually([&](Miss& m) {
        HWND v = findKind(kind, true);
        if ((v != nullptr) == visible) return true;
        m = Miss{kind + " window", visible ? "visible" : "not visible",
                 v ? "visible" : (findKind(kind, false) ? "hidden" : "absent")};
        return false;
    });
    ok(kind);
}

bool checkAbout(Miss& m) {
    HWND w = findAbout(true);
    if (!w) {
        m = Miss{"About window", "visible", findAbout(false) ? "hidden" : "absent"};
        return false;
    }
    Checker c;
    c.str("About window class", kAboutClass, className(w));
    c.str("About window title", "About", windowText(w));
    c.hex("About window style", 0x10C00000, styleOf(w) & kTopLevelStyleMask);
    c.raw("About window rect", geo(200, 200, 400, 200), topGeo(w));
    std::vector<HWND> kids = childrenOf(w);
    c.num("About window child count", 1, static_cast<long>(kids.size()));
    if (!c.passed(m)) return false;
    HWND t = kids[0];
    c.classCI("About child class", "STATIC", className(t));
    c.hex("About child style", 0x50000000, styleOf(t));
    c.raw("About child rect", geo(0, 0, 395, 180), childGeo(t, w));
    c.num("About child control id", 0, idOf(t));
    const std::string text = windowText(t);
    const std::string prefix(kAboutPrefix);
    c.str("About text start", prefix, text.substr(0, prefix.size()));
    const size_t made = text.find("\r\n\r\nMade by: ", prefix.size());
    c.raw("About text \"\\r\\n\\r\\nMade by: \" after the opening", "present", made == std::string::npos ? "absent" : "present");
    if (made != std::string::npos) {
        const size_t site = text.find("\r\nSite: ", made + 4);
        c.raw("About text \"\\r\\nSite: \" after \"Made by: \"", "present", site == std::string::npos ? "absent" : "present");
    }
    if (!c.passed(m)) return false;
    Report r;
    if (!probeFor("about", w, "the About window", r, m)) return false;
    checkClassBare(c, r, "About");
    c.raw("About class background brush", hexs(0), field(r, "class.brush"));
    const std::string stock = field(r, "stock.default_gui_font");
    c.raw("About child font (WM_GETFONT)", fontName(stock, stock), fontName(field(r, "child.0.font"), stock));
    if (!c.passed(m)) return false;
    return true;
}

void stepCheckAbout() {
    eventually(checkAbout, kProbePollMs);
    ok("class, window, text and font as expected");
}

bool checkProgress(Miss& m, bool full, std::string& detail) {
    HWND w = findProgress(true);
    if (!w) {
        m = Miss{"progress window", "visible", findProgress(false) ? "hidden" : "absent"};
        return false;
    }
    Checker c;
    c.hex("progress window style", 0x10C00000, styleOf(w) & kTopLevelStyleMask);
    c.raw("progress window rect", geo(100, 100, 400, 70), topGeo(w));
    std::vector<HWND> kids = childrenOf(w);
    c.num("progress window child count", 1, static_cast<long>(kids.size()));
    if (!c.passed(m)) return false;
    HWND bar = kids[0];
    c.classCI("progress bar class", PROGRESS_CLASSA, className(bar));
    c.hex("progress bar style", 0x50000000, styleOf(bar));
    c.raw("progress bar rect", geo(20, 15, 360, 20), childGeo(bar, w));
    c.num("progress bar control id", 0, idOf(bar));
    if (c.good() && full) {
        DWORD_PTR high = 0, pos = 0;
        if (!sendTimeout(bar, PBM_GETRANGE, FALSE, 0, &high) || !sendTimeout(bar, PBM_GETPOS, 0, 0, &pos)) {
            c.mismatch("progress bar answer", "PBM_GETRANGE and PBM_GETPOS", "no answer within 5 s");
        } else {
            c.num("progress bar position (top of range)", static_cast<long>(high), static_cast<long>(pos));
            detail = "pos=" + nums(static_cast<long>(pos)) + " high=" + nums(static_cast<long>(high));
        }
    }
    if (!c.passed(m)) return false;
    return true;
}

void stepCheckProgress(const std::string& arg) {
    if (arg != "full" && arg != "any") fail("argument", "full|any", quote(arg));
    std::string detail;
    eventually([&](Miss& m) { return checkProgress(m, arg == "full", detail); });
    ok(arg + (detail.empty() ? "" : " " + detail));
}

const char* const kIcons[] = {"error", "warning", "information", "question", "none"};

void stepExpectBox(const std::string& captionArg, const std::string& textArg, const std::string& icon, bool prefix) {
    std::string caption, want;
    if (!unescape(captionArg, caption)) fail("caption argument", "valid escapes", quote(captionArg));
    if (!unescape(textArg, want)) fail("text argument", "valid escapes", quote(textArg));
    bool known = false;
    for (const char* k : kIcons) known = known || icon == k;
    if (!known) fail("icon argument", "error|warning|information|question|none", quote(icon));

    HWND box = nullptr;
    std::string text;
    eventually([&](Miss& m) {
        box = nullptr;
        std::string captions;
        for (HWND h : visibleBoxes()) {
            const std::string cap = windowText(h);
            if (cap == caption) {
                box = h;
                break;
            }
            captions += (captions.empty() ? "" : ", ") + quote(cap);
        }
        if (!box) {
            m = Miss{"message box", quote(caption), captions.empty() ? "none visible" : captions};
            return false;
        }
        adopt(box);
        Checker c;
        HWND label = GetDlgItem(box, 0xFFFF);
        text = label ? windowText(label) : std::string();
        if (!label)
            c.mismatch("message box text control", "a static with id 0xFFFF", "none");
        else if (prefix)
            c.str("message box text start", want, text.substr(0, want.size()));
        else
            c.str("message box text", want, text);
        c.hex("message box owner", 0, reinterpret_cast<DWORD_PTR>(GetWindow(box, GW_OWNER)));
        std::string buttons;
        int count = 0;
        for (HWND b : childrenOf(box)) {
            if (lstrcmpiA(className(b).c_str(), "Button") != 0 || !IsWindowVisible(b)) continue;
            ++count;
            buttons += (buttons.empty() ? "" : ", ") + quote(windowText(b)) + " id " + nums(idOf(b));
        }
        c.raw("message box buttons", "\"OK\" id 1", buttons.empty() ? "none" : buttons);
        if (!c.passed(m)) return false;
        Report r;
        if (!probeFor("box", box, "the message box", r, m)) return false;
        c.raw("message box icon", icon, field(r, "icon.kind"));
        if (!c.passed(m)) return false;
        return true;
    }, kProbePollMs);
    g_box = box;
    ok(quote(caption) + " icon=" + icon + " text=" + quote(text));
}

void pressAndWaitGone(HWND dlg, int id, const std::string& what) {
    HWND button = GetDlgItem(dlg, id);
    if (!button) fail(what + " button", "present", "absent");
    PostMessageA(button, BM_CLICK, 0, 0);
    eventually([&](Miss& m) {
        if (!IsWindow(dlg) || !IsWindowVisible(dlg)) return true;
        m = Miss{"window after pressing " + what, "gone", "still visible"};
        return false;
    });
}

void stepOkBox() {
    HWND box = nullptr;
    eventually([&](Miss& m) {
        if (g_box && IsWindow(g_box) && IsWindowVisible(g_box)) {
            box = g_box;
            return true;
        }
        std::vector<HWND> boxes = visibleBoxes();
        if (boxes.size() == 1) box = boxes[0];
        m = Miss{"visible message boxes", "1", nums(static_cast<long>(boxes.size()))};
        return box != nullptr;
    });
    const std::string caption = windowText(box);
    pressAndWaitGone(box, IDOK, "OK");
    g_box = nullptr;
    ok(quote(caption));
}

void stepExpectNoBox() {
    eventually([&](Miss& m) {
        std::vector<HWND> boxes = visibleBoxes();
        if (boxes.empty()) return true;
        m = Miss{"visible message boxes", "none", quote(windowText(boxes[0]))};
        return false;
    });
    ok("");
}

// Tree items live in the program's process: ask for their text into memory
// allocated there and read it back.
class RemoteItemReader {
public:
    explicit RemoteItemReader(HWND tree) : tree_(tree) {}
    ~RemoteItemReader() {
        if (mem_) VirtualFreeEx(g_inj.process, mem_, 0, MEM_RELEASE);
    }
    bool text(HTREEITEM item, std::string& out, std::string& err) {
        if (!mem_) {
            if (!openProgram(err)) return false;
            mem_ = VirtualAllocEx(g_inj.process, nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
            if (!mem_) {
                err = lastError("VirtualAllocEx");
                return false;
            }
        }
        char* remote = static_cast<char*>(mem_);
        TVITEMA tv{};
        tv.mask = TVIF_TEXT | TVIF_HANDLE;
        tv.hItem = item;
        tv.pszText = remote + 256;
        tv.cchTextMax = 1024;
        char zero[1024] = {0};
        if (!WriteProcessMemory(g_inj.process, remote, &tv, sizeof tv, nullptr) ||
            !WriteProcessMemory(g_inj.process, remote + 256, zero, sizeof zero, nullptr)) {
            err = lastError("WriteProcessMemory");
            return false;
        }
        DWORD_PTR got = 0;
        if (!sendTimeout(tree_, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote), &got) || !got) {
            err = "TVM_GETITEMA failed";
            return false;
        }
        char buf[1024];
        if (!ReadProcessMemory(g_inj.process, remote + 256, buf, sizeof buf, nullptr)) {
            err = lastError("ReadProcessMemory");
            return false;
        }
        buf[sizeof buf - 1] = 0;
        out = buf;
        return true;
    }

private:
    HWND tree_;
    void* mem_ = nullptr;
};

HTREEITEM treeNext(HWND tree, UINT how, HTREEITEM from) {
    DWORD_PTR r = 0;
    if (!sendTimeout(tree, TVM_GETNEXTITEM, how, reinterpret_cast<LPARAM>(from), &r)) return nullptr;
    return reinterpret_cast<HTREEITEM>(r);
}

void stepPickFolder(const std::string& name) {
    HWND dlg = nullptr, tree = nullptr;
    eventually([&](Miss& m) {
        for (HWND h : programWindows()) {
            if (className(h) == kBoxClass && IsWindowVisible(h) && (tree = findDescendant(h, WC_TREEVIEWA))) {
                dlg = h;
                adopt(h);
                return true;
            }
        }
        m = Miss{"folder picker", "a visible dialog with a tree", "none"};
        return false;
    });
    if (name == "cancel") {
        pressAndWaitGone(dlg, IDCANCEL, "Cancel");
        ok("cancel");
        return;
    }
    if (name == ".") {
        pressAndWaitGone(dlg, IDOK, "OK");
        ok(". (the initial selection)");
        return;
    }
    RemoteItemReader reader(tree);
    HTREEITEM found = nullptr;
    eventually([&](Miss& m) {
        HTREEITEM root = treeNext(tree, TVGN_ROOT, nullptr);
        if (!root) {
            m = Miss{"folder tree root", "the Desktop item", "none"};
            return false;
        }
        sendTimeout(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(root), nullptr);
        std::string names, err, t;
        for (HTREEITEM it = treeNext(tree, TVGN_CHILD, root); it; it = treeNext(tree, TVGN_NEXT, it)) {
            if (!reader.text(it, t, err)) {
                m = Miss{"folder tree item text", "readable", err};
                return false;
            }
            if (t == name) {
                found = it;
                return true;
            }
            names += (names.empty() ? "" : ", ") + quote(t);
        }
        m = Miss{"Desktop item in the folder tree", quote(name), names.empty() ? "no items" : names};
        return false;
    });
    eventually([&](Miss& m) {
        sendTimeout(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(found), nullptr);
        HTREEITEM sel = treeNext(tree, TVGN_CARET, nullptr);
        if (sel == found) return true;
        m = Miss{"selected folder tree item", quote(name), "another item"};
        return false;
    });
    pressAndWaitGone(dlg, IDOK, "OK");
    ok(quote(name));
}

void stepSync(const std::string& name) {
    const char* dir = std::getenv("PDTEST_SYNC_DIR");
    if (!dir || !*dir) fail("PDTEST_SYNC_DIR", "a folder", "not set");
    const std::string base = std::string(dir) + "\\" + name;
    const std::string ready = base + ".ready", go = base + ".go";
    HANDLE f = CreateFileA(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) fail("creating " + ready, "success", lastError("CreateFileA"));
    CloseHandle(f);
    eventually([&](Miss& m) {
        if (GetFileAttributesA(go.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        m = Miss{go, "present", "absent"};
        return false;
    });
    ok(name);
}

struct StepDef {
    const char* name;
    int args;
};

const StepDef kSteps[] = {
    {"wait-main", 0},   {"check-main", 0},     {"click", 1},
    {"close", 1},        {"expect-visible", 1}, {"expect-hidden", 1}, {"check-about", 0},
    {"check-progress", 1}, {"expect-box", 3}, {"expect-box-prefix", 3}, {"ok-box", 0},
    {"expect-no-box", 0}, {"pick-folder", 1}, {"sync", 1},
};

int argCount(const std::string& step) {
    for (const StepDef& d : kSteps)
        if (step == d.name) return d.args;
    return -1;
}

void run(const std::string& step, const std::vector<std::string>& a) {
    g_step = step;
    if (step == "wait-main") stepWaitMain();
    else if (step == "check-main") stepCheckMain();
    else if (step == "click") stepClick(a[0]);
    else if (step == "close") stepClose(a[0]);
    else if (step == "expect-visible") stepExpectVisible(a[0], true);
    else if (step == "expect-hidden") stepExpectVisible(a[0], false);
    else if (step == "check-about") stepCheckAbout();
    else if (step == "check-progress") stepCheckProgress(a[0]);
    else if (step == "expect-box") stepExpectBox(a[0], a[1], a[2], false);
    else if (step == "expect-box-prefix") stepExpectBox(a[0], a[1], a[2], true);
    else if (step == "ok-box") stepOkBox();
    else if (step == "expect-no-box") stepExpectNoBox();
    else if (step == "pick-folder") stepPickFolder(a[0]);
    else if (step == "sync") stepSync(a[0]);
}

}  // namespace

int main(int argc, char** argv) {
    struct Planned {
        std::string step;
        std::vector<std::string> args;
    };
    std::vector<Planned> plan;
    // Read the whole plan first, so a typo fails before anything is pressed.
    for (int i = 1; i < argc;) {
        const std::string step = argv[i++];
        const int n = argCount(step);
        g_step = step;
        if (n < 0) fail("step name", "a known step", quote(step));
        if (i + n > argc) fail("arguments", nums(n), nums(argc - i));
        Planned p{step, {}};
        for (int k = 0; k < n; ++k) p.args.push_back(argv[i++]);
        plan.push_back(p);
    }
    if (plan.empty()) {
        g_step = "pdtest";
        fail("steps", "at least one", "none");
    }
    for (const Planned& p : plan) run(p.step, p.args);
    return 0;
}
