// The program's peak working set during a whole firmware update: starts
// Discmend.exe with an image for a simulated HX-2150RA drive, goes through
// the agreement, the main dialog and the two questions the way a user
// would, and once the program has asked Windows to shut down reads its
// PeakWorkingSetSize, then presses EXIT.
//
// The shutdown request would end every program of the session; a hidden
// window of this process, which starts before Discmend, refuses it
// (WM_QUERYENDSESSION answered FALSE), so Discmend stays to be measured.
//
// Usage: bench_update.exe <Discmend.exe> <work folder> [rounds]
// The work folder holds fw.bin (mkfixture image fw.bin --model HX-2150RA
// --rev3 1.10); the scenario and the simulator's log are written there.
// Run under Wine with the simulated WNASPI32.DLL beside Discmend.exe and
// WINEDLLOVERRIDES=wnaspi32=n (see bench/run.sh).
//
// Under Wine the working set is the resident memory of the whole process,
// Wine's own libraries included; to show where it goes, the program's
// memory map is read through the Z: drive (/proc) and summed by kind.
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "bench/bench.h"

enum {
    ID_OK = 1,
    ID_UPDATE = 1001,
    ID_EXIT = 1002,
    ID_ACCEPT = 1004,
    ID_AGREEMENT_SCROLL = 1006,
    ID_AGREEMENT_TEXT = 1011,
    STEP_MS = 30000,       // longest wait for one screen
    SHUTDOWN_MS = 120000,  // longest wait for the shutdown request after the questions
};

typedef BOOL(WINAPI *MemoryInfoFn)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
static MemoryInfoFn memoryInfo;

static volatile LONG endSessionAsked;

static LRESULT CALLBACK HoldProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_QUERYENDSESSION) {
        InterlockedExchange(&endSessionAsked, 1);
        return FALSE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Handles this process's messages for about ms milliseconds.
static void Pump(DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        DWORD spent = GetTickCount() - start;
        if (spent >= ms) return;
        MsgWaitForMultipleObjects(0, NULL, FALSE, ms - spent, QS_ALLINPUT);
    }
}

struct Search {
    DWORD pid;
    int kind;
    HWND skip;
    HWND found;
};

enum { AGREEMENT, MAIN_DIALOG, MESSAGE_BOX };

static bool HasControl(HWND window, int id) { return GetDlgItem(window, id) != NULL; }

static BOOL CALLBACK Match(HWND window, LPARAM param) {
    Search *s = (Search *)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != s->pid || window == s->skip || !IsWindowVisible(window)) return TRUE;
    char className[32];
    if (!GetClassNameA(window, className, sizeof className) || strcmp(className, "#32770") != 0)
        return TRUE;
    bool agreement =
        HasControl(window, ID_AGREEMENT_TEXT) && HasControl(window, ID_AGREEMENT_SCROLL);
    bool mainDialog = HasControl(window, ID_UPDATE) && HasControl(window, ID_EXIT);
    char caption[64] = "";
    GetWindowTextA(window, caption, sizeof caption);
    bool box =
        !agreement && !mainDialog && strcmp(caption, "Discmend") == 0 && HasControl(window, ID_OK);
    if ((s->kind == AGREEMENT && agreement) || (s->kind == MAIN_DIALOG && mainDialog) ||
        (s->kind == MESSAGE_BOX && box)) {
        s->found = window;
        return FALSE;
    }
    return TRUE;
}

static HWND WaitForWindow(DWORD pid, int kind, HWND skip, HANDLE process) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < STEP_MS) {
        Search s = {pid, kind, skip, NULL};
        EnumWindows(Match, (LPARAM)&s);
        if (s.found) return s.found;
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return NULL;
        Pump(20);
    }
    return NULL;
}

static bool WaitEnabled(HWND dialog, int id) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < STEP_MS) {
        HWND control = GetDlgItem(dialog, id);
        if (control && IsWindowEnabled(control)) return true;
        Pump(20);
    }
    return false;
}

// A click as a user makes it; posted, since it may open a modal box.
static void Click(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

static void KeyDown(HWND window, UINT vk) {
    DWORD_PTR answer;
    LPARAM down = 1 | ((LPARAM)MapVirtualKeyA(vk, 0) << 16);
    SendMessageTimeoutA(window, WM_KEYDOWN, vk, down, SMTO_NORMAL, 5000, &answer);
    SendMessageTimeoutA(window, WM_KEYUP, vk, down | 0xC0000000, SMTO_NORMAL, 5000, &answer);
}

static double Megabytes(SIZE_T bytes) { return (double)bytes / (1024.0 * 1024.0); }

static bool ReadMemory(HANDLE process, PROCESS_MEMORY_COUNTERS *counters) {
    memset(counters, 0, sizeof *counters);
    counters->cb = sizeof *counters;
    return memoryInfo && memoryInfo(process, counters, sizeof *counters);
}

// --- The memory map through the Z: drive --------------------------------

static std::string ReadWholeFile(const std::string &path) {
    std::string text;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE) return text;
    char chunk[65536];
    DWORD got;
    while (ReadFile(f, chunk, sizeof chunk, &got, NULL) && got > 0) text.append(chunk, got);
    CloseHandle(f);
    return text;
}

static std::string EnvironmentEntry(const std::string &environment, const char *name) {
    size_t length = strlen(name);
    for (size_t at = 0; at < environment.size(); at += strlen(environment.c_str() + at) + 1) {
        if (environment.compare(at, length, name) == 0) return environment.c_str() + at;
    }
    return "";
}

static std::string Lower(std::string text) {
    for (char &c : text) c = (char)tolower((unsigned char)c);
    return text;
}

static std::string BaseName(const std::string &path) {
    size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The Unix process (its /proc number) of the program file named like
// program in this Wine prefix: the first word of its Unix command line ends
// with that name and its WINEPREFIX is this process's. Only one Discmend
// runs in a prefix, and only one of this bench.
static std::string FindUnixProcess(const std::string &program) {
    char prefix[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix);
    if (n == 0 || n >= sizeof prefix) return "";
    std::string wanted = Lower(BaseName(program));
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA("Z:\\proc\\*", &entry);
    if (find == INVALID_HANDLE_VALUE) return "";
    std::string found;
    do {
        const char *name = entry.cFileName;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name[0] < '0' || name[0] > '9')
            continue;
        std::string base = std::string("Z:\\proc\\") + name;
        std::string first = Lower(ReadWholeFile(base + "\\cmdline").c_str());
        if (first.size() < wanted.size() ||
            first.compare(first.size() - wanted.size(), wanted.size(), wanted) != 0)
            continue;
        if (EnvironmentEntry(ReadWholeFile(base + "\\environ"), "WINEPREFIX=") ==
            std::string("WINEPREFIX=") + prefix)
            found = name;
    } while (found.empty() && FindNextFileA(find, &entry));
    FindClose(find);
    return found;
}

static unsigned long StatusField(const std::string &status, const char *field) {
    size_t at = status.find(field);
    return at == std::string::npos ? 0 : strtoul(status.c_str() + at + strlen(field), NULL, 10);
}

enum { KIND_EXE, KIND_PE, KIND_UNIX, KIND_SHM, KIND_HEAP, KIND_OTHER, KINDS };
static const char *const kindNames[KINDS] = {
    "the program's image",
    "Wine's Windows DLLs",
    "Unix libraries (Wine's .so, libc, X11, fonts)",
    "X11 shared memory",
    "other private memory (heaps, stacks, window pixels, WNASPI32.DLL)",
    "other mapped files (fonts, locale tables)"};

// Where a program's image lies: its preferred base and size, from the
// file's PE header (an executable is loaded at its base). Wine copies an
// image with 512-byte file alignment into private memory, so the mapping
// has no file name.
struct ImageRange {
    DWORD base, size;
};

static ImageRange ReadImageRange(const std::string &exe) {
    ImageRange range = {0, 0};
    std::string file = ReadWholeFile(exe);
    if (file.size() < 0x40) return range;
    DWORD header = *(const DWORD *)(file.data() + 0x3C);
    if (header + 24 + 60 > file.size() || file.compare(header, 4, "PE\0\0", 4) != 0) return range;
    const char *optional = file.data() + header + 24;
    range.base = *(const DWORD *)(optional + 28);
    range.size = *(const DWORD *)(optional + 56);
    return range;
}

static int KindOf(const std::string &path, unsigned long start, const ImageRange &image) {
    if (image.size && start >= image.base && start < image.base + image.size) return KIND_EXE;
    if (path.compare(0, 5, "/SYSV") == 0) return KIND_SHM;
    if (path.empty() || path[0] == '[') return KIND_HEAP;
    std::string lower = Lower(path);
    size_t slash = lower.rfind('/');
    std::string name = slash == std::string::npos ? lower : lower.substr(slash + 1);
    if (name.find(".so") != std::string::npos || name == "wine" || name == "wine-preloader")
        return KIND_UNIX;
    size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? "" : name.substr(dot);
    if (ext == ".dll" || ext == ".drv" || ext == ".exe" || ext == ".sys" || ext == ".cpl")
        return KIND_PE;
    if (path.compare(0, 6, "/memfd") == 0 || path.compare(0, 9, "/dev/zero") == 0) return KIND_HEAP;
    return KIND_OTHER;
}

// Resident kB by kind of the program running from that file, from
// /proc/<pid>/smaps; VmHWM and VmRSS in kB.
struct MemoryMap {
    bool read;
    unsigned long rss[KINDS];
    unsigned long hwm, vmRss;
};

static MemoryMap ReadMemoryMap(const std::string &program) {
    MemoryMap map;
    memset(&map, 0, sizeof map);
    ImageRange image = ReadImageRange(program);
    std::string pid = FindUnixProcess(program);
    if (pid.empty()) return map;
    std::string status = ReadWholeFile("Z:\\proc\\" + pid + "\\status");
    std::string smaps = ReadWholeFile("Z:\\proc\\" + pid + "\\smaps");
    if (status.empty() || smaps.empty()) return map;
    map.read = true;
    map.hwm = StatusField(status, "VmHWM:");
    map.vmRss = StatusField(status, "VmRSS:");
    int kind = KIND_HEAP;
    size_t at = 0;
    while (at < smaps.size()) {
        size_t end = smaps.find('\n', at);
        if (end == std::string::npos) end = smaps.size();
        std::string line = smaps.substr(at, end - at);
        at = end + 1;
        // A mapping's header: "start-end perms offset dev inode [path]".
        size_t dash = line.find('-');
        if (dash != std::string::npos && dash > 0 && line.find(':') > dash + 1 &&
            isxdigit((unsigned char)line[0]) && line.compare(0, 4, "Rss:") != 0) {
            size_t field = 0, pos = 0;
            while (field < 5 && pos < line.size()) {
                while (pos < line.size() && line[pos] != ' ') pos++;
                while (pos < line.size() && line[pos] == ' ') pos++;
                field++;
            }
            kind = KindOf(pos < line.size() ? line.substr(pos) : "",
                          strtoul(line.c_str(), NULL, 16), image);
        } else if (line.compare(0, 4, "Rss:") == 0) {
            map.rss[kind] += strtoul(line.c_str() + 4, NULL, 10);
        }
    }
    return map;
}

static void PrintMemoryMap(const char *whose, const MemoryMap &map) {
    char text[600];
    if (!map.read) {
        snprintf(text, sizeof text, "%s: the memory map could not be read through Z:\\proc", whose);
        PrintNote(text);
        return;
    }
    int used = snprintf(text, sizeof text, "%s (Unix view, VmHWM %.1f MB, VmRSS %.1f MB): ", whose,
                        map.hwm / 1024.0, map.vmRss / 1024.0);
    for (int k = 0; k < KINDS && used < (int)sizeof text; k++)
        used += snprintf(text + used, sizeof text - used, "%s%s %.1f MB", k ? ", " : "",
                         kindNames[k], map.rss[k] / 1024.0);
    PrintNote(text);
}

// --- One update ----------------------------------------------------------

struct Outcome {
    bool ok;
    char failure[200];
    PROCESS_MEMORY_COUNTERS atAgreement, atMainDialog, atShutdown;
    MemoryMap map;
    int blocksWritten;
};

static int CountWrites(const std::string &log) {
    int writes = 0;
    size_t at = 0;
    while ((at = log.find(" cdb=3B", at)) != std::string::npos) {
        size_t end = log.find('\n', at);
        std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.find("status=0x01") != std::string::npos) writes++;
        at += 7;
    }
    return writes;
}

static Outcome RunUpdate(const std::string &exe, const std::string &folder) {
    Outcome out;
    memset(&out, 0, sizeof out);
    std::string scenario = folder + "\\scen.txt";
    std::string log = folder + "\\sim.log";
    FILE *f = fopen(scenario.c_str(), "w");
    if (!f) {
        snprintf(out.failure, sizeof out.failure, "can't write %s", scenario.c_str());
        return out;
    }
    fprintf(f, "[device 0 1]\nproduct HX-2150RA\nrevision 1.00\n");
    fclose(f);
    DeleteFileA(log.c_str());
    SetEnvironmentVariableA("DISCMEND_SIM_SCENARIO", scenario.c_str());
    SetEnvironmentVariableA("DISCMEND_SIM_LOG", log.c_str());
    SetEnvironmentVariableA("DISCMEND_SIM_DUMP_DIR", NULL);

    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    // As the shell starts it: the program's path in quotes, then the image.
    char commandLine[MAX_PATH + 16];
    snprintf(commandLine, sizeof commandLine, "\"%s\" fw.bin", exe.c_str());
    if (!CreateProcessA(exe.c_str(), commandLine, NULL, NULL, FALSE, 0, NULL, folder.c_str(), &si,
                        &pi)) {
        snprintf(out.failure, sizeof out.failure, "can't start %s (error %lu)", exe.c_str(),
                 (unsigned long)GetLastError());
        return out;
    }
    HANDLE process = pi.hProcess;
    DWORD pid = pi.dwProcessId;
    const char *failure = NULL;
    endSessionAsked = 0;

    // The agreement: read to its end, accepted.
    HWND agreement = WaitForWindow(pid, AGREEMENT, NULL, process);
    HWND dialog = NULL;
    if (!agreement) {
        failure = "the agreement did not appear";
    } else {
        ReadMemory(process, &out.atAgreement);
        for (int presses = 0; !IsWindowEnabled(GetDlgItem(agreement, ID_ACCEPT)); presses++) {
            if (presses > 40) {
                failure = "the agreement never enabled its choice";
                break;
            }
            KeyDown(agreement, VK_NEXT);
            Pump(10);
        }
    }
    if (!failure) {
        Click(agreement, ID_ACCEPT);
        if (!WaitEnabled(agreement, ID_OK)) failure = "NEXT never enabled";
    }
    if (!failure) {
        Click(agreement, ID_OK);
        dialog = WaitForWindow(pid, MAIN_DIALOG, NULL, process);
        if (!dialog) failure = "the main dialog did not appear";
    }
    // UPDATE, then the two questions, each answered OK.
    if (!failure) {
        ReadMemory(process, &out.atMainDialog);
        Click(dialog, ID_UPDATE);
        HWND previous = NULL;  // the box just answered may still be on its way out
        for (int question = 0; question < 2; question++) {
            HWND box = WaitForWindow(pid, MESSAGE_BOX, previous, process);
            if (!box) {
                failure = "a question did not appear";
                break;
            }
            Click(box, ID_OK);
            previous = box;
        }
    }
    // The transfer, then the request to shut down.
    if (!failure) {
        DWORD start = GetTickCount();
        while (!endSessionAsked && GetTickCount() - start < SHUTDOWN_MS &&
               WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
            Pump(20);
        if (!endSessionAsked) failure = "the program never asked to shut down";
    }
    if (!failure) {
        ReadMemory(process, &out.atShutdown);
        out.map = ReadMemoryMap(exe);
        Click(dialog, ID_EXIT);
    }
    if (WaitForSingleObject(process, 20000) != WAIT_OBJECT_0) {
        if (!failure) failure = "the program did not end after EXIT";
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
    }
    CloseHandle(pi.hThread);
    CloseHandle(process);

    std::string logText;
    FILE *lf = fopen(log.c_str(), "rb");
    if (lf) {
        char chunk[4096];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, lf)) > 0) logText.append(chunk, got);
        fclose(lf);
    }
    out.blocksWritten = CountWrites(logText);
    if (!failure && out.blocksWritten != 257) failure = "the drive did not take the 257 blocks";
    if (failure) {
        snprintf(out.failure, sizeof out.failure, "%s", failure);
        return out;
    }
    out.ok = true;
    return out;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        printf("usage: bench_update <Discmend.exe> <work folder> [rounds]\n");
        return 1;
    }
    std::string exe = argv[1], folder = argv[2];
    int rounds = argc > 3 ? atoi(argv[3]) : 1;
    if (rounds < 1) rounds = 1;

    HMODULE psapi = LoadLibraryA("psapi.dll");
    if (psapi) memoryInfo = (MemoryInfoFn)(void *)GetProcAddress(psapi, "GetProcessMemoryInfo");
    if (!memoryInfo) {
        printf("bench: GetProcessMemoryInfo is missing\n");
        return 1;
    }

    // The window that keeps the session going; it exists before Discmend starts.
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = HoldProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "DiscmendBenchHold";
    RegisterClassA(&wc);
    HWND hold = CreateWindowExA(0, wc.lpszClassName, "bench hold", WS_OVERLAPPED, 0, 0, 10, 10,
                                NULL, NULL, wc.hInstance, NULL);
    if (!hold) {
        printf("bench: can't create the window that holds the session\n");
        return 1;
    }

    std::vector<double> peak, agreementPeak, mainPeak;
    Outcome last;
    memset(&last, 0, sizeof last);
    for (int round = 0; round < rounds; round++) {
        Outcome out = RunUpdate(exe, folder);
        if (!out.ok) {
            printf("bench: the update failed: %s\n", out.failure);
            return 1;
        }
        peak.push_back(Megabytes(out.atShutdown.PeakWorkingSetSize));
        agreementPeak.push_back(Megabytes(out.atAgreement.PeakWorkingSetSize));
        mainPeak.push_back(Megabytes(out.atMainDialog.PeakWorkingSetSize));
        last = out;
    }
    PROCESS_MEMORY_COUNTERS own;
    ReadMemory(GetCurrentProcess(), &own);
    DestroyWindow(hold);

    PrintRow("Peak working set of Discmend.exe during a whole update", Median(peak), 8, "MB", 1,
             "target");
    char text[600];
    snprintf(text, sizeof text,
             "peak working set of Discmend.exe (medians of %d updates): %.1f MB when the "
             "agreement shows, %.1f MB when the main dialog shows, %.1f MB after the update; "
             "this console program with one hidden window: %.1f MB",
             rounds, Median(agreementPeak), Median(mainPeak), Median(peak),
             Megabytes(own.PeakWorkingSetSize));
    PrintNote(text);
    PrintMemoryMap("Discmend.exe resident after the update", last.map);
    char self[MAX_PATH] = "";
    GetModuleFileNameA(NULL, self, sizeof self);
    PrintMemoryMap("this console program", ReadMemoryMap(self));
    return 0;
}
