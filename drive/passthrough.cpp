#include "drive/passthrough.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "drive/drive_places.h"

BOOL(WINAPI *passThroughIoctl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                               LPOVERLAPPED) = DeviceIoControl;

enum { MAX_DRIVES = 26 };

// A request waiting for its worker. answer is the final status of a request
// that needs no drive (no device at the address, invalid host adapter, a
// record the provider can't carry out), 0 for one that goes to the drive.
struct Job {
    SRB_ExecSCSICmd *srb;
    BYTE answer;
    Job *next;
};

// One thread and its queue: one per drive, and one that answers the
// requests that reach no drive.
struct Worker {
    HANDLE drive;  // null for the worker without a drive
    BYTE adapter, target;
    ULONG alignmentMask;
    CRITICAL_SECTION lock;
    HANDLE wake;
    Job *first, *last;
    BYTE *copy;  // the aligned copy of data buffers, page-aligned
    DWORD copySize;
    PassThroughRecord record;
};

struct Provider {
    unsigned adapterCount;
    unsigned driveCount;
    Worker *drives[MAX_DRIVES];
    Worker *answers;
};

static Provider *volatile provider;

BYTE DataDirection(BYTE srbFlags, DWORD length) {
    BYTE direction = srbFlags & (SRB_DIR_IN | SRB_DIR_OUT);
    if (length == 0) return SCSI_IOCTL_DATA_UNSPECIFIED;
    if (direction == SRB_DIR_IN) return SCSI_IOCTL_DATA_IN;
    if (direction == SRB_DIR_OUT) return SCSI_IOCTL_DATA_OUT;
    return SCSI_IOCTL_DATA_UNSPECIFIED;
}

static DWORD SenseBytes(const SRB_ExecSCSICmd *srb) {
    // The record the program builds has room for 16 sense bytes.
    DWORD room = sizeof srb->SenseArea;
    return srb->SRB_SenseLen < room ? srb->SRB_SenseLen : room;
}

void FillPassThrough(const SRB_ExecSCSICmd *srb, void *data, PassThroughRecord *record) {
    memset(record, 0, sizeof *record);
    SCSI_PASS_THROUGH_DIRECT &sptd = record->sptd;
    sptd.Length = sizeof sptd;
    sptd.CdbLength = srb->SRB_CDBLen;
    memcpy(sptd.Cdb, srb->CDBByte, srb->SRB_CDBLen <= 16 ? srb->SRB_CDBLen : 16);
    sptd.SenseInfoLength = (UCHAR)SenseBytes(srb);
    sptd.SenseInfoOffset = offsetof(PassThroughRecord, sense);
    sptd.DataIn = DataDirection(srb->SRB_Flags, srb->SRB_BufLen);
    sptd.DataTransferLength = srb->SRB_BufLen;
    sptd.DataBuffer = srb->SRB_BufLen ? data : NULL;
    sptd.TimeOutValue = PASS_THROUGH_TIMEOUT;
}

int NeedsAlignedCopy(const SRB_ExecSCSICmd *srb, ULONG alignmentMask) {
    return srb->SRB_BufLen != 0 && ((ULONG)(size_t)srb->SRB_BufPointer & alignmentMask) != 0;
}

BYTE StoreOutcome(SRB_ExecSCSICmd *srb, BOOL callSucceeded, DWORD callError,
                  const PassThroughRecord *record) {
    if (!callSucceeded) {
        srb->SRB_HaStat = callError == ERROR_SEM_TIMEOUT ? HASTAT_COMMAND_TIMEOUT : HASTAT_SEL_TO;
        srb->SRB_TargStat = STATUS_GOOD;
        return SS_ERR;
    }
    // The call succeeds also when the drive refused the command: the
    // target's status tells.
    BYTE status = record->sptd.ScsiStatus;
    srb->SRB_HaStat = HASTAT_OK;
    srb->SRB_TargStat = status;
    if (status == STATUS_GOOD) return SS_COMP;
    if (status == STATUS_CHKCOND) memcpy(srb->SenseArea, record->sense, SenseBytes(srb));
    return SS_ERR;
}

// A port's alignment mask as a usable mask (2^n - 1), at most a page: some
// ports answer a size rather than a mask.
static ULONG UsableMask(ULONG reported) {
    ULONG mask = 0;
    while (mask < reported && mask < 4095) mask = mask << 1 | 1;
    return mask;
}

// The final status goes in last; after it and the completion routine the
// record is the caller's again and is not touched.
static void Finish(SRB_ExecSCSICmd *srb, BYTE status, BYTE flags, void *postProc) {
    __sync_synchronize();
    *(volatile BYTE *)&srb->SRB_Status = status;
    if ((flags & SRB_POSTING) && postProc) ((PostProcFn)postProc)(srb);
}

static int GrowCopy(Worker *worker, DWORD length) {
    if (worker->copySize >= length) return 1;
    if (worker->copy) VirtualFree(worker->copy, 0, MEM_RELEASE);
    worker->copy = (BYTE *)VirtualAlloc(NULL, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    worker->copySize = worker->copy ? length : 0;
    return worker->copy != NULL;
}

static void Carry(Worker *worker, SRB_ExecSCSICmd *srb, BYTE answer) {
    BYTE flags = srb->SRB_Flags;
    void *postProc = srb->SRB_PostProc;
    if (answer) {
        srb->SRB_HaStat = HASTAT_OK;
        srb->SRB_TargStat = STATUS_GOOD;
        Finish(srb, answer, flags, postProc);
        return;
    }
    DWORD length = srb->SRB_BufLen;
    BYTE *data = srb->SRB_BufPointer;
    if (NeedsAlignedCopy(srb, worker->alignmentMask)) {
        if (!GrowCopy(worker, length)) {
            srb->SRB_HaStat = HASTAT_OK;
            srb->SRB_TargStat = STATUS_GOOD;
            Finish(srb, SS_ERR, flags, postProc);
            return;
        }
        data = worker->copy;
        memcpy(data, srb->SRB_BufPointer, length);  // also what a read leaves alone
    }
    FillPassThrough(srb, data, &worker->record);
    DWORD returned = 0;
    // The record goes in and comes back in the same buffer.
    BOOL ok = passThroughIoctl(worker->drive, IOCTL_SCSI_PASS_THROUGH_DIRECT, &worker->record,
                               sizeof worker->record, &worker->record, sizeof worker->record,
                               &returned, NULL);
    DWORD error = ok ? 0 : GetLastError();
    if (data != srb->SRB_BufPointer && worker->record.sptd.DataIn != SCSI_IOCTL_DATA_OUT)
        memcpy(srb->SRB_BufPointer, data, length);
    Finish(srb, StoreOutcome(srb, ok, error, &worker->record), flags, postProc);
}

static DWORD WINAPI WorkerMain(void *argument) {
    Worker *worker = (Worker *)argument;
    for (;;) {
        WaitForSingleObject(worker->wake, INFINITE);
        for (;;) {
            EnterCriticalSection(&worker->lock);
            Job *job = worker->first;
            if (job) {
                worker->first = job->next;
                if (!worker->first) worker->last = NULL;
            }
            LeaveCriticalSection(&worker->lock);
            if (!job) break;
            Carry(worker, job->srb, job->answer);
            free(job);
        }
    }
    return 0;
}

static Worker *NewWorker(HANDLE drive) {
    Worker *worker = (Worker *)calloc(1, sizeof(Worker));
    if (!worker) return NULL;
    worker->drive = drive;
    InitializeCriticalSection(&worker->lock);
    worker->wake = CreateEventA(NULL, FALSE, FALSE, NULL);
    DWORD id;
    HANDLE thread = worker->wake ? CreateThread(NULL, 0, WorkerMain, worker, 0, &id) : NULL;
    if (!thread) {
        if (worker->wake) CloseHandle(worker->wake);
        DeleteCriticalSection(&worker->lock);
        free(worker);
        return NULL;
    }
    CloseHandle(thread);
    return worker;
}

unsigned StartPassThrough(const HANDLE *handles, unsigned count) {
    if (count > MAX_DRIVES) count = MAX_DRIVES;
    if (count == 0) return 0;
    DriveAddress addresses[MAX_DRIVES];
    DrivePlace places[MAX_DRIVES];
    ULONG masks[MAX_DRIVES];
    for (unsigned i = 0; i < count; i++) {
        SCSI_ADDRESS address;
        DWORD returned = 0;
        memset(&address, 0, sizeof address);
        addresses[i].known = passThroughIoctl(handles[i], IOCTL_SCSI_GET_ADDRESS, NULL, 0, &address,
                                              sizeof address, &returned, NULL) != 0;
        addresses[i].port = address.PortNumber;
        addresses[i].path = address.PathId;
        addresses[i].target = address.TargetId;
        addresses[i].lun = address.Lun;
        IO_SCSI_CAPABILITIES capabilities;
        memset(&capabilities, 0, sizeof capabilities);
        masks[i] = passThroughIoctl(handles[i], IOCTL_SCSI_GET_CAPABILITIES, NULL, 0, &capabilities,
                                    sizeof capabilities, &returned, NULL)
                       ? UsableMask(capabilities.AlignmentMask)
                       : 0;
    }
    unsigned adapters = PlaceDrives(addresses, count, places);

    Provider *next = (Provider *)calloc(1, sizeof(Provider));
    if (!next) return 0;
    next->answers = NewWorker(NULL);
    if (!next->answers) {
        free(next);
        return 0;
    }
    next->adapterCount = adapters;
    for (unsigned i = 0; i < count; i++) {
        Worker *worker = NewWorker(handles[i]);
        if (!worker) continue;  // its address answers that there is no device
        worker->adapter = places[i].adapter;
        worker->target = places[i].target;
        worker->alignmentMask = masks[i];
        next->drives[next->driveCount++] = worker;
    }
    __sync_synchronize();
    provider = next;
    return next->driveCount;
}

unsigned OpenPassThroughDrives() {
    HANDLE handles[MAX_DRIVES];
    unsigned count = 0;
    for (int i = 0; i < MAX_DRIVES; i++) {
        char root[4] = {(char)('A' + i), ':', '\\', 0};
        if (GetDriveTypeA(root) != DRIVE_CDROM) continue;
        char device[7] = {'\\', '\\', '.', '\\', (char)('A' + i), ':', 0};
        // Needs an administrator: without the rights the drive stays out.
        HANDLE handle = CreateFileA(device, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        if (handle != INVALID_HANDLE_VALUE) handles[count++] = handle;
    }
    unsigned served = StartPassThrough(handles, count);
    if (served == 0) {
        for (unsigned i = 0; i < count; i++) CloseHandle(handles[i]);
    }
    return served;
}

DWORD __cdecl PassThroughSupportInfo(void) {
    Provider *p = provider;
    if (!p || p->driveCount == 0) return (DWORD)SS_NO_ADAPTERS << 8;
    return (DWORD)SS_COMP << 8 | p->adapterCount;
}

DWORD __cdecl PassThroughSendCommand(void *record) {
    SRB_ExecSCSICmd *srb = (SRB_ExecSCSICmd *)record;
    Provider *p = provider;
    if (!p) {
        srb->SRB_Status = SS_NO_ADAPTERS;
        return SS_NO_ADAPTERS;
    }
    if (srb->SRB_Cmd != SC_EXEC_SCSI_CMD) {
        srb->SRB_Status = SS_INVALID_SRB;
        return SS_INVALID_SRB;
    }
    Job *job = (Job *)malloc(sizeof(Job));
    if (!job) {  // refused: noticed through the status, or failing that the caller's time-out
        srb->SRB_Status = SS_ERR;
        return SS_ERR;
    }
    Worker *worker = p->answers;
    job->srb = srb;
    job->next = NULL;
    job->answer = SS_NO_DEVICE;
    if (srb->SRB_HaId >= p->adapterCount) {
        job->answer = SS_INVALID_HA;
    } else if (srb->SRB_Lun == 0) {
        for (unsigned i = 0; i < p->driveCount; i++) {
            Worker *drive = p->drives[i];
            if (drive->adapter == srb->SRB_HaId && drive->target == srb->SRB_Target) {
                worker = drive;
                job->answer = 0;
            }
        }
    }
    if (job->answer == 0 && (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > 16 ||
                             (srb->SRB_BufLen != 0 && srb->SRB_BufPointer == NULL))) {
        worker = p->answers;
        job->answer = SS_INVALID_SRB;
    }
    srb->SRB_Status = SS_PENDING;
    EnterCriticalSection(&worker->lock);
    if (worker->last)
        worker->last->next = job;
    else
        worker->first = job;
    worker->last = job;
    LeaveCriticalSection(&worker->lock);
    SetEvent(worker->wake);
    return SS_PENDING;
}
