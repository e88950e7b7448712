// The provider over the NT pass-through: the translation between the request
// record and the pass-through record, and the provider's threads against a
// port that a test plays (drive/passthrough.h).
#include <gtest/gtest.h>
#include <string.h>

#include "drive/passthrough.h"

namespace {

SRB_ExecSCSICmd Record(BYTE flags, DWORD length, BYTE *buffer, BYTE ha = 0, BYTE target = 0) {
    SRB_ExecSCSICmd srb = {SC_EXEC_SCSI_CMD, 0, ha, flags, 0, target};
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = 10;
    for (int i = 0; i < 10; i++) srb.CDBByte[i] = (BYTE)(0x3B + i);
    return srb;
}

TEST(PassThrough, RequestBecomesThePassThroughRecord) {
    static BYTE buffer[4096];
    const struct { BYTE flags; DWORD length; BYTE direction; } cases[] = {
        {SRB_DIR_IN | SRB_POSTING, 256, SCSI_IOCTL_DATA_IN},
        {SRB_DIR_OUT, 4096, SCSI_IOCTL_DATA_OUT},
        {0, 0, SCSI_IOCTL_DATA_UNSPECIFIED},
        {SRB_DIR_IN, 0, SCSI_IOCTL_DATA_UNSPECIFIED},
        {SRB_DIR_IN | SRB_DIR_OUT, 32, SCSI_IOCTL_DATA_UNSPECIFIED},
    };
    for (const auto &c : cases) {
        SRB_ExecSCSICmd srb = Record(c.flags, c.length, buffer);
        PassThroughRecord record;
        memset(&record, 0xAA, sizeof record);
        FillPassThrough(&srb, buffer + 8, &record);
        const SCSI_PASS_THROUGH_DIRECT &sptd = record.sptd;
        EXPECT_EQ(sptd.DataIn, c.direction) << (int)c.flags;
        EXPECT_EQ(sptd.DataTransferLength, c.length);
        EXPECT_EQ(sptd.DataBuffer, c.length ? buffer + 8 : nullptr);
        EXPECT_TRUE(sptd.Length == sizeof sptd && sptd.CdbLength == 10 &&
                    memcmp(sptd.Cdb, srb.CDBByte, 16) == 0 && sptd.SenseInfoLength == SENSE_LEN &&
                    (BYTE *)&record + sptd.SenseInfoOffset == record.sense && record.sense[0] == 0);
        EXPECT_GE(sptd.TimeOutValue, 130u);  // the program waits up to 120 s for the last block
    }
}

TEST(PassThrough, AlignedCopyOnlyWhereThePortNeedsIt) {
    alignas(4096) static BYTE page[8192];
    const struct { BYTE *buffer; DWORD length; ULONG mask; int copy; } cases[] = {
        {page, 4096, 4095, 0}, {page + 2, 4096, 4095, 1}, {page + 2, 4096, 1, 0},
        {page + 3, 4096, 1, 1}, {page + 3, 4096, 0, 0},   {page + 3, 0, 4095, 0},
    };
    for (const auto &c : cases) {
        SRB_ExecSCSICmd srb = Record(SRB_DIR_OUT, c.length, c.buffer);
        EXPECT_EQ(NeedsAlignedCopy(&srb, c.mask), c.copy) << c.buffer - page << " " << c.mask;
    }
}

TEST(PassThrough, OutcomeBecomesStatusesAndSense) {
    const struct {
        const char *name;
        BOOL ok;
        DWORD error;
        BYTE scsiStatus, senseLen;
        BYTE status, haStat, targStat, senseCopied;
    } cases[] = {
        {"good", TRUE, 0, STATUS_GOOD, 14, SS_COMP, HASTAT_OK, STATUS_GOOD, 0},
        {"check condition", TRUE, 0, STATUS_CHKCOND, 14, SS_ERR, HASTAT_OK, STATUS_CHKCOND, 14},
        {"check condition, 8 bytes", TRUE, 0, STATUS_CHKCOND, 8, SS_ERR, HASTAT_OK, STATUS_CHKCOND, 8},
        {"busy", TRUE, 0, STATUS_BUSY, 14, SS_ERR, HASTAT_OK, STATUS_BUSY, 0},
        {"failed call", FALSE, ERROR_IO_DEVICE, 0, 14, SS_ERR, HASTAT_SEL_TO, STATUS_GOOD, 0},
        {"time-out", FALSE, ERROR_SEM_TIMEOUT, 0, 14, SS_ERR, HASTAT_COMMAND_TIMEOUT, STATUS_GOOD, 0},
    };
    for (const auto &c : cases) {
        SRB_ExecSCSICmd srb = Record(SRB_DIR_IN, 0, nullptr);
        srb.SRB_SenseLen = c.senseLen;
        srb.SRB_HaStat = srb.SRB_TargStat = 0x55;
        memset(srb.SenseArea, 0xEE, sizeof srb.SenseArea);
        PassThroughRecord record;
        FillPassThrough(&srb, nullptr, &record);
        record.sptd.ScsiStatus = c.scsiStatus;
        for (int i = 0; i < PASS_THROUGH_SENSE; i++) record.sense[i] = (BYTE)(0x70 + i);
        EXPECT_EQ(StoreOutcome(&srb, c.ok, c.error, &record), c.status) << c.name;
        EXPECT_TRUE(srb.SRB_HaStat == c.haStat && srb.SRB_TargStat == c.targStat) << c.name;
        for (int i = 0; i < (int)sizeof srb.SenseArea; i++)
            EXPECT_EQ(srb.SenseArea[i], i < c.senseCopied ? 0x70 + i : 0xEE) << c.name << " " << i;
    }
}

// A port with three drives: 1 and 2 on port 2, path 0, targets 0 and 1; 3
// without an address. Drive 1 holds its command until released; drive 2
// refuses with CHECK CONDITION. The port takes page-aligned buffers only.
HANDLE release;

BOOL WINAPI FakePort(HANDLE handle, DWORD code, LPVOID in, DWORD, LPVOID out, DWORD, LPDWORD,
                     LPOVERLAPPED) {
    size_t drive = (size_t)handle;
    if (code == IOCTL_SCSI_GET_ADDRESS) {
        if (drive == 3) return FALSE;
        ((SCSI_ADDRESS *)out)->PortNumber = 2;
        ((SCSI_ADDRESS *)out)->TargetId = (UCHAR)(drive - 1);
        return TRUE;
    }
    if (code == IOCTL_SCSI_GET_CAPABILITIES) {
        ((IO_SCSI_CAPABILITIES *)out)->AlignmentMask = 4096;  // a size rather than a mask
        return TRUE;
    }
    PassThroughRecord *record = (PassThroughRecord *)out;  // read from the output buffer
    if (code != IOCTL_SCSI_PASS_THROUGH_DIRECT || in != out) return FALSE;
    if (drive == 1) WaitForSingleObject(release, 10000);
    BYTE *data = (BYTE *)record->sptd.DataBuffer;
    if ((size_t)data & 4095) return FALSE;
    memcpy(data, "REPLY", 5);
    record->sptd.ScsiStatus = drive == 2 ? STATUS_CHKCOND : STATUS_GOOD;
    record->sense[12] = 0x24;
    return TRUE;
}

struct Posted {
    SRB_ExecSCSICmd srb;
    HANDLE done;
    DWORD thread;
    BYTE statusInRoutine;
};

void __cdecl PostedDone(SRB_ExecSCSICmd *srb) {
    Posted *posted = (Posted *)srb;
    posted->thread = GetCurrentThreadId();
    posted->statusInRoutine = srb->SRB_Status;
    SetEvent(posted->done);
}

TEST(PassThrough, EachDriveCompletesOnAThreadOfItsOwn) {
    // qemu 7.2 keeps one descriptor table for all threads of a process: the
    // provider's workers, started back to back, take each other's thread
    // segment there and the emulator dies.
    if (GetEnvironmentVariableA("DISCMEND_EMULATED", NULL, 0) != 0)
        GTEST_SKIP() << "provider threads under qemu 7.2's shared descriptor table";
    passThroughIoctl = FakePort;
    release = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE handles[3] = {(HANDLE)1, (HANDLE)2, (HANDLE)3};
    ASSERT_EQ(StartPassThrough(handles, 3), 3u);
    EXPECT_EQ(PassThroughSupportInfo(), (DWORD)SS_COMP << 8 | 2);

    alignas(4096) static BYTE pages[6][4096];  // next to each other: page bit 12 alternates
    const struct { BYTE ha, target, lun, status, targStat, sense; } cases[] = {
        {0, 0, 0, SS_COMP, STATUS_GOOD, 0},  // held until the others have completed
        {0, 1, 0, SS_ERR, STATUS_CHKCOND, 0x24},
        {1, 0, 0, SS_COMP, STATUS_GOOD, 0},
        {0, 5, 0, SS_NO_DEVICE, 0, 0},
        {0, 0, 1, SS_NO_DEVICE, 0, 0},
        {2, 0, 0, SS_INVALID_HA, 0, 0},
    };
    Posted posted[6];
    for (int i = 0; i < 6; i++) {
        posted[i].srb = Record(SRB_DIR_IN | SRB_POSTING, 256, pages[i] + 1, cases[i].ha,
                               cases[i].target);
        posted[i].srb.SRB_Lun = cases[i].lun;
        posted[i].srb.SRB_PostProc = (void *)PostedDone;
        posted[i].done = CreateEventA(NULL, TRUE, FALSE, NULL);
        EXPECT_EQ(PassThroughSendCommand(&posted[i].srb), (DWORD)SS_PENDING);
    }
    EXPECT_EQ(posted[0].srb.SRB_Status, SS_PENDING);
    for (int i = 1; i < 6; i++) ASSERT_EQ(WaitForSingleObject(posted[i].done, 5000), WAIT_OBJECT_0) << i;
    EXPECT_EQ(posted[0].srb.SRB_Status, SS_PENDING);
    SetEvent(release);
    ASSERT_EQ(WaitForSingleObject(posted[0].done, 5000), WAIT_OBJECT_0);
    for (int i = 0; i < 6; i++) {
        const SRB_ExecSCSICmd &srb = posted[i].srb;
        EXPECT_TRUE(srb.SRB_Status == cases[i].status && posted[i].statusInRoutine == srb.SRB_Status &&
                    srb.SRB_TargStat == cases[i].targStat && srb.SenseArea[12] == cases[i].sense)
            << i;
        EXPECT_NE(posted[i].thread, GetCurrentThreadId()) << i;
        int replied = cases[i].status == SS_COMP || cases[i].status == SS_ERR;
        EXPECT_EQ(memcmp(srb.SRB_BufPointer, "REPLY", 5) == 0, replied) << i;
    }
}

}  // namespace
