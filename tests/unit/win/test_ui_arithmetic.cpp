// The arithmetic of the screens: where a scroll request leaves the agreement
// text, the revision text of a drive slot, the width of the progress fill.
#include <gtest/gtest.h>
#include <windows.h>

#include "ui/agreement.h"
#include "ui/maindialog.h"
#include "ui/progress.h"

namespace {

// The English agreement: lines 0 to 95, twelve lines in view, page of twelve.
const int kMin = 0, kMax = 95, kCount = 12, kPage = 12;
const int kLastTop = kMax - kCount + 1;  // 84: the last line at the bottom

int After(int code, int top, int thumb = 0) {
    return AgreementScrollTop(code, thumb, top, kCount, kMin, kMax, kPage);
}

TEST(AgreementScroll, LineStepsStopAtBothEnds) {
    EXPECT_EQ(After(SB_LINEDOWN, 0), 1);
    EXPECT_EQ(After(SB_LINEDOWN, kLastTop - 1), kLastTop);
    EXPECT_EQ(After(SB_LINEDOWN, kLastTop), kLastTop);
    EXPECT_EQ(After(SB_LINEUP, 1), 0);
    EXPECT_EQ(After(SB_LINEUP, 0), 0);
    EXPECT_EQ(After(SB_LINEUP, kLastTop), kLastTop - 1);
}

TEST(AgreementScroll, StepsDownFromTheTopReachTheEndAfterLastMinusCountPlusOne) {
    int top = 0, steps = 0;
    while (top + kCount - 1 != kMax) {
        top = After(SB_LINEDOWN, top);
        ASSERT_LT(++steps, 200);
    }
    EXPECT_EQ(steps, kMax - kCount + 1);
}

TEST(AgreementScroll, PageDownLandsWhereItLandsUnlessThatPassesTheEnd) {
    EXPECT_EQ(After(SB_PAGEDOWN, 0), kPage);
    EXPECT_EQ(After(SB_PAGEDOWN, kLastTop - kPage), kLastTop);      // lands exactly at the end
    EXPECT_EQ(After(SB_PAGEDOWN, kLastTop - kPage - 1), kLastTop - 1);  // lands before it
    EXPECT_EQ(After(SB_PAGEDOWN, kLastTop - kPage + 1), kLastTop);  // would pass it
    EXPECT_EQ(After(SB_PAGEDOWN, kLastTop), kLastTop);
    int top = 0;
    for (int i = 0; i < 7; i++) top = After(SB_PAGEDOWN, top);
    EXPECT_EQ(top, kLastTop);
}

TEST(AgreementScroll, PageUpStopsAtTheTop) {
    EXPECT_EQ(After(SB_PAGEUP, kLastTop), kLastTop - kPage);
    EXPECT_EQ(After(SB_PAGEUP, kPage), 0);
    EXPECT_EQ(After(SB_PAGEUP, kPage - 1), 0);
    EXPECT_EQ(After(SB_PAGEUP, 0), 0);
}

TEST(AgreementScroll, ThumbGoesWhereItIsDraggedOtherCodesKeepTheTop) {
    EXPECT_EQ(After(SB_THUMBTRACK, 3, kLastTop), kLastTop);
    EXPECT_EQ(After(SB_THUMBPOSITION, kLastTop, 17), 17);
    EXPECT_EQ(After(SB_TOP, 40, 0), 40);
    EXPECT_EQ(After(SB_BOTTOM, 40, 0), 40);
    EXPECT_EQ(After(SB_ENDSCROLL, 40, 0), 40);
}

TEST(AgreementScroll, JapaneseRangeWithAnotherViewHeight) {
    // Lines 0 to 90 with ten in view: the end is at top 81.
    EXPECT_EQ(AgreementScrollTop(SB_PAGEDOWN, 0, 75, 10, 0, 90, 10), 81);
    EXPECT_EQ(AgreementScrollTop(SB_LINEDOWN, 0, 81, 10, 0, 90, 10), 81);
    EXPECT_EQ(AgreementScrollTop(SB_LINEDOWN, 0, 80, 10, 0, 90, 10), 81);
}

TEST(SlotRevision, AtapiDrivesShowTheRevisionAlone) {
    char text[16];
    FormatSlotRevision(text, "1.00", 0, 0x15);
    EXPECT_STREQ(text, "1.00");
    FormatSlotRevision(text, "", 0, 0);
    EXPECT_STREQ(text, "");
}

TEST(SlotRevision, VendorDrivesAddTheFirmwareCodeInLowercaseHex) {
    char text[16];
    FormatSlotRevision(text, "1.00", 1, 5);
    EXPECT_STREQ(text, "1.00 ( 5)");
    FormatSlotRevision(text, "1.10", 1, 0x12);
    EXPECT_STREQ(text, "1.10 (12)");
    FormatSlotRevision(text, "2.0A", 1, 0xAB);
    EXPECT_STREQ(text, "2.0A (ab)");
    FormatSlotRevision(text, "1.00", 1, 0);
    EXPECT_STREQ(text, "1.00 ( 0)");
}

TEST(SlotRevision, AtMostFourCharactersOfTheRevision) {
    char text[16];
    FormatSlotRevision(text, "1.234", 1, 0xFF);
    EXPECT_STREQ(text, "1.23 (ff)");
}

TEST(ProgressFill, MovesInWholePercent) {
    for (DWORD v = 0; v < 10; v++) EXPECT_EQ(ProgressFillWidth(v, 339), 0) << v;
    EXPECT_EQ(ProgressFillWidth(10, 339), 3);    // 1 % of 339
    EXPECT_EQ(ProgressFillWidth(19, 339), 3);
    EXPECT_EQ(ProgressFillWidth(500, 339), 169);
    EXPECT_EQ(ProgressFillWidth(995, 339), 335);  // 99 %, truncated
    EXPECT_EQ(ProgressFillWidth(995, 200), 198);
}

TEST(ProgressFill, FullAtAThousandAndBeyond) {
    EXPECT_EQ(ProgressFillWidth(1000, 339), 339);
    EXPECT_EQ(ProgressFillWidth(1001, 339), 339);
    EXPECT_EQ(ProgressFillWidth(1800, 339), 339);
    EXPECT_EQ(ProgressFillWidth(1000, 0), 0);
}

}  // namespace
