// The ASPI for Win32 service, loaded at run time by ordinal, and the request
// records of the drive commands.
#pragma once
#include "drive/aspi.h"

// Ordinal 1 and 2 of WNASPI32.DLL. On the NT family, when the DLL is missing
// or reports no usable host adapter, the program's own provider over the
// system's SCSI pass-through takes its place (drive/passthrough.h), if it
// finds a CD drive it can open. Without either there is no host adapter:
// GetASPI32SupportInfo answers 0 (or the manager's answer) and
// SendASPI32Command ends every request at once with SS_NO_ADAPTERS.
DWORD GetASPI32SupportInfo();
DWORD SendASPI32Command(SRB_ExecSCSICmd *srb);

// Exclusive access to a drive while its firmware is written, where the
// system offers it: only the program's own provider can ask for it. Answers
// 0 when the system refused it (another program holds the drive): then no
// firmware may go to the drive. 1 when it is taken, or not to be had (an
// ASPI manager, a system without the request).
int LockDriveForFirmware(BYTE adapter, BYTE target);
void UnlockDriveAfterFirmware(BYTE adapter, BYTE target);

// Where the two entry points come from. Loaded from WNASPI32.DLL on first
// use; tests put their own here.
extern GetASPI32SupportInfoFn aspiGetSupportInfo;
extern SendASPI32CommandFn aspiSendCommand;

// A request of the identification and status commands: the ASPI record first
// (the service and the completion routine see its address), then the marks
// through which waiter and completion routine meet.
struct DriveRequest {
    SRB_ExecSCSICmd srb;
    volatile BYTE completed;  // set by the completion routine once it has stored its results
    volatile LONG claim;      // 0 open, 1 taken by the completion routine, 2 given up by the waiter
    volatile LONG owners;     // waiter and completion routine; the last one out releases
};

// Allocates and zero-fills a request and its data buffer and fills the
// common fields. postProc may be null (no posting).
DriveRequest *NewRequest(BYTE adapter, BYTE target, BYTE flags, DWORD bufferLength,
                         const BYTE *cdb, BYTE cdbLength, PostProcFn postProc);

// For completion routines: 1 when the routine may store its results (the
// waiter has not given up), then CompleteRequest once they are stored.
int ClaimRequest(SRB_ExecSCSICmd *srb);
void CompleteRequest(SRB_ExecSCSICmd *srb);

// Submits a posted request and waits for its completion routine. Answers 1
// when it completed, 0 after the time-out (then DeviceError = 1). Releases
// the waiter's share of the request either way.
int SubmitPosted(DriveRequest *request, DWORD timeout);

void FreeRequest(DriveRequest *request);

// Requests allocated and not yet released (a request given up after a
// time-out stays counted until its completion routine releases it).
extern volatile LONG liveRequests;
