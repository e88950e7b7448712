// The own ASPI provider on the NT family: requests carried out through the SCSI pass-through.
#include "drive/passthrough.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "drive/drive_places.h"

BOOL(WINAPI *passThroughIoctl)
(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
 LPOVERLAPPED) = DeviceIoControl;
UINT(WINAPI *passThroughDriveType)
(LPCSTR) = GetDriveTypeA;
HANDLE(WINAPI *passThroughOpen)
(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
 HANDLE) = CreateFileA;

const char PASS_THROUGH_CALLER[] = "Discmend";
PassThroughFindings passThroughFindings;

enum {
    MAX_DRIVES = 26,
    // How long a worker stays awake for the next request before it sleeps.
    IDLE_SPIN_MICROSECONDS = 100,
};

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
    DWORD maxTransfer;  // the port's largest transfer; 0: not known
    int locked;         // the firmware lock is ours
    CRITICAL_SECTION lock;
    HANDLE wake;
    volatile LONG sleeping;  // 1 while the thread waits for wake
    Job *volatile first;
    Job *last;
    BYTE *copy;  // the page-aligned copy of data buffers
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

ULONG PortTimeOut(BYTE operationCode) {
    switch (operationCode) {
    case SCSI_INQUIRY:  // the program waits 10 s
    case SCSI_TEST_UNIT_READY:
        return 15;
    case SCSI_START_STOP_UNIT:  // 60 s
    case VENDOR_STATUS:
        return 65;
    default:  // WRITE BUFFER, the download command and anything else: the save of the last block waits 120 s
        return 150;
    }
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
    sptd.TimeOutValue = PortTimeOut(srb->CDBByte[0]);
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

// The final status goes in last; after it and the completion routine the
// record is the caller's again and is not touched.
static void Finish(SRB_ExecSCSICmd *srb, BYTE status, BYTE flags, void *postProc) {
    __sync_synchronize();
    *(volatile BYTE *)&srb->SRB_Status = status;
    if ((flags & SRB_POSTING) && postProc) ((PostProcFn)postProc)(srb);
}

// An answer given at once, without a worker: final status, then the
// completion routine, as for every other request.
static DWORD AnswerAtOnce(SRB_ExecSCSICmd *srb, BYTE status) {
    Finish(srb, status, srb->SRB_Flags, srb->SRB_PostProc);
    return status;
}

// VirtualAlloc gives whole pages (at the allocation granularity, 64 KB),
// so the copy meets any port's alignment mask.
static int GrowCopy(Worker *worker, DWORD length) {
    if (worker->copySize >= length) return 1;
    if (worker->copy) VirtualFree(worker->copy, 0, MEM_RELEASE);
    worker->copy = (BYTE *)VirtualAlloc(NULL, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    worker->copySize = worker->copy ? length : 0;
    return worker->copy != NULL;
}

// Every data buffer goes to the port through the worker's page-aligned
// copy, in both directions: Windows refuses a DataBuffer that misses the
// adapter's AlignmentMask with ERROR_INVALID_PARAMETER (the port drivers'
// pass-through checks; ReactOS scsiport, Windows driver samples classpnp),
// and the program's own buffers come from the heap, 8-byte aligned.
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
    BYTE *data = NULL;
    if (length) {
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
    if (data && worker->record.sptd.DataIn != SCSI_IOCTL_DATA_OUT)
        memcpy(srb->SRB_BufPointer, data, length);
    Finish(srb, StoreOutcome(srb, ok, error, &worker->record), flags, postProc);
}

static Job *TakeJob(Worker *worker) {
    EnterCriticalSection(&worker->lock);
    Job *job = worker->first;
    if (job) {
        worker->first = job->next;
        if (!worker->first) worker->last = NULL;
    }
    LeaveCriticalSection(&worker->lock);
    return job;
}

// The program sends its next request microseconds after the last one ended;
// waking a thread that sleeps on an event costs far more than that. So the
// worker looks for a while before it sleeps: a bounded spin, so an idle
// provider costs no processor time. Answers 1 when a job came.
static int StayAwake(Worker *worker) {
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0 && !QueryPerformanceFrequency(&frequency)) return 0;
    LARGE_INTEGER start, now;
    QueryPerformanceCounter(&start);
    LONGLONG limit = frequency.QuadPart * IDLE_SPIN_MICROSECONDS / 1000000;
    for (;;) {
        for (int i = 0; i < 64; i++) {
            if (worker->first) return 1;
            __builtin_ia32_pause();
        }
        QueryPerformanceCounter(&now);
        if (now.QuadPart - start.QuadPart > limit) return 0;
    }
}

static DWORD WINAPI WorkerMain(void *argument) {
    Worker *worker = (Worker *)argument;
    for (;;) {
        Job *job = TakeJob(worker);
        if (job) {
            Carry(worker, job->srb, job->answer);
            free(job);
            continue;
        }
        if (StayAwake(worker)) continue;
        // Sleep. A sender that finds sleeping set clears it and sets wake;
        // a job that came in between is taken at once, and the wake its
        // sender may already have set is used up first.
        InterlockedExchange(&worker->sleeping, 1);
        if (worker->first) {
            if (InterlockedExchange(&worker->sleeping, 0) == 0)
                WaitForSingleObject(worker->wake, INFINITE);
            continue;
        }
        WaitForSingleObject(worker->wake, INFINITE);
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

// The name another program locked a drive under, as a text fit to show:
// bounded, and only the characters Windows lets a caller name hold.
static void CopyCallerName(char *to, const UCHAR *from) {
    static const char allowed[] = " .,:;-_";
    unsigned n = 0;
    for (; n < CDROM_EXCLUSIVE_CALLER_LENGTH - 1 && from[n]; n++) {
        char c = (char)from[n];
        int ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 strchr(allowed, c) != NULL;
        to[n] = ok ? c : '?';
    }
    to[n] = 0;
}

// 1 when another program holds the drive locked (the query is answered
// from any handle while the lock is held: Windows driver samples,
// storage/class/cdrom, the exclusive-access requests).
static int HeldByAnother(HANDLE handle, char *name) {
    CDROM_EXCLUSIVE_ACCESS query = {ExclusiveAccessQueryState, 0};
    CDROM_EXCLUSIVE_LOCK_STATE state;
    memset(&state, 0, sizeof state);
    DWORD returned = 0;
    if (!passThroughIoctl(handle, IOCTL_CDROM_EXCLUSIVE_ACCESS, &query, sizeof query, &state,
                          sizeof state, &returned, NULL) ||
        !state.LockState)
        return 0;
    CopyCallerName(name, state.CallerName);
    return 1;
}

// The port's largest transfer, 0 when it does not say (Wine does not know
// the request). A page-aligned buffer of n bytes spans n / 4096 pages.
static DWORD MaxTransfer(HANDLE handle) {
    STORAGE_PROPERTY_QUERY query;
    memset(&query, 0, sizeof query);
    query.PropertyId = StorageAdapterProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ADAPTER_DESCRIPTOR adapter;
    memset(&adapter, 0, sizeof adapter);
    DWORD returned = 0;
    if (!passThroughIoctl(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &adapter,
                          sizeof adapter, &returned, NULL) ||
        returned < offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask))
        return 0;
    DWORD most = adapter.MaximumTransferLength;
    if (adapter.MaximumPhysicalPages != 0 && adapter.MaximumPhysicalPages < 0x100000 &&
        adapter.MaximumPhysicalPages * (DWORD)PAGE_BYTES < most)
        most = adapter.MaximumPhysicalPages * PAGE_BYTES;
    return most;
}

unsigned StartPassThrough(const HANDLE *handles, unsigned count, const char *letters) {
    if (count > MAX_DRIVES) count = MAX_DRIVES;
    passThroughFindings.heldCount = 0;
    HANDLE served[MAX_DRIVES];
    DriveAddress addresses[MAX_DRIVES];
    DrivePlace places[MAX_DRIVES];
    DWORD limits[MAX_DRIVES];
    unsigned kept = 0;
    for (unsigned i = 0; i < count; i++) {
        PassThroughFindings &found = passThroughFindings;
        if (HeldByAnother(handles[i], found.heldBy[found.heldCount])) {
            found.heldLetter[found.heldCount++] = letters ? letters[i] : '?';
            CloseHandle(handles[i]);
            continue;
        }
        SCSI_ADDRESS address;
        DWORD returned = 0;
        memset(&address, 0, sizeof address);
        addresses[kept].known = passThroughIoctl(handles[i], IOCTL_SCSI_GET_ADDRESS, NULL, 0,
                                                 &address, sizeof address, &returned, NULL) != 0;
        addresses[kept].port = address.PortNumber;
        addresses[kept].path = address.PathId;
        addresses[kept].target = address.TargetId;
        addresses[kept].lun = address.Lun;
        limits[kept] = MaxTransfer(handles[i]);
        served[kept++] = handles[i];
    }
    if (kept == 0) {
        provider = NULL;
        return 0;
    }
    unsigned adapters = PlaceDrives(addresses, kept, places);

    Provider *next = (Provider *)calloc(1, sizeof(Provider));
    if (next) next->answers = NewWorker(NULL);
    if (!next || !next->answers) {
        free(next);
        for (unsigned i = 0; i < kept; i++) CloseHandle(served[i]);
        return 0;
    }
    next->adapterCount = adapters;
    for (unsigned i = 0; i < kept; i++) {
        Worker *worker = NewWorker(served[i]);
        if (!worker) continue;  // its address answers that there is no device
        worker->adapter = places[i].adapter;
        worker->target = places[i].target;
        worker->maxTransfer = limits[i];
        next->drives[next->driveCount++] = worker;
    }
    __sync_synchronize();
    provider = next;
    return next->driveCount;
}

unsigned OpenPassThroughDrives() {
    HANDLE handles[MAX_DRIVES];
    char letters[MAX_DRIVES];
    unsigned count = 0;
    memset(&passThroughFindings, 0, sizeof passThroughFindings);
    for (int i = 0; i < MAX_DRIVES; i++) {
        char root[4] = {(char)('A' + i), ':', '\\', 0};
        // Only CD drives: a fixed disk, a share or a RAM disk is never opened.
        if (passThroughDriveType(root) != DRIVE_CDROM) continue;
        passThroughFindings.cdLetters++;
        char device[7] = {'\\', '\\', '.', '\\', (char)('A' + i), ':', 0};
        // Windows gives a handle for reading and writing only to administrators.
        HANDLE handle =
            passThroughOpen(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            NULL, OPEN_EXISTING, 0, NULL);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_ACCESS_DENIED) passThroughFindings.refusedForRights++;
            continue;
        }
        letters[count] = (char)('A' + i);
        handles[count++] = handle;
    }
    return StartPassThrough(handles, count, letters);
}

DWORD __cdecl PassThroughSupportInfo(void) {
    Provider *p = provider;
    if (!p || p->driveCount == 0) return (DWORD)SS_NO_ADAPTERS << 8;
    return (DWORD)SS_COMP << 8 | p->adapterCount;
}

static Worker *DriveAt(Provider *p, BYTE adapter, BYTE target) {
    Worker *found = NULL;
    for (unsigned i = 0; p && i < p->driveCount; i++)
        if (p->drives[i]->adapter == adapter && p->drives[i]->target == target) found = p->drives[i];
    return found;
}

DWORD __cdecl PassThroughSendCommand(void *record) {
    SRB_ExecSCSICmd *srb = (SRB_ExecSCSICmd *)record;
    Provider *p = provider;
    if (!p) return AnswerAtOnce(srb, SS_NO_ADAPTERS);
    if (srb->SRB_Cmd != SC_EXEC_SCSI_CMD) return AnswerAtOnce(srb, SS_INVALID_SRB);
    // Refused: noticed through the status, or failing that the caller's time-out.
    Job *job = (Job *)malloc(sizeof(Job));
    if (!job) return AnswerAtOnce(srb, SS_ERR);
    Worker *worker = p->answers;
    job->srb = srb;
    job->next = NULL;
    job->answer = SS_NO_DEVICE;
    if (srb->SRB_HaId >= p->adapterCount) {
        job->answer = SS_INVALID_HA;
    } else if (srb->SRB_Lun == 0) {
        Worker *drive = DriveAt(p, srb->SRB_HaId, srb->SRB_Target);
        if (drive) {
            worker = drive;
            job->answer = 0;
        }
    }
    // A record the port can't take is never sent: no CDB, no buffer, or more
    // data than the port moves in one transfer.
    if (job->answer == 0 &&
        (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > 16 ||
         (srb->SRB_BufLen != 0 && srb->SRB_BufPointer == NULL) ||
         (worker->maxTransfer != 0 && srb->SRB_BufLen > worker->maxTransfer))) {
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
    if (InterlockedExchange(&worker->sleeping, 0)) SetEvent(worker->wake);
    return SS_PENDING;
}

// The lock is asked for on the drive's own handle from the calling thread;
// the handle is synchronous, so the system puts the request after any
// command the worker still has with the port. Windows refuses it with
// ERROR_ACCESS_DENIED while another handle holds the lock or a file system
// is mounted on the drive; a system without the request answers
// ERROR_INVALID_FUNCTION (the port below the class driver does not know
// it) or ERROR_NOT_SUPPORTED (Wine). Any other refusal counts as refused.
LockResult PassThroughLock(BYTE adapter, BYTE target) {
    Worker *worker = DriveAt(provider, adapter, target);
    if (!worker) return LOCK_REFUSED;
    CDROM_EXCLUSIVE_LOCK lock;
    memset(&lock, 0, sizeof lock);
    lock.Access.RequestType = ExclusiveAccessLockDevice;
    strcpy((char *)lock.CallerName, PASS_THROUGH_CALLER);
    DWORD returned = 0;
    if (passThroughIoctl(worker->drive, IOCTL_CDROM_EXCLUSIVE_ACCESS, &lock, sizeof lock, NULL, 0,
                         &returned, NULL)) {
        worker->locked = 1;
        return LOCK_TAKEN;
    }
    DWORD error = GetLastError();
    if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) return LOCK_UNSUPPORTED;
    return LOCK_REFUSED;
}

void PassThroughUnlock(BYTE adapter, BYTE target) {
    Worker *worker = DriveAt(provider, adapter, target);
    if (!worker || !worker->locked) return;
    CDROM_EXCLUSIVE_ACCESS unlock = {ExclusiveAccessUnlockDevice, 0};
    DWORD returned = 0;
    passThroughIoctl(worker->drive, IOCTL_CDROM_EXCLUSIVE_ACCESS, &unlock, sizeof unlock, NULL, 0,
                     &returned, NULL);
    worker->locked = 0;
}
