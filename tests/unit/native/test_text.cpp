// The message table as the user reads it: the Japanese texts byte for byte
// in Shift-JIS, and the agreement's layout in both languages.
#include <gtest/gtest.h>
#include <iconv.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/appstate.h"
#include "text/messages.h"

namespace {

// The expected Japanese texts, written here in UTF-8 and converted to code
// page 932 by the C library: an expectation made apart from the program's
// own Shift-JIS sources.
std::string Sjis(const std::string &utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    char out[1024];
    char *in = (char *)utf8.data(), *to = out;
    size_t inLeft = utf8.size(), outLeft = sizeof out;
    EXPECT_NE(iconv(cd, &in, &inLeft, &to, &outLeft), (size_t)-1) << utf8;
    iconv_close(cd);
    return std::string(out, to - out);
}

const char kFailed[] =
    "ファームウエアのアップデートが正常に終了しませんでした。\r\n"
    "一旦、ＰＣの電源を切り、立ち上げ直した後、再度プログラムを実行してください。";
const char kNoAbort[] = "－決して実行途中でプログラムを中止したり、コンピュータの電源を切らないで下さい。\r\n";
const char kCloseApps[] = "－操作を始める前に、全てのアプリケーションを終了してください。\r\n";
const char kRemoveDisc[] = "－操作を始める前に、ベルコサ製ＵＳＢ　ＣＤ－Ｒ／ＲＷドライブからＣＤを取り出してください。\r\n";
const char kPowerOff[] =
    "－プログラム終了後、コンピュータは自動的にシャットダウンするか、"
    "シャットダウン可能な状態となります。その後、再度電源を入れなおしてください。";

TEST(Japanese, EveryTextIsItsShiftJisBytes) {
    AppState.primaryLanguage = 17;
    FillMessageTable();
    const MessageTableRecord &t = MessageTable;
    const struct {
        const char *shown;
        std::string expected;
    } texts[] = {
        {t.MsgAlreadyUpdated, "既に更新されています。"},
        {t.MsgMayTakeMinutes,
         "注意：この作業は数分間かかります。長い間ソフトウエアが動作していなくても、"
         "コンピュータの電源を切らないでお待ち下さい。"},
        {t.MsgRestartNow, "アップデートする為には再起動をしなければなりません。\r\n再起動しますか？"},
        {t.MsgUpdateFailed, kFailed},
        {t.MsgCloseApps,
         "他に現在実行中のアプリケーションがあれば、終了してください。\r\n"
         "編集中のドキュメントがあれば、保存してください。"},
        {t.MsgNoDevice, "エラー：デバイスが検出されませんでした。"},
        {t.MsgWrongFile, "エラー：指定したファイルでこのドライブをアップグレードできません。"},
        {t.MsgInvalidData, "エラー：異常データが検出されました。"},
        {t.MsgReadError, "エラー：データをファイルから読み込めません。"},
        {t.MsgAccessError, "エラー：ファイルをアクセスできません。"},
        {t.MsgBadSize, "エラー：ファイルサイズが異常です。"},
        {t.MsgNoDataFile, "エラー：ファイルが見つかりません。"},
        {t.MsgUpdateFailedDma, (std::string(kFailed) + "\r\nもし、DMA転送をお使いの場合、"
                                                       "それを無効にしてから、再度実行してください。")},
        {t.MsgTakeDiscOut, "ＣＤをトレイから取り出してください。"},
        {t.MsgRunAsAdmin,
         "エラー：ＣＤドライブを使用する権限がありません。\r\n"
         "Discmend を右クリックし、「管理者として実行」を選んで起動してください。"},
        {t.MsgDriveHeld,
         "ドライブ %c: は「%s」が使用中のため、対象から外しました。\r\n"
         "そのプログラムを終了してから、再度 Discmend を起動してください。"},
        {t.WarnNoAbort, kNoAbort},
        {t.WarnCloseApps, kCloseApps},
        {t.WarnRemoveDisc, kRemoveDisc},
        {t.WarnPowerOff, kPowerOff},
        {t.WarningText, std::string(kNoAbort) + kCloseApps + kRemoveDisc + kPowerOff},
        {t.LabelAccept, "許諾する"},
        {t.LabelDecline, "許諾しない"},
        {UpdateText(TxtLoadSucceeded), "ファームウェアのダウンロードに成功しました。"},
        {UpdateText(TxtDownloadRefused), "エラー：コマンドを送る事が出来ません。"},
        {UpdateText(TxtChecksumWrong),
         "エラー：チェックサムが正しくありません。\r\n"
         "    そのデータファイルは、壊れている可能性があります。"},
        {UpdateText(TxtModelNotProper), "エラー：モデルが正しくありません。"},
        {UpdateText(TxtLoaderRefused), "エラー：コマンドを送る事が出来ません。"},
        {UpdateText(TxtFailedTryAgain), "エラー：書きこみに失敗しました。 もう一度実行しますか？"},
        {UpdateText(TxtUsbPowerLine), "－決して実行途中で、USBドライブの電源を切らないで下さい。\r\n"},
    };
    for (const auto &text : texts) EXPECT_EQ(text.shown, Sjis(text.expected)) << text.expected;
    EXPECT_EQ(std::string(t.WarnNoAbort, 2), "\x81\x7C");  // the full-width minus
}

struct Layout {
    int language, lines, width;
    std::vector<int> spacers;
};

TEST(Agreement, LinesSpacersAndSlotsOfBothLanguages) {
    const Layout layouts[] = {
        {9, 96, 49, {5, 11, 13, 28, 38, 53, 64, 85, 93}},
        {17, 91, 39, {5, 11, 13, 28, 40, 52, 61, 78, 87, 88}},
    };
    for (const Layout &l : layouts) {
        SCOPED_TRACE(l.language);
        AppState.primaryLanguage = (WORD)l.language;
        FillMessageTable();
        for (int i = 0; i < AGREEMENT_SLOTS; i++) {
            const char *slot = MessageTable.AgreementText + AGREEMENT_SLOT * i;
            size_t length = strnlen(slot, AGREEMENT_SLOT);
            ASSERT_LT(length, (size_t)AGREEMENT_SLOT) << i;
            for (int k = (int)length; k < AGREEMENT_SLOT; k++) ASSERT_EQ(slot[k], 0) << i;
            bool spacer = std::count(l.spacers.begin(), l.spacers.end(), i) != 0;
            if (i >= l.lines)
                EXPECT_EQ(length, 0u) << i;
            else if (spacer)
                EXPECT_STREQ(slot, " ") << i;
            else
                EXPECT_TRUE(length > 1 && (int)length <= l.width) << i << ": " << slot;
        }
    }
}

TEST(Agreement, JapaneseLinesEndOnWholeCharacters) {
    AppState.primaryLanguage = 17;
    FillMessageTable();
    for (int i = 0; i < 91; i++) {
        const unsigned char *line = (const unsigned char *)MessageTable.AgreementText + 50 * i;
        for (size_t k = 0; line[k]; k++) {
            bool lead = (line[k] >= 0x81 && line[k] <= 0x9F) || (line[k] >= 0xE0 && line[k] <= 0xFC);
            if (lead) ASSERT_NE(line[++k], 0) << "line " << i << " ends inside a character";
        }
    }
}

TEST(Messages, EveryOtherLanguageReadsEnglish) {
    for (WORD language : {9, 7, 0, 0x3FF}) {
        AppState.primaryLanguage = language;
        FillMessageTable();
        EXPECT_STREQ(MessageTable.MsgNoDevice, "Error: No device could be detected.");
        EXPECT_STREQ(UpdateText(TxtFailedTryAgain), "Error: Fale to update F/W. Please try again?");
    }
}

}  // namespace
