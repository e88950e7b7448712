// The request layer with completion routines that really run on the
// manager's thread: what the waiter and the routine guarantee each other.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>

#include "app/appstate.h"
#include "drive/aspi_layer.h"
#include "drive/commands.h"
#include "drive/discovery.h"
#include "drive/wait.h"
#include "fake_aspi.h"
#include "update/download.h"
#include "update/imagefile.h"

namespace {

BYTE InquiryReply(SRB_ExecSCSICmd *srb) {
    memset(srb->SRB_BufPointer, 0, srb->SRB_BufLen);
    memcpy(srb->SRB_BufPointer + 16, "HX-2150RA       ", 16);
    return SS_COMP;
}

struct Requests : ::testing::Test {
    LONG liveBefore;
    void SetUp() override {
        ResetFake();
        memset(DriveTable, 0, sizeof DriveTable);
        liveBefore = liveRequests;
    }
    void TearDown() override { DrainFake(); }
};

TEST_F(Requests, WaitEndsOnlyAfterTheCompletionRoutineHasStored) {
    // The status turns final 200 ms before the routine runs: a wait on the
    // bare status would come back with nothing stored.
    delayBeforePost = 200;
    execute = InquiryReply;
    TickCount = [] { return GetTickCount(); };
    ASSERT_EQ(Inquire(0, 3), 1);
    EXPECT_STREQ(DriveTable[3].productId, "HX-2150RA    ");
    EXPECT_EQ(AppState.DeviceError, 0u);
    DrainFake();
    EXPECT_EQ(liveRequests, liveBefore);  // both blocks released, once
}

TEST_F(Requests, LateCompletionAfterATimeOutStoresNothingAndReleasesTheRequest) {
    execute = [](SRB_ExecSCSICmd *srb) {
        InquiryReply(srb);
        return (BYTE)0;  // completes only after the waiter gave up
    };
    EXPECT_EQ(Inquire(0, 1), 0);
    EXPECT_EQ(AppState.DeviceError, 1u);
    DrainFake();
    EXPECT_EQ(liveRequests, liveBefore + 1);  // still the manager's to write into
    SRB_ExecSCSICmd *late = held;
    held = nullptr;
    CompleteLater(late, SS_COMP);
    EXPECT_EQ(liveRequests, liveBefore);
    EXPECT_STREQ(DriveTable[1].productId, "");
}

volatile DWORD stillNow;
DWORD StillTicks() { return stillNow; }

void __cdecl SlowRoutine(SRB_ExecSCSICmd *srb) {
    if (ClaimRequest(srb)) {
        stillNow += 100000;  // the waiter's deadline passes while this stores
        Sleep(100);
        strcpy(DriveTable[7].productId, "STORED");
    }
    CompleteRequest(srb);
}

TEST_F(Requests, DeadlinePassingWhileTheRoutineStoresCountsAsCompleted) {
    TickCount = StillTicks;
    execute = [](SRB_ExecSCSICmd *) { return (BYTE)SS_COMP; };
    static const BYTE cdb[6] = {SCSI_INQUIRY, 0, 0, 0, 0x20, 0};
    EXPECT_EQ(SubmitPosted(NewRequest(0, 7, SRB_DIR_IN | SRB_POSTING, 256, cdb, 6, SlowRoutine),
                           10000),
              1);
    EXPECT_STREQ(DriveTable[7].productId, "STORED");
    EXPECT_EQ(AppState.DeviceError, 0u);
}

TEST_F(Requests, TestUnitReadyTellsWhetherADiscIsReady) {
    const struct {
        BYTE key, asc, status;
        DWORD notReady;
    } cases[] = {
        {0, 0, SS_COMP, 0},
        {6, 0x28, SS_ERR, 0},
        {6, 0x3A, SS_ERR, 1},
        {2, 0x04, SS_ERR, 1},
    };
    for (const auto &c : cases) {
        execute = [c](SRB_ExecSCSICmd *srb) {
            srb->SenseArea[2] = (BYTE)(0xF0 | c.key);
            srb->SenseArea[12] = c.asc;
            return c.status;
        };
        EXPECT_EQ(TestUnitReady(0, 0), c.asc);
        EXPECT_EQ(DriveNotReady, c.notReady) << int(c.key) << " " << int(c.asc);
    }
    EXPECT_EQ(liveRequests, liveBefore);
}

TEST_F(Requests, VendorStatusCountsOnlyWithGoodTargetStatus) {
    for (BYTE target : {STATUS_CHKCOND, STATUS_GOOD}) {
        firmwareCode = modelCode = 0;
        execute = [target](SRB_ExecSCSICmd *srb) {
            srb->SRB_BufPointer[12] = 0x15;
            srb->SRB_BufPointer[13] = 0x21;
            srb->SRB_TargStat = target;
            return (BYTE)SS_COMP;
        };
        EXPECT_EQ(QueryVendorStatus(0, 0), target == STATUS_GOOD);
        EXPECT_EQ(firmwareCode, target == STATUS_GOOD ? 0x15 : 0);
    }
}

void FromTheTop() { SetFilePointer(imageHandle, 0, NULL, FILE_BEGIN); }

// Every request the drive commands build, whole, and how long each waits for one that never
// completes: one wait of its time-out, or pauses of DelayMs (taken again here to count them).
TEST_F(Requests, EachCommandBuildsItsRequestAndGivesUpInItsTime) {
    char path[MAX_PATH];  // any file of two blocks or more stands in for the image
    GetModuleFileNameA(NULL, path, sizeof path);
    imageHandle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    const struct {
        const char *what;
        std::function<void()> send;
        const char *brief;
        DWORD timeout, pauses, pause;
    } cases[] = {
        {"Inquire", [] { Inquire(2, 5); }, "09 256 120000002000", 10000, 0, 0},
        {"InquireRevision", [] { InquireRevision(2, 5); }, "09 255 12018100FF00", 10000, 0, 0},
        {"TestUnitReady", [] { TestUnitReady(2, 5); }, "08 32 000000000000", 10000, 0, 0},
        {"EjectMedium", [] { EjectMedium(2, 5); }, "09 32 1B0000000200", 60000, 0, 0},
        {"RequestVendorStatus", [] { RequestVendorStatus(2, 5); }, "09 256 CC0001000000000000120000", 60000, 0, 0},
        {"SendBlock", [] { SendBlock(2, 5, 6, 3 * 2048, (BYTE *)calloc(1, 4096)); }, "10 4096 3B060000180000080000", 60000, 0, 0},
        {"SendBlockPolled", [] { FromTheTop(), SendBlockPolled(3); }, "10 2048 3B0600001800000800000000", 0, 1000, 10},
        {"SendLastBlockPolled", [] { FromTheTop(), SendLastBlockPolled(256); }, "10 2048 3B0700080000000800000000", 0, 211, 190},
        {"SendFinish", [] { SendFinish(); }, "00 0 CDFF00000000000000000000", 0, 106, 190},
        {"ReadVendorStatus", [] { ReadVendorStatus(); }, "08 18 CC0001000000000000120000", 0, 106, 190},
        {"SendLoader", [] { TransferBuffer[62] = 0x10, SendLoader(); }, "10 4096 CD0000000000000010000000", 0, 106, 190},
    };
    static const BYTE zeros[16] = {0};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ResetFake();
        fault = [](const Sent &, SRB_ExecSCSICmd *) { return 0; };
        currentAdapter = 2, currentTarget = 5;
        memset(TransferBuffer, 0, 64);
        DWORD start = TickCount();
        c.send();
        DWORD waited = TickCount() - start;  // the manager is done: the ticks stand still while it works
        ASSERT_EQ(sent.size(), 1u);
        const Sent &s = sent[0];
        char brief[64];  // flags, buffer length and the CDB's first SRB_CDBLen bytes
        int n = snprintf(brief, sizeof brief, "%02X %lu ", s.flags, s.bufLen);
        for (int i = 0; i < s.cdbLen && i < 16; i++) n += snprintf(brief + n, sizeof brief - n, "%02X", s.cdb[i]);
        EXPECT_STREQ(brief, c.brief);
        EXPECT_TRUE(s.ha == 2 && s.tgt == 5 && s.lun == 0 && s.senseLen == 14 && s.cdbLen <= 16 &&
                    !memcmp(s.cdb + s.cdbLen, zeros, 16 - s.cdbLen) && s.posted == ((s.flags & SRB_POSTING) != 0));
        DWORD expected = c.timeout, pausedFrom = TickCount();
        for (DWORD i = 0; i < c.pauses; i++) DelayMs(c.pause);
        if (c.pauses) expected = TickCount() - pausedFrom;
        EXPECT_NEAR((double)waited, (double)expected, 5);
        EXPECT_EQ(progressValue, c.pause == 190 ? c.pauses : 0);  // a step a 190-ms pause
    }
    CloseHandle(imageHandle);
}

}  // namespace
