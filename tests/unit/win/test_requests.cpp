// The request layer with completion routines that really run on the
// manager's thread: what the waiter and the routine guarantee each other.
#include <gtest/gtest.h>
#include <string.h>

#include "app/appstate.h"
#include "drive/aspi_layer.h"
#include "drive/commands.h"
#include "drive/discovery.h"
#include "drive/wait.h"
#include "fake_aspi.h"

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
    static const BYTE cdb[6] = {0x12, 0, 0, 0, 0x20, 0};
    EXPECT_EQ(SubmitPosted(NewRequest(0, 7, SRB_DIR_IN | SRB_POSTING, 256, cdb, 6, SlowRoutine),
                           10000), 1);
    EXPECT_STREQ(DriveTable[7].productId, "STORED");
    EXPECT_EQ(AppState.DeviceError, 0u);
}

TEST_F(Requests, TestUnitReadyTellsWhetherADiscIsReady) {
    const struct { BYTE key, asc, status; DWORD notReady; } cases[] = {
        {0, 0, SS_COMP, 0}, {6, 0x28, SS_ERR, 0}, {6, 0x3A, SS_ERR, 1}, {2, 0x04, SS_ERR, 1},
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

}  // namespace
