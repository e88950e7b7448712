// Windows' CD-ROM stack played for the pass-through provider's tests. What
// each answer comes from:
// - Opens of \\.\X: for reading and writing are refused with
//   ERROR_ACCESS_DENIED to a user who is no administrator (Microsoft, "Calling
//   DeviceIoControl", and the SCSI pass-through pages of the driver docs).
// - IOCTL_SCSI_GET_CAPABILITIES to a CD-ROM drive's handle is refused: only
//   legacy drivers may issue it; it fails on the port's PDO (Windows driver
//   samples, storage/class/classpnp).
// - IOCTL_STORAGE_QUERY_PROPERTY with StorageAdapterProperty answers the
//   adapter's AlignmentMask and MaximumTransferLength; a pass-through whose
//   DataBuffer misses the mask or whose length passes the maximum is refused
//   with ERROR_INVALID_PARAMETER (ReactOS scsiport and Windows' storport
//   pass-through checks).
// - IOCTL_CDROM_EXCLUSIVE_ACCESS (storage/class/cdrom, ioctl.c and the
//   device-control dispatch): the state query is answered from any handle;
//   the lock is refused with ERROR_ACCESS_DENIED while the device is locked
//   or a file system is mounted, and with ERROR_INVALID_PARAMETER for a
//   caller name that is not NUL-terminated within 64 bytes or holds other
//   than letters, digits, blanks and . , : ; - _ (the CDROM_EXCLUSIVE_LOCK
//   page); only the owner's handle may unlock. While the device is locked,
//   every other request from another handle is completed with
//   ERROR_ACCESS_DENIED. A system before Windows Vista does not know the
//   request: the port below the class driver answers ERROR_INVALID_FUNCTION.
#include "windows_port.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <map>

#include "drive/passthrough.h"
#include "fake_aspi.h"

std::vector<PortDrive> portDrives;
std::vector<std::string> portLog;
std::function<void(const std::string &)> portEvent;
int portCommands, portRefusedBuffers;
static std::map<HANDLE, size_t> handles;  // open handle -> drive

static void Log(const PortDrive &d, const std::string &what) {
    portLog.push_back(std::string(1, d.letter) + " " + what);
}

static BOOL Refuse(const PortDrive &d, const std::string &what, DWORD error) {
    Log(d, what + " !" + std::to_string(error));
    SetLastError(error);
    return FALSE;
}

static void Event(const std::string &what) {
    if (portEvent) portEvent(what);
}

static UINT WINAPI DriveType(LPCSTR root) {
    for (const PortDrive &d : portDrives)
        if (root[0] == d.letter && strcmp(root + 1, ":\\") == 0) return d.type;
    return DRIVE_NO_ROOT_DIR;
}

static HANDLE WINAPI Open(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                          HANDLE) {
    for (size_t i = 0; i < portDrives.size(); i++) {
        PortDrive &d = portDrives[i];
        if (strlen(name) != 6 || strncmp(name, "\\\\.\\", 4) != 0 || name[4] != d.letter) continue;
        if (d.denied && (access & GENERIC_WRITE)) {
            Refuse(d, "open", ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        Log(d, "open");
        // A real handle, to be closed, of a kind the provider makes none of.
        HANDLE handle = CreateFileA("NUL", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        handles[handle] = i;
        d.opened.push_back(handle);
        return handle;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

static bool ValidCallerName(const UCHAR *name) {
    for (int i = 0; i < CDROM_EXCLUSIVE_CALLER_LENGTH; i++) {
        char c = (char)name[i];
        if (c == 0) return i > 0;
        if (!isalnum((unsigned char)c) && !strchr(" .,:;-_", c)) return false;
    }
    return false;
}

static BOOL ExclusiveAccess(PortDrive &d, HANDLE handle, void *in, void *out, DWORD outSize) {
    const CDROM_EXCLUSIVE_ACCESS *access = (const CDROM_EXCLUSIVE_ACCESS *)in;
    if (d.lock == PORT_LOCK_UNKNOWN) {
        if (access->RequestType == ExclusiveAccessLockDevice) Event("LOCK(unknown)");
        return Refuse(d, "exclusive", ERROR_INVALID_FUNCTION);
    }
    bool locked = d.lock == PORT_LOCK_HELD || d.owner != NULL;
    switch (access->RequestType) {
    case ExclusiveAccessQueryState: {
        if (outSize < sizeof(CDROM_EXCLUSIVE_LOCK_STATE)) return Refuse(d, "query", ERROR_INVALID_PARAMETER);
        CDROM_EXCLUSIVE_LOCK_STATE *state = (CDROM_EXCLUSIVE_LOCK_STATE *)out;
        memset(state, 0, sizeof *state);
        state->LockState = locked;
        const std::string &name = d.owner ? d.ownerName : d.heldBy;
        memcpy(state->CallerName, name.data(), name.size() < 64 ? name.size() : 64);
        Log(d, "query");
        return TRUE;
    }
    case ExclusiveAccessLockDevice: {
        const CDROM_EXCLUSIVE_LOCK *lock = (const CDROM_EXCLUSIVE_LOCK *)in;
        if (!ValidCallerName(lock->CallerName)) {
            Event("LOCK(refused)");
            return Refuse(d, "lock", ERROR_INVALID_PARAMETER);
        }
        if (locked || d.lock == PORT_LOCK_MOUNTED) {
            Event("LOCK(refused)");
            return Refuse(d, "lock", ERROR_ACCESS_DENIED);
        }
        d.owner = handle;
        d.ownerName = (const char *)lock->CallerName;
        Log(d, "lock");
        Event("LOCK");
        return TRUE;
    }
    case ExclusiveAccessUnlockDevice:
        if (d.owner != handle) return Refuse(d, "unlock", ERROR_INVALID_PARAMETER);
        d.owner = NULL;
        Log(d, "unlock");
        Event("UNLOCK");
        return TRUE;
    }
    return Refuse(d, "exclusive", ERROR_INVALID_PARAMETER);
}

// A pass-through: the record is read from the input buffer and written back
// to the output buffer; the drive's answer comes from the fake drives.
static BOOL PassThrough(PortDrive &d, void *in, DWORD inSize, void *out, DWORD outSize) {
    if (inSize < sizeof(SCSI_PASS_THROUGH_DIRECT) || outSize < sizeof(SCSI_PASS_THROUGH_DIRECT))
        return Refuse(d, "pass-through", ERROR_INVALID_PARAMETER);
    SCSI_PASS_THROUGH_DIRECT sptd = *(SCSI_PASS_THROUGH_DIRECT *)in;
    char what[40];
    snprintf(what, sizeof what, "pass-through %02X", sptd.Cdb[0]);
    if (sptd.DataTransferLength != 0 &&
        (((size_t)sptd.DataBuffer & d.alignmentMask) != 0 || sptd.DataTransferLength > d.maxTransfer)) {
        portRefusedBuffers++;
        return Refuse(d, what, ERROR_INVALID_PARAMETER);
    }
    portCommands++;
    Log(d, what);
    if (d.hold) WaitForSingleObject(d.hold, 10000);
    SRB_ExecSCSICmd srb;
    memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = (BYTE)d.ha;
    srb.SRB_Target = (BYTE)d.target;
    srb.SRB_Flags = sptd.DataIn == SCSI_IOCTL_DATA_IN ? SRB_DIR_IN : sptd.DataIn == SCSI_IOCTL_DATA_OUT ? SRB_DIR_OUT
                                                                                                        : 0;
    srb.SRB_BufLen = sptd.DataTransferLength;
    srb.SRB_BufPointer = (BYTE *)sptd.DataBuffer;
    srb.SRB_SenseLen = sptd.SenseInfoLength;
    srb.SRB_CDBLen = sptd.CdbLength;
    memcpy(srb.CDBByte, sptd.Cdb, 16);
    BYTE status = AnswerAsDrive(&srb);
    if (status == SS_PENDING) return Refuse(d, "late", ERROR_SEM_TIMEOUT);
    // An error without a target status is the port's own failure.
    if (status != SS_COMP && (status != SS_ERR || srb.SRB_TargStat == STATUS_GOOD))
        return Refuse(d, "failed", ERROR_IO_DEVICE);
    sptd.ScsiStatus = status == SS_COMP ? STATUS_GOOD : srb.SRB_TargStat;
    if (sptd.ScsiStatus == STATUS_CHKCOND)
        memcpy((BYTE *)out + sptd.SenseInfoOffset, srb.SenseArea,
               sptd.SenseInfoLength < sizeof srb.SenseArea ? sptd.SenseInfoLength : sizeof srb.SenseArea);
    *(SCSI_PASS_THROUGH_DIRECT *)out = sptd;
    return TRUE;
}

static BOOL WINAPI Ioctl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                         DWORD outSize, LPDWORD returned, LPOVERLAPPED) {
    auto found = handles.find(handle);
    if (found == handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    PortDrive &d = portDrives[found->second];
    if (returned) *returned = 0;
    if (code == IOCTL_CDROM_EXCLUSIVE_ACCESS) return ExclusiveAccess(d, handle, in, out, outSize);
    if (d.lock == PORT_LOCK_HELD || (d.owner && d.owner != handle))
        return Refuse(d, "request", ERROR_ACCESS_DENIED);
    switch (code) {
    case IOCTL_SCSI_GET_CAPABILITIES:
        return Refuse(d, "capabilities", ERROR_INVALID_FUNCTION);
    case IOCTL_STORAGE_QUERY_PROPERTY: {
        const STORAGE_PROPERTY_QUERY *query = (const STORAGE_PROPERTY_QUERY *)in;
        if (!d.adapterProperty) return Refuse(d, "property", ERROR_INVALID_FUNCTION);
        if (query->PropertyId != StorageAdapterProperty || query->QueryType != PropertyStandardQuery)
            return Refuse(d, "property", ERROR_INVALID_PARAMETER);
        STORAGE_ADAPTER_DESCRIPTOR adapter;
        memset(&adapter, 0, sizeof adapter);
        adapter.Version = adapter.Size = sizeof adapter;
        adapter.MaximumTransferLength = d.maxTransfer;
        adapter.MaximumPhysicalPages = d.physicalPages;
        adapter.AlignmentMask = d.alignmentMask;
        DWORD n = outSize < sizeof adapter ? outSize : sizeof adapter;
        memcpy(out, &adapter, n);
        *returned = n;
        Log(d, "property");
        return TRUE;
    }
    case IOCTL_SCSI_GET_ADDRESS: {
        SCSI_ADDRESS *address = (SCSI_ADDRESS *)out;
        memset(address, 0, sizeof *address);
        address->Length = sizeof *address;
        address->PortNumber = (UCHAR)(d.ha + 1);
        address->TargetId = (UCHAR)d.target;
        *returned = sizeof *address;
        Log(d, "address");
        return TRUE;
    }
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return PassThrough(d, in, inSize, out, outSize);
    }
    return Refuse(d, "unknown", ERROR_INVALID_FUNCTION);
}

bool StillOpen(HANDLE handle) { return GetFileType(handle) == FILE_TYPE_CHAR; }

static BOOL(WINAPI *systemIoctl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
static UINT(WINAPI *systemDriveType)(LPCSTR);
static HANDLE(WINAPI *systemOpen)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);

void UseWindowsPort(const std::vector<PortDrive> &drives) {
    if (!systemIoctl) {
        systemIoctl = passThroughIoctl;
        systemDriveType = passThroughDriveType;
        systemOpen = passThroughOpen;
    }
    StartPassThrough(NULL, 0);  // the provider of an earlier test is stopped
    handles.clear();            // their handles stay open: old workers may still hold them
    portDrives = drives;
    portLog.clear();
    portCommands = portRefusedBuffers = 0;
    passThroughIoctl = Ioctl;
    passThroughDriveType = DriveType;
    passThroughOpen = Open;
}

void LeaveWindowsPort() {
    StartPassThrough(NULL, 0);
    portEvent = nullptr;
    if (systemIoctl) {
        passThroughIoctl = systemIoctl;
        passThroughDriveType = systemDriveType;
        passThroughOpen = systemOpen;
    }
}
