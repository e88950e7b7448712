// The provider over the NT pass-through: the translation between the request
// record and the pass-through record, and the provider's threads against a
// port that a test plays (drive/passthrough.h).
#include <gtest/gtest.h>
#include <string.h>

#include "drive/passthrough.h"

namespace {

SRB_ExecSCSICmd Record(BYTE flags, DWORD length, BYTE *buffer, BYTE ha = 0, BYTE target = 0) {
    SRB_ExecSCSICmd srb;
    memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = ha;
    srb.SRB_Target = target;
    srb.SRB_Flags = flags;
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
        EXPECT_EQ(sptd.Length, sizeof sptd);
        EXPECT_EQ(sptd.CdbLength, 10);
        EXPECT_EQ(memcmp(sptd.Cdb, srb.CDBByte, 16), 0);
        EXPECT_EQ(sptd.SenseInfoLength, SENSE_LEN);
        EXPECT_EQ((BYTE *)&record + sptd.SenseInfoOffset, record.sense);
        EXPECT_EQ(record.sense[0], 0);
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
        {"check condition, 8 sense bytes asked", TRUE, 0, STATUS_CHKCOND, 8, SS_ERR, HASTAT_OK,
         STATUS_CHKCOND, 8},
        {"busy", TRUE, 0, STATUS_BUSY, 14, SS_ERR, HASTAT_OK, STATUS_BUSY, 0},
        {"failed call", FALSE, ERROR_IO_DEVICE, 0, 14, SS_ERR, HASTAT_SEL_TO, STATUS_GOOD, 0},
        {"port time-out", FALSE, ERROR_SEM_TIMEOUT, 0, 14, SS_ERR, HASTAT_COMMAND_TIMEOUT,
         STATUS_GOOD, 0},
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
        EXPECT_EQ(srb.SRB_HaStat, c.haStat) << c.name;
        EXPECT_EQ(srb.SRB_TargStat, c.targStat) << c.name;
        for (int i = 0; i < (int)sizeof srb.SenseArea; i++)
            EXPECT_EQ(srb.SenseArea[i], i < c.senseCopied ? 0x70 + i : 0xEE) << c.name << " " << i;
    }
}

}  // namespace
