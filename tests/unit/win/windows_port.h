// The storage stack of Windows 2000 to 11 as the pass-through provider meets
// it, played for its unit tests: drive letters and their types, opens that
// need an administrator, and the requests to a CD-ROM drive's handle
// answered as Windows' own drivers answer them. Commands that reach a drive
// are answered by the fake drives (fake_aspi.h).
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

enum PortLockState {
    PORT_LOCK_UNKNOWN,  // a system without exclusive access (before Vista)
    PORT_LOCK_FREE,
    PORT_LOCK_HELD,     // another program's handle holds the drive
    PORT_LOCK_MOUNTED,  // a file system is mounted: the lock is refused
};

struct PortDrive {
    char letter = 'D';
    UINT type = DRIVE_CDROM;
    bool denied = false;          // the open is refused: the user is no administrator
    int ha = 0, target = 1;       // the fake drive's address; the port reports port ha + 1, path 0
    bool adapterProperty = true;  // IOCTL_STORAGE_QUERY_PROPERTY answered
    DWORD alignmentMask = 511, maxTransfer = 65536, physicalPages = 17;
    PortLockState lock = PORT_LOCK_FREE;
    std::string heldBy;  // the other program's caller name, bytes as it gave them
    HANDLE hold = NULL;  // set: each command waits for it before the drive answers
    // What happened to it:
    HANDLE owner = NULL;  // the handle that holds the lock
    std::string ownerName;
    std::vector<HANDLE> opened;  // the handles the provider got
};

extern std::vector<PortDrive> portDrives;
// Every call on a drive's handle, as "X request" (opens "X open", refusals
// with "!error" after them): for the tests that look at order and handles.
extern std::vector<std::string> portLog;
// Called with "LOCK", "LOCK(refused)", "LOCK(unknown)" and "UNLOCK" as the
// exclusive-access requests come (from the thread that sends them).
extern std::function<void(const std::string &)> portEvent;

// 1 while a handle the port gave out is open.
bool StillOpen(HANDLE handle);

// The drives above in place of the system's: passThroughIoctl,
// passThroughDriveType and passThroughOpen lead here. Clears the log and
// closes the handles of an earlier use.
void UseWindowsPort(const std::vector<PortDrive> &drives);
// Back to the system's own calls.
void LeaveWindowsPort();
// Pass-through calls that reached a drive; those Windows refused for a
// misaligned buffer or an oversized transfer.
extern int portCommands, portRefusedBuffers;
