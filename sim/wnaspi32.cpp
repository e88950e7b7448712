// WNASPI32.DLL stand-in: an ASPI for Win32 manager whose host adapters and
// devices come from a scenario file (see sim/README.md).
//
// Environment:
//   DISCMEND_SIM_SCENARIO  scenario file, read at the first call of either export;
//                          unset or unreadable: no host adapters (0xE800)
//   DISCMEND_SIM_LOG       log file, one line appended per request
//   DISCMEND_SIM_DUMP_DIR  where image-<a>-<t>.bin is written at each mode-7 save
//
// Requests complete as with a real manager: SendASPI32Command marks the
// request pending and returns; a worker thread of this DLL finishes it after
// the device's latency (reply data, sense, target status, then SRB_Status,
// then the posting routine). Only Win32 threads, events and critical
// sections are used, so the DLL loads on Windows 98.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "drive/aspi.h"
#include "sim/simcore.h"

struct PendingRequest {
    PendingRequest *next;
    SRB_ExecSCSICmd *srb;
    DWORD due;  // simulator clock
    BYTE flags;
    void *postProc;
    BYTE *buffer;
    DWORD bufLen;
    BYTE senseLen;
    SimOutcome outcome;
};

static HMODULE SelfModule;
static CRITICAL_SECTION SimLock;  // World, PendingList, LogFile
static SimWorld World;
static int WorldLoaded;
static DWORD ClockBase;
static HANDLE LogFile = INVALID_HANDLE_VALUE;
static HANDLE WakeEvent;
static HANDLE WorkerThread;
static PendingRequest *PendingList;  // sorted by due time
static PendingRequest *SpareList;    // records of completed requests, for reuse
static volatile LONG PendingCount;   // requests on PendingList
static volatile LONG WorkerSleeping; // 1 while the worker waits on WakeEvent

// How long the worker stays awake for the next request before it sleeps:
// requests of a transfer follow each other within microseconds, and a wake
// through an event costs tens of them under Wine.
enum { IDLE_SPINS = 100000 };

// SimLock is held for moments only; a thread that finds it taken spins this
// often before it sleeps (a sleep and wake through the kernel cost far more
// than the wait).
enum { LOCK_SPINS = 4000 };

static DWORD Now(void) { return GetTickCount() - ClockBase; }

// Caller holds SimLock.
static void WriteLogLine(const char *line)
{
    if (LogFile == INVALID_HANDLE_VALUE) return;
    char buf[SIM_LINE_CAP + 2];
    size_t n = strlen(line);
    if (n > SIM_LINE_CAP) n = SIM_LINE_CAP;
    memcpy(buf, line, n);
    buf[n++] = '\n';
    DWORD written;
    SetFilePointer(LogFile, 0, NULL, FILE_END);
    WriteFile(LogFile, buf, (DWORD)n, &written, NULL);
}

static void Note(const char *text)
{
    char line[SIM_LINE_CAP];
    _snprintf(line, sizeof line - 1, "# %s", text);
    line[sizeof line - 1] = 0;
    WriteLogLine(line);
    OutputDebugStringA(line);
}

// Caller holds SimLock.
static void EnsureLoaded(void)
{
    if (WorldLoaded) return;
    WorldLoaded = 1;
    ClockBase = GetTickCount();
    SimInit(&World);

    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("DISCMEND_SIM_LOG", path, sizeof path);
    if (n > 0 && n < sizeof path)
        LogFile = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);

    char text[SIM_LINE_CAP];
    char err[SIM_ERROR_CAP];
    n = GetEnvironmentVariableA("DISCMEND_SIM_SCENARIO", path, sizeof path);
    if (n == 0 || n >= sizeof path) {
        Note("sim: DISCMEND_SIM_SCENARIO not set: no host adapters");
    } else if (!SimLoadFile(&World, path, err, sizeof err)) {
        SimFree(&World);
        SimInit(&World);
        _snprintf(text, sizeof text - 1, "sim: scenario error: %s: %s: no host adapters", path, err);
        text[sizeof text - 1] = 0;
        Note(text);
    } else {
        _snprintf(text, sizeof text - 1, "sim: scenario %s: %d adapters, %d devices", path, SimAdapterCount(&World),
                  World.deviceCount);
        text[sizeof text - 1] = 0;
        Note(text);
    }
    World.quiet = LogFile == INVALID_HANDLE_VALUE;  // the log lines cost time a benchmark measures
    n = GetEnvironmentVariableA("DISCMEND_SIM_DUMP_DIR", path, sizeof path);
    if (n > 0 && n < sizeof path && n < sizeof World.dumpDir) strcpy(World.dumpDir, path);
}

// Delivers a request's outcome. Everything the worker has to do with the
// lock and its own records is done before the status is stored: from then
// on the issuer may send its next request at once, and it should not find
// the worker in its way.
static void Complete(PendingRequest *p)
{
    SRB_ExecSCSICmd *srb = p->srb;
    const SimOutcome *o = &p->outcome;
    if (o->replyLen && p->buffer) memcpy(p->buffer, o->reply, o->replyLen < p->bufLen ? o->replyLen : p->bufLen);
    if (o->senseLen) {
        unsigned k = o->senseLen;
        if (k > p->senseLen) k = p->senseLen;
        if (k > sizeof srb->SenseArea) k = sizeof srb->SenseArea;
        memcpy(srb->SenseArea, o->sense, k);
    }
    srb->SRB_HaStat = o->hastat;
    srb->SRB_TargStat = o->targStat;
    BYTE status = o->status;
    PostProcFn post = (p->flags & SRB_POSTING) ? (PostProcFn)p->postProc : NULL;

    EnterCriticalSection(&SimLock);
    WriteLogLine(o->line);
    p->next = SpareList;
    SpareList = p;
    LeaveCriticalSection(&SimLock);

    // Without posting the issuer may release the record as soon as the
    // status is final: nothing of it is touched after this store.
    MemoryBarrier();
    *(volatile BYTE *)&srb->SRB_Status = status;
    MemoryBarrier();
    if (post) post(srb);
}

static DWORD WINAPI Worker(LPVOID)
{
    for (;;) {
        // Nothing queued: stay awake a moment for the next request, away
        // from the lock that its issuer takes to queue it.
        for (int i = 0; i < IDLE_SPINS && PendingCount == 0; i++) YieldProcessor();

        PendingRequest *done = NULL;
        DWORD wait = INFINITE;
        if (PendingCount != 0) {
            EnterCriticalSection(&SimLock);
            if (PendingList) {
                long left = (long)(PendingList->due - Now());
                if (left <= 0) {
                    done = PendingList;
                    PendingList = done->next;
                    InterlockedDecrement(&PendingCount);
                } else {
                    wait = (DWORD)left;
                }
            }
            LeaveCriticalSection(&SimLock);
        }
        if (done) {
            Complete(done);
            continue;
        }
        // Announce the sleep before the last look, so that a request queued
        // in between either is seen here or sets the event.
        InterlockedExchange(&WorkerSleeping, 1);
        if (wait == INFINITE && PendingCount != 0) {
            InterlockedExchange(&WorkerSleeping, 0);
            continue;
        }
        WaitForSingleObject(WakeEvent, wait);
        InterlockedExchange(&WorkerSleeping, 0);
    }
    return 0;
}

// Caller holds SimLock.
static int StartWorker(void)
{
    if (WorkerThread) return 1;
    WakeEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (!WakeEvent) return 0;
    // The thread runs for the life of the process: keep the DLL loaded.
    char self[MAX_PATH];
    if (GetModuleFileNameA(SelfModule, self, sizeof self)) LoadLibraryA(self);
    DWORD id;
    WorkerThread = CreateThread(NULL, 0, Worker, NULL, 0, &id);
    if (!WorkerThread) return 0;
    SetThreadPriority(WorkerThread, THREAD_PRIORITY_ABOVE_NORMAL);
    return 1;
}

extern "C" DWORD __cdecl GetASPI32SupportInfo(void)
{
    EnterCriticalSection(&SimLock);
    EnsureLoaded();
    DWORD answer = (DWORD)SimSupportInfo(&World);
    char line[64];
    _snprintf(line, sizeof line - 1, "t=%lu support_info=0x%08lX", (unsigned long)Now(), (unsigned long)answer);
    line[sizeof line - 1] = 0;
    WriteLogLine(line);
    LeaveCriticalSection(&SimLock);
    return answer;
}

extern "C" DWORD __cdecl SendASPI32Command(void *record)
{
    SRB_ExecSCSICmd *srb = (SRB_ExecSCSICmd *)record;
    if (!srb) return SS_INVALID_SRB;
    EnterCriticalSection(&SimLock);
    EnsureLoaded();
    if (srb->SRB_Cmd != SC_EXEC_SCSI_CMD) {
        char line[64];
        _snprintf(line, sizeof line - 1, "t=%lu cmd=0x%02X status=0x%02X", (unsigned long)Now(), srb->SRB_Cmd,
                  SS_INVALID_SRB);
        line[sizeof line - 1] = 0;
        WriteLogLine(line);
        srb->SRB_Status = SS_INVALID_SRB;
        LeaveCriticalSection(&SimLock);
        return SS_INVALID_SRB;
    }
    PendingRequest *p = SpareList;
    if (p)
        SpareList = p->next;
    else
        p = (PendingRequest *)malloc(sizeof *p);
    if (!p || !StartWorker()) {
        free(p);
        srb->SRB_Status = SS_ERR;
        LeaveCriticalSection(&SimLock);
        return SS_ERR;
    }
    srb->SRB_Status = SS_PENDING;

    SimRequest r;
    memset(&r, 0, sizeof r);
    r.adapter = srb->SRB_HaId;
    r.target = srb->SRB_Target;
    r.lun = srb->SRB_Lun;
    r.flags = srb->SRB_Flags;
    r.bufLen = srb->SRB_BufPointer ? srb->SRB_BufLen : 0;
    r.data = srb->SRB_BufPointer;
    r.cdbLen = srb->SRB_CDBLen > 16 ? 16 : srb->SRB_CDBLen;
    memcpy(r.cdb, srb->CDBByte, 16);

    DWORD now = Now();
    SimExecute(&World, &r, now, &p->outcome);
    if (p->outcome.never) {
        // Stays SS_PENDING for good; the issuer's own time-out has to fire.
        WriteLogLine(p->outcome.line);
        free(p);
        LeaveCriticalSection(&SimLock);
        return SS_PENDING;
    }
    p->srb = srb;
    p->due = now + p->outcome.latencyMs;
    p->flags = srb->SRB_Flags;
    p->postProc = srb->SRB_PostProc;
    p->buffer = srb->SRB_BufPointer;
    p->bufLen = r.bufLen;
    p->senseLen = srb->SRB_SenseLen;
    PendingRequest **at = &PendingList;
    while (*at && (long)((*at)->due - p->due) <= 0) at = &(*at)->next;
    p->next = *at;
    *at = p;
    InterlockedIncrement(&PendingCount);
    LeaveCriticalSection(&SimLock);
    // A request due before the one the worker sleeps for must wake it too.
    if (InterlockedCompareExchange(&WorkerSleeping, 0, 1) == 1) SetEvent(WakeEvent);
    return SS_PENDING;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        SelfModule = instance;
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSectionAndSpinCount(&SimLock, LOCK_SPINS);
    } else if (reason == DLL_PROCESS_DETACH && reserved == NULL && !WorkerThread) {
        // FreeLibrary before any request was sent (with a worker the DLL stays loaded).
        SimFree(&World);
        if (LogFile != INVALID_HANDLE_VALUE) CloseHandle(LogFile);
        DeleteCriticalSection(&SimLock);
    }
    return TRUE;
}
