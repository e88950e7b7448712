// Where the CD drives reached through the NT pass-through appear as ASPI
// addresses (host adapter, target; LUN 0).
#pragma once
#include "app/platform.h"

// What IOCTL_SCSI_GET_ADDRESS reported for one drive letter.
struct DriveAddress {
    BYTE known;  // 0 when the drive did not answer
    BYTE port, path, target, lun;
};

struct DrivePlace {
    BYTE adapter, target;
};

// Places count drives, given in drive letter order. Drives with a known
// address at LUN 0 and target 0-7 get one host adapter per distinct (port,
// path), in ascending order, and their own target id. Every other drive, and
// a drive whose place the same address already took, follows on extra host
// adapters after those, at targets 0 to 7 in letter order. Answers the number
// of host adapters; count is at most 26.
unsigned PlaceDrives(const DriveAddress *drives, unsigned count, DrivePlace *places);
