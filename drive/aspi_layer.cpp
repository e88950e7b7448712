// Loading WNASPI32.DLL or the own pass-through provider; request records and their waits.
#include "drive/aspi_layer.h"

#include <stdlib.h>
#include <string.h>

#include "app/appstate.h"
#include "drive/passthrough.h"
#include "drive/wait.h"

GetASPI32SupportInfoFn aspiGetSupportInfo;
SendASPI32CommandFn aspiSendCommand;
static int aspiLoaded;
volatile LONG liveRequests;

// The manager's first answer, taken while choosing the provider and handed
// to the first caller, so that the manager is asked no more often than the
// program asks.
static DWORD firstSupportInfo;
static int firstSupportInfoKept;

static int ManagerUsable(DWORD supportInfo) {
    return (supportInfo & 0xFF) != 0 && ((supportInfo >> 8) & 0xFF) == SS_COMP;
}

static void LoadAspi() {
    if (aspiLoaded) return;
    aspiLoaded = 1;
    if (aspiGetSupportInfo && aspiSendCommand) return;
    HMODULE dll = LoadLibraryA("WNASPI32.DLL");
    if (dll) {
        aspiGetSupportInfo =
            (GetASPI32SupportInfoFn)(void *)GetProcAddress(dll, MAKEINTRESOURCEA(1));
        aspiSendCommand = (SendASPI32CommandFn)(void *)GetProcAddress(dll, MAKEINTRESOURCEA(2));
        if (!aspiGetSupportInfo || !aspiSendCommand) {
            aspiGetSupportInfo = NULL;
            aspiSendCommand = NULL;
        }
    }
    // The NT family without a usable manager: the drives through the
    // system's own pass-through, when there are any.
    if (AppState.ntFamily != 1) return;
    if (aspiGetSupportInfo) {
        firstSupportInfo = aspiGetSupportInfo();
        firstSupportInfoKept = 1;
        if (ManagerUsable(firstSupportInfo)) return;
    }
    if (OpenPassThroughDrives() == 0) return;
    aspiGetSupportInfo = PassThroughSupportInfo;
    aspiSendCommand = PassThroughSendCommand;
    firstSupportInfoKept = 0;
}

DWORD GetASPI32SupportInfo() {
    LoadAspi();
    if (firstSupportInfoKept) {
        firstSupportInfoKept = 0;
        return firstSupportInfo;
    }
    return aspiGetSupportInfo ? aspiGetSupportInfo() : 0;
}

DWORD SendASPI32Command(SRB_ExecSCSICmd *srb) {
    LoadAspi();
    if (aspiSendCommand) return aspiSendCommand(srb);
    *(volatile BYTE *)&srb->SRB_Status = SS_NO_ADAPTERS;
    if ((srb->SRB_Flags & SRB_POSTING) && srb->SRB_PostProc)
        ((PostProcFn)srb->SRB_PostProc)(srb);
    return SS_NO_ADAPTERS;
}

int LockDriveForFirmware(BYTE adapter, BYTE target) {
    if (aspiSendCommand != PassThroughSendCommand) return 1;
    return PassThroughLock(adapter, target) != LOCK_REFUSED;
}

void UnlockDriveAfterFirmware(BYTE adapter, BYTE target) {
    if (aspiSendCommand == PassThroughSendCommand) PassThroughUnlock(adapter, target);
}

DriveRequest *NewRequest(BYTE adapter, BYTE target, BYTE flags, DWORD bufferLength,
                         const BYTE *cdb, BYTE cdbLength, PostProcFn postProc) {
    DriveRequest *request = (DriveRequest *)calloc(1, sizeof(DriveRequest));
    BYTE *buffer = (BYTE *)malloc(bufferLength ? bufferLength : 1);
    if (!request || !buffer) {
        free(request);
        free(buffer);
        return NULL;
    }
    SRB_ExecSCSICmd &srb = request->srb;
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = adapter;
    srb.SRB_Flags = flags;
    srb.SRB_Target = target;
    srb.SRB_BufLen = bufferLength;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = cdbLength;
    memcpy(srb.CDBByte, cdb, cdbLength);
    srb.SRB_PostProc = (void *)postProc;
    request->owners = postProc ? 2 : 1;
    __sync_add_and_fetch(&liveRequests, 1);
    return request;
}

void FreeRequest(DriveRequest *request) {
    __sync_sub_and_fetch(&liveRequests, 1);
    free(request->srb.SRB_BufPointer);
    free(request);
}

static void Release(DriveRequest *request) {
    if (__sync_sub_and_fetch(&request->owners, 1) == 0) FreeRequest(request);
}

int ClaimRequest(SRB_ExecSCSICmd *srb) {
    DriveRequest *request = (DriveRequest *)srb;
    return __sync_val_compare_and_swap(&request->claim, 0, 1) == 0;
}

void CompleteRequest(SRB_ExecSCSICmd *srb) {
    DriveRequest *request = (DriveRequest *)srb;
    __atomic_store_n(&request->completed, 1, __ATOMIC_RELEASE);
    Release(request);
}

int SubmitPosted(DriveRequest *request, DWORD timeout) {
    if (!request) {
        AppState.DeviceError = 1;  // no memory for the request: as a time-out
        return 0;
    }
    SendASPI32Command(&request->srb);
    int done = WaitForSrb(timeout, &request->completed);
    if (!done) {
        // Give the request up, unless its completion routine has already
        // begun to store: then its results are moments away.
        if (__sync_val_compare_and_swap(&request->claim, 0, 2) == 0) {
            AppState.DeviceError = 1;
            Release(request);
            return 0;
        }
        while (__atomic_load_n(&request->completed, __ATOMIC_ACQUIRE) == 0) {
        }
    }
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    Release(request);
    return 1;
}
