// robot.exe - drives the windows of another program from the outside.
//
// One command per run; the result is one line of JSON on stdout.
// Exit codes: 0 success, 1 usage error, 2 window/process not found within
// the wait (or timeout), 3 the control is in a state a user could not use
// (disabled or hidden), 4 a system call failed.
//
// Commands:
//   list [--all]
//   msgbox [--wait MS] [--caption TEXT]
//   dialog [--wait MS] [--caption TEXT] [--hwnd H]
//   click --hwnd H --id N [--force] [--command]
//   press --caption TEXT --button ID [--wait MS]
//   scroll --hwnd H [--id N] --code CODE [--pos P] [--count K] [--end]
//   key --hwnd H --vk VK [--id N] [--post]
//   wait-gone --hwnd H [--wait MS]
//   launch --cmdline TEXT [--exe PATH] [--cwd DIR] [--wait MS] [--kill]
//   info
//   pixels --hwnd H [--id N] [--rgb RRGGBB]
//   hold-session [--wait MS]
// Every TEXT argument has a hex form (--caption-hex, --cmdline-hex,
// --cwd-hex, --exe-hex) holding the exact bytes, so that nothing between the
// caller and this program can change them.

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const DWORD kMessageTimeoutMs = 2000;
const int kMessageBoxTextId = 0xFFFF;

// ---------------------------------------------------------------- JSON output

std::string HexOf(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The text as a JSON string literal. The bytes are ANSI (this process's code
// page, the same as the target's when both run with the same locale); they
// are decoded to UTF-16 and written with \u escapes, so the output is ASCII.
std::string JsonString(const std::string& ansi) {
    std::string out = "\"";
    if (!ansi.empty()) {
        int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), (int)ansi.size(), nullptr, 0);
        std::vector<wchar_t> wide(n > 0 ? n : 1);
        if (n > 0) MultiByteToWideChar(CP_ACP, 0, ansi.data(), (int)ansi.size(), wide.data(), n);
        for (int i = 0; i < n; ++i) {
            unsigned int c = (unsigned short)wide[i];
            char buf[8];
            if (c == '"') out += "\\\"";
            else if (c == '\\') out += "\\\\";
            else if (c == '\n') out += "\\n";
            else if (c == '\r') out += "\\r";
            else if (c == '\t') out += "\\t";
            else if (c < 0x20 || c >= 0x7F) {
                snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += (char)c;
            }
        }
    }
    out += "\"";
    return out;
}

// A JSON object built field by field.
struct Json {
    std::string body;
    void Raw(const char* key, const std::string& value) {
        if (!body.empty()) body += ",";
        body += "\"";
        body += key;
        body += "\":";
        body += value;
    }
    void Str(const char* key, const std::string& value) { Raw(key, JsonString(value)); }
    void Text(const char* key, const std::string& value) {
        Str(key, value);
        std::string hexKey = std::string(key) + "_hex";
        Raw(hexKey.c_str(), "\"" + HexOf(value) + "\"");
    }
    void Int(const char* key, long long value) { Raw(key, std::to_string(value)); }
    void Bool(const char* key, bool value) { Raw(key, value ? "true" : "false"); }
    void Null(const char* key) { Raw(key, "null"); }
    std::string Done() const { return "{" + body + "}"; }
};

std::string JsonArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ",";
        out += items[i];
    }
    return out + "]";
}

std::string JsonRect(const RECT& r) {
    Json j;
    j.Int("left", r.left);
    j.Int("top", r.top);
    j.Int("right", r.right);
    j.Int("bottom", r.bottom);
    return j.Done();
}

int Emit(Json& j, int code) {
    std::string line = j.Done();
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
    return code;
}

int Fail(int code, const std::string& message, Json extra = Json()) {
    Json j;
    j.Bool("ok", false);
    j.Str("error", message);
    if (!extra.body.empty()) j.body += "," + extra.body;
    return Emit(j, code);
}

// ---------------------------------------------------------------- arguments

struct Args {
    std::vector<std::string> words;

    bool Has(const char* name) const {
        for (const std::string& w : words)
            if (w == name) return true;
        return false;
    }
    // Value after --name, or after --name-hex decoded from hex.
    bool Get(const char* name, std::string& value) const {
        std::string plain = std::string("--") + name;
        std::string hex = plain + "-hex";
        for (size_t i = 0; i + 1 < words.size(); ++i) {
            if (words[i] == plain) {
                value = words[i + 1];
                return true;
            }
            if (words[i] == hex) {
                const std::string& h = words[i + 1];
                value.clear();
                for (size_t k = 0; k + 1 < h.size(); k += 2)
                    value += (char)strtoul(h.substr(k, 2).c_str(), nullptr, 16);
                return true;
            }
        }
        return false;
    }
    long long Number(const char* name, long long fallback) const {
        std::string v;
        if (!Get(name, v)) return fallback;
        return strtoll(v.c_str(), nullptr, 0);
    }
};

// ---------------------------------------------------------------- windows

std::string ClassOf(HWND h) {
    char buf[256] = {0};
    GetClassNameA(h, buf, sizeof buf);
    return buf;
}

// For a window of another process GetWindowTextA reads the text the system
// keeps for the window without sending it a message, so it answers even
// while that process is busy.
std::string TextOf(HWND h) {
    std::vector<char> buf(65536, 0);
    int n = GetWindowTextA(h, buf.data(), (int)buf.size());
    if (n < 0) n = 0;
    return std::string(buf.data(), n);
}

DWORD PidOf(HWND h) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    return pid;
}

std::string ExeOf(DWORD pid) {
    std::string name;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return name;
    PROCESSENTRY32 pe;
    pe.dwSize = sizeof pe;
    if (Process32First(snap, &pe)) {
        do {
            if (pe.th32ProcessID == pid) {
                name = pe.szExeFile;
                break;
            }
        } while (Process32Next(snap, &pe));
    }
    CloseHandle(snap);
    return name;
}

BOOL CALLBACK CollectWindow(HWND h, LPARAM p) {
    reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
    return TRUE;
}

std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> all;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
    std::vector<HWND> out;
    DWORD self = GetCurrentProcessId();
    for (HWND h : all)
        if (PidOf(h) != self) out.push_back(h);
    return out;
}

std::vector<HWND> ChildrenOf(HWND parent) {
    std::vector<HWND> out;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        out.push_back(c);
    return out;
}

bool IsMessageBox(HWND h) {
    for (HWND c : ChildrenOf(h))
        if (GetDlgCtrlID(c) == kMessageBoxTextId && lstrcmpiA(ClassOf(c).c_str(), "Static") == 0)
            return true;
    return false;
}

enum Kind { kAnyDialog, kMessageBoxOnly, kDialogOnly };

HWND FindDialog(Kind kind, const std::string* caption) {
    for (HWND h : TopLevelWindows()) {
        if (!IsWindowVisible(h) || ClassOf(h) != "#32770") continue;
        if (caption && TextOf(h) != *caption) continue;
        bool box = IsMessageBox(h);
        if (kind == kMessageBoxOnly && !box) continue;
        // Without a caption, "dialog" means a dialog that is not a message box.
        if (kind == kDialogOnly && box && !caption) continue;
        return h;
    }
    return nullptr;
}

HWND WaitForDialog(Kind kind, const std::string* caption, DWORD waitMs) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND h = FindDialog(kind, caption);
        if (h) return h;
        if (GetTickCount() - start >= waitMs) return nullptr;
        Sleep(25);
    }
}

HWND HandleArg(const Args& args) {
    return (HWND)(UINT_PTR)args.Number("hwnd", 0);
}

bool SendTimed(HWND h, UINT msg, WPARAM w, LPARAM l, DWORD_PTR* result) {
    DWORD_PTR r = 0;
    LRESULT ok = SendMessageTimeoutA(h, msg, w, l, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &r);
    if (result) *result = r;
    return ok != 0;
}

RECT ClientRectIn(HWND control, HWND dialog) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string ScrollJson(const SCROLLINFO& si) {
    Json j;
    j.Int("min", si.nMin);
    j.Int("max", si.nMax);
    j.Int("page", si.nPage);
    j.Int("pos", si.nPos);
    j.Int("track", si.nTrackPos);
    return j.Done();
}

// Scroll info of a scroll bar control of another process, through the
// control's own message (answered by its process) with a time limit.
bool ControlScrollInfo(HWND h, SCROLLINFO& si) {
    memset(&si, 0, sizeof si);
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    DWORD_PTR r = 0;
    return SendTimed(h, SBM_GETSCROLLINFO, 0, reinterpret_cast<LPARAM>(&si), &r) && r;
}

std::string ControlJson(HWND dialog, HWND c) {
    Json j;
    std::string cls = ClassOf(c);
    LONG style = GetWindowLongA(c, GWL_STYLE);
    j.Int("hwnd", (long long)(UINT_PTR)c);
    j.Int("id", GetDlgCtrlID(c));
    j.Str("class", cls);
    j.Text("text", TextOf(c));
    j.Bool("visible", (style & WS_VISIBLE) != 0);
    j.Bool("enabled", IsWindowEnabled(c) != 0);
    if (lstrcmpiA(cls.c_str(), "Button") == 0) {
        DWORD_PTR checked = 0;
        if (SendTimed(c, BM_GETCHECK, 0, 0, &checked)) j.Int("checked", (long long)checked);
        else j.Null("checked");
    } else {
        j.Null("checked");
    }
    j.Int("style", (long long)(DWORD)style);
    j.Int("exstyle", (long long)(DWORD)GetWindowLongA(c, GWL_EXSTYLE));
    j.Raw("rect", JsonRect(ClientRectIn(c, dialog)));
    SCROLLINFO si;
    if (lstrcmpiA(cls.c_str(), "ScrollBar") == 0) {
        if (ControlScrollInfo(c, si)) j.Raw("scroll", ScrollJson(si));
        else j.Null("scroll");
    } else if (style & WS_VSCROLL) {
        memset(&si, 0, sizeof si);
        si.cbSize = sizeof si;
        si.fMask = SIF_ALL;
        if (GetScrollInfo(c, SB_VERT, &si)) j.Raw("scroll", ScrollJson(si));
        else j.Null("scroll");
    }
    return j.Done();
}

void DescribeWindow(Json& j, HWND h) {
    RECT wr, cr;
    POINT origin = {0, 0};
    GetWindowRect(h, &wr);
    GetClientRect(h, &cr);
    ClientToScreen(h, &origin);
    DWORD pid = PidOf(h);
    j.Int("hwnd", (long long)(UINT_PTR)h);
    j.Int("pid", pid);
    j.Str("exe", ExeOf(pid));
    j.Str("class", ClassOf(h));
    j.Text("caption", TextOf(h));
    j.Bool("enabled", IsWindowEnabled(h) != 0);
    j.Int("owner", (long long)(UINT_PTR)GetWindow(h, GW_OWNER));
    j.Int("style", (long long)(DWORD)GetWindowLongA(h, GWL_STYLE));
    j.Int("exstyle", (long long)(DWORD)GetWindowLongA(h, GWL_EXSTYLE));
    j.Raw("window_rect", JsonRect(wr));
    j.Raw("client_rect", JsonRect(cr));
    Json o;
    o.Int("x", origin.x);
    o.Int("y", origin.y);
    j.Raw("client_origin", o.Done());
}

std::string ControlsJson(HWND h) {
    std::vector<std::string> items;
    for (HWND c : ChildrenOf(h)) items.push_back(ControlJson(h, c));
    return JsonArray(items);
}

// ---------------------------------------------------------------- commands

int CmdList(const Args& args) {
    bool all = args.Has("--all");
    std::vector<std::string> items;
    for (HWND h : TopLevelWindows()) {
        bool visible = IsWindowVisible(h) != 0;
        if (!visible && !all) continue;
        Json w;
        DescribeWindow(w, h);
        w.Bool("visible", visible);
        items.push_back(w.Done());
    }
    Json j;
    j.Bool("ok", true);
    j.Raw("windows", JsonArray(items));
    return Emit(j, 0);
}

void DescribeMessageBox(Json& j, HWND box) {
    DescribeWindow(j, box);
    std::string text;
    std::vector<std::string> buttons;
    bool icon = false;
    for (HWND c : ChildrenOf(box)) {
        std::string cls = ClassOf(c);
        LONG style = GetWindowLongA(c, GWL_STYLE);
        if (GetDlgCtrlID(c) == kMessageBoxTextId && lstrcmpiA(cls.c_str(), "Static") == 0) {
            text = TextOf(c);
        } else if (lstrcmpiA(cls.c_str(), "Button") == 0) {
            Json b;
            b.Int("id", GetDlgCtrlID(c));
            b.Text("text", TextOf(c));
            b.Bool("visible", (style & WS_VISIBLE) != 0);
            b.Bool("enabled", IsWindowEnabled(c) != 0);
            buttons.push_back(b.Done());
        } else if (lstrcmpiA(cls.c_str(), "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON &&
                   (style & WS_VISIBLE)) {
            // A box without an icon may still carry an empty icon control.
            DWORD_PTR image = 0;
            if (SendTimed(c, STM_GETICON, 0, 0, &image) && image) icon = true;
        }
    }
    j.Text("text", text);
    j.Raw("buttons", JsonArray(buttons));
    j.Bool("icon", icon);
}

int CmdMsgBox(const Args& args) {
    std::string caption;
    bool byCaption = args.Get("caption", caption);
    HWND box = WaitForDialog(kMessageBoxOnly, byCaption ? &caption : nullptr,
                             (DWORD)args.Number("wait", 0));
    if (!box) return Fail(2, "no message box");
    Json j;
    j.Bool("ok", true);
    DescribeMessageBox(j, box);
    return Emit(j, 0);
}

int CmdDialog(const Args& args) {
    std::string caption;
    bool byCaption = args.Get("caption", caption);
    HWND h = HandleArg(args);
    if (h) {
        DWORD start = GetTickCount();
        DWORD waitMs = (DWORD)args.Number("wait", 0);
        while (!(IsWindow(h) && IsWindowVisible(h))) {
            if (GetTickCount() - start >= waitMs) return Fail(2, "window not visible");
            Sleep(25);
        }
    } else {
        h = WaitForDialog(kDialogOnly, byCaption ? &caption : nullptr,
                          (DWORD)args.Number("wait", 0));
        if (!h) return Fail(2, "no dialog");
    }
    Json j;
    j.Bool("ok", true);
    DescribeWindow(j, h);
    j.Bool("message_box", IsMessageBox(h));
    SCROLLINFO si;
    memset(&si, 0, sizeof si);
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    if ((GetWindowLongA(h, GWL_STYLE) & WS_VSCROLL) && GetScrollInfo(h, SB_VERT, &si))
        j.Raw("scroll", ScrollJson(si));
    j.Raw("controls", ControlsJson(h));
    return Emit(j, 0);
}

// Clicks a button the way a user would, without waiting for what the click
// starts: a click that opens a modal box would block a sent message until
// the box closes, so the click is posted.
int ClickControl(HWND dialog, int id, bool force, bool command) {
    HWND c = GetDlgItem(dialog, id);
    Json where;
    where.Int("hwnd", (long long)(UINT_PTR)dialog);
    where.Int("id", id);
    if (!c || command) {
        if (!c && !(id == IDOK || id == IDCANCEL)) return Fail(2, "no such control", where);
        if (!PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)c))
            return Fail(4, "PostMessage failed", where);
    } else {
        if (!force && !IsWindowEnabled(c)) return Fail(3, "control disabled", where);
        if (!force && !IsWindowVisible(c)) return Fail(3, "control hidden", where);
        if (!PostMessageA(c, BM_CLICK, 0, 0)) return Fail(4, "PostMessage failed", where);
    }
    Json j;
    j.Bool("ok", true);
    j.body += "," + where.body;
    return Emit(j, 0);
}

int CmdClick(const Args& args) {
    HWND h = HandleArg(args);
    if (!h || !args.Has("--id")) return Fail(1, "click needs --hwnd and --id");
    if (!IsWindow(h)) return Fail(2, "no such window");
    return ClickControl(h, (int)args.Number("id", 0), args.Has("--force"), args.Has("--command"));
}

int CmdPress(const Args& args) {
    std::string caption;
    bool byCaption = args.Get("caption", caption);
    if (!args.Has("--button")) return Fail(1, "press needs --button");
    int id = (int)args.Number("button", 0);
    HWND box = WaitForDialog(kMessageBoxOnly, byCaption ? &caption : nullptr,
                             (DWORD)args.Number("wait", 0));
    if (!box) return Fail(2, "no message box");
    HWND c = GetDlgItem(box, id);
    Json info;
    DescribeMessageBox(info, box);
    info.Int("pressed", id);
    if (!c || !IsWindowVisible(c)) return Fail(3, "button not shown", info);
    if (!IsWindowEnabled(c)) return Fail(3, "button disabled", info);
    if (!PostMessageA(c, BM_CLICK, 0, 0)) return Fail(4, "PostMessage failed", info);
    Json j;
    j.Bool("ok", true);
    j.body += "," + info.body;
    return Emit(j, 0);
}

int ScrollCode(const std::string& name) {
    static const struct { const char* name; int code; } codes[] = {
        {"SB_LINEUP", SB_LINEUP},       {"SB_LINEDOWN", SB_LINEDOWN},
        {"SB_PAGEUP", SB_PAGEUP},       {"SB_PAGEDOWN", SB_PAGEDOWN},
        {"SB_THUMBPOSITION", SB_THUMBPOSITION}, {"SB_THUMBTRACK", SB_THUMBTRACK},
        {"SB_TOP", SB_TOP},             {"SB_BOTTOM", SB_BOTTOM},
        {"SB_ENDSCROLL", SB_ENDSCROLL},
    };
    for (const auto& c : codes)
        if (lstrcmpiA(name.c_str(), c.name) == 0) return c.code;
    if (!name.empty() && name[0] >= '0' && name[0] <= '9') return (int)strtol(name.c_str(), nullptr, 0);
    return -1;
}

// Sends what a scroll bar control sends to its parent: WM_VSCROLL with the
// request in the low word, the position in the high word and the control's
// handle. Sent (with a time limit) so that the dialog has handled it when
// this command answers.
int CmdScroll(const Args& args) {
    HWND dialog = HandleArg(args);
    std::string codeName;
    if (!dialog || !args.Get("code", codeName)) return Fail(1, "scroll needs --hwnd and --code");
    int code = ScrollCode(codeName);
    if (code < 0) return Fail(1, "unknown scroll code");
    if (!IsWindow(dialog)) return Fail(2, "no such window");
    HWND bar = nullptr;
    if (args.Has("--id")) {
        bar = GetDlgItem(dialog, (int)args.Number("id", 0));
        if (!bar) return Fail(2, "no such control");
    }
    int pos = (int)args.Number("pos", 0);
    long long count = args.Number("count", 1);
    long long sent = 0;
    for (long long i = 0; i < count; ++i) {
        if (!SendTimed(dialog, WM_VSCROLL, MAKEWPARAM(code, pos), (LPARAM)bar, nullptr))
            return Fail(4, "WM_VSCROLL not answered");
        ++sent;
        if (args.Has("--end"))
            SendTimed(dialog, WM_VSCROLL, MAKEWPARAM(SB_ENDSCROLL, 0), (LPARAM)bar, nullptr);
    }
    Json j;
    j.Bool("ok", true);
    j.Int("sent", sent);
    SCROLLINFO si;
    if (bar && ControlScrollInfo(bar, si)) j.Raw("scroll", ScrollJson(si));
    return Emit(j, 0);
}

int VirtualKey(const std::string& name) {
    static const struct { const char* name; int vk; } keys[] = {
        {"PAGEDOWN", VK_NEXT}, {"NEXT", VK_NEXT}, {"PAGEUP", VK_PRIOR}, {"PRIOR", VK_PRIOR},
        {"RETURN", VK_RETURN}, {"ENTER", VK_RETURN}, {"ESCAPE", VK_ESCAPE}, {"SPACE", VK_SPACE},
        {"TAB", VK_TAB}, {"UP", VK_UP}, {"DOWN", VK_DOWN}, {"LEFT", VK_LEFT}, {"RIGHT", VK_RIGHT},
        {"HOME", VK_HOME}, {"END", VK_END},
    };
    std::string n = name;
    if (n.compare(0, 3, "VK_") == 0) n = n.substr(3);
    for (const auto& k : keys)
        if (lstrcmpiA(n.c_str(), k.name) == 0) return k.vk;
    if (!n.empty() && n[0] >= '0' && n[0] <= '9') return (int)strtol(n.c_str(), nullptr, 0);
    return -1;
}

int CmdKey(const Args& args) {
    HWND target = HandleArg(args);
    std::string vkName;
    if (!target || !args.Get("vk", vkName)) return Fail(1, "key needs --hwnd and --vk");
    int vk = VirtualKey(vkName);
    if (vk < 0) return Fail(1, "unknown key");
    if (!IsWindow(target)) return Fail(2, "no such window");
    if (args.Has("--id")) {
        target = GetDlgItem(target, (int)args.Number("id", 0));
        if (!target) return Fail(2, "no such control");
    }
    UINT scan = MapVirtualKeyA(vk, 0);
    LPARAM down = 1 | ((LPARAM)scan << 16);
    LPARAM up = down | 0xC0000000;
    if (args.Has("--post")) {
        if (!PostMessageA(target, WM_KEYDOWN, vk, down) || !PostMessageA(target, WM_KEYUP, vk, up))
            return Fail(4, "PostMessage failed");
    } else {
        if (!SendTimed(target, WM_KEYDOWN, vk, down, nullptr) ||
            !SendTimed(target, WM_KEYUP, vk, up, nullptr))
            return Fail(4, "key message not answered");
    }
    Json j;
    j.Bool("ok", true);
    j.Int("vk", vk);
    j.Int("hwnd", (long long)(UINT_PTR)target);
    return Emit(j, 0);
}

int CmdWaitGone(const Args& args) {
    HWND h = HandleArg(args);
    if (!h) return Fail(1, "wait-gone needs --hwnd");
    DWORD waitMs = (DWORD)args.Number("wait", 0);
    DWORD start = GetTickCount();
    while (IsWindow(h) && IsWindowVisible(h)) {
        if (GetTickCount() - start >= waitMs) return Fail(2, "window still there");
        Sleep(25);
    }
    Json j;
    j.Bool("ok", true);
    j.Bool("exists", IsWindow(h) != 0);
    return Emit(j, 0);
}

// Starts a program with exactly the given command line. Without --exe the
// system takes the program from the command line itself; with --exe it
// starts that file and hands the command line over unchanged.
int CmdLaunch(const Args& args) {
    std::string cmdline, exe, cwd;
    if (!args.Get("cmdline", cmdline)) return Fail(1, "launch needs --cmdline");
    bool haveExe = args.Get("exe", exe);
    bool haveCwd = args.Get("cwd", cwd);
    std::vector<char> buf(cmdline.begin(), cmdline.end());
    buf.push_back(0);
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof pi);
    if (!CreateProcessA(haveExe ? exe.c_str() : nullptr, buf.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, haveCwd ? cwd.c_str() : nullptr, &si, &pi)) {
        Json e;
        e.Int("last_error", GetLastError());
        return Fail(4, "CreateProcess failed", e);
    }
    CloseHandle(pi.hThread);
    Json j;
    j.Int("pid", pi.dwProcessId);
    if (!args.Has("--wait")) {
        CloseHandle(pi.hProcess);
        Json ok;
        ok.Bool("ok", true);
        ok.body += "," + j.body;
        ok.Bool("running", true);
        return Emit(ok, 0);
    }
    DWORD waitMs = (DWORD)args.Number("wait", 0);
    if (WaitForSingleObject(pi.hProcess, waitMs) != WAIT_OBJECT_0) {
        if (args.Has("--kill")) TerminateProcess(pi.hProcess, 0xDEAD);
        CloseHandle(pi.hProcess);
        return Fail(2, "process still running", j);
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    Json ok;
    ok.Bool("ok", true);
    ok.body += "," + j.body;
    ok.Int("exit_code", (long long)code);
    return Emit(ok, 0);
}

// What this process sees of its environment: lets the harness check the
// language and Windows family settings it makes.
int CmdInfo() {
    char dir[MAX_PATH + 1] = {0};
    GetCurrentDirectoryA(sizeof dir, dir);
    Json j;
    j.Bool("ok", true);
    j.Int("version", (long long)(DWORD)GetVersion());
    j.Int("langid", GetUserDefaultLangID());
    j.Int("acp", GetACP());
    j.Text("cmdline", GetCommandLineA());
    j.Text("cwd", dir);
    j.Int("pid", GetCurrentProcessId());
    return Emit(j, 0);
}

// What the screen shows in the client area of a window (or of its control
// --id N): reads the pixels through the screen and tells how many match the
// colour --rgb (default 0000FF), in all and as the run of matching columns
// from the left edge along the middle row.
int CmdPixels(const Args& args) {
    HWND h = HandleArg(args);
    if (!h) return Fail(1, "pixels needs --hwnd");
    if (!IsWindow(h)) return Fail(2, "no such window");
    if (args.Has("--id")) {
        h = GetDlgItem(h, (int)args.Number("id", 0));
        if (!h) return Fail(2, "no such control");
    }
    std::string rgbText = "0000FF";
    args.Get("rgb", rgbText);
    unsigned long rgb = strtoul(rgbText.c_str(), nullptr, 16);
    RECT client;
    GetClientRect(h, &client);
    POINT origin = {0, 0};
    ClientToScreen(h, &origin);
    int width = client.right, height = client.bottom;
    if (width <= 0 || height <= 0) return Fail(3, "empty client area");

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO bi;
    memset(&bi, 0, sizeof bi);
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;  // top-down rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap) {
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
        return Fail(4, "CreateDIBSection failed");
    }
    HGDIOBJ old = SelectObject(memory, bitmap);
    BOOL copied = BitBlt(memory, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
    GdiFlush();
    const DWORD* px = static_cast<const DWORD*>(bits);
    auto matches = [&](int x, int y) { return (px[y * width + x] & 0xFFFFFF) == rgb; };
    long long count = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (matches(x, y)) ++count;
    int run = 0;
    while (run < width && matches(run, height / 2)) ++run;
    DWORD corner = px[0] & 0xFFFFFF;
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!copied) return Fail(4, "BitBlt failed");
    Json j;
    j.Bool("ok", true);
    j.Int("hwnd", (long long)(UINT_PTR)h);
    j.Int("width", width);
    j.Int("height", height);
    j.Int("matching", count);
    j.Int("matching_run", run);
    char hex[8];
    snprintf(hex, sizeof hex, "%06lX", (unsigned long)corner);
    j.Str("top_left", hex);
    return Emit(j, 0);
}

// A hidden top-level window that refuses to let the session end: a request
// to shut Windows down reaches it as WM_QUERYENDSESSION, which it answers
// FALSE, so the shutdown stops. Wine asks the processes one after the other
// in the order of their ids and ends each one that agreed before it asks the
// next: only programs started after this command are kept. Each request is
// reported at once as a line of JSON; the command ends after --wait ms.
LRESULT CALLBACK HoldSessionProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    if (msg == WM_QUERYENDSESSION) {
        Json j;
        j.Str("event", "queryendsession");
        j.Int("lparam", (long long)(DWORD)l);
        Emit(j, 0);
        return FALSE;
    }
    if (msg == WM_ENDSESSION) {
        Json j;
        j.Str("event", "endsession");
        j.Bool("ending", w != 0);
        Emit(j, 0);
        return 0;
    }
    return DefWindowProcA(h, msg, w, l);
}

int CmdHoldSession(const Args& args) {
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = HoldSessionProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "RobotHoldSession";
    if (!RegisterClassA(&wc)) return Fail(4, "RegisterClass failed");
    HWND h = CreateWindowExA(0, wc.lpszClassName, "robot hold-session", WS_OVERLAPPED, 0, 0, 10,
                             10, nullptr, nullptr, wc.hInstance, nullptr);
    if (!h) return Fail(4, "CreateWindow failed");
    {
        Json j;
        j.Str("event", "holding");
        j.Int("hwnd", (long long)(UINT_PTR)h);
        j.Int("pid", GetCurrentProcessId());
        Emit(j, 0);
    }
    DWORD waitMs = (DWORD)args.Number("wait", 60000);
    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (spent >= waitMs) break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, waitMs - spent, QS_ALLINPUT);
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageA(&m);
        }
    }
    DestroyWindow(h);
    Json j;
    j.Bool("ok", true);
    return Emit(j, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Fail(1, "usage: robot COMMAND [options]");
    Args args;
    for (int i = 2; i < argc; ++i) args.words.push_back(argv[i]);
    std::string cmd = argv[1];
    if (cmd == "list") return CmdList(args);
    if (cmd == "msgbox") return CmdMsgBox(args);
    if (cmd == "dialog") return CmdDialog(args);
    if (cmd == "click") return CmdClick(args);
    if (cmd == "press") return CmdPress(args);
    if (cmd == "scroll") return CmdScroll(args);
    if (cmd == "key") return CmdKey(args);
    if (cmd == "wait-gone") return CmdWaitGone(args);
    if (cmd == "launch") return CmdLaunch(args);
    if (cmd == "info") return CmdInfo();
    if (cmd == "pixels") return CmdPixels(args);
    if (cmd == "hold-session") return CmdHoldSession(args);
    return Fail(1, "unknown command: " + cmd);
}
