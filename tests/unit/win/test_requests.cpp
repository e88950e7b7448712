// The request layer with completions that really run on another thread.
#include <gtest/gtest.h>
#include <string.h>

#include "app/appstate.h"
#include "drive/aspi_layer.h"
#include "drive/commands.h"
#include "drive/discovery.h"
#include "drive/wait.h"
#include "fake_aspi.h"

namespace {

// Standard INQUIRY reply with a product identification at bytes 16..31.
BYTE InquiryReply(SRB_ExecSCSICmd *srb, const char *product) {
    memset(srb->SRB_BufPointer, 0, srb->SRB_BufLen);
    memset(srb->SRB_BufPointer + 16, ' ', 16);
    memcpy(srb->SRB_BufPointer + 16, product, strlen(product));
    return SS_COMP;
}

volatile DWORD fastNow;
DWORD StillTicks() { return fastNow; }

struct Requests : ::testing::Test {
    FakeAspi fake;
    LONG liveBefore = 0;
    void SetUp() override {
        InstallFakeAspi(&fake);
        memset(DriveTable, 0, sizeof DriveTable);
        AppState.DeviceError = 0;
        liveBefore = liveRequests;
    }
    void TearDown() override { DrainFakeAspi(); }
};

TEST_F(Requests, WaitEndsOnlyAfterTheCompletionRoutineHasStored) {
    // The status turns final 200 ms before the routine runs: a wait on the
    // bare status byte would return with nothing stored.
    fake.delayBeforePost = 200;
    fake.execute = [](SRB_ExecSCSICmd *srb) { return InquiryReply(srb, "HX-2150RA"); };
    ASSERT_EQ(Inquire(0, 3), 1);
    EXPECT_STREQ(DriveTable[3].productId, "HX-2150RA    ");
    EXPECT_NE(fake.postThread, GetCurrentThreadId());
    EXPECT_EQ(AppState.DeviceError, 0u);
    DrainFakeAspi();
    EXPECT_EQ(liveRequests, liveBefore);  // released once both were done
}

TEST_F(Requests, ProductIdKeepsThirteenCharactersAndRevisionFour) {
    fake.execute = [](SRB_ExecSCSICmd *srb) -> BYTE {
        if (srb->CDBByte[1] & 1) {  // EVPD: the revision page
            EXPECT_EQ(srb->CDBByte[2], 0x81);
            EXPECT_EQ(srb->SRB_BufLen, 255u);
            memset(srb->SRB_BufPointer, 0, 255);
            memcpy(srb->SRB_BufPointer + 32, "1.23X", 5);
            return SS_COMP;
        }
        EXPECT_EQ(srb->SRB_BufLen, 256u);
        return InquiryReply(srb, "HX-2170RA USB");
    };
    ASSERT_EQ(Inquire(1, 2), 1);
    ASSERT_EQ(InquireRevision(1, 2), 1);
    EXPECT_STREQ(DriveTable[10].productId, "HX-2170RA USB");
    EXPECT_STREQ(DriveTable[10].revision, "1.23");
}

TEST_F(Requests, ErrorStatusStoresNothingAndIsNoFailure) {
    strcpy(DriveTable[5].productId, "OLD TEXT");
    fake.execute = [](SRB_ExecSCSICmd *srb) {
        InquiryReply(srb, "HX-2150RA");
        return (BYTE)SS_ERR;
    };
    EXPECT_EQ(Inquire(0, 5), 1);
    EXPECT_STREQ(DriveTable[5].productId, "OLD TEXT");
    fake.execute = [](SRB_ExecSCSICmd *) { return (BYTE)SS_NO_DEVICE; };
    EXPECT_EQ(Inquire(0, 5), 1);
    EXPECT_STREQ(DriveTable[5].productId, "OLD TEXT");
    EXPECT_EQ(AppState.DeviceError, 0u);
}

TEST_F(Requests, TimeOutSetsDeviceErrorAndALateCompletionReleasesTheRecord) {
    TickCount = FakeTicks;
    fake.execute = [](SRB_ExecSCSICmd *srb) {
        InquiryReply(srb, "HX-2150RA");
        return (BYTE)0;  // completes only after the waiter gave up
    };
    EXPECT_EQ(Inquire(0, 1), 0);
    EXPECT_EQ(AppState.DeviceError, 1u);
    DrainFakeAspi();
    EXPECT_EQ(liveRequests, liveBefore + 1);  // still the service's to write into
    ASSERT_NE(fake.held, nullptr);
    CompleteHeldLater(fake.held, SS_COMP);
    EXPECT_EQ(liveRequests, liveBefore);
    EXPECT_STREQ(DriveTable[1].productId, "");  // a late completion stores nothing
}

TEST_F(Requests, DeviceErrorStaysSetAcrossLaterSuccesses) {
    TickCount = FakeTicks;
    fake.execute = [](SRB_ExecSCSICmd *) { return (BYTE)0; };  // never completes
    EXPECT_EQ(QueryVendorStatus(0, 0), 0);
    EXPECT_EQ(AppState.DeviceError, 1u);
    fake.execute = [](SRB_ExecSCSICmd *srb) { return InquiryReply(srb, "HX-2150RA"); };
    EXPECT_EQ(Inquire(0, 0), 1);
    EXPECT_EQ(AppState.DeviceError, 1u);
}

void __cdecl SlowRoutine(SRB_ExecSCSICmd *srb) {
    if (ClaimRequest(srb)) {
        fastNow += 100000;  // the waiter's deadline passes while we store
        Sleep(100);
        strcpy(DriveTable[7].productId, "STORED");
    }
    CompleteRequest(srb);
}

TEST_F(Requests, DeadlinePassingWhileTheRoutineStoresStillCountsAsCompleted) {
    TickCount = StillTicks;  // time stands still until the routine moves it
    fake.execute = [](SRB_ExecSCSICmd *) { return (BYTE)SS_COMP; };
    static const BYTE cdb[6] = {0x12, 0, 0, 0, 0x20, 0};
    DriveRequest *request = NewRequest(0, 7, SRB_DIR_IN | SRB_POSTING, 256, cdb, 6, SlowRoutine);
    EXPECT_EQ(SubmitPosted(request, 10000), 1);
    EXPECT_STREQ(DriveTable[7].productId, "STORED");
    EXPECT_EQ(AppState.DeviceError, 0u);
}

TEST_F(Requests, RecordsAreFilledAsTheServiceExpects) {
    SRB_ExecSCSICmd seen[5];
    int n = 0;
    fake.execute = [&](SRB_ExecSCSICmd *srb) {
        seen[n++] = *srb;
        return (BYTE)SS_COMP;
    };
    Inquire(2, 6);
    InquireRevision(2, 6);
    TestUnitReady(2, 6);
    EjectMedium(2, 6);
    RequestVendorStatus(2, 6);
    ASSERT_EQ(n, 5);
    const BYTE cdbs[5][12] = {{0x12, 0, 0, 0, 0x20, 0},
                              {0x12, 1, 0x81, 0, 0xFF, 0},
                              {0, 0, 0, 0, 0, 0},
                              {0x1B, 0, 0, 0, 2, 0},
                              {0xCC, 0, 1, 0, 0, 0, 0, 0, 0, 0x12, 0, 0}};
    const BYTE lengths[5] = {6, 6, 6, 6, 12};
    const BYTE flags[5] = {9, 9, 8, 9, 9};
    const DWORD buffers[5] = {256, 255, 32, 32, 256};
    for (int i = 0; i < 5; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].SRB_Cmd, SC_EXEC_SCSI_CMD);
        EXPECT_EQ(seen[i].SRB_HaId, 2);
        EXPECT_EQ(seen[i].SRB_Target, 6);
        EXPECT_EQ(seen[i].SRB_Lun, 0);
        EXPECT_EQ(seen[i].SRB_Flags, flags[i]);
        EXPECT_EQ(seen[i].SRB_SenseLen, SENSE_LEN);
        EXPECT_EQ(seen[i].SRB_CDBLen, lengths[i]);
        EXPECT_EQ(seen[i].SRB_BufLen, buffers[i]);
        EXPECT_EQ(memcmp(seen[i].CDBByte, cdbs[i], 12), 0);
        EXPECT_EQ(seen[i].SRB_PostProc == NULL, flags[i] == 8);
        for (BYTE b : seen[i].SenseArea) EXPECT_EQ(b, 0);
    }
}

TEST_F(Requests, TestUnitReadyClassifiesTheSense) {
    struct Case {
        BYTE key, asc, status;
        DWORD notReady;
    } cases[] = {
        {0, 0, SS_COMP, 0},       // disc loaded and ready
        {6, 0x28, SS_ERR, 0},     // unit attention, medium may have changed
        {6, 0x3A, SS_ERR, 1},     // medium not present
        {2, 0x04, SS_ERR, 1},     // not ready, any ASC
        {2, 0x00, SS_COMP, 1},    // the key counts whatever the status
    };
    for (const Case &c : cases) {
        fake.execute = [c](SRB_ExecSCSICmd *srb) {
            srb->SenseArea[2] = (BYTE)(0xF0 | c.key);
            srb->SenseArea[12] = c.asc;
            srb->SRB_TargStat = c.status == SS_COMP ? 0 : 2;
            return c.status;
        };
        EXPECT_EQ(TestUnitReady(0, 0), c.asc);
        EXPECT_EQ(DriveNotReady, c.notReady) << int(c.key) << " " << int(c.asc);
    }
    EXPECT_EQ(liveRequests, liveBefore);
}

TEST_F(Requests, TestUnitReadyTimeOutLeavesTheRecordToTheService) {
    TickCount = FakeTicks;
    DriveNotReady = 1;
    fake.execute = [](SRB_ExecSCSICmd *) { return (BYTE)0; };
    EXPECT_EQ(TestUnitReady(0, 0), 0);
    EXPECT_EQ(DriveNotReady, 0u);
    EXPECT_EQ(AppState.DeviceError, 1u);
    EXPECT_EQ(liveRequests, liveBefore + 1);
}

TEST_F(Requests, VendorStatusNeedsGoodTargetStatus) {
    firmwareCode = 0x11;
    modelCode = 0x22;
    fake.execute = [](SRB_ExecSCSICmd *srb) {
        srb->SRB_BufPointer[12] = 0x15;
        srb->SRB_BufPointer[13] = 0x21;
        srb->SRB_TargStat = 2;
        return (BYTE)SS_COMP;
    };
    EXPECT_EQ(QueryVendorStatus(0, 0), 0);
    EXPECT_EQ(firmwareCode, 0x11);
    EXPECT_EQ(modelCode, 0x22);
    fake.execute = [](SRB_ExecSCSICmd *srb) {
        srb->SRB_BufPointer[12] = 0x15;
        srb->SRB_BufPointer[13] = 0x21;
        srb->SRB_TargStat = 0;
        return (BYTE)SS_COMP;
    };
    EXPECT_EQ(QueryVendorStatus(0, 0), 1);
    EXPECT_EQ(firmwareCode, 0x15);
    EXPECT_EQ(modelCode, 0x21);
}

TEST_F(Requests, ManyRequestsInARowLeakNothing) {
    fake.execute = [](SRB_ExecSCSICmd *srb) {
        return srb->CDBByte[0] == 0xCC ? (BYTE)SS_ERR : InquiryReply(srb, "X");
    };
    for (int i = 0; i < 500; i++) {
        ASSERT_EQ(Inquire((BYTE)(i % 8), (BYTE)(i / 8 % 8)), 1);
        ASSERT_EQ(QueryVendorStatus(0, 0), 0);
    }
    DrainFakeAspi();
    EXPECT_EQ(liveRequests, liveBefore);
}

}  // namespace
