// Unit tests of the message table: language choice, byte-exact texts in both
// languages, WarningText and the slot layout of AgreementText.
// Japanese expectations are Shift-JIS (code page 932) written as hex escapes.
#include <gtest/gtest.h>

#include <string.h>
#include <set>
#include <string>
#include <vector>

#include "app/appstate.h"
#include "text/messages.h"

namespace {

const WORD kJapanese = 17;
const WORD kEnglish = 9;

// Fills the table for a language, starting from a table full of garbage so
// that anything FillMessageTable fails to clear shows up.
void FillFor(WORD primary, WORD sublanguage = 1)
{
    memset(&MessageTable, 0xAA, sizeof MessageTable);
    AppState.primaryLanguage = primary;
    AppState.messageLanguage = (WORD)(primary | (sublanguage << 10));
    FillMessageTable();
}

std::string Text(const char *s) { return std::string(s); }

struct EntryRef {
    const char *name;
    const char *value;
    size_t capacity;
    const char *source;
};

#define ENTRY(field) { #field, MessageTable.field, sizeof MessageTable.field, set.field }

std::vector<EntryRef> Entries(const MessageTextSet &set)
{
    return {
        ENTRY(MsgAlreadyUpdated), ENTRY(MsgMayTakeMinutes), ENTRY(MsgRestartNow),
        ENTRY(MsgUpdateFailed), ENTRY(MsgCloseApps), ENTRY(MsgNoDevice), ENTRY(MsgWrongFile),
        ENTRY(MsgInvalidData), ENTRY(MsgReadError), ENTRY(MsgAccessError), ENTRY(MsgBadSize),
        ENTRY(MsgNoDataFile), ENTRY(MsgUpdateFailedDma), ENTRY(MsgTakeDiscOut),
        ENTRY(WarnNoAbort), ENTRY(WarnCloseApps), ENTRY(WarnRemoveDisc), ENTRY(WarnPowerOff),
        ENTRY(LabelAccept), ENTRY(LabelDecline),
    };
}

#undef ENTRY

// Checks that s is Shift-JIS made of printable ASCII, CR LF, and double-byte
// characters (lead 0x81-0x9F or 0xE0-0xFC, then a trail byte 0x40-0x7E or
// 0x80-0xFC). Answers an empty string or the reason it is not.
std::string ShiftJisProblem(const char *s, bool allowCrLf)
{
    const unsigned char *p = (const unsigned char *)s;
    for (size_t i = 0; p[i] != 0; i++) {
        unsigned char c = p[i];
        if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
            unsigned char t = p[i + 1];
            if (!((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC)))
                return "bad trail byte at " + std::to_string(i + 1);
            i++;
        } else if (c >= 0x20 && c <= 0x7E) {
            continue;
        } else if (allowCrLf && (c == '\r' || c == '\n')) {
            continue;
        } else {
            return "unexpected byte at " + std::to_string(i);
        }
    }
    return "";
}

bool HasDoubleByte(const char *s)
{
    for (const unsigned char *p = (const unsigned char *)s; *p; p++)
        if (*p >= 0x81)
            return true;
    return false;
}

const char *Slot(int i) { return MessageTable.AgreementText + AGREEMENT_SLOT * i; }

// Shift-JIS of texts that the checks below look for.
const char kSjisAlreadyUpdated[] =  // 既に更新されています。
    "\x8a\xf9\x82\xc9\x8d\x58\x90\x56\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81\x42";
const char kSjisMaker[] = "\x83\x78\x83\x8b\x83\x52\x83\x54";  // ベルコサ

}  // namespace

// ---------------------------------------------------------------------------
// Language choice

TEST(MessageLanguage, JapaneseForPrimary17WhateverTheSublanguage)
{
    for (WORD sub : {0, 1, 2, 0x3F}) {
        SCOPED_TRACE(sub);
        FillFor(kJapanese, sub);
        EXPECT_EQ(Text(kSjisAlreadyUpdated), Text(MessageTable.MsgAlreadyUpdated));
        EXPECT_TRUE(HasDoubleByte(Slot(0)));
        EXPECT_TRUE(HasDoubleByte(MessageTable.WarningText));
    }
}

TEST(MessageLanguage, EnglishForEveryOtherPrimaryLanguage)
{
    // 9 English, 7 German, 0 neutral, and the neighbours of 17.
    for (WORD primary : {9, 7, 0, 16, 18, 0x3FF}) {
        SCOPED_TRACE(primary);
        FillFor(primary);
        EXPECT_EQ("The drive has already been updated.", Text(MessageTable.MsgAlreadyUpdated));
        EXPECT_EQ("This program updates the firmware of VELKOSA", Text(Slot(0)));
        EXPECT_FALSE(HasDoubleByte(MessageTable.WarningText));
        EXPECT_EQ("Accept", Text(MessageTable.LabelAccept));
    }
}

TEST(MessageLanguage, UpdateTextFollowsTheLanguageAtThePointOfUse)
{
    FillFor(kEnglish);
    AppState.primaryLanguage = kJapanese;  // table not refilled
    EXPECT_EQ(Text(JapaneseTexts.updateTexts[TxtModelNotProper]), Text(UpdateText(TxtModelNotProper)));
    EXPECT_TRUE(HasDoubleByte(UpdateText(TxtLoadSucceeded)));
    AppState.primaryLanguage = 7;
    EXPECT_EQ("Error: Model is not proper!!", Text(UpdateText(TxtModelNotProper)));
    EXPECT_EQ("", Text(UpdateText((UpdateTextId)UPDATE_TEXT_COUNT)));
}

// ---------------------------------------------------------------------------
// Byte-exact entries

TEST(MessageEntries, EnglishTexts)
{
    FillFor(kEnglish);
    const MessageTableRecord &t = MessageTable;
    EXPECT_EQ("You must restart your computer to take effect all the changes.\r\n"
              "Dou you want to restart your computer now?", Text(t.MsgRestartNow));
    EXPECT_EQ("Failed to update the firmware. Turn the power off PC,\r\n"
              "turn the power on PC and try it again.\r\n"
              "If you enable DMA mode, please disable it and try to update again.",
              Text(t.MsgUpdateFailedDma));
    EXPECT_EQ("Error: Couldn't read data.", Text(t.MsgReadError));
    EXPECT_EQ("-Take CD off the VELKOSA USB CD-R/RW drive before starting the operation.\r\n",
              Text(t.WarnRemoveDisc));
    EXPECT_EQ("-Your computer will be ready to be turned off or will be turned off after "
              "updating the firmware. Turn on the computer after that again.", Text(t.WarnPowerOff));
    EXPECT_EQ("Do not Accept", Text(t.LabelDecline));

    EXPECT_EQ("Error: Check Sum is not correct!!\r\n       The data file may be damaged.",
              Text(UpdateText(TxtChecksumWrong)));
    EXPECT_EQ("Error: Fale to update F/W. Please try again?", Text(UpdateText(TxtFailedTryAgain)));
    EXPECT_EQ("-DO NOT turn the power off the USB drive during updating.\r\n",
              Text(UpdateText(TxtUsbPowerLine)));
    EXPECT_EQ("Succeed to load F/W!!", Text(UpdateText(TxtLoadSucceeded)));
}

TEST(MessageEntries, JapaneseTextsAreWindowsShiftJis)
{
    FillFor(kJapanese);
    const MessageTableRecord &t = MessageTable;
    EXPECT_EQ(Text(kSjisAlreadyUpdated), Text(t.MsgAlreadyUpdated));
    // ＣＤをトレイから取り出してください。 (full-width C and D)
    EXPECT_EQ("\x82\x62\x82\x63\x82\xf0\x83\x67\x83\x8c\x83\x43\x82\xa9\x82\xe7\x8e\xe6\x82\xe8"
              "\x8f\x6f\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81\x42",
              Text(t.MsgTakeDiscOut));
    // ファームウエアのアップデートが正常に終了しませんでした。CR LF 一旦、ＰＣの電源を切り、...
    EXPECT_EQ("\x83\x74\x83\x40\x81\x5b\x83\x80\x83\x45\x83\x47\x83\x41\x82\xcc\x83\x41\x83\x62"
              "\x83\x76\x83\x66\x81\x5b\x83\x67\x82\xaa\x90\xb3\x8f\xed\x82\xc9\x8f\x49\x97\xb9"
              "\x82\xb5\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd\x81\x42\r\n"
              "\x88\xea\x92\x55\x81\x41\x82\x6f\x82\x62\x82\xcc\x93\x64\x8c\xb9\x82\xf0\x90\xd8"
              "\x82\xe8\x81\x41\x97\xa7\x82\xbf\x8f\xe3\x82\xb0\x92\xbc\x82\xb5\x82\xbd\x8c\xe3"
              "\x81\x41\x8d\xc4\x93\x78\x83\x76\x83\x8d\x83\x4f\x83\x89\x83\x80\x82\xf0\x8e\xc0"
              "\x8d\x73\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81\x42",
              Text(t.MsgUpdateFailed));
    // －決して実行途中でプログラムを中止したり、コンピュータの電源を切らないで下さい。CR LF
    EXPECT_EQ("\x81\x7c\x8c\x88\x82\xb5\x82\xc4\x8e\xc0\x8d\x73\x93\x72\x92\x86\x82\xc5\x83\x76"
              "\x83\x8d\x83\x4f\x83\x89\x83\x80\x82\xf0\x92\x86\x8e\x7e\x82\xb5\x82\xbd\x82\xe8"
              "\x81\x41\x83\x52\x83\x93\x83\x73\x83\x85\x81\x5b\x83\x5e\x82\xcc\x93\x64\x8c\xb9"
              "\x82\xf0\x90\xd8\x82\xe7\x82\xc8\x82\xa2\x82\xc5\x89\xba\x82\xb3\x82\xa2\x81\x42\r\n",
              Text(t.WarnNoAbort));
    // －操作を始める前に、ベルコサ製ＵＳＢ　ＣＤ－Ｒ／ＲＷドライブからＣＤを取り出してください。CR LF
    EXPECT_EQ("\x81\x7c\x91\x80\x8d\xec\x82\xf0\x8e\x6e\x82\xdf\x82\xe9\x91\x4f\x82\xc9\x81\x41"
              "\x83\x78\x83\x8b\x83\x52\x83\x54\x90\xbb\x82\x74\x82\x72\x82\x61\x81\x40\x82\x62"
              "\x82\x63\x81\x7c\x82\x71\x81\x5e\x82\x71\x82\x76\x83\x68\x83\x89\x83\x43\x83\x75"
              "\x82\xa9\x82\xe7\x82\x62\x82\x63\x82\xf0\x8e\xe6\x82\xe8\x8f\x6f\x82\xb5\x82\xc4"
              "\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81\x42\r\n",
              Text(t.WarnRemoveDisc));
    EXPECT_EQ("\x8b\x96\x91\xf8\x82\xb7\x82\xe9", Text(t.LabelAccept));       // 許諾する
    EXPECT_EQ("\x8b\x96\x91\xf8\x82\xb5\x82\xc8\x82\xa2", Text(t.LabelDecline));  // 許諾しない

    // Every warning line opens with the full-width minus 0x81 0x7C.
    for (const char *w : {t.WarnNoAbort, t.WarnCloseApps, t.WarnRemoveDisc, t.WarnPowerOff})
        EXPECT_EQ("\x81\x7c", Text(w).substr(0, 2));
}

TEST(MessageEntries, JapaneseUpdateTexts)
{
    FillFor(kJapanese);
    // エラー：チェックサムが正しくありません。CR LF, four blanks, そのデータファイルは、...
    EXPECT_EQ("\x83\x47\x83\x89\x81\x5b\x81\x46\x83\x60\x83\x46\x83\x62\x83\x4e\x83\x54\x83\x80"
              "\x82\xaa\x90\xb3\x82\xb5\x82\xad\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42\r\n"
              "    \x82\xbb\x82\xcc\x83\x66\x81\x5b\x83\x5e\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcd"
              "\x81\x41\x89\xf3\x82\xea\x82\xc4\x82\xa2\x82\xe9\x89\xc2\x94\x5c\x90\xab\x82\xaa"
              "\x82\xa0\x82\xe8\x82\xdc\x82\xb7\x81\x42",
              Text(UpdateText(TxtChecksumWrong)));
    // －決して実行途中で、USBドライブの電源を切らないで下さい。CR LF (half-width USB)
    EXPECT_EQ("\x81\x7c\x8c\x88\x82\xb5\x82\xc4\x8e\xc0\x8d\x73\x93\x72\x92\x86\x82\xc5\x81\x41"
              "USB\x83\x68\x83\x89\x83\x43\x83\x75\x82\xcc\x93\x64\x8c\xb9\x82\xf0\x90\xd8\x82\xe7"
              "\x82\xc8\x82\xa2\x82\xc5\x89\xba\x82\xb3\x82\xa2\x81\x42\r\n",
              Text(UpdateText(TxtUsbPowerLine)));
    // エラー：コマンドを送る事が出来ません。 for both refusals
    const char refused[] =
        "\x83\x47\x83\x89\x81\x5b\x81\x46\x83\x52\x83\x7d\x83\x93\x83\x68\x82\xf0\x91\x97\x82\xe9"
        "\x8e\x96\x82\xaa\x8f\x6f\x97\x88\x82\xdc\x82\xb9\x82\xf1\x81\x42";
    EXPECT_EQ(Text(refused), Text(UpdateText(TxtLoaderRefused)));
    EXPECT_EQ(Text(refused), Text(UpdateText(TxtDownloadRefused)));

    for (int id = 0; id < UPDATE_TEXT_COUNT; id++) {
        SCOPED_TRACE(id);
        const char *s = UpdateText((UpdateTextId)id);
        EXPECT_TRUE(HasDoubleByte(s));
        EXPECT_EQ("", ShiftJisProblem(s, true));
    }
}

TEST(MessageEntries, EveryEntryCopiedWholeWithRoomToSpare)
{
    for (WORD primary : {kEnglish, kJapanese}) {
        SCOPED_TRACE(primary);
        FillFor(primary);
        const MessageTextSet &set = primary == kJapanese ? JapaneseTexts : EnglishTexts;
        for (const EntryRef &e : Entries(set)) {
            SCOPED_TRACE(e.name);
            EXPECT_GT(strlen(e.value), 0u);
            EXPECT_EQ(Text(e.source), Text(e.value));
            EXPECT_LT(strlen(e.source) + 1, e.capacity);
            if (primary == kJapanese) {
                EXPECT_EQ("", ShiftJisProblem(e.value, true));
            }
        }
        // The longest texts still leave a good margin.
        EXPECT_LT(strlen(MessageTable.MsgUpdateFailedDma), 250u);
        EXPECT_LT(strlen(MessageTable.WarningText), 600u);
    }
}

// ---------------------------------------------------------------------------
// WarningText

TEST(MessageWarningText, FourLinesJoinedInOrder)
{
    for (WORD primary : {kEnglish, kJapanese}) {
        SCOPED_TRACE(primary);
        FillFor(primary);
        const MessageTableRecord &t = MessageTable;
        std::string w = t.WarningText;
        EXPECT_EQ(Text(t.WarnNoAbort) + t.WarnCloseApps + t.WarnRemoveDisc + t.WarnPowerOff, w);

        // Exactly three CR LF, no stray CR or LF, no break at the end.
        std::vector<std::string> lines;
        size_t start = 0, pos;
        while ((pos = w.find("\r\n", start)) != std::string::npos) {
            lines.push_back(w.substr(start, pos - start));
            start = pos + 2;
        }
        lines.push_back(w.substr(start));
        ASSERT_EQ(4u, lines.size());
        for (const std::string &line : lines) {
            EXPECT_FALSE(line.empty());
            EXPECT_EQ(std::string::npos, line.find_first_of("\r\n"));
        }
        EXPECT_EQ(Text(t.WarnPowerOff), lines[3]);
        EXPECT_NE('\n', w.back());
        EXPECT_NE('\r', w.back());
    }
}

// ---------------------------------------------------------------------------
// AgreementText layout

namespace {

struct AgreementLayout {
    WORD primary;
    int lines;
    std::set<int> spacers;
    size_t maxLength;
    std::vector<int> sectionStarts;  // spacers followed by sections 1. to 5.
};

const AgreementLayout kEnglishLayout = {
    kEnglish, 96, {5, 11, 13, 28, 38, 53, 64, 85, 93}, 49, {28, 38, 53, 64, 85}};
const AgreementLayout kJapaneseLayout = {
    kJapanese, 91, {5, 11, 13, 28, 40, 52, 61, 78, 87, 88}, 39, {28, 40, 52, 61, 78}};

void CheckLayout(const AgreementLayout &l)
{
    FillFor(l.primary);
    for (int i = 0; i < AGREEMENT_SLOTS; i++) {
        SCOPED_TRACE("slot " + std::to_string(i));
        const char *s = Slot(i);
        size_t n = strnlen(s, AGREEMENT_SLOT);
        ASSERT_LT(n, (size_t)AGREEMENT_SLOT);
        for (size_t k = n; k < (size_t)AGREEMENT_SLOT; k++)
            ASSERT_EQ(0, s[k]) << "byte " << k;
        if (i >= l.lines) {
            EXPECT_EQ(0u, n);
            continue;
        }
        EXPECT_LE(n, l.maxLength);
        if (l.spacers.count(i)) {
            EXPECT_EQ(" ", Text(s));
        } else {
            EXPECT_GT(n, 0u);
            EXPECT_NE(std::string::npos, Text(s).find_first_not_of(' ')) << "blank line";
        }
        if (l.primary == kJapanese) {
            EXPECT_EQ("", ShiftJisProblem(s, false));
        } else {
            EXPECT_FALSE(HasDoubleByte(s));
        }
    }
}

}  // namespace

TEST(MessageAgreementText, EnglishSlots)
{
    CheckLayout(kEnglishLayout);
}

TEST(MessageAgreementText, JapaneseSlots)
{
    CheckLayout(kJapaneseLayout);
}

TEST(MessageAgreementText, SectionsStartAfterSpacers)
{
    for (const AgreementLayout *l : {&kEnglishLayout, &kJapaneseLayout}) {
        SCOPED_TRACE(l->primary);
        FillFor(l->primary);
        for (size_t k = 0; k < l->sectionStarts.size(); k++) {
            std::string heading = std::to_string(k + 1) + ". ";
            EXPECT_EQ(heading, Text(Slot(l->sectionStarts[k] + 1)).substr(0, 3));
        }
        // Items 5.1 to 5.3 follow in order inside the warning section.
        int item = 1;
        int warningEnd = *l->spacers.rbegin();
        while (l->spacers.count(warningEnd - 1))
            warningEnd--;
        for (int i = l->sectionStarts.back() + 2; i < warningEnd; i++)
            if (Text(Slot(i)).compare(0, 4, "5." + std::to_string(item) + " ") == 0)
                item++;
        EXPECT_EQ(4, item);
        // The opening paragraph names the maker.
        std::string opening;
        for (int i = 0; i < 5; i++)
            opening += Slot(i);
        EXPECT_NE(std::string::npos,
                  opening.find(l->primary == kJapanese ? kSjisMaker : "VELKOSA"));
    }
}

TEST(MessageAgreementText, RefillAfterLanguageChangeLeavesNothingStale)
{
    FillFor(kEnglish);
    MessageTableRecord english;
    memcpy(&english, &MessageTable, sizeof english);
    FillFor(kJapanese);
    MessageTableRecord japanese;
    memcpy(&japanese, &MessageTable, sizeof japanese);

    // English to Japanese: the longer English lines and slots 91..95 must go.
    memset(&MessageTable, 0, sizeof MessageTable);
    AppState.primaryLanguage = kEnglish;
    FillMessageTable();
    AppState.primaryLanguage = kJapanese;
    FillMessageTable();
    EXPECT_EQ(0, memcmp(japanese.AgreementText, MessageTable.AgreementText, sizeof japanese.AgreementText));
    EXPECT_EQ(Text(japanese.WarningText), Text(MessageTable.WarningText));

    AppState.primaryLanguage = kEnglish;
    FillMessageTable();
    EXPECT_EQ(0, memcmp(english.AgreementText, MessageTable.AgreementText, sizeof english.AgreementText));
    EXPECT_EQ(Text(english.WarningText), Text(MessageTable.WarningText));
}
