// The block transfer and the polled download commands against a fake manager.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/appstate.h"
#include "drive/commands.h"
#include "drive/discovery.h"
#include "drive/wait.h"
#include "fake_aspi.h"
#include "tools/fixtures.h"
#include "update/download.h"
#include "update/imagefile.h"
#include "update/revision.h"

namespace {

struct Write {
    BYTE mode;
    DWORD offset;
    DWORD bufLen;
    BYTE cdbLen;
    BYTE flags;
    std::vector<BYTE> data;  // the first 2,048 bytes
};

std::vector<Write> writes;
std::vector<BYTE> assembled;
std::vector<std::vector<BYTE>> cdbs;
int busyFor5 = 0;            // BUSY answers left for block 5
int failOffset = -1;         // this block ends with SS_ERR (not busy)
int hangOffset = -1;         // this block never completes
BYTE lastBlockStatus = SS_COMP;

BYTE Execute(SRB_ExecSCSICmd *srb) {
    cdbs.emplace_back(srb->CDBByte, srb->CDBByte + srb->SRB_CDBLen);
    if (srb->CDBByte[0] != 0x3B) return SS_COMP;
    Write w;
    w.mode = srb->CDBByte[1];
    w.offset = srb->CDBByte[3] << 16 | srb->CDBByte[4] << 8 | srb->CDBByte[5];
    w.bufLen = srb->SRB_BufLen;
    w.cdbLen = srb->SRB_CDBLen;
    w.flags = srb->SRB_Flags;
    w.data.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + 2048);
    writes.push_back(w);
    if ((int)w.offset == hangOffset) return 0;
    if ((int)w.offset == failOffset) return SS_ERR;
    if (w.offset == 5 * 2048u && busyFor5 > 0) {
        busyFor5--;
        srb->SRB_TargStat = STATUS_BUSY;
        return SS_ERR;
    }
    if (w.mode == 7 && lastBlockStatus != SS_COMP) return lastBlockStatus;
    memcpy(&assembled[w.offset], w.data.data(), 2048);
    return SS_COMP;
}


struct Transfer : ::testing::Test {
    FakeAspi fake;
    char dir[MAX_PATH];
    std::vector<uint8_t> image;
    void SetUp() override {
        InstallFakeAspi(&fake);
        fake.execute = Execute;
        writes.clear();
        cdbs.clear();
        assembled.assign(IMAGE_SIZE, 0);
        busyFor5 = 0;
        failOffset = hangOffset = -1;
        lastBlockStatus = SS_COMP;
        AppState.DeviceError = 0;
        AppState.mainDialog = NULL;
        progressValue = 0;
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        snprintf(dir, sizeof dir, "%sdiscmend-dl-%lu.bin", temp, GetTickCount());
        image = MakeImage(ImageOptions());
        ASSERT_TRUE(WriteFileBytes(dir, image));
        strcpy(AppState.imageFile, dir);
    }
    void TearDown() override {
        DrainFakeAspi();
        DeleteFileA(dir);
    }
};

TEST_F(Transfer, SendsTheWholeImageIn257Blocks) {
    EXPECT_EQ(TransferImage(1, 2), 0u);
    ASSERT_EQ(writes.size(), 257u);
    for (unsigned n = 0; n < 257; n++) {
        SCOPED_TRACE(n);
        EXPECT_EQ(writes[n].mode, n < 256 ? 6 : 7);
        EXPECT_EQ(writes[n].offset, n * 2048);
        EXPECT_EQ(writes[n].bufLen, 4096u);
        EXPECT_EQ(writes[n].cdbLen, 10);
        EXPECT_EQ(writes[n].flags, SRB_DIR_OUT);
    }
    const BYTE first[10] = {0x3B, 6, 0, 0, 0, 0, 0, 8, 0, 0};
    const BYTE last[10] = {0x3B, 7, 0, 8, 0, 0, 0, 8, 0, 0};
    EXPECT_EQ(memcmp(cdbs.front().data(), first, 10), 0);
    EXPECT_EQ(memcmp(cdbs.back().data(), last, 10), 0);
    EXPECT_TRUE(assembled == image);
    EXPECT_EQ(progressValue, 1000u);
}

TEST_F(Transfer, BusyBlockIsSentAgainWithTheSameData) {
    busyFor5 = 2;
    EXPECT_EQ(TransferImage(0, 0), 0u);
    ASSERT_EQ(writes.size(), 259u);
    EXPECT_EQ(writes[5].offset, 5 * 2048u);
    EXPECT_EQ(writes[6].offset, 5 * 2048u);
    EXPECT_EQ(writes[7].offset, 5 * 2048u);
    EXPECT_TRUE(writes[5].data == writes[7].data);
    EXPECT_EQ(writes[8].offset, 6 * 2048u);
    EXPECT_TRUE(assembled == image);
}

TEST_F(Transfer, ProgressGrowsOncePerBlockWhateverTheRetries) {
    busyFor5 = 3;
    fake.execute = [](SRB_ExecSCSICmd *srb) {
        BYTE status = Execute(srb);
        DWORD offset = srb->CDBByte[3] << 16 | srb->CDBByte[4] << 8 | srb->CDBByte[5];
        if (offset == 6 * 2048u) EXPECT_EQ(progressValue, 6u);  // blocks 0..5 counted once each
        return status;
    };
    EXPECT_EQ(TransferImage(0, 0), 0u);
}

TEST_F(Transfer, StillBusyAfterTenAttemptsStopsBeforeTheSave) {
    busyFor5 = 10;
    EXPECT_EQ(TransferImage(0, 0), 1u);
    EXPECT_EQ(writes.size(), 5u + 10u);
    for (auto &w : writes) EXPECT_EQ(w.mode, 6);
}

TEST_F(Transfer, FailedBlockStopsBeforeTheSave) {
    failOffset = 100 * 2048;
    EXPECT_EQ(TransferImage(0, 0), 1u);
    EXPECT_EQ(writes.size(), 101u);
    EXPECT_EQ(writes.back().mode, 6);
}

TEST_F(Transfer, TimedOutBlockStopsBeforeTheSave) {
    TickCount = FakeTicks;
    hangOffset = 7 * 2048;
    EXPECT_EQ(TransferImage(0, 0), 1u);
    EXPECT_EQ(AppState.DeviceError, 1u);
    EXPECT_EQ(writes.size(), 8u);
}

TEST_F(Transfer, ShortImageIsNeverSavedIncomplete) {
    std::vector<uint8_t> cut(image.begin(), image.begin() + 200 * 2048 + 100);
    ASSERT_TRUE(WriteFileBytes(dir, cut));
    EXPECT_EQ(TransferImage(0, 0), 1u);
    EXPECT_EQ(writes.size(), 200u);
    strcpy(AppState.imageFile, "no-such-image.bin");
    writes.clear();
    AppState.DeviceError = 0;
    EXPECT_EQ(TransferImage(0, 0), 1u);
    EXPECT_TRUE(writes.empty());
}

TEST_F(Transfer, LastBlockEndingWithAnErrorWaits400TicksWithoutProgressThenFails) {
    TickCount = FakeTicks;
    fakeTickStep = 100;  // every reading changes the tenths digit
    lastBlockStatus = SS_ERR;
    EXPECT_EQ(TransferImage(0, 0), 1u);
    EXPECT_EQ(writes.size(), 257u);
    // The ticks counted while the status was still pending add 2 each; once
    // SS_ERR is there nothing more is added; the transfer then sets 1,000.
    EXPECT_EQ(progressValue, 1000u);
    EXPECT_EQ(AppState.DeviceError, 1u);
}

TEST_F(Transfer, PendingLastBlockCountsProgressTwoPerTick) {
    TickCount = FakeTicks;
    fakeTickStep = 100;  // every reading changes the tenths digit
    hangOffset = 256 * 2048;
    progressValue = 0;
    SendLastBlock(0, 0, 7, 256 * 2048, (BYTE *)calloc(1, 4096));
    EXPECT_EQ(AppState.DeviceError, 1u);
    EXPECT_EQ(progressValue, 800u);  // 400 ticks, 2 each
}

// The polled family.
struct Polled : Transfer {
    void SetUp() override {
        Transfer::SetUp();
        currentAdapter = 1;
        currentTarget = 3;
        imageHandle = CreateFileA(dir, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(imageHandle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        CloseHandle(imageHandle);
        Transfer::TearDown();
    }
};

TEST_F(Polled, BlocksFollowTheFilePositionAndUseTwelveByteCdbs) {
    for (unsigned n = 0; n < 256; n++) ASSERT_TRUE(SendBlockPolled(n));
    ASSERT_TRUE(SendLastBlockPolled(256));
    ASSERT_EQ(writes.size(), 257u);
    EXPECT_EQ(writes[3].cdbLen, 12);
    EXPECT_EQ(writes[3].bufLen, 2048u);
    EXPECT_EQ(writes.back().mode, 7);
    EXPECT_EQ(DownloadRequest.SRB_HaId, 1);
    EXPECT_EQ(DownloadRequest.SRB_Target, 3);
    EXPECT_TRUE(assembled == image);
    EXPECT_FALSE(SendBlockPolled(257));  // the file is at its end: nothing sent
    EXPECT_EQ(writes.size(), 257u);
}

TEST_F(Polled, FinishStatusAndLoaderCommands) {
    ASSERT_TRUE(SendFinish());
    const BYTE finish[12] = {0xCD, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(cdbs.back().data(), finish, 12), 0);
    EXPECT_EQ(DownloadRequest.SRB_Flags, 0);
    EXPECT_EQ(DownloadRequest.SRB_BufLen, 0u);

    fake.execute = [](SRB_ExecSCSICmd *srb) {
        srb->SRB_BufPointer[12] = 0x15;
        srb->SRB_BufPointer[13] = 0x21;
        return (BYTE)SS_COMP;
    };
    ASSERT_TRUE(ReadVendorStatus());
    EXPECT_EQ(firmwareCode, 0x15);
    EXPECT_EQ(modelCode, 0x21);
    EXPECT_EQ(DownloadRequest.SRB_BufLen, 18u);

    LoaderOptions opts;
    opts.bodyLength = 300;
    std::vector<uint8_t> file = MakeLoader(opts);
    memcpy(TransferBuffer, file.data(), file.size() < TRANSFER_BUFFER_SIZE ? file.size() : TRANSFER_BUFFER_SIZE);
    std::vector<BYTE> sentBody;
    fake.execute = [&sentBody](SRB_ExecSCSICmd *srb) {
        sentBody.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + srb->SRB_BufLen);
        return (BYTE)SS_COMP;
    };
    ASSERT_TRUE(SendLoader());
    const BYTE loader[12] = {0xCD, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x2C, 0, 0};
    EXPECT_EQ(memcmp(DownloadRequest.CDBByte, loader, 12), 0);
    EXPECT_TRUE(sentBody == std::vector<BYTE>(file.begin() + 64, file.begin() + 364));
}

TEST_F(Polled, LoaderOfLengthZeroSendsNoData) {
    memset(TransferBuffer, 0, 64);
    ASSERT_TRUE(SendLoader());
    EXPECT_EQ(DownloadRequest.SRB_BufLen, 0u);
}

TEST_F(Polled, TimedOutStatusKeepsTheCodesAndBlocksTheNextCommand) {
    TickCount = FakeTicks;
    firmwareCode = 0x33;
    modelCode = 0x44;
    fake.execute = [](SRB_ExecSCSICmd *) { return (BYTE)0; };
    EXPECT_FALSE(ReadVendorStatus());
    EXPECT_EQ(firmwareCode, 0x33);
    EXPECT_EQ(modelCode, 0x44);
    // 20 s in 190-ms pauses: 106 pauses, one progress step each.
    EXPECT_EQ(progressValue, 106u);
    // The request is still the manager's: no new command is built on it.
    size_t sent = cdbs.size();
    EXPECT_FALSE(SendFinish());
    EXPECT_EQ(cdbs.size(), sent);
    // Once it has ended, the next command goes out.
    CompleteHeldLater(fake.held, SS_COMP);
    fake.execute = Execute;
    EXPECT_TRUE(SendFinish());
}

TEST_F(Polled, RefusedCommandsAnswerFalse) {
    fake.execute = [](SRB_ExecSCSICmd *) { return (BYTE)SS_ERR; };
    EXPECT_FALSE(SendFinish());
    EXPECT_FALSE(SendBlockPolled(0));
    EXPECT_EQ(AppState.DeviceError, 0u);  // the polled family leaves it alone
}

TEST(Revision, TextualOrderOfTheDriveAgainstTheTarget) {
    AppState.selectedAdapter = 2;
    AppState.selectedTarget = 5;
    DriveSlot *slot = SlotOf(2, 5);
    struct Case {
        const char *drive, *target;
        int expected;
    } cases[] = {
        {"1.00", "1.10", RevisionOlder}, {"1.10", "1.10", RevisionEqual},
        {"1.20", "1.10", RevisionNewer}, {"1.9", "1.10", RevisionNewer},
        {"1.1", "1.10", RevisionOlder},  {"", "1.10", RevisionOlder},
        {"", "", RevisionEqual},         {"\xB0", "1.10", RevisionNewer},  // unsigned bytes
    };
    for (const Case &c : cases) {
        strcpy(slot->revision, c.drive);
        EXPECT_EQ(CheckRevision("9.99", "0.00", c.target), c.expected) << c.drive << " vs " << c.target;
    }
}

}  // namespace
