// The agreement dialog made from the program's own template: every line of
// the agreement fits its band as the dialog draws it, and the choice opens
// exactly when the last line comes into view. Then the text of a drive slot.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>

#include "app/appstate.h"
#include "resources/resource.h"
#include "text/messages.h"
#include "ui/agreement.h"
#include "ui/maindialog.h"

namespace {

// The dialog of the user's language, as the program opens it: Japanese for a
// Japanese user (code page 932), English otherwise.
struct Agreement : ::testing::Test {
    HWND dialog = NULL;
    int last;
    void SetUp() override {
        AppState.primaryLanguage = GetACP() == 932 ? 17 : 9;
        FillMessageTable();
        last = GetACP() == 932 ? 90 : 95;
        agreementTopLine = 0;
        dialog = CreateDialogParamA(GetModuleHandleA(NULL), GetACP() == 932 ? "KYODAKU" : "KYODAKUUS",
                                    NULL, AgreementDialogProc, 0);
        ASSERT_NE(dialog, (HWND)NULL);
    }
    void TearDown() override { DestroyWindow(dialog); }
    void Scroll(int code, int position = 0) {
        SendMessageA(dialog, WM_VSCROLL, MAKEWPARAM(code, position),
                     (LPARAM)GetDlgItem(dialog, IDC_AGREEMENT_SCROLL));
    }
    bool ChoiceOpen() {
        return IsWindowEnabled(GetDlgItem(dialog, IDC_AGREEMENT_ACCEPT)) &&
               IsWindowEnabled(GetDlgItem(dialog, IDC_AGREEMENT_DECLINE));
    }
};

TEST_F(Agreement, EveryLineFitsItsBandInTheFontItIsDrawnWith) {
    HWND area = GetDlgItem(dialog, IDC_AGREEMENT_TEXT);
    RECT band;
    GetClientRect(area, &band);
    HDC dc = GetDC(area);  // no font selected, as when the lines are drawn
    for (int i = 0; i <= last; i++) {
        const char *line = MessageTable.AgreementText + AGREEMENT_SLOT * i;
        SIZE size;
        ASSERT_TRUE(GetTextExtentPoint32A(dc, line, (int)strlen(line), &size));
        EXPECT_LE(size.cx, band.right) << "line " << i << ": " << line;
    }
    ReleaseDC(area, dc);
}

TEST_F(Agreement, ChoiceOpensAtTheStepThatShowsTheLastLine) {
    EXPECT_GT(agreementVisibleLines, 5);
    int steps = last - agreementVisibleLines + 1;
    for (int i = 0; i < steps - 1; i++) Scroll(SB_LINEDOWN);
    EXPECT_FALSE(ChoiceOpen());
    Scroll(SB_LINEDOWN);
    EXPECT_TRUE(ChoiceOpen());
    EXPECT_EQ(agreementTopLine, steps);
    Scroll(SB_LINEDOWN);  // no further than the end
    EXPECT_EQ(agreementTopLine, steps);
    Scroll(SB_THUMBTRACK, 0);
    EXPECT_TRUE(ChoiceOpen());  // never closed again
}

TEST_F(Agreement, PageDownStopsWithTheLastLineAtTheBottom) {
    int end = last - agreementVisibleLines + 1;
    Scroll(SB_THUMBPOSITION, end - agreementVisibleLines - 1);
    Scroll(SB_PAGEDOWN);  // lands one short of the end: stays there
    EXPECT_EQ(agreementTopLine, end - 1);
    EXPECT_FALSE(ChoiceOpen());
    Scroll(SB_PAGEDOWN);  // would pass the end
    EXPECT_EQ(agreementTopLine, end);
    EXPECT_TRUE(ChoiceOpen());
    Scroll(SB_PAGEUP);
    EXPECT_EQ(agreementTopLine, end - agreementVisibleLines);
}

TEST(DriveSlot, RevisionAndFirmwareCodeText) {
    char text[16];
    FormatSlotRevision(text, "1.00", 0, 0x15);
    EXPECT_STREQ(text, "1.00");
    FormatSlotRevision(text, "1.234", 1, 5);
    EXPECT_STREQ(text, "1.23 ( 5)");
    FormatSlotRevision(text, "2.0A", 1, 0xAB);
    EXPECT_STREQ(text, "2.0A (ab)");
}

}  // namespace
