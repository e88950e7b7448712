// The image on the wire: the per-request block transfer of ATAPI drives and
// the polled commands of the USB update, against a fake drive.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "app/appstate.h"
#include "drive/commands.h"
#include "drive/discovery.h"
#include "drive/wait.h"
#include "fake_aspi.h"
#include "tools/fixtures.h"
#include "update/download.h"
#include "update/imagefile.h"

namespace {

struct Transfer : ::testing::Test {
    char path[MAX_PATH];
    std::vector<uint8_t> image = MakeImage(ImageOptions());
    void SetUp() override {
        ResetFake();
        drives.push_back(FakeDrive());
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        snprintf(path, sizeof path, "%sdiscmend-%lu.bin", temp, GetCurrentProcessId());
        ASSERT_TRUE(WriteFileBytes(path, image));
        strcpy(AppState.imageFile, path);
    }
    void TearDown() override {
        DrainFake();
        DeleteFileA(path);
    }
    // (mode, offset) of every WRITE BUFFER sent.
    std::vector<std::pair<int, DWORD>> Blocks() {
        std::vector<std::pair<int, DWORD>> out;
        for (const Sent &s : sent)
            if (s.Is(SCSI_WRITE_BUFFER)) out.push_back({s.cdb[1], s.Offset()});
        return out;
    }
    std::vector<std::pair<int, DWORD>> Expected(unsigned blocks, bool save) {
        std::vector<std::pair<int, DWORD>> out;
        for (unsigned n = 0; n < blocks; n++) out.push_back({6, n * 2048});
        if (save) out.push_back({7, 256 * 2048});
        return out;
    }
};

TEST_F(Transfer, WholeImageGoesOutIn257BlocksAndIsSavedByTheLast) {
    EXPECT_EQ(TransferImage(0, 1), 0u);
    EXPECT_EQ(Blocks(), Expected(256, true));
    const BYTE last[10] = {SCSI_WRITE_BUFFER, 7, 0, 0x08, 0, 0, 0, 0x08, 0, 0};
    EXPECT_EQ(memcmp(sent.back().cdb, last, 10), 0);
    EXPECT_EQ(sent.back().bufLen, 4096u);
    EXPECT_TRUE(assembled == image);
    EXPECT_EQ(progressValue, 1000u);
}

int Busy(SRB_ExecSCSICmd *srb) {
    srb->SRB_TargStat = STATUS_BUSY;
    return SS_ERR;
}

TEST_F(Transfer, BusyBlockIsSentAgainWithTheSameDataTenTimesAtMost) {
    int busyLeft = 2;
    fault = [&busyLeft](const Sent &s, SRB_ExecSCSICmd *srb) {
        return s.Is(SCSI_WRITE_BUFFER) && s.Offset() == 5 * 2048 && busyLeft-- > 0 ? Busy(srb) : -1;
    };
    EXPECT_EQ(TransferImage(0, 1), 0u);
    std::vector<std::pair<int, DWORD>> expected = Expected(256, true);
    expected.insert(expected.begin() + 5, 2, {6, 5 * 2048});
    EXPECT_EQ(Blocks(), expected);
    EXPECT_TRUE(sent[5].data == sent[7].data);
    EXPECT_TRUE(assembled == image);

    ResetFake();
    drives.push_back(FakeDrive());
    fault = [](const Sent &s, SRB_ExecSCSICmd *srb) {
        return s.Is(SCSI_WRITE_BUFFER) && s.Offset() == 5 * 2048 ? Busy(srb) : -1;
    };
    EXPECT_EQ(TransferImage(0, 1), 1u);
    expected = Expected(5, false);
    expected.insert(expected.end(), 10, {6, 5 * 2048});
    EXPECT_EQ(Blocks(), expected);  // still busy after ten: no save
}

TEST_F(Transfer, BlockNotAcceptedEndsTheTransferBeforeTheSave) {
    const struct {
        const char *what;
        int status;
    } cases[] = {{"refused", SS_ERR}, {"timed out", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ResetFake();
        drives.push_back(FakeDrive());
        int status = c.status;
        fault = [status](const Sent &s, SRB_ExecSCSICmd *) {
            return s.Is(SCSI_WRITE_BUFFER) && s.Offset() == 100 * 2048 ? status : -1;
        };
        EXPECT_EQ(TransferImage(0, 1), 1u);
        EXPECT_EQ(Blocks(), Expected(101, false));
    }
}

TEST_F(Transfer, ImageShorterThan257BlocksIsNeverSaved) {
    ASSERT_TRUE(WriteFileBytes(path, std::vector<uint8_t>(image.begin(), image.end() - 100)));
    EXPECT_EQ(TransferImage(0, 1), 1u);
    EXPECT_EQ(Blocks(), Expected(256, false));
}

TEST_F(Transfer, LastBlockWaitsFourHundredTenthsAddingProgressOnlyWhilePending) {
    for (int status : {0, (int)SS_ERR}) {
        SCOPED_TRACE(status);
        ResetFake();
        fault = [status](const Sent &, SRB_ExecSCSICmd *) { return status; };
        DWORD start = TickCount();
        SendLastBlock(0, 1, 7, 256 * 2048, (BYTE *)calloc(1, 4096));
        DWORD waited = TickCount() - start;
        EXPECT_EQ(AppState.DeviceError, 1u);
        EXPECT_GT(waited, 39800u);  // 400 changes of the tenths digit
        EXPECT_LT(waited, 40200u);
        // Two a tick while pending; once the error is in, nothing more.
        if (status == 0)
            EXPECT_EQ(progressValue, 800u);
        else
            EXPECT_LE(progressValue, 2u);
    }
}

struct Polled : Transfer {
    void OpenImage() {
        imageHandle = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(imageHandle, INVALID_HANDLE_VALUE);
        currentAdapter = 0;
        currentTarget = 1;
    }
    void TearDown() override {
        CloseHandle(imageHandle);
        Transfer::TearDown();
    }
};

TEST_F(Polled, BlocksFollowTheFileAndOnlyWholeBlocksAreSent) {
    OpenImage();
    for (unsigned n = 0; n < 256; n++) ASSERT_TRUE(SendBlockPolled(n));
    ASSERT_TRUE(SendLastBlockPolled(256));
    EXPECT_EQ(Blocks(), Expected(256, true));
    EXPECT_TRUE(assembled == image);
    CloseHandle(imageHandle);

    // The file lost its last 100 bytes since the start: the last block is
    // short, so neither it nor the save goes out.
    ASSERT_TRUE(WriteFileBytes(path, std::vector<uint8_t>(image.begin(), image.end() - 100)));
    OpenImage();
    sent.clear();
    for (unsigned n = 0; n < 256; n++) ASSERT_TRUE(SendBlockPolled(n));
    EXPECT_FALSE(SendLastBlockPolled(256));
    EXPECT_EQ(Blocks(), Expected(256, false));
}

TEST_F(Polled, TimedOutRequestKeepsTheCodesAndHoldsBackTheNextCommand) {
    drives[0].usb = true;
    firmwareCode = 0x33;
    fault = [](const Sent &, SRB_ExecSCSICmd *) { return 0; };
    EXPECT_FALSE(ReadVendorStatus());
    EXPECT_EQ(firmwareCode, 0x33);
    fault = nullptr;
    sent.clear();
    EXPECT_FALSE(SendFinish());  // the request is still the manager's
    EXPECT_TRUE(sent.empty());
    SRB_ExecSCSICmd *late = held;
    held = nullptr;
    CompleteLater(late, SS_COMP);
    EXPECT_TRUE(SendFinish());
    EXPECT_TRUE(ReadVendorStatus());
    EXPECT_EQ(firmwareCode, 0x10);
}

}  // namespace
