// pdprobe.dll: pdtest loads this into the program's own process, because
// some answers only mean something there: font and brush handles are per
// process, Wine 8 does not hand class brushes or cursors to other processes,
// and LoadIcon(NULL, ...) returns a per-process shared handle.
//
// pdtest calls ProbeRun in a remote thread with a block "REPORT\0COMMAND\0".
// COMMAND is one of
//   main HWND   class facts, child fonts, label colouring of the main window
//   about HWND  class facts and child font of the About window
//   box HWND    which standard icon a message box shows
// (HWND in hex). The report is plain "key=value" lines; handles and colours
// are hex, so pdtest can compare them with what it expects.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const UINT kSendTimeoutMs = 5000;

void putHex(FILE* f, const char* key, DWORD_PTR value) {
    std::fprintf(f, "%s=0x%08lX\n", key, static_cast<unsigned long>(value));
}

// A handle sent back by another thread may time out; say so rather than
// reporting a misleading zero.
bool sendQuery(HWND h, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR* result) {
    return SendMessageTimeoutA(h, msg, wp, lp, SMTO_NORMAL, kSendTimeoutMs, result) != 0;
}

const char* brushKind(UINT style) {
    switch (style) {
    case BS_SOLID: return "solid";
    case BS_NULL: return "null";
    case BS_HATCHED: return "hatched";
    case BS_PATTERN: return "pattern";
    case BS_DIBPATTERN: return "dibpattern";
    default: return "other";
    }
}

// A brush that is really a system colour index (COLOR_x + 1) or garbage is
// no GDI object at all: GetObject fails and the report says "none".
void putBrush(FILE* f, const char* prefix, HBRUSH brush) {
    char key[64];
    std::snprintf(key, sizeof key, "%s", prefix);
    putHex(f, key, reinterpret_cast<DWORD_PTR>(brush));
    LOGBRUSH lb;
    std::snprintf(key, sizeof key, "%s.object", prefix);
    if (brush && GetObjectA(brush, sizeof lb, &lb) == sizeof lb) {
        std::fprintf(f, "%s=%s\n", key, brushKind(lb.lbStyle));
        std::snprintf(key, sizeof key, "%s.color", prefix);
        putHex(f, key, lb.lbColor);
    } else {
        std::fprintf(f, "%s=none\n", key);
    }
}

void putClass(FILE* f, HWND h) {
    putHex(f, "class.style", GetClassLongPtrA(h, GCL_STYLE));
    putHex(f, "class.icon", GetClassLongPtrA(h, GCLP_HICON));
    putHex(f, "class.iconsm", GetClassLongPtrA(h, GCLP_HICONSM));
    putHex(f, "class.cursor", GetClassLongPtrA(h, GCLP_HCURSOR));
    putHex(f, "class.menuname", GetClassLongPtrA(h, GCLP_MENUNAME));
    putBrush(f, "class.brush", reinterpret_cast<HBRUSH>(GetClassLongPtrA(h, GCLP_HBRBACKGROUND)));
}

void putChildFonts(FILE* f, HWND parent) {
    putHex(f, "stock.default_gui_font", reinterpret_cast<DWORD_PTR>(GetStockObject(DEFAULT_GUI_FONT)));
    int n = 0;
    char key[64];
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT), ++n) {
        std::snprintf(key, sizeof key, "child.%d.id", n);
        std::fprintf(f, "%s=%ld\n", key, static_cast<long>(GetWindowLongPtrA(c, GWLP_ID)));
        std::snprintf(key, sizeof key, "child.%d.font", n);
        DWORD_PTR font = 0;
        if (sendQuery(c, WM_GETFONT, 0, 0, &font))
            putHex(f, key, font);
        else
            std::fprintf(f, "%s=timeout\n", key);
    }
    std::fprintf(f, "child.count=%d\n", n);
}

// The label's colour comes from the parent's WM_CTLCOLORSTATIC: ask twice
// with a DC whose background starts elsewhere, so both the colour it sets
// and whether it hands out the same brush each time show up.
void putLabelColouring(FILE* f, HWND main) {
    HWND label = GetWindow(main, GW_CHILD);
    HDC dc = CreateCompatibleDC(nullptr);
    if (!label || !dc) {
        std::fprintf(f, "ctl.error=%s\n", label ? "no memory DC" : "no label");
        if (dc) DeleteDC(dc);
        return;
    }
    const COLORREF before = RGB(0x12, 0x34, 0x56);
    SetBkColor(dc, before);
    putHex(f, "ctl.bkcolor.before", GetBkColor(dc));
    DWORD_PTR first = 0, second = 0;
    const WPARAM wp = reinterpret_cast<WPARAM>(dc);
    const LPARAM lp = reinterpret_cast<LPARAM>(label);
    if (!sendQuery(main, WM_CTLCOLORSTATIC, wp, lp, &first)) {
        std::fprintf(f, "ctl.error=timeout\n");
        DeleteDC(dc);
        return;
    }
    putHex(f, "ctl.bkcolor", GetBkColor(dc));
    SetBkColor(dc, before);
    if (!sendQuery(main, WM_CTLCOLORSTATIC, wp, lp, &second)) {
        std::fprintf(f, "ctl.error=timeout\n");
        DeleteDC(dc);
        return;
    }
    putHex(f, "ctl.bkcolor2", GetBkColor(dc));
    putHex(f, "ctl.brush2", second);
    putBrush(f, "ctl.brush", reinterpret_cast<HBRUSH>(first));
    DeleteDC(dc);
}

struct IconSearch {
    int statics = 0;
    HWND found = nullptr;
};

BOOL CALLBACK findIconStatic(HWND h, LPARAM lp) {
    IconSearch* s = reinterpret_cast<IconSearch*>(lp);
    char cls[32] = {0};
    GetClassNameA(h, cls, sizeof cls);
    if (lstrcmpiA(cls, "Static") == 0 && (GetWindowLongA(h, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        ++s->statics;
        if (!s->found) s->found = h;
    }
    return TRUE;
}

// A message box shows its icon in an SS_ICON static; compare what it holds
// with the shared stock icons of this process.
void putBoxIcon(FILE* f, HWND box) {
    IconSearch s;
    EnumChildWindows(box, findIconStatic, reinterpret_cast<LPARAM>(&s));
    std::fprintf(f, "icon.statics=%d\n", s.statics);
    DWORD_PTR icon = 0;
    if (s.found && !sendQuery(s.found, STM_GETICON, 0, 0, &icon)) {
        std::fprintf(f, "icon.kind=timeout\n");
        return;
    }
    putHex(f, "icon.handle", icon);
    const char* kind = "other";
    if (!icon)
        kind = "none";
    else if (reinterpret_cast<HICON>(icon) == LoadIconA(nullptr, IDI_HAND))
        kind = "error";
    else if (reinterpret_cast<HICON>(icon) == LoadIconA(nullptr, IDI_EXCLAMATION))
        kind = "warning";
    else if (reinterpret_cast<HICON>(icon) == LoadIconA(nullptr, IDI_ASTERISK))
        kind = "information";
    else if (reinterpret_cast<HICON>(icon) == LoadIconA(nullptr, IDI_QUESTION))
        kind = "question";
    std::fprintf(f, "icon.kind=%s\n", kind);
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI ProbeRun(LPVOID param) {
    const char* report = static_cast<const char*>(param);
    if (!report) return 1;
    const char* command = report + std::strlen(report) + 1;
    char verb[16] = {0};
    unsigned long handle = 0;
    if (std::sscanf(command, "%15s %lx", verb, &handle) != 2) return 2;
    HWND h = reinterpret_cast<HWND>(static_cast<DWORD_PTR>(handle));
    FILE* f = std::fopen(report, "w");
    if (!f) return 3;
    std::fprintf(f, "command=%s\n", verb);
    std::fprintf(f, "window.valid=%d\n", IsWindow(h) ? 1 : 0);
    if (IsWindow(h)) {
        if (std::strcmp(verb, "main") == 0) {
            putClass(f, h);
            putChildFonts(f, h);
            putLabelColouring(f, h);
        } else if (std::strcmp(verb, "about") == 0) {
            putClass(f, h);
            putChildFonts(f, h);
        } else if (std::strcmp(verb, "box") == 0) {
            putBoxIcon(f, h);
        } else {
            std::fprintf(f, "error=unknown command\n");
        }
    }
    std::fprintf(f, "end=1\n");
    std::fclose(f);
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
