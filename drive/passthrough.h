// The program's own ASPI for Win32 provider on the NT family, for systems
// without an ASPI manager: the two entry points over the SCSI pass-through
// of the CD drive letters (\\.\X:). Each drive has a worker thread of its
// own that carries out its requests in order, so a drive that hangs holds up
// nobody else; completion routines run on those threads.
#pragma once
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include "drive/aspi.h"

enum {
    SS_INVALID_SRB = 0xE0,
    HASTAT_OK = 0x00,
    HASTAT_COMMAND_TIMEOUT = 0x0B,
    HASTAT_SEL_TO = 0x11,
    // Seconds the port may take for one command: longer than the longest
    // wait of the program (120 s for the save of the last block).
    PASS_THROUGH_TIMEOUT = 150,
    PASS_THROUGH_SENSE = 32,
};

// Opens every drive letter of type DRIVE_CDROM and starts the provider on
// those that open. Answers the number of drives it serves (0: none; the
// provider is then not started).
unsigned OpenPassThroughDrives();

// Starts the provider on drives that are open already (letter order). Asks
// each for its SCSI address and its port's buffer alignment. A second start
// replaces the drives of the first (the old workers are left to finish).
unsigned StartPassThrough(const HANDLE *handles, unsigned count);

DWORD __cdecl PassThroughSupportInfo(void);
DWORD __cdecl PassThroughSendCommand(void *srb);

// The pass-through call, DeviceIoControl unless a test puts its own here.
extern BOOL(WINAPI *passThroughIoctl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                                      LPOVERLAPPED);

// The pass-through record with room for the sense bytes behind it.
struct PassThroughRecord {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler;
    BYTE sense[PASS_THROUGH_SENSE];
};

// The translation between a request record and the pass-through record,
// without any system call. FillPassThrough takes the data buffer to hand to
// the port (the caller's own or an aligned copy).
BYTE DataDirection(BYTE srbFlags, DWORD length);
void FillPassThrough(const SRB_ExecSCSICmd *srb, void *data, PassThroughRecord *record);
// 1 when the caller's buffer must go through an aligned copy.
int NeedsAlignedCopy(const SRB_ExecSCSICmd *srb, ULONG alignmentMask);
// Stores the outcome of the call in SRB_HaStat, SRB_TargStat and SenseArea
// and answers the final SRB_Status, which the caller stores last.
BYTE StoreOutcome(SRB_ExecSCSICmd *srb, BOOL callSucceeded, DWORD callError,
                  const PassThroughRecord *record);
