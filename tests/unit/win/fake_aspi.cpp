#include "fake_aspi.h"

#include <string.h>

#include <deque>

#include "app/appstate.h"
#include "app/msgbox.h"
#include "drive/aspi_layer.h"
#include "drive/wait.h"
#include "text/messages.h"
#include "update/download.h"
#include "update/imagefile.h"

std::vector<FakeDrive> drives;
std::vector<Sent> sent;
std::vector<BYTE> assembled;
std::vector<Box> boxes;
int confirmAnswer = IDOK;
DWORD supportInfo = 0x0102;
std::function<int(const Sent &, SRB_ExecSCSICmd *)> fault;
std::function<BYTE(SRB_ExecSCSICmd *)> execute;
DWORD delayBeforePost;
SRB_ExecSCSICmd *volatile held;

static CRITICAL_SECTION queueLock;
static HANDLE queueEvent;
static std::deque<SRB_ExecSCSICmd *> queue;
static volatile LONG busy;
static volatile DWORD now;

// Stands still while the manager works on a request and moves on a
// millisecond a reading otherwise: waits cost nothing, and a time-out fires
// only for a request that never completes.
static DWORD FakeTicks() {
    if (busy == 0) now += 1;
    return now;
}

static void Apply(FakeDrive &d, const Stage &s) {
    if (s.adapter >= 0) d.adapter = s.adapter;
    if (s.target >= 0) d.target = s.target;
    if (!s.revision.empty()) d.revision = s.revision;
    if (s.firmware >= 0) d.firmware = (BYTE)s.firmware;
    if (s.model >= 0) d.model = (BYTE)s.model;
    d.down = s.down;
}

static BYTE Sense(SRB_ExecSCSICmd *srb, BYTE key, BYTE asc) {
    srb->SRB_TargStat = STATUS_CHKCOND;
    srb->SenseArea[2] = key;
    srb->SenseArea[12] = asc;
    return SS_ERR;
}

static BYTE Drives(SRB_ExecSCSICmd *srb, const Sent &s) {
    FakeDrive *d = nullptr;
    for (FakeDrive &each : drives)
        if (each.adapter == s.ha && each.target == s.tgt) d = &each;
    if (!d) return SS_NO_DEVICE;
    BYTE *reply = srb->SRB_BufPointer;
    if (d->down > 0) {
        if (s.Is(0x12, 0)) d->down--;
        return SS_NO_DEVICE;
    }
    switch (s.cdb[0]) {
    case 0x12:
        memset(reply, 0, srb->SRB_BufLen);
        if (s.cdb[1] & 1) {
            memcpy(reply + 32, d->revision.data(), 4);
        } else {
            memset(reply + 16, ' ', 16);
            memcpy(reply + 16, d->product.data(), d->product.size());
        }
        return SS_COMP;
    case 0x00:
        return d->disc ? (BYTE)SS_COMP : Sense(srb, 2, 0x3A);
    case 0x1B:
        d->disc = false;
        return SS_COMP;
    case 0xCC:
        if (!d->usb) return Sense(srb, 5, 0x20);
        memset(reply, 0, 18);
        reply[12] = d->firmware;
        reply[13] = d->model;
        return SS_COMP;
    case 0x3B:
        if (s.Offset() + 2048 <= assembled.size()) memcpy(&assembled[s.Offset()], reply, 2048);
        return SS_COMP;
    case 0xCD:
        if (!d->usb) return Sense(srb, 5, 0x20);
        Apply(*d, s.cdb[1] == 0xFF ? d->afterFinish : d->afterLoader);
        return SS_COMP;
    }
    return Sense(srb, 5, 0x20);
}

static BYTE Execute(SRB_ExecSCSICmd *srb) {
    if (execute) return execute(srb);
    Sent s;
    s.ha = srb->SRB_HaId;
    s.tgt = srb->SRB_Target;
    memcpy(s.cdb, srb->CDBByte, sizeof s.cdb);
    s.bufLen = srb->SRB_BufLen;
    s.flags = srb->SRB_Flags, s.lun = srb->SRB_Lun, s.senseLen = srb->SRB_SenseLen;
    s.cdbLen = srb->SRB_CDBLen, s.posted = srb->SRB_PostProc != nullptr;
    s.time = now;
    s.progress = progressValue;
    if (s.Is(0x3B)) s.data.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + 2048);
    if (s.Is(0xCD, 0)) s.data.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + s.bufLen);
    sent.push_back(s);
    int forced = fault ? fault(s, srb) : -1;
    return forced >= 0 ? (BYTE)forced : Drives(srb, s);
}

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
            BYTE status = Execute(srb);
            if (status == 0) {
                held = srb;
            } else {
                srb->SRB_Status = status;
                if (delayBeforePost) Sleep(delayBeforePost);
                if ((srb->SRB_Flags & SRB_POSTING) && srb->SRB_PostProc)
                    ((PostProcFn)srb->SRB_PostProc)(srb);
            }
            InterlockedDecrement(&busy);
        }
    }
    return 0;
}

static DWORD __cdecl FakeSupportInfo() { return supportInfo; }

static DWORD __cdecl FakeSend(void *record) {
    SRB_ExecSCSICmd *srb = (SRB_ExecSCSICmd *)record;
    srb->SRB_Status = SS_PENDING;
    InterlockedIncrement(&busy);
    EnterCriticalSection(&queueLock);
    queue.push_back(srb);
    LeaveCriticalSection(&queueLock);
    SetEvent(queueEvent);
    return SS_PENDING;
}

static int RecordBox(HWND owner, const char *text, unsigned style) {
    boxes.push_back({owner, text, style});
    return style == MB_OKCANCEL ? confirmAnswer : IDOK;
}

void DrainFake() {
    while (busy != 0) Sleep(1);
}

void ResetFake() {
    static bool started;
    if (!started) {
        started = true;
        InitializeCriticalSection(&queueLock);
        queueEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
        CreateThread(NULL, 0, ManagerThread, NULL, 0, NULL);
    }
    DrainFake();
    if (held) CompleteLater(held, SS_ABORTED);  // frees what a timed-out request holds
    held = nullptr;
    aspiGetSupportInfo = FakeSupportInfo;
    aspiSendCommand = FakeSend;
    TickCount = FakeTicks;
    drives.clear();
    sent.clear();
    boxes.clear();
    assembled.assign(IMAGE_SIZE, 0);
    fault = nullptr;
    execute = nullptr;
    delayBeforePost = 0;
    confirmAnswer = IDOK;
    supportInfo = 0x0102;
    MessageBoxHook = RecordBox;
    AppState.primaryLanguage = 9;
    FillMessageTable();
    AppState.DeviceError = 0;
    progressValue = 0;
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

void CompleteLater(SRB_ExecSCSICmd *srb, BYTE status) {
    HANDLE thread = CreateThread(NULL, 0, LateCompletion, new Late{srb, status}, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

BYTE AnswerAsDrive(SRB_ExecSCSICmd *srb) { return Execute(srb); }

int CountSent(BYTE op, int byte1) {
    int n = 0;
    for (const Sent &s : sent) n += s.Is(op, byte1);
    return n;
}
