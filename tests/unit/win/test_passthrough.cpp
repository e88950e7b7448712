// The provider over the NT pass-through: the translation between the request
// record and the pass-through record, the provider's threads against a port
// that a test plays (drive/passthrough.h), and the provider on Windows' own
// storage stack (windows_port.h).
#include <gtest/gtest.h>
#include <string.h>

#include "app/mainwindow.h"
#include "drive/passthrough.h"
#include "fake_aspi.h"
#include "text/messages.h"
#include "windows_port.h"

namespace {

const BYTE kInquiry[6] = {SCSI_INQUIRY, 0, 0, 0, 36, 0};
const BYTE kSecondBlock[10] = {SCSI_WRITE_BUFFER, 6, 0, 0, 0x08, 0, 0, 0x08, 0, 0};

// A request; without a CDB of its own it carries ten bytes counting up.
SRB_ExecSCSICmd Record(BYTE flags, DWORD length, BYTE *buffer, BYTE ha = 0, BYTE target = 0,
                       const BYTE *cdb = nullptr, BYTE cdbLength = 10) {
    SRB_ExecSCSICmd srb = {SC_EXEC_SCSI_CMD, 0, ha, flags, 0, target};
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = cdbLength;
    for (int i = 0; i < cdbLength; i++) srb.CDBByte[i] = cdb ? cdb[i] : (BYTE)(0x3B + i);
    return srb;
}

TEST(PassThrough, RequestBecomesThePassThroughRecord) {
    static BYTE buffer[4096];
    const struct {
        BYTE flags;
        DWORD length;
        BYTE direction;
    } cases[] = {
        {SRB_DIR_IN | SRB_POSTING, 256, SCSI_IOCTL_DATA_IN},
        {SRB_DIR_OUT, 4096, SCSI_IOCTL_DATA_OUT},
        {0, 0, SCSI_IOCTL_DATA_UNSPECIFIED},
        {SRB_DIR_IN, 0, SCSI_IOCTL_DATA_UNSPECIFIED},
        {SRB_DIR_IN | SRB_DIR_OUT, 32, SCSI_IOCTL_DATA_UNSPECIFIED},
    };
    for (const auto &c : cases) {
        SRB_ExecSCSICmd srb = Record(c.flags, c.length, buffer);
        srb.CDBByte[0] = SCSI_WRITE_BUFFER;
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
    // The port gives up a little after the program: a drive that hangs holds
    // its worker no longer than that.
    const struct {
        BYTE op;
        ULONG least, most;
    } waits[] = {
        {SCSI_INQUIRY, 11, 20},
        {SCSI_TEST_UNIT_READY, 11, 20},
        {SCSI_START_STOP_UNIT, 61, 70},
        {VENDOR_STATUS, 61, 70},
        {SCSI_WRITE_BUFFER, 130, 300},
        {VENDOR_DOWNLOAD, 130, 300},
    };
    for (const auto &w : waits)
        EXPECT_TRUE(PortTimeOut(w.op) >= w.least && PortTimeOut(w.op) <= w.most) << std::hex << (int)w.op;
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

// A posted request and what its completion routine saw.
struct Posted {
    SRB_ExecSCSICmd srb;
    HANDLE done;  // set by the routine, when there is one
    DWORD thread;
    BYTE statusInRoutine;
    int calls;
};

void __cdecl PostedDone(SRB_ExecSCSICmd *srb) {
    Posted *posted = (Posted *)srb;
    posted->thread = GetCurrentThreadId();
    posted->statusInRoutine = srb->SRB_Status;
    posted->calls++;
    if (posted->done) SetEvent(posted->done);
}

// Three drives, at 0:0, 0:1 and 1:0: the first holds its command until
// released, the second refuses it with CHECK CONDITION.
TEST(PassThrough, EachDriveCompletesOnAThreadOfItsOwn) {
    ResetFake();
    HANDLE release = CreateEventA(NULL, TRUE, FALSE, NULL);
    std::vector<PortDrive> ports(3);
    for (int i = 0; i < 3; i++) {
        FakeDrive d;
        d.adapter = ports[i].ha = i / 2, d.target = ports[i].target = i % 2;
        ports[i].letter = (char)('D' + i);
        drives.push_back(d);
    }
    ports[0].hold = release;
    fault = [](const Sent &s, SRB_ExecSCSICmd *srb) {
        if (s.ha != 0 || s.tgt != 1) return -1;
        srb->SRB_TargStat = STATUS_CHKCOND, srb->SenseArea[12] = 0x24;
        return (int)SS_ERR;
    };
    UseWindowsPort(ports);
    ASSERT_EQ(OpenPassThroughDrives(), 3u);
    EXPECT_EQ(PassThroughSupportInfo(), (DWORD)SS_COMP << 8 | 2);

    static BYTE buffers[6][256];
    const struct { BYTE ha, target, lun, status, targStat, sense; } cases[] = {
        {0, 0, 0, SS_COMP, STATUS_GOOD, 0},  // held until the others have completed
        {0, 1, 0, SS_ERR, STATUS_CHKCOND, 0x24},
        {1, 0, 0, SS_COMP, STATUS_GOOD, 0},
        {0, 5, 0, SS_NO_DEVICE, 0, 0},
        {0, 0, 1, SS_NO_DEVICE, 0, 0},
        {2, 0, 0, SS_INVALID_HA, 0, 0},
    };
    Posted posted[6] = {};
    for (int i = 0; i < 6; i++) {
        posted[i].srb = Record(SRB_DIR_IN | SRB_POSTING, 36, buffers[i], cases[i].ha, cases[i].target, kInquiry, 6);
        posted[i].srb.SRB_Lun = cases[i].lun;
        posted[i].srb.SRB_PostProc = (void *)PostedDone;
        posted[i].done = CreateEventA(NULL, TRUE, FALSE, NULL);
        EXPECT_EQ(PassThroughSendCommand(&posted[i].srb), (DWORD)SS_PENDING);
    }
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
        EXPECT_EQ(memcmp(buffers[i] + 16, "HX-2150RA", 9) == 0, cases[i].status == SS_COMP) << i;
    }
    fault = nullptr;
    LeaveWindowsPort();
}

// Requests answered at once, without a worker, still end through their
// completion routine, called once after the final status.
TEST(PassThrough, AnswersGivenAtOnceCallTheCompletionRoutine) {
    const struct {
        bool started;
        BYTE command;
        BYTE status;
    } cases[] = {
        {false, SC_EXEC_SCSI_CMD, SS_NO_ADAPTERS},
        {true, 1, SS_INVALID_SRB},
    };
    for (const auto &c : cases) {
        UseWindowsPort({PortDrive()});
        if (c.started) ASSERT_EQ(OpenPassThroughDrives(), 1u);
        Posted once = {Record(SRB_DIR_IN | SRB_POSTING, 0, nullptr), NULL, 0, 0, 0};
        once.srb.SRB_Cmd = c.command;
        once.srb.SRB_PostProc = (void *)PostedDone;
        EXPECT_EQ(PassThroughSendCommand(&once.srb), (DWORD)c.status);
        EXPECT_TRUE(once.srb.SRB_Status == c.status && once.calls == 1 && once.statusInRoutine == c.status)
            << (int)c.status << ": called " << once.calls;
    }
    LeaveWindowsPort();
}

BYTE Await(SRB_ExecSCSICmd &srb) {
    for (int i = 0; i < 5000 && *(volatile BYTE *)&srb.SRB_Status == SS_PENDING; i++) Sleep(1);
    return srb.SRB_Status;
}

// The program's heap buffers at any offset, both ways, against a port that
// refuses what misses its alignment mask (511) or its largest transfer, or
// that does not say what they are.
TEST(PassThrough, OnWindowsEveryBufferReachesThePortAligned) {
    const struct {
        bool property;
        DWORD mask, most;
        int offset;
        BYTE flags;
        DWORD length;
        BYTE status;
    } cases[] = {
        {true, 511, 65536, 0, SRB_DIR_IN, 36, SS_COMP},
        {true, 511, 65536, 8, SRB_DIR_IN, 36, SS_COMP},
        {true, 511, 65536, 1, SRB_DIR_OUT, 4096, SS_COMP},
        {true, 511, 65536, 8, SRB_DIR_OUT, 4096, SS_COMP},
        {false, 4095, 65536, 8, SRB_DIR_OUT, 4096, SS_COMP},      // not said: page alignment holds
        {true, 511, 2048, 8, SRB_DIR_OUT, 4096, SS_INVALID_SRB},  // longer than the port moves: never sent
    };
    alignas(4096) static BYTE pages[2][8192];
    for (const auto &c : cases) {
        ResetFake();
        FakeDrive d;
        drives = {d};
        PortDrive port;
        port.adapterProperty = c.property;
        port.alignmentMask = c.mask;
        port.maxTransfer = c.most;
        UseWindowsPort({port});
        ASSERT_EQ(OpenPassThroughDrives(), 1u);
        BYTE *buffer = pages[0] + c.offset;
        for (DWORD i = 0; i < c.length; i++) buffer[i] = (BYTE)(i * 7);
        bool in = c.flags == SRB_DIR_IN;
        SRB_ExecSCSICmd srb = Record(c.flags, c.length, buffer, 0, 1, in ? kInquiry : kSecondBlock, in ? 6 : 10);
        PassThroughSendCommand(&srb);
        std::string row = std::to_string(c.offset) + (in ? " in " : " out ") + std::to_string(c.most);
        EXPECT_EQ(Await(srb), c.status) << row << ", target status " << (int)srb.SRB_TargStat;
        EXPECT_EQ(portRefusedBuffers, 0) << row;
        EXPECT_EQ(portCommands, c.status == SS_COMP) << row;
        if (c.status == SS_COMP)  // the reply came back; the block reached the drive
            EXPECT_EQ(in ? memcmp(buffer + 16, "HX-2150RA ", 10) : memcmp(assembled.data() + 2048, buffer, 2048), 0) << row;
    }
    LeaveWindowsPort();
}

// Which drive letters are opened at start-up, which are served, and what
// the user is told about the rest.
TEST(PassThrough, OnWindowsStartUpOpensOnlyCdDrivesAndTellsWhatItLeftOut) {
    auto drive = [](char letter, UINT type, bool denied = false, const char *heldBy = nullptr) {
        PortDrive d;
        d.letter = letter, d.type = type, d.denied = denied, d.target = letter - 'A' - 2;
        if (heldBy) d.lock = PORT_LOCK_HELD, d.heldBy = heldBy;
        return d;
    };
    const std::string held =
        "The drive D: is in use by \"Other Burner 2.0\" and is left out.\r\n"
        "Close that program, then start Discmend again.";
    const struct {
        const char *name;
        std::vector<PortDrive> letters;
        unsigned served;
        const char *opened;  // the letters opened, in order
        std::vector<std::string> boxes;
        bool admin;  // NoDeviceMessage asks for an administrator
    } cases[] = {
        {"a fixed disk, a share, a RAM disk and two CD drives",
         {drive('C', DRIVE_FIXED), drive('D', DRIVE_CDROM), drive('E', DRIVE_REMOTE), drive('F', DRIVE_RAMDISK),
          drive('G', DRIVE_REMOVABLE), drive('H', DRIVE_CDROM)},
         2,
         "DH",
         {},
         false},
        {"no administrator", {drive('C', DRIVE_FIXED), drive('D', DRIVE_CDROM, true), drive('E', DRIVE_CDROM, true)}, 0, "", {}, true},
        {"one CD drive refused, one opened", {drive('D', DRIVE_CDROM, true), drive('E', DRIVE_CDROM)}, 1, "E", {}, false},
        {"no CD drive", {drive('C', DRIVE_FIXED)}, 0, "", {}, false},
        {"held by another program", {drive('D', DRIVE_CDROM, false, "Other Burner 2.0"), drive('E', DRIVE_CDROM)}, 1, "DE", {held}, false},
        {"held under a name without its end",
         {drive('D', DRIVE_CDROM, false, std::string(70, 'n').c_str())},
         0,
         "D",
         {"The drive D: is in use by \"" + std::string(63, 'n') + "\" and is left out.\r\n"
                                                                  "Close that program, then start Discmend again."},
         false},
    };
    for (const auto &c : cases) {
        ResetFake();
        UseWindowsPort(c.letters);
        EXPECT_EQ(OpenPassThroughDrives(), c.served) << c.name;
        std::string opened;
        for (const std::string &line : portLog)
            if (line.size() > 2 && line.compare(1, 5, " open") == 0 && line.find('!') == std::string::npos)
                opened += line[0];
        EXPECT_EQ(opened, c.opened) << c.name;
        TellDrivesHeldElsewhere();
        std::vector<std::string> shown;
        for (const Box &b : boxes) shown.push_back(b.text);
        EXPECT_EQ(shown, c.boxes) << c.name;
        EXPECT_EQ(NoDeviceMessage() == MessageTable.MsgRunAsAdmin, c.admin) << c.name;
        for (const PortDrive &d : portDrives) {
            bool isHeld = d.lock == PORT_LOCK_HELD;
            for (HANDLE h : d.opened) EXPECT_EQ(StillOpen(h), !isHeld && c.served > 0) << c.name << " " << d.letter;
            if (isHeld)  // nothing but the query went to a drive another program holds
                for (const std::string &line : portLog)
                    EXPECT_TRUE(line[0] != d.letter || line == "D open" || line == "D query") << c.name << " " << line;
        }
    }
    LeaveWindowsPort();
}

}  // namespace
