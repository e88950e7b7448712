// Drive discovery over drives that a test describes.
#include <gtest/gtest.h>
#include <string.h>

#include "app/appstate.h"
#include "drive/discovery.h"
#include "fake_aspi.h"
#include "text/messages.h"

namespace {

struct Discovery : ::testing::Test {
    void SetUp() override {
        ResetFake();
        memset(DriveTable, 0, sizeof DriveTable);
        memset(AppState.modelCounts, 0, sizeof AppState.modelCounts);
        AppState.hostAdapterCount = 1;
        AppState.loaderFile[0] = 0;
        currentAdapter = currentTarget = 0xEE;
    }
    void TearDown() override { DrainFake(); }
    void Add(int target, const char *product, const char *revision = "1.00", bool usb = false) {
        FakeDrive d;
        d.target = target, d.product = product, d.revision = revision, d.usb = usb;
        drives.push_back(d);
    }
};

TEST_F(Discovery, ModesAcceptCountAndFindAgain) {
    Add(1, "HX-2150RA", "1.01");
    Add(4, "HX-2150RA", "1.04");
    Add(7, "HX-2350RU", "1.17");
    drives.back().adapter = 1;  // the last target of the last host adapter
    AppState.hostAdapterCount = 2;
    ASSERT_EQ(DiscoverDrives(1), 1);  // every drive marked, with its revision; the last is current
    EXPECT_EQ(DriveTable[1].matched + DriveTable[4].matched + DriveTable[8 + 7].matched, 3u);
    EXPECT_STREQ(DriveTable[4].revision, "1.04");
    EXPECT_EQ(AppState.modelCounts[0], 2u);
    EXPECT_EQ(AppState.modelCounts[1], 1u);
    EXPECT_EQ(currentAdapter * 8 + currentTarget, 8 + 7);
    EXPECT_EQ(DiscoverDrives(3), 1);  // every drive again, counters untouched
    EXPECT_EQ(AppState.modelCounts[0], 2u);
    AppState.modelCounts[1] = 0;
    ASSERT_EQ(DiscoverDrives(2), 1);  // the first of a counted model, and the count used up
    EXPECT_EQ(currentTarget, 1);
    EXPECT_EQ(AppState.modelCounts[0], 0u);
    EXPECT_EQ(DiscoverDrives(2), 0);
    EXPECT_EQ(DiscoverDrives(4), 0);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Discovery, OnlyWholeModelNamesAndTheRightKindOfDriveCount) {
    Add(0, "HX-2170RA");  // the USB model compares 13 characters
    Add(1, "HX-2150R");
    Add(2, "XHX-2150RA");
    Add(3, "HX-2170RA USB", "1.00", true);
    EXPECT_EQ(DiscoverDrives(1), 0);  // no loader named: vendor status drives stay out
    strcpy(AppState.loaderFile, "ldr.bin");
    EXPECT_EQ(DiscoverDrives(1), 1);
    EXPECT_EQ(currentTarget, 3);
    EXPECT_EQ(AppState.modelCounts[2], 1u);
    EXPECT_EQ(DriveTable[0].matched, 0u);
}

TEST_F(Discovery, NoAdapterAsksNothingAndAdaptersPastTheTableAreNotScanned) {
    AppState.hostAdapterCount = 0;
    Add(0, "HX-2150RA");
    EXPECT_EQ(DiscoverDrives(1), 0);
    EXPECT_TRUE(sent.empty());
    AppState.hostAdapterCount = 10;
    drives[0].adapter = 8;
    EXPECT_EQ(DiscoverDrives(1), 0);
    for (const Sent &s : sent) EXPECT_LT(s.ha, 8);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Discovery, TimeOutStopsTheScanWithAMessageAndStopsTheNextScanAtOnce) {
    Add(2, "HX-2150RA");
    Add(5, "HX-2150RA");
    fault = [](const Sent &s, SRB_ExecSCSICmd *) { return s.Is(VENDOR_STATUS) && s.tgt == 2 ? 0 : -1; };
    EXPECT_EQ(DiscoverDrives(1), 0);
    EXPECT_EQ(AppState.DeviceError, 1u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, MessageTable.MsgUpdateFailed);
    // Noticed after the drive's revision INQUIRY: target 5 is never asked.
    EXPECT_TRUE(sent.back().Is(SCSI_INQUIRY, 1) && sent.back().tgt == 2);
    fault = nullptr;
    sent.clear();
    EXPECT_EQ(DiscoverDrives(1), 0);
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(boxes.size(), 2u);
}

}  // namespace
