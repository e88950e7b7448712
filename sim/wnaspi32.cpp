// WNASPI32.DLL stand-in: an ASPI for Win32 manager whose host adapters and
// devices come from a scenario file (see sim/README.md), read through the
// simulated drives' host layer (sim/host.h) at the first call of either
// export; without one, or with one that can't be read: no host adapters
// (0xE800).
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
#include "sim/host.h"

struct PendingRequest {
    PendingRequest *next;
    SRB_ExecSCSICmd *srb;
    DWORD due;  // simulator clock
    BYTE flags;
    void *postProc;
    SimOutcome outcome;
};

static HMODULE SelfModule;
static CRITICAL_SECTION SimLock;  // Host, PendingList
static SimHost Host;
static int WorldLoaded;
static DWORD ClockBase;
static HANDLE WakeEvent;
static HANDLE WorkerThread;
static PendingRequest *PendingList;   // sorted by due time
static PendingRequest *SpareList;     // records of completed requests, for reuse
static volatile LONG PendingCount;    // requests on PendingList
static volatile LONG WorkerSleeping;  // 1 while the worker waits on WakeEvent

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
static void EnsureLoaded(void) {
    if (WorldLoaded) return;
    WorldLoaded = 1;
    ClockBase = GetTickCount();
    SimHostOpen(&Host, "wnaspi32");
    OutputDebugStringA(Host.note);
}

// Delivers a request's outcome. Everything the worker has to do with the
// lock and its own records is done before the status is stored: from then
// on the issuer may send its next request at once, and it should not find
// the worker in its way.
static void Complete(PendingRequest *p) {
    SRB_ExecSCSICmd *srb = p->srb;
    const SimOutcome *o = &p->outcome;
    SimDeliver(o, srb);
    BYTE status = o->status;
    PostProcFn post = (p->flags & SRB_POSTING) ? (PostProcFn)p->postProc : NULL;

    EnterCriticalSection(&SimLock);
    SimHostLog(&Host, o->line);
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

static DWORD WINAPI Worker(LPVOID) {
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
static int StartWorker(void) {
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

extern "C" DWORD __cdecl GetASPI32SupportInfo(void) {
    EnterCriticalSection(&SimLock);
    EnsureLoaded();
    DWORD answer = (DWORD)SimSupportInfo(&Host.world);
    char line[64];
    snprintf(line, sizeof line, "t=%lu support_info=0x%08lX", (unsigned long)Now(), (unsigned long)answer);
    SimHostLog(&Host, line);
    LeaveCriticalSection(&SimLock);
    return answer;
}

extern "C" DWORD __cdecl SendASPI32Command(void *record) {
    SRB_ExecSCSICmd *srb = (SRB_ExecSCSICmd *)record;
    if (!srb) return SS_INVALID_SRB;
    EnterCriticalSection(&SimLock);
    EnsureLoaded();
    SimRequest r;
    if (!SimRequestOf(srb, &r)) {
        char line[64];
        snprintf(line, sizeof line, "t=%lu cmd=0x%02X status=0x%02X", (unsigned long)Now(), srb->SRB_Cmd,
                 SS_INVALID_SRB);
        SimHostLog(&Host, line);
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

    DWORD now = Now();
    SimHostExecute(&Host, &r, now, &p->outcome);
    if (p->outcome.never) {
        // Stays SS_PENDING for good; the issuer's own time-out has to fire.
        SimHostLog(&Host, p->outcome.line);
        free(p);
        LeaveCriticalSection(&SimLock);
        return SS_PENDING;
    }
    p->srb = srb;
    p->due = now + p->outcome.latencyMs;
    p->flags = srb->SRB_Flags;
    p->postProc = srb->SRB_PostProc;
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

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        SelfModule = instance;
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSectionAndSpinCount(&SimLock, LOCK_SPINS);
    } else if (reason == DLL_PROCESS_DETACH && reserved == NULL && !WorkerThread) {
        // FreeLibrary before any request was sent (with a worker the DLL stays loaded).
        SimHostClose(&Host);
        DeleteCriticalSection(&SimLock);
    }
    return TRUE;
}
