// Drive discovery against drives that a test describes.
#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "app/appstate.h"
#include "app/msgbox.h"
#include "drive/aspi_layer.h"
#include "drive/commands.h"
#include "drive/discovery.h"
#include "drive/wait.h"
#include "fake_aspi.h"
#include "text/messages.h"

namespace {

struct Device {
    std::string product;
    std::string revision = "1.00";
    bool vendorStatus = false;
    bool neverAnswersVendorStatus = false;
};

std::map<int, Device> devices;  // key: adapter * 8 + target (may exceed the table)
std::vector<std::string> sent;  // "a.t:opcode[/page]"
std::vector<std::string> boxes;

BYTE Execute(SRB_ExecSCSICmd *srb) {
    int key = srb->SRB_HaId * 8 + srb->SRB_Target;
    char entry[32];
    BYTE op = srb->CDBByte[0];
    snprintf(entry, sizeof entry, "%d.%d:%02X%s", srb->SRB_HaId, srb->SRB_Target, op,
             op == 0x12 && (srb->CDBByte[1] & 1) ? "/81" : "");
    sent.push_back(entry);
    auto it = devices.find(key);
    if (it == devices.end()) return SS_NO_DEVICE;
    const Device &d = it->second;
    BYTE *reply = srb->SRB_BufPointer;
    if (op == 0x12 && (srb->CDBByte[1] & 1)) {
        memset(reply, 0, srb->SRB_BufLen);
        memcpy(reply + 32, d.revision.data(), 4);
        return SS_COMP;
    }
    if (op == 0x12) {
        memset(reply, 0, 36);
        memset(reply + 16, ' ', 16);
        memcpy(reply + 16, d.product.data(), d.product.size());
        return SS_COMP;
    }
    if (op == 0xCC) {
        if (d.neverAnswersVendorStatus) return 0;
        if (!d.vendorStatus) {
            srb->SRB_TargStat = 2;
            return SS_ERR;
        }
        memset(reply, 0, 18);
        reply[12] = 0x15;
        reply[13] = 0x21;
        return SS_COMP;
    }
    return SS_COMP;
}

int RecordBox(HWND, const char *text, unsigned) {
    boxes.push_back(text);
    return IDOK;
}


struct Discovery : ::testing::Test {
    FakeAspi fake;
    void SetUp() override {
        InstallFakeAspi(&fake);
        fake.execute = Execute;
        devices.clear();
        sent.clear();
        boxes.clear();
        memset(DriveTable, 0, sizeof DriveTable);
        memset(AppState.modelCounts, 0, sizeof AppState.modelCounts);
        AppState.DeviceError = 0;
        AppState.hostAdapterCount = 1;
        AppState.loaderFile[0] = 0;
        AppState.primaryLanguage = 9;
        FillMessageTable();
        MessageBoxHook = RecordBox;
        currentAdapter = currentTarget = 0xEE;
    }
    void TearDown() override {
        DrainFakeAspi();
        MessageBoxHook = NULL;
    }
    int Count(const std::string &suffix) {
        int n = 0;
        for (auto &s : sent) n += s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
        return n;
    }
};

TEST_F(Discovery, TwoDrivesOfOneModelModeOneThenModeTwo) {
    devices[1] = {"HX-2150RA", "1.01"};
    devices[4] = {"HX-2150RA", "1.04"};
    ASSERT_EQ(DiscoverDrives(1), 1);
    EXPECT_EQ(DriveTable[1].matched, 1u);
    EXPECT_EQ(DriveTable[4].matched, 1u);
    EXPECT_STREQ(DriveTable[1].revision, "1.01");
    EXPECT_STREQ(DriveTable[4].revision, "1.04");
    EXPECT_EQ(AppState.modelCounts[0], 2u);
    EXPECT_EQ(currentTarget, 4);
    EXPECT_EQ(Count(":12"), 8);
    EXPECT_EQ(Count(":CC"), 8);
    EXPECT_EQ(Count(":12/81"), 2);

    ASSERT_EQ(DiscoverDrives(2), 1);
    EXPECT_EQ(currentTarget, 1);
    EXPECT_EQ(AppState.modelCounts[0], 0u);
    // The count is used up: a second mode-2 scan accepts nothing.
    EXPECT_EQ(DiscoverDrives(2), 0);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Discovery, ModeThreeAcceptsAllAndLeavesCounters) {
    devices[2] = {"HX-2350RU"};
    devices[6] = {"HX-2170RA USB"};
    AppState.modelCounts[1] = 5;
    ASSERT_EQ(DiscoverDrives(3), 1);
    EXPECT_EQ(AppState.modelCounts[1], 5u);
    EXPECT_EQ(AppState.modelCounts[2], 0u);
    EXPECT_EQ(currentTarget, 6);
    EXPECT_EQ(DiscoverDrives(4), 0);  // no other mode accepts anything
}

TEST_F(Discovery, ProductIdMustMatchTheWholeModelText) {
    devices[0] = {"HX-2170RA"};      // row 3 compares 13 characters
    devices[1] = {"HX-2150R"};
    devices[2] = {"XHX-2150RA"};
    EXPECT_EQ(DiscoverDrives(1), 0);
    EXPECT_EQ(Count(":12/81"), 0);
    for (DWORD c : AppState.modelCounts) EXPECT_EQ(c, 0u);
}

TEST_F(Discovery, LoaderFileDecidesWhichDrivesTakePart) {
    devices[1] = {"HX-2150RA", "1.00", false};
    devices[3] = {"HX-2170RA USB", "1.00", true};
    ASSERT_EQ(DiscoverDrives(1), 1);
    EXPECT_EQ(DriveTable[1].matched, 1u);
    EXPECT_EQ(DriveTable[3].matched, 0u);

    memset(DriveTable, 0, sizeof DriveTable);
    strcpy(AppState.loaderFile, "ldr.bin");
    ASSERT_EQ(DiscoverDrives(1), 1);
    EXPECT_EQ(DriveTable[1].matched, 0u);
    EXPECT_EQ(DriveTable[3].matched, 1u);
    EXPECT_EQ(currentTarget, 3);
}

TEST_F(Discovery, NoHostAdapterSendsNothing) {
    AppState.hostAdapterCount = 0;
    devices[0] = {"HX-2150RA"};
    EXPECT_EQ(DiscoverDrives(1), 0);
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Discovery, AdaptersBeyondTheTableAreNeverWritten) {
    AppState.hostAdapterCount = 10;
    devices[7 * 8 + 7] = {"HX-2150RA"};
    devices[8 * 8 + 0] = {"HX-2150RA"};  // adapter 8: outside the table
    ASSERT_EQ(DiscoverDrives(1), 1);
    EXPECT_EQ(currentAdapter, 7);
    EXPECT_EQ(AppState.modelCounts[0], 1u);
    for (auto &s : sent) EXPECT_LT(s[0], '8') << s;
}

TEST_F(Discovery, TimeOutStopsTheScanAndTheNextScanAtItsFirstTarget) {
    TickCount = FakeTicks;
    devices[2] = {"HX-2150RA"};
    devices[2].neverAnswersVendorStatus = true;  // times out at target 2
    devices[5] = {"HX-2150RA"};
    EXPECT_EQ(DiscoverDrives(1), 0);
    EXPECT_EQ(AppState.DeviceError, 1u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], MessageTable.MsgUpdateFailed);
    // The drive is still accepted (it did not answer), so the flag is noticed
    // after its revision INQUIRY, and target 5 is never asked.
    EXPECT_EQ(sent.back(), "0.2:12/81");
    EXPECT_EQ(DriveTable[5].matched, 0u);

    sent.clear();
    boxes.clear();
    devices[2].neverAnswersVendorStatus = false;
    EXPECT_EQ(DiscoverDrives(1), 0);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], "0.0:12");
    EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(Discovery, TimeOutOfAPassedOverTargetIsNoticedAtTheNextInquiry) {
    TickCount = FakeTicks;
    devices[2] = {"SCANNER"};
    devices[2].neverAnswersVendorStatus = true;
    devices[5] = {"HX-2150RA"};
    EXPECT_EQ(DiscoverDrives(1), 0);
    EXPECT_EQ(sent.back(), "0.3:12");
    EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(Discovery, TimeOutAtTheLastUnacceptedTargetGoesUnnoticed) {
    TickCount = FakeTicks;
    devices[1] = {"HX-2150RA"};
    devices[7] = {"SCANNER"};
    devices[7].neverAnswersVendorStatus = true;
    EXPECT_EQ(DiscoverDrives(1), 1);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(AppState.DeviceError, 1u);
}

TEST_F(Discovery, FailedInquiryKeepsTheEarlierProductId) {
    devices[3] = {"HX-2150RA"};
    ASSERT_EQ(DiscoverDrives(1), 1);
    devices.erase(3);  // now the target is gone: INQUIRY ends with an error status
    // The slot's old text still matches, but the vendor status filter passes it
    // and the revision INQUIRY fails without touching the old revision.
    EXPECT_EQ(DiscoverDrives(3), 1);
    EXPECT_EQ(currentTarget, 3);
}

}  // namespace
