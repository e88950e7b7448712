// The unit tests' fake ASPI manager: requests answered by the simulated drives' model on a thread of its own.
#include "fake_aspi.h"

#include <string.h>

#include <deque>
#include <thread>

#include "app/appstate.h"
#include "app/msgbox.h"
#include "drive/aspi_layer.h"
#include "drive/wait.h"
#include "sim/host.h"
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

// The test's drives as the drive model holds them, the last first (of two
// at one address the later one answers): they go in before each request,
// and what it did to them (address, codes, revision, disc, restart) comes
// back out, so a test may add a drive anywhere in the list at any time.
static SimWorld world;
static CRITICAL_SECTION modelLock;  // the provider's workers ask at the same time

static void ResetWorld() {
    SimFree(&world);
    SimInit(&world);
    world.adapterCount = SIM_MAX_ADAPTERS;  // the tests' adapter counts are their own
    world.quiet = 1;
}

static void ToStage(const Stage &s, SimStage *m) {
    memset(m, 0, sizeof *m);  // no restart time, the revision kept
    m->moveAdapter = s.adapter, m->moveTarget = s.target;
    m->hasRevision = !s.revision.empty();
    SimPadCopy(m->revision, 4, s.revision.data(), s.revision.size());
    m->firmwareCode = s.firmware, m->modelCode = s.model;
    m->downMode = s.down ? SIM_DOWN_ABSENT : SIM_UP, m->downInquiries = s.down;
}

static void ToModel() {
    if (world.deviceCount > (int)drives.size()) ResetWorld();
    while (world.deviceCount < (int)drives.size())  // a save leaves the revision as it was
        SimAddDevice(&world, 0, 0)->stages[SIM_STAGE_SAVE].revisionFrom = 0;
    for (size_t i = 0; i < drives.size(); i++) {
        const FakeDrive &f = drives[i];
        SimDevice &d = world.devices[drives.size() - 1 - i];
        d.adapter = f.adapter, d.target = f.target, d.usb = f.usb, d.disc = f.disc;
        SimPadCopy(d.product, 16, f.product.data(), f.product.size());
        SimPadCopy(d.revision, 4, f.revision.data(), f.revision.size());
        d.firmwareCode = f.firmware, d.modelCode = f.model;
        d.downMode = f.down ? SIM_DOWN_ABSENT : SIM_UP, d.downInquiries = f.down, d.downUntil = 0;
        ToStage(f.afterFinish, &d.stages[SIM_STAGE_FINISH]);
        ToStage(f.afterLoader, &d.stages[SIM_STAGE_LOADER]);
    }
}

static void FromModel() {
    for (size_t i = 0; i < drives.size(); i++) {
        FakeDrive &f = drives[i];
        const SimDevice &d = world.devices[drives.size() - 1 - i];
        f.adapter = d.adapter, f.target = d.target, f.disc = d.disc != 0;
        f.revision.assign(d.revision, 4);
        f.firmware = d.firmwareCode, f.model = d.modelCode;
        f.down = d.downMode == SIM_DOWN_ABSENT ? (int)d.downInquiries : 0;
    }
}

// What the drives answer, from the model; the image blocks a drive takes
// are assembled.
static BYTE Drives(SRB_ExecSCSICmd *srb) {
    SimRequest r;
    SimOutcome o;
    if (!SimRequestOf(srb, &r)) return SS_INVALID_SRB;
    ToModel();
    SimExecute(&world, &r, now, &o);
    FromModel();
    if (o.never) return SS_PENDING;
    SimDeliver(&o, srb);
    DWORD at = r.cdb[3] << 16 | r.cdb[4] << 8 | r.cdb[5], n = r.cdb[6] << 16 | r.cdb[7] << 8 | r.cdb[8];
    if (r.cdb[0] == SCSI_WRITE_BUFFER && o.status == SS_COMP) memcpy(&assembled[at], o.device->image + at, n);
    return o.status;
}

static BYTE Execute(SRB_ExecSCSICmd *srb) {
    if (execute) return execute(srb);
    EnterCriticalSection(&modelLock);
    Sent s;
    memcpy(s.cdb, srb->CDBByte, sizeof s.cdb);
    s.ha = srb->SRB_HaId, s.tgt = srb->SRB_Target, s.bufLen = srb->SRB_BufLen;
    s.flags = srb->SRB_Flags, s.lun = srb->SRB_Lun, s.senseLen = srb->SRB_SenseLen;
    s.cdbLen = srb->SRB_CDBLen, s.posted = srb->SRB_PostProc != nullptr;
    s.time = now, s.progress = progressValue;
    if (s.Is(0x3B)) s.data.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + 2048);
    if (s.Is(0xCD, 0)) s.data.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + s.bufLen);
    sent.push_back(s);
    int forced = fault ? fault(s, srb) : -1;
    BYTE status = forced >= 0 ? (BYTE)forced : Drives(srb);
    LeaveCriticalSection(&modelLock);
    return status;
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
        InitializeCriticalSection(&modelLock);
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
    ResetWorld();
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

void CompleteLater(SRB_ExecSCSICmd *srb, BYTE status) {
    std::thread([srb, status] {
        srb->SRB_Status = status;
        if ((srb->SRB_Flags & SRB_POSTING) && srb->SRB_PostProc) ((PostProcFn)srb->SRB_PostProc)(srb);
    }).join();
}

BYTE AnswerAsDrive(SRB_ExecSCSICmd *srb) { return Execute(srb); }

int CountSent(BYTE op, int byte1) {
    int n = 0;
    for (const Sent &s : sent) n += s.Is(op, byte1);
    return n;
}
