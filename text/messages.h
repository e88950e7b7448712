// The localised texts of the program: the message table filled at start-up
// and the fixed texts of the update procedure.
#pragma once

struct MessageTableRecord {
    char MsgAlreadyUpdated[300];
    char MsgMayTakeMinutes[300];
    char MsgRestartNow[300];
    char MsgUpdateFailed[300];
    char MsgCloseApps[300];
    char MsgNoDevice[300];
    char MsgWrongFile[300];
    char MsgInvalidData[300];
    char MsgReadError[300];
    char MsgAccessError[300];
    char MsgBadSize[300];
    char MsgNoDataFile[300];
    char MsgUpdateFailedDma[300];
    char MsgTakeDiscOut[300];
    char MsgRunAsAdmin[300];
    char MsgDriveHeld[300];  // MsgDriveHeld: printf format, %c letter, %s program
    char WarnNoAbort[300];
    char WarnCloseApps[300];
    char WarnRemoveDisc[300];
    char WarnPowerOff[300];
    char LabelAccept[16];
    char LabelDecline[16];
    char WarningText[1200];
    char AgreementText[5000];  // 100 slots of 50 bytes
};

enum {
    AGREEMENT_SLOT = 50,  // bytes per line slot of AgreementText
    AGREEMENT_SLOTS = 100,
    LANG_ID_JAPANESE = 17  // primary language id that selects the Japanese texts
};

extern MessageTableRecord MessageTable;

// Fills every entry of MessageTable, WarningText and AgreementText in the
// language given by AppState.primaryLanguage (17 = Japanese, else English).
void FillMessageTable();

// The fixed texts of the update procedure, chosen by language at the point of use.
enum UpdateTextId { TxtLoadSucceeded,
                    TxtDownloadRefused,
                    TxtChecksumWrong,
                    TxtModelNotProper,
                    TxtLoaderRefused,
                    TxtFailedTryAgain,
                    TxtUsbPowerLine };
enum { UPDATE_TEXT_COUNT = TxtUsbPowerLine + 1 };

// Japanese when AppState.primaryLanguage is 17, English otherwise.
const char *UpdateText(UpdateTextId id);

// One language's source texts. The English set is in messages.cpp; the
// Japanese set is in messages_ja.cpp, which is compiled to Shift-JIS.
struct MessageTextSet {
    const char *MsgAlreadyUpdated;
    const char *MsgMayTakeMinutes;
    const char *MsgRestartNow;
    const char *MsgUpdateFailed;
    const char *MsgCloseApps;
    const char *MsgNoDevice;
    const char *MsgWrongFile;
    const char *MsgInvalidData;
    const char *MsgReadError;
    const char *MsgAccessError;
    const char *MsgBadSize;
    const char *MsgNoDataFile;
    const char *MsgUpdateFailedDma;
    const char *MsgTakeDiscOut;
    const char *MsgRunAsAdmin;
    const char *MsgDriveHeld;
    const char *WarnNoAbort;
    const char *WarnCloseApps;
    const char *WarnRemoveDisc;
    const char *WarnPowerOff;
    const char *LabelAccept;
    const char *LabelDecline;
    const char *updateTexts[UPDATE_TEXT_COUNT];  // indexed by UpdateTextId
    const char *agreement;                       // first byte of the agreement's source slots
    int agreementLines;                          // number of lines (slots) in the source
    int agreementWidth;                          // bytes per source slot
};

extern const MessageTextSet EnglishTexts;
extern const MessageTextSet JapaneseTexts;
