// robot.exe: reads and drives the windows of other programs in the same Wine
// prefix: the user's side of the scenario tests, the main job and the
// benchmarks, as the simulated ASPI manager is the drives' side.
//
// One robot runs per scenario, started before the program under test. It
// reads one command per line on stdin and answers each with one line of JSON
// on stdout:
//   windows                      visible top-level windows of other processes,
//                                each with its controls (id, screen rectangle,
//                                class, text, visible, enabled, checked,
//                                scroll state)
//   click HWND ID                posts BM_CLICK to a control (refused when
//                                the control is hidden or disabled)
//   scroll HWND ID CODE POS      sends WM_VSCROLL (CODE, POS) from scroll bar ID
//   key HWND VK                  sends WM_KEYDOWN and WM_KEYUP of VK
//   pixels HWND ID               how far the control's middle row is pure blue
//   launch CWD EXE CMDLINE       CreateProcessA, texts in hex, EXE "-" for none
//   exitcode PID                 exit code of a launched process, or null
//   hold 0|1                     whether to refuse the end of the session
//   events                       the requests to end the session seen so far
//   reg HKLM|HKCU KEY NAME       a registry value (KEY, NAME in hex): its type
//                                and data, or type null when it is not there
//   memory PID                   the peak working set of a process, in bytes
// A hidden window of the robot answers WM_QUERYENDSESSION with FALSE while
// holding: Wine asks programs in the order they started, so everything
// started after the robot stays alive after a shutdown or restart request.
// Texts are written as the bytes of the ANSI code page, in hex.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

static std::string Hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

static std::string Unhex(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += (char)strtoul(hex.substr(i, 2).c_str(), nullptr, 16);
    return out;
}

static std::string Num(long long n) { return std::to_string(n); }

static std::string TextOf(HWND h) {
    static char buffer[65536];
    int n = GetWindowTextA(h, buffer, sizeof buffer);
    return std::string(buffer, n > 0 ? n : 0);
}

static std::string ClassOf(HWND h) {
    char name[256] = {0};
    GetClassNameA(h, name, sizeof name);
    return name;
}

static std::string ExeOf(DWORD pid) {
    std::string name;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snap, &entry); more; more = Process32Next(snap, &entry))
        if (entry.th32ProcessID == pid) name = entry.szExeFile;
    CloseHandle(snap);
    return name;
}

// A message the other program answers. A read of its state gives up sooner,
// so that a program busy with a drive is still read (what it can't answer is
// left out; after 5 s without handling messages it counts as hung, and
// further messages come back at once); an action waits as long as a slow
// host may need.
enum { READ_MS = 5000,
       ACT_MS = 30000 };
static bool Ask(HWND h, UINT message, WPARAM w, LPARAM l, DWORD_PTR *result, UINT ms = ACT_MS) {
    return SendMessageTimeoutA(h, message, w, l, SMTO_ABORTIFHUNG, ms, result) != 0;
}

static std::string Control(HWND c) {
    std::string cls = ClassOf(c);
    LONG style = GetWindowLongA(c, GWL_STYLE);
    RECT r;
    GetWindowRect(c, &r);
    std::string out = "{\"id\":" + Num(GetDlgCtrlID(c)) + ",\"rect\":[" + Num(r.left) + "," +
                      Num(r.top) + "," + Num(r.right) + "," + Num(r.bottom) + "],\"class\":\"" + cls +
                      "\",\"text\":\"" + Hex(TextOf(c)) + "\",\"visible\":" +
                      ((style & WS_VISIBLE) ? "true" : "false") +
                      ",\"enabled\":" + (IsWindowEnabled(c) ? "true" : "false");
    DWORD_PTR checked = 0;
    if (lstrcmpiA(cls.c_str(), "Button") == 0 && Ask(c, BM_GETCHECK, 0, 0, &checked, READ_MS))
        out += ",\"checked\":" + Num((long long)checked);
    SCROLLINFO info;
    memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    DWORD_PTR got = 0;
    if (lstrcmpiA(cls.c_str(), "ScrollBar") == 0 &&
        Ask(c, SBM_GETSCROLLINFO, 0, (LPARAM)&info, &got, READ_MS) && got)
        out += ",\"scroll\":[" + Num(info.nMin) + "," + Num(info.nMax) + "," + Num(info.nPage) +
               "," + Num(info.nPos) + "]";
    return out + "}";
}

static BOOL CALLBACK Collect(HWND h, LPARAM list) {
    ((std::vector<HWND> *)list)->push_back(h);
    return TRUE;
}

static std::string Windows() {
    std::vector<HWND> all;
    EnumWindows(Collect, (LPARAM)&all);
    std::string out = "{\"ok\":true,\"windows\":[";
    bool first = true;
    for (HWND h : all) {
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        if (pid == GetCurrentProcessId() || !IsWindowVisible(h)) continue;
        RECT r;
        GetWindowRect(h, &r);
        out += std::string(first ? "" : ",") + "{\"hwnd\":" + Num((long long)(UINT_PTR)h) +
               ",\"pid\":" + Num(pid) + ",\"exe\":\"" + ExeOf(pid) + "\",\"class\":\"" +
               ClassOf(h) + "\",\"caption\":\"" + Hex(TextOf(h)) + "\",\"owner\":" +
               Num((long long)(UINT_PTR)GetWindow(h, GW_OWNER)) + ",\"rect\":[" + Num(r.left) +
               "," + Num(r.top) + "," + Num(r.right) + "," + Num(r.bottom) + "],\"controls\":[";
        const char *separator = "";
        for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT), separator = ",")
            out += separator + Control(c);
        out += "]}";
        first = false;
    }
    return out + "]}";
}

static std::string Fail(const char *why) { return std::string("{\"ok\":false,\"error\":\"") + why + "\"}"; }

static HWND ControlOf(const std::vector<std::string> &w) {
    if (w.size() < 3) return nullptr;
    return GetDlgItem((HWND)(UINT_PTR)strtoull(w[1].c_str(), nullptr, 0), atoi(w[2].c_str()));
}

// How many columns of the control's middle row, from the left edge, are
// pure blue on the screen, and the control's width.
static std::string Pixels(HWND c) {
    RECT client;
    GetClientRect(c, &client);
    POINT origin = {0, 0};
    ClientToScreen(c, &origin);
    HDC screen = GetDC(nullptr);
    int run = 0;
    while (run < client.right &&
           GetPixel(screen, origin.x + run, origin.y + client.bottom / 2) == RGB(0, 0, 255))
        run++;
    ReleaseDC(nullptr, screen);
    return "{\"ok\":true,\"run\":" + Num(run) + ",\"width\":" + Num(client.right) + "}";
}

static bool holding = true;
static std::vector<std::string> sessionEvents;
static std::map<DWORD, HANDLE> launched;

static std::string Launch(const std::vector<std::string> &w) {
    if (w.size() < 4) return Fail("launch CWD EXE CMDLINE");
    std::string cwd = Unhex(w[1]), exe = w[2] == "-" ? "" : Unhex(w[2]), cmdline = Unhex(w[3]);
    std::vector<char> line(cmdline.begin(), cmdline.end());
    line.push_back(0);
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(exe.empty() ? nullptr : exe.c_str(), line.data(), nullptr, nullptr, FALSE,
                        0, nullptr, cwd.c_str(), &si, &pi))
        return Fail("CreateProcess failed");
    CloseHandle(pi.hThread);
    launched[pi.dwProcessId] = pi.hProcess;
    return "{\"ok\":true,\"pid\":" + Num(pi.dwProcessId) + "}";
}

static std::string ExitCode(DWORD pid) {
    if (!launched.count(pid)) return Fail("not launched here");
    DWORD code = 0;
    if (WaitForSingleObject(launched[pid], 0) != WAIT_OBJECT_0)
        return "{\"ok\":true,\"exit_code\":null}";
    GetExitCodeProcess(launched[pid], &code);
    return "{\"ok\":true,\"exit_code\":" + Num(code) + "}";
}

static std::string Run(const std::string &command) {
    std::vector<std::string> w;
    for (size_t at = 0; at < command.size();) {
        size_t end = command.find(' ', at);
        if (end == std::string::npos) end = command.size();
        if (end > at) w.push_back(command.substr(at, end - at));
        at = end + 1;
    }
    if (w.empty()) return Fail("empty command");
    HWND dialog = w.size() > 1 ? (HWND)(UINT_PTR)strtoull(w[1].c_str(), nullptr, 0) : nullptr;
    if (w[0] == "windows") return Windows();
    if (w[0] == "click") {
        HWND c = ControlOf(w);
        if (!c) return Fail("no such control");
        if (!IsWindowVisible(c) || !IsWindowEnabled(c)) return Fail("control hidden or disabled");
        // Posted: a click that opens a modal box must not hold the robot.
        PostMessageA(c, BM_CLICK, 0, 0);
        return "{\"ok\":true}";
    }
    if (w[0] == "scroll" && w.size() == 5) {
        HWND bar = ControlOf(w);
        WPARAM request = MAKEWPARAM(atoi(w[3].c_str()), atoi(w[4].c_str()));
        DWORD_PTR ignored;
        if (!bar || !Ask(dialog, WM_VSCROLL, request, (LPARAM)bar, &ignored))
            return Fail("scroll not answered");
        return "{\"ok\":true}";
    }
    if (w[0] == "key" && w.size() == 3) {
        WPARAM vk = atoi(w[2].c_str());
        LPARAM down = 1 | ((LPARAM)MapVirtualKeyA(vk, 0) << 16);
        DWORD_PTR ignored;
        if (!Ask(dialog, WM_KEYDOWN, vk, down, &ignored) ||
            !Ask(dialog, WM_KEYUP, vk, down | 0xC0000000, &ignored))
            return Fail("key not answered");
        return "{\"ok\":true}";
    }
    if (w[0] == "pixels") {
        HWND c = ControlOf(w);
        return c ? Pixels(c) : Fail("no such control");
    }
    if (w[0] == "launch") return Launch(w);
    if (w[0] == "exitcode" && w.size() == 2) return ExitCode(strtoul(w[1].c_str(), nullptr, 0));
    if (w[0] == "hold" && w.size() == 2) {
        holding = w[1] == "1";
        return "{\"ok\":true}";
    }
    if (w[0] == "reg" && w.size() == 4) {
        HKEY key;
        BYTE data[4096];
        DWORD type = 0, size = sizeof data;
        if (RegOpenKeyExA(w[1] == "HKCU" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE,
                          Unhex(w[2]).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return "{\"ok\":true,\"type\":null}";
        LONG rc = RegQueryValueExA(key, Unhex(w[3]).c_str(), nullptr, &type, data, &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) return "{\"ok\":true,\"type\":null}";
        return "{\"ok\":true,\"type\":" + Num(type) + ",\"data\":\"" +
               Hex(std::string((char *)data, size)) + "\"}";
    }
    if (w[0] == "memory" && w.size() == 2) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                     strtoul(w[1].c_str(), nullptr, 0));
        PROCESS_MEMORY_COUNTERS counters;
        counters.cb = sizeof counters;
        BOOL ok = process && GetProcessMemoryInfo(process, &counters, sizeof counters);
        if (process) CloseHandle(process);
        if (!ok) return Fail("no memory counters");
        return "{\"ok\":true,\"peak\":" + Num((long long)counters.PeakWorkingSetSize) + "}";
    }
    if (w[0] == "events") {
        std::string out = "{\"ok\":true,\"events\":[";
        for (size_t i = 0; i < sessionEvents.size(); i++)
            out += (i ? ",\"" : "\"") + sessionEvents[i] + "\"";
        return out + "]}";
    }
    return Fail("unknown command");
}

static LRESULT CALLBACK SessionProc(HWND h, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_QUERYENDSESSION) {
        sessionEvents.push_back(holding ? "refused" : "agreed");
        return holding ? FALSE : TRUE;
    }
    return DefWindowProcA(h, message, w, l);
}

// stdin is read on a thread of its own; each line goes to the main thread,
// which also answers the session's questions.
static DWORD WINAPI ReadCommands(LPVOID mainThread) {
    static char line[1 << 16];
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = 0;
        PostThreadMessageA((DWORD)(UINT_PTR)mainThread, WM_APP, 0, (LPARAM) new std::string(line));
    }
    PostThreadMessageA((DWORD)(UINT_PTR)mainThread, WM_QUIT, 0, 0);
    return 0;
}

int main() {
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = SessionProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "RobotSession";
    RegisterClassA(&wc);
    CreateWindowExA(0, wc.lpszClassName, "robot", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                    wc.hInstance, nullptr);
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists from here on
    CreateThread(nullptr, 0, ReadCommands, (LPVOID)(UINT_PTR)GetCurrentThreadId(), 0, nullptr);
    printf("{\"ok\":true,\"ready\":true}\n");
    fflush(stdout);
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
        if (m.message == WM_APP && !m.hwnd) {
            std::string *command = (std::string *)m.lParam;
            std::string answer = Run(*command);
            delete command;
            printf("%s\n", answer.c_str());
            fflush(stdout);
            continue;
        }
        DispatchMessageA(&m);
    }
    return 0;
}
