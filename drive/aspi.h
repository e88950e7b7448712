// ASPI for Win32: the request record and the constants the program uses.
// Shared by the program and by the simulated ASPI manager in sim/.
#pragma once
#include "app/platform.h"
#include <stddef.h>

enum {
    SC_EXEC_SCSI_CMD = 0x02,

    SS_PENDING = 0x00,
    SS_COMP = 0x01,
    SS_ABORTED = 0x02,
    SS_ERR = 0x04,
    SS_INVALID_HA = 0x81,
    SS_NO_DEVICE = 0x82,
    SS_NO_ADAPTERS = 0xE8,
    SS_INVALID_SRB = 0xE0,

    HASTAT_OK = 0x00,
    HASTAT_COMMAND_TIMEOUT = 0x0B,
    HASTAT_SEL_TO = 0x11,
    HASTAT_DO_DU = 0x12,  // data over-run or under-run

    SRB_POSTING = 0x01,
    SRB_DIR_IN = 0x08,
    SRB_DIR_OUT = 0x10,

    SENSE_LEN = 14,

    STATUS_GOOD = 0x00,
    STATUS_CHKCOND = 0x02,
    STATUS_BUSY = 0x08,
};

// The SCSI operation codes the program sends, and the maker's two vendor
// commands.
enum {
    SCSI_TEST_UNIT_READY = 0x00,
    SCSI_INQUIRY = 0x12,
    SCSI_START_STOP_UNIT = 0x1B,
    SCSI_WRITE_BUFFER = 0x3B,
    VENDOR_STATUS = 0xCC,    // firmware and model codes; a drive that answers is USB-attached
    VENDOR_DOWNLOAD = 0xCD,  // CDB byte 1 FF: the image is finished; 00: the loader follows
};

#pragma pack(push, 1)
struct SRB_ExecSCSICmd {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    WORD SRB_Rsvd1;
    DWORD SRB_BufLen;
    BYTE *SRB_BufPointer;
    BYTE SRB_SenseLen;
    BYTE SRB_CDBLen;
    BYTE SRB_HaStat;
    BYTE SRB_TargStat;
    void *SRB_PostProc;  // void (*)(SRB_ExecSCSICmd *), called once after completion
    BYTE SRB_Rsvd2[20];
    BYTE CDBByte[16];
    BYTE SenseArea[SENSE_LEN + 2];
};
#pragma pack(pop)

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SRB_ExecSCSICmd) == 80, "SRB_ExecSCSICmd is 80 bytes on the target");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16, "layout");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24, "layout");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 48, "layout");
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64, "layout");
#endif

typedef DWORD(__cdecl *GetASPI32SupportInfoFn)(void);
typedef DWORD(__cdecl *SendASPI32CommandFn)(void *srb);
typedef void(__cdecl *PostProcFn)(SRB_ExecSCSICmd *srb);
