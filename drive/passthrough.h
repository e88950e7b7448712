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
    PASS_THROUGH_SENSE = 32,
    PAGE_BYTES = 4096,
};

// The CD-ROM class driver's exclusive access (Windows Vista and later), as
// Microsoft's ntddcdrm.h publishes it; the cross headers lack it.
#ifndef IOCTL_CDROM_EXCLUSIVE_ACCESS
#define IOCTL_CDROM_EXCLUSIVE_ACCESS \
    CTL_CODE(FILE_DEVICE_CD_ROM, 0x0017, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
enum EXCLUSIVE_ACCESS_REQUEST_TYPE {
    ExclusiveAccessQueryState,
    ExclusiveAccessLockDevice,
    ExclusiveAccessUnlockDevice
};
enum { CDROM_EXCLUSIVE_CALLER_LENGTH = 64 };
struct CDROM_EXCLUSIVE_ACCESS {
    EXCLUSIVE_ACCESS_REQUEST_TYPE RequestType;
    ULONG Flags;
};
struct CDROM_EXCLUSIVE_LOCK {
    CDROM_EXCLUSIVE_ACCESS Access;
    UCHAR CallerName[CDROM_EXCLUSIVE_CALLER_LENGTH];
};
struct CDROM_EXCLUSIVE_LOCK_STATE {
    BOOLEAN LockState;
    UCHAR CallerName[CDROM_EXCLUSIVE_CALLER_LENGTH];
};
#endif

// The name the program locks its drive under. Windows takes letters,
// digits, blanks and . , : ; - _ only.
extern const char PASS_THROUGH_CALLER[];

// Opens every drive letter of type DRIVE_CDROM and starts the provider on
// those that open and that no other program holds. Answers the number of
// drives it serves (0: none; the provider is then not started).
unsigned OpenPassThroughDrives();

// Starts the provider on drives that are open already (letter order; letters
// may be null). A drive that another program holds locked is left out; the
// handles of drives left out, and all of them when the provider can't start,
// are closed. Asks each other drive for its SCSI address and its
// port's largest transfer. A second start replaces the drives of the first
// (the old workers are left to finish); a start with none stops the
// provider.
unsigned StartPassThrough(const HANDLE *handles, unsigned count, const char *letters = NULL);

// What the last start found that the user must be told: drives held by
// another program (their letter and the name that program gave), and CD
// drive letters whose opens all failed for want of rights.
struct PassThroughFindings {
    unsigned cdLetters, refusedForRights;
    unsigned heldCount;
    char heldLetter[26];
    char heldBy[26][CDROM_EXCLUSIVE_CALLER_LENGTH];
};
extern PassThroughFindings passThroughFindings;

DWORD __cdecl PassThroughSupportInfo(void);
DWORD __cdecl PassThroughSendCommand(void *srb);

// Exclusive access to the drive at an address for the firmware transfer,
// taken on the provider's own handle: no other program, nor the class
// driver's own polling, sends the drive a command until it is released or
// the handle closes.
enum LockResult { LOCK_TAKEN,
                  LOCK_UNSUPPORTED,
                  LOCK_REFUSED };
LockResult PassThroughLock(BYTE adapter, BYTE target);
void PassThroughUnlock(BYTE adapter, BYTE target);

// The system calls the provider makes, the real ones unless a test puts its
// own here.
extern BOOL(WINAPI *passThroughIoctl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                                      LPOVERLAPPED);
extern UINT(WINAPI *passThroughDriveType)(LPCSTR);
extern HANDLE(WINAPI *passThroughOpen)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                       HANDLE);

// The pass-through record with room for the sense bytes behind it.
struct PassThroughRecord {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler;
    BYTE sense[PASS_THROUGH_SENSE];
};

// The translation between a request record and the pass-through record,
// without any system call. FillPassThrough takes the data buffer to hand to
// the port (the provider's own page-aligned copy).
BYTE DataDirection(BYTE srbFlags, DWORD length);
// Seconds the port may take for a command: a little longer than the
// program's own wait for the identification and status commands, longer
// than its longest wait (120 s) for everything else.
ULONG PortTimeOut(BYTE operationCode);
void FillPassThrough(const SRB_ExecSCSICmd *srb, void *data, PassThroughRecord *record);
// Stores the outcome of the call in SRB_HaStat, SRB_TargStat and SenseArea
// and answers the final SRB_Status, which the caller stores last.
BYTE StoreOutcome(SRB_ExecSCSICmd *srb, BOOL callSucceeded, DWORD callError,
                  const PassThroughRecord *record);
