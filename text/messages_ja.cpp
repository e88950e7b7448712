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

// The Japanese agreement, one line per slot; a line holds at most 39 bytes
// of Shift-JIS. Spacer lines hold a single blank.
static const char AgreementJa[91][40] = {
    "このプログラムは、ベルコサ製ＣＤ－Ｒ／",
    "ＲＷドライブのファームウエアを最新版に",
    "アップデートします。接続されたドライブ",
    "を検出し、選んだドライブに新しいファー",
    "ムウエアを書き込みます。",
    " ",
    "ご使用の前に、スクロールバーを使って以",
    "下の使用許諾契約書を最後までお読みくだ",
    "さい。その上で、同意される場合は「許諾",
    "する」ボタンを、同意されない場合は「許",
    "諾しない」ボタンを選択してください。",
    " ",
    "ソフトウエア使用許諾契約書",
    " ",
    "お客様へ：本契約書は、お客様とベルコサ",
    "株式会社（以下「ベルコサ」といいます）",
    "との間で、本プログラムおよびこれに付属",
    "するファームウエアデータ（以下あわせて",
    "「本ソフトウエア」といいます）の使用に",
    "ついて定めるものです。本契約書をよくお",
    "読みください。「許諾する」ボタンを選択",
    "された場合、お客様は本契約書の全ての条",
    "項に同意されたものとみなされます。同意",
    "されない場合は「許諾しない」ボタンを選",
    "択してください。その場合、プログラムは",
    "ドライブに何も変更を加えずに終了し、お",
    "客様は本ソフトウエアを使用することはで",
    "きません。",
    " ",
    "1. 使用権の許諾",
    "ベルコサは、お客様が所有または使用する",
    "権利を有するベルコサ製ＣＤ－Ｒ／ＲＷド",
    "ライブのファームウエアをアップデートす",
    "る目的に限り、本ソフトウエアを使用する",
    "非独占的な権利をお客様に許諾します。お",
    "客様は、バックアップの目的で本ソフトウ",
    "エアを１部複製することができます。それ",
    "以外の目的で本ソフトウエアを使用するこ",
    "と、また第三者に貸与することはできませ",
    "ん。",
    " ",
    "2. 著作権",
    "本ソフトウエアの著作権その他一切の権利",
    "は、ベルコサおよびその供給者に帰属し、",
    "著作権法および国際条約によって保護され",
    "ています。これらの権利はお客様に移転し",
    "ません。お客様は、本ソフトウエアを変",
    "更、翻訳、リバースエンジニアリング、逆",
    "コンパイルまたは逆アセンブルすることは",
    "できません。また、本ソフトウエアに表示",
    "された著作権表示を削除または変更するこ",
    "とはできません。",
    " ",
    "3. 譲渡",
    "お客様は、本ソフトウエアがアップデート",
    "するベルコサ製ドライブとともに、本ソフ",
    "トウエアの全ての複製物を譲渡し、かつ譲",
    "受人が本契約書の条項に同意する場合に限",
    "り、本ソフトウエアを第三者に譲渡するこ",
    "とができます。譲渡後は、本ソフトウエア",
    "を使用できません。",
    " ",
    "4. 限定保証",
    "本ソフトウエアは「現状のまま」提供され",
    "るものとし、ベルコサは本ソフトウエアに",
    "関していかなる保証も行いません。ベルコ",
    "サは、本ソフトウエアがお客様の目的に適",
    "合すること、その動作が中断しないこと、",
    "または誤りがないことを保証しません。い",
    "かなる場合においても、ベルコサおよびそ",
    "の供給者は、本ソフトウエアの使用または",
    "使用不能から生じたデータの消失、ドライ",
    "ブまたはコンピュータの損傷その他一切の",
    "損害について、ベルコサがその可能性を知",
    "らされていた場合であっても、責任を負わ",
    "ないものとします。国や地域によっては上",
    "記の制限が認められないため、お客様に適",
    "用されない場合があります。",
    " ",
    "5. 警告",
    "5.1 実行途中でプログラムを中止したり、",
    "    ＰＣの電源を切らないで下さい。",
    "5.2 操作を始める前に、全てのアプリケー",
    "    ションを終了してください。",
    "5.3 操作を始める前に、ベルコサ製ＵＳＢ",
    "    ＣＤ－Ｒ／ＲＷドライブからＣＤを",
    "    取り出してください。",
    " ",
    " ",
    "本契約書は日本国の法律に準拠し、同法に",
    "従って解釈されるものとします。",
};

const MessageTextSet JapaneseTexts = {
    MsgAlreadyUpdatedJa, MsgMayTakeMinutesJa, MsgRestartNowJa,
    MsgUpdateFailedJa, MsgCloseAppsJa, MsgNoDeviceJa,
    MsgWrongFileJa, MsgInvalidDataJa, MsgReadErrorJa,
    MsgAccessErrorJa, MsgBadSizeJa, MsgNoDataFileJa,
    MsgUpdateFailedDmaJa, MsgTakeDiscOutJa,
    WarnNoAbortJa, WarnCloseAppsJa, WarnRemoveDiscJa,
    WarnPowerOffJa,
    LabelAcceptJa, LabelDeclineJa,
    { TxtLoadSucceededJa, TxtDownloadRefusedJa, TxtChecksumWrongJa, TxtModelNotProperJa,
      TxtLoaderRefusedJa, TxtFailedTryAgainJa, TxtUsbPowerLineJa },
    &AgreementJa[0][0], 91, 40
};
