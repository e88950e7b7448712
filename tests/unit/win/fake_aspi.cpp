#include "fake_aspi.h"

#include <deque>

#include "drive/aspi_layer.h"
#include "drive/wait.h"

FakeAspi *fakeAspi;

static CRITICAL_SECTION queueLock;
static HANDLE queueEvent;
static std::deque<SRB_ExecSCSICmd *> queue;
static volatile LONG busy;

static DWORD WINAPI ManagerThread(void *) {
    for (;;) {
        WaitForSingleObject(queueEvent, INFINITE);
        for (;;) {
            EnterCriticalSection(&queueLock);
            if (queue.empty()) {
                LeaveCriticalSection(&queueLock);
                break;
            }
            SRB_ExecSCSICmd *srb = queue.front();
            queue.pop_front();
            LeaveCriticalSection(&queueLock);

            FakeAspi *fake = fakeAspi;
            if (fake->delayBeforeStatus) Sleep(fake->delayBeforeStatus);
            BYTE status = fake->execute ? fake->execute(srb) : (BYTE)SS_NO_DEVICE;
            if (status == 0) fake->held = srb;
            if (status != 0) {
                srb->SRB_Status = status;
                if (fake->delayBeforePost) Sleep(fake->delayBeforePost);
                if ((srb->SRB_Flags & SRB_POSTING) && srb->SRB_PostProc) {
                    fake->postThread = GetCurrentThreadId();
                    ((PostProcFn)srb->SRB_PostProc)(srb);
                    InterlockedIncrement(&fake->postsRun);
                }
            }
            InterlockedDecrement(&busy);
        }
    }
    return 0;
}

static DWORD __cdecl FakeSupportInfo() { return fakeAspi->supportInfo; }

static DWORD __cdecl FakeSend(void *record) {
    SRB_ExecSCSICmd *srb = (SRB_ExecSCSICmd *)record;
    srb->SRB_Status = SS_PENDING;
    InterlockedIncrement(&fakeAspi->requests);
    InterlockedIncrement(&busy);
    EnterCriticalSection(&queueLock);
    queue.push_back(srb);
    LeaveCriticalSection(&queueLock);
    SetEvent(queueEvent);
    return SS_PENDING;
}

static DWORD RealTicks() { return GetTickCount(); }

void InstallFakeAspi(FakeAspi *fake) {
    static bool started;
    if (!started) {
        started = true;
        InitializeCriticalSection(&queueLock);
        queueEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
        CreateThread(NULL, 0, ManagerThread, NULL, 0, NULL);
    }
    DrainFakeAspi();
    fakeAspi = fake;
    aspiGetSupportInfo = FakeSupportInfo;
    aspiSendCommand = FakeSend;
    TickCount = RealTicks;
    fakeTickStep = 1000;
}

void DrainFakeAspi() {
    while (busy != 0) Sleep(1);
}

static volatile DWORD fakeNow;
DWORD fakeTickStep = 1000;
DWORD FakeTicks() {
    if (busy == 0) fakeNow += fakeTickStep;
    return fakeNow;
}

struct Late {
    SRB_ExecSCSICmd *srb;
    BYTE status;
};

static DWORD WINAPI LateCompletion(void *context) {
    Late *late = (Late *)context;
    late->srb->SRB_Status = late->status;
    if ((late->srb->SRB_Flags & SRB_POSTING) && late->srb->SRB_PostProc)
        ((PostProcFn)late->srb->SRB_PostProc)(late->srb);
    delete late;
    return 0;
}

void CompleteHeldLater(SRB_ExecSCSICmd *srb, BYTE status) {
    HANDLE thread = CreateThread(NULL, 0, LateCompletion, new Late{srb, status}, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}
