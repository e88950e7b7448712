// The Japanese texts of the message table. This file is written in UTF-8
// and compiled with the Shift-JIS (code page 932) execution character set,
// so every text below is stored as Shift-JIS bytes.
#include "text/messages.h"

static const char MsgAlreadyUpdatedJa[] =
    "既に更新されています。";
static const char MsgMayTakeMinutesJa[] =
    "注意：この作業は数分間かかります。"
    "長い間ソフトウエアが動作していなくても、コンピュータの電源を切らないでお待ち下さい。";
static const char MsgRestartNowJa[] =
    "アップデートする為には再起動をしなければなりません。\r\n"
    "再起動しますか？";
static const char MsgUpdateFailedJa[] =
    "ファームウエアのアップデートが正常に終了しませんでした。\r\n"
    "一旦、ＰＣの電源を切り、立ち上げ直した後、再度プログラムを実行してください。";
static const char MsgCloseAppsJa[] =
    "他に現在実行中のアプリケーションがあれば、終了してください。\r\n"
    "編集中のドキュメントがあれば、保存してください。";
static const char MsgNoDeviceJa[] =
    "エラー：デバイスが検出されませんでした。";
static const char MsgWrongFileJa[] =
    "エラー：指定したファイルでこのドライブをアップグレードできません。";
static const char MsgInvalidDataJa[] =
    "エラー：異常データが検出されました。";
static const char MsgReadErrorJa[] =
    "エラー：データをファイルから読み込めません。";
static const char MsgAccessErrorJa[] =
    "エラー：ファイルをアクセスできません。";
static const char MsgBadSizeJa[] =
    "エラー：ファイルサイズが異常です。";
static const char MsgNoDataFileJa[] =
    "エラー：ファイルが見つかりません。";
static const char MsgUpdateFailedDmaJa[] =
    "ファームウエアのアップデートが正常に終了しませんでした。\r\n"
    "一旦、ＰＣの電源を切り、立ち上げ直した後、再度プログラムを実行してください。\r\n"
    "もし、DMA転送をお使いの場合、それを無効にしてから、再度実行してください。";
static const char MsgTakeDiscOutJa[] =
    "ＣＤをトレイから取り出してください。";
static const char MsgRunAsAdminJa[] =
    "エラー：ＣＤドライブを使用する権限がありません。\r\n"
    "Discmend を右クリックし、「管理者として実行」を選んで起動してください。";
static const char MsgDriveHeldJa[] =
    "ドライブ %c: は「%s」が使用中のため、対象から外しました。\r\n"
    "そのプログラムを終了してから、再度 Discmend を起動してください。";
static const char WarnNoAbortJa[] =
    "－決して実行途中でプログラムを中止したり、コンピュータの電源を切らないで下さい。\r\n";
static const char WarnCloseAppsJa[] =
    "－操作を始める前に、全てのアプリケーションを終了してください。\r\n";
static const char WarnRemoveDiscJa[] =
    "－操作を始める前に、ベルコサ製ＵＳＢ　ＣＤ－Ｒ／ＲＷドライブからＣＤを取り出してください。\r\n";
static const char WarnPowerOffJa[] =
    "－プログラム終了後、コンピュータは自動的にシャットダウンするか、"
    "シャットダウン可能な状態となります。その後、再度電源を入れなおしてください。";
static const char LabelAcceptJa[] =
    "許諾する";
static const char LabelDeclineJa[] =
    "許諾しない";
static const char TxtLoadSucceededJa[] =
    "ファームウェアのダウンロードに成功しました。";
static const char TxtDownloadRefusedJa[] =
    "エラー：コマンドを送る事が出来ません。";
static const char TxtChecksumWrongJa[] =
    "エラー：チェックサムが正しくありません。\r\n"
    "    そのデータファイルは、壊れている可能性があります。";
static const char TxtModelNotProperJa[] =
    "エラー：モデルが正しくありません。";
static const char TxtLoaderRefusedJa[] =
    "エラー：コマンドを送る事が出来ません。";
static const char TxtFailedTryAgainJa[] =
    "エラー：書きこみに失敗しました。 もう一度実行しますか？";
static const char TxtUsbPowerLineJa[] =
    "－決して実行途中で、USBドライブの電源を切らないで下さい。\r\n";

// The Japanese agreement, one line per slot. Spacer lines hold a single
// blank. The dialog draws each line whole in the system font, without
// wrapping: a line holds at most 16 full-width characters, which stay inside
// the text area.
static const char AgreementJa[91][40] = {
    "このプログラムは、ベルコサ製ＣＤ",
    "－Ｒ／ＲＷドライブのファームウエ",
    "アを最新版に更新します。ドライブ",
    "を検出し、選んだドライブに新しい",
    "ファームウエアを書き込みます。",
    " ",
    "ご使用の前に、スクロールバーで以",
    "下の使用許諾契約書を最後までお読",
    "みください。同意される場合は「許",
    "諾する」を、されない場合は「許諾",
    "しない」を選んでください。",
    " ",
    "ソフトウエア使用許諾契約書",
    " ",
    "お客様へ：本契約書は、お客様とベ",
    "ルコサ株式会社（以下「ベルコ",
    "サ」）との間で、本プログラムおよ",
    "び付属のファームウエアデータ（以",
    "下「本ソフトウエア」）の使用につ",
    "いて定めるものです。本契約書をよ",
    "くお読みください。「許諾する」を",
    "選ぶと、本契約書の全ての条項に同",
    "意されたものとみなされます。同意",
    "されない場合は「許諾しない」を選",
    "んでください。その場合、プログラ",
    "ムはドライブに何も変更を加えずに",
    "終了し、お客様は本ソフトウエアを",
    "使用できません。",
    " ",
    "1. 使用権の許諾",
    "ベルコサは、お客様が所有または使",
    "用する権利を有するベルコサ製ＣＤ",
    "－Ｒ／ＲＷドライブのファームウエ",
    "アを更新する目的に限り、本ソフト",
    "ウエアを使用する非独占的な権利を",
    "お客様に許諾します。バックアップ",
    "の目的で１部複製することができま",
    "す。それ以外の目的での使用、およ",
    "び第三者への貸与や再許諾はできま",
    "せん。",
    " ",
    "2. 著作権",
    "本ソフトウエアの著作権その他一切",
    "の権利は、ベルコサおよびその供給",
    "者に帰属し、著作権法および国際条",
    "約によって保護されています。これ",
    "らの権利はお客様に移転しません。",
    "本ソフトウエアの変更、翻訳、リバ",
    "ースエンジニアリング、逆コンパイ",
    "ル、逆アセンブル、および著作権表",
    "示の削除や変更はできません。複製",
    "物には同じ表示を付けてください。",
    " ",
    "3. 譲渡",
    "本ソフトウエアは、これが更新する",
    "ドライブとともに、全ての複製物を",
    "譲渡し、譲受人が本契約書に同意す",
    "る場合に限り、第三者に譲渡できま",
    "す。譲渡後は使用できません。その",
    "他の方法で販売または頒布すること",
    "はできません。",
    " ",
    "4. 限定保証",
    "本ソフトウエアは「現状のまま」提",
    "供され、ベルコサはいかなる保証も",
    "行いません。本ソフトウエアが目的",
    "に適合すること、中断や誤りなく動",
    "作することも保証しません。いかな",
    "る場合も、ベルコサおよびその供給",
    "者は、本ソフトウエアの使用または",
    "使用不能から生じたデータの消失、",
    "ドライブやコンピュータの損傷その",
    "他一切の損害について責任を負いま",
    "せん。国や地域によっては、上記の",
    "制限が適用されない場合がありま",
    "す。お客様の唯一の救済は、本ソフ",
    "トウエアの使用を中止することで",
    "す。",
    " ",
    "5. 警告",
    "5.1 実行中にプログラムを中止した",
    "り、電源を切らないで下さい。",
    "5.2 操作を始める前に、全てのアプ",
    "リケーションを終了してください。",
    "5.3 操作を始める前に、ベルコサ製",
    "ＵＳＢ　ＣＤ－Ｒ／ＲＷドライブか",
    "らＣＤを取り出してください。",
    " ",
    " ",
    "本契約書は日本国の法律に準拠し、",
    "同法に従って解釈されます。",
};

const MessageTextSet JapaneseTexts = {
    MsgAlreadyUpdatedJa, MsgMayTakeMinutesJa, MsgRestartNowJa, MsgUpdateFailedJa, MsgCloseAppsJa, MsgNoDeviceJa, MsgWrongFileJa, MsgInvalidDataJa, MsgReadErrorJa, MsgAccessErrorJa, MsgBadSizeJa, MsgNoDataFileJa, MsgUpdateFailedDmaJa, MsgTakeDiscOutJa, MsgRunAsAdminJa, MsgDriveHeldJa, WarnNoAbortJa, WarnCloseAppsJa, WarnRemoveDiscJa, WarnPowerOffJa, LabelAcceptJa, LabelDeclineJa, {TxtLoadSucceededJa, TxtDownloadRefusedJa, TxtChecksumWrongJa, TxtModelNotProperJa, TxtLoaderRefusedJa, TxtFailedTryAgainJa, TxtUsbPowerLineJa}, &AgreementJa[0][0], 91, 40};
