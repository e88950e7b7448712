// The message table, its English texts and the filling of the table.
#include "text/messages.h"
#include "app/appstate.h"

#include <string.h>

MessageTableRecord MessageTable;

// English message texts, shown exactly as written here, spelling included.
static const char MsgAlreadyUpdatedEn[] =
    "The drive has already been updated.";
static const char MsgMayTakeMinutesEn[] =
    "Note: This may take several minutes. Even if there is no software "
    "activity for a long time, do not turn your computer off.";
static const char MsgRestartNowEn[] =
    "You must restart your computer to take effect all the changes.\r\n"
    "Dou you want to restart your computer now?";
static const char MsgUpdateFailedEn[] =
    "Failed to update the firmware. Turn the power off PC,\r\n"
    "turn the power on PC and try it again.";
static const char MsgCloseAppsEn[] =
    "Close all other applications and save all your editing documents now.";
static const char MsgNoDeviceEn[] =
    "Error: No device could be detected.";
static const char MsgWrongFileEn[] =
    "Error: This drive could not be upgraded with the selected file.";
static const char MsgInvalidDataEn[] =
    "Error: Invalid data was detected.";
static const char MsgReadErrorEn[] =
    "Error: Couldn't read data.";
static const char MsgAccessErrorEn[] =
    "Error: Couldn't access the file.";
static const char MsgBadSizeEn[] =
    "Error: Invalid file size.";
static const char MsgNoDataFileEn[] =
    "Error: Couldn't find data file.";
static const char MsgUpdateFailedDmaEn[] =
    "Failed to update the firmware. Turn the power off PC,\r\n"
    "turn the power on PC and try it again.\r\n"
    "If you enable DMA mode, please disable it and try to update again.";
static const char MsgTakeDiscOutEn[] =
    "Take CD off from a tray.";
static const char MsgRunAsAdminEn[] =
    "Error: Windows did not let Discmend use the CD drives.\r\n"
    "Start Discmend as administrator (right-click it and choose "
    "\"Run as administrator\").";
static const char MsgDriveHeldEn[] =
    "The drive %c: is in use by \"%s\" and is left out.\r\n"
    "Close that program, then start Discmend again.";
static const char WarnNoAbortEn[] =
    "-DO NOT abort this program nor turn the power off PC during updating.\r\n";
static const char WarnCloseAppsEn[] =
    "-Closing all other applications before starting the operation.\r\n";
static const char WarnRemoveDiscEn[] =
    "-Take CD off the VELKOSA USB CD-R/RW drive before starting the "
    "operation.\r\n";
static const char WarnPowerOffEn[] =
    "-Your computer will be ready to be turned off or will be turned off "
    "after updating the firmware. Turn on the computer after that again.";
static const char LabelAcceptEn[] =
    "Accept";
static const char LabelDeclineEn[] =
    "Do not Accept";
static const char TxtLoadSucceededEn[] =
    "Succeed to load F/W!!";
static const char TxtDownloadRefusedEn[] =
    "Error: Can't accept download command";
static const char TxtChecksumWrongEn[] =
    "Error: Check Sum is not correct!!\r\n"
    "       The data file may be damaged.";
static const char TxtModelNotProperEn[] =
    "Error: Model is not proper!!";
static const char TxtLoaderRefusedEn[] =
    "Error: Can't accept loader CMD!";
static const char TxtFailedTryAgainEn[] =
    "Error: Fale to update F/W. Please try again?";
static const char TxtUsbPowerLineEn[] =
    "-DO NOT turn the power off the USB drive during updating.\r\n";

// The English agreement, one line per slot. Spacer lines hold a single blank.
// The dialog draws each line whole in the system font, without wrapping: a
// line must stay well inside the text area (about 270 of its 283 pixels).
static const char AgreementEn[96][50] = {
    "This program updates the firmware",
    "of VELKOSA CD-R/RW drives to the",
    "latest version: it finds the drives",
    "and writes the new firmware into",
    "the one you choose.",
    " ",
    "Please read the whole agreement",
    "below, using the scroll bar to reach",
    "its end. Then choose Accept if you",
    "agree to its terms, or Do not",
    "Accept if you do not.",
    " ",
    "SOFTWARE LICENSE AGREEMENT",
    " ",
    "NOTICE TO USER: This is a legal",
    "agreement between you, the end",
    "user, and VELKOSA Corporation",
    "(\"VELKOSA\") for this update",
    "program and its firmware data (the",
    "\"Software\"). Read it carefully. By",
    "choosing Accept you agree to all of",
    "its terms. If you do not agree,",
    "choose Do not Accept: the program",
    "then ends without changing your",
    "drive, and you may not use the",
    "Software. An update rewrites the",
    "program stored in the drive: mind",
    "the warnings of section 5.",
    " ",
    "1. GRANT OF LICENSE",
    "VELKOSA grants you a non-exclusive",
    "right to use the Software only to",
    "update the firmware of VELKOSA",
    "CD-R/RW drives that you own or",
    "may use. You may make one backup",
    "copy of the Software. You may not",
    "use it for any other purpose, nor",
    "rent, lease or lend it.",
    " ",
    "2. OWNERSHIP",
    "The Software is owned by VELKOSA",
    "and its suppliers and is protected",
    "by copyright laws and treaties.",
    "VELKOSA keeps every right that",
    "this agreement does not grant to",
    "you. You may not modify or",
    "translate the Software, nor reverse",
    "engineer, decompile or disassemble",
    "it, nor remove its notices of",
    "copyright. Every copy you make",
    "must carry the same notices.",
    "VELKOSA may change the Software",
    "at any time.",
    " ",
    "3. TRANSFER",
    "You may transfer the Software to",
    "another person only with the",
    "VELKOSA drive it updates, and only",
    "if you transfer every copy you have",
    "and the recipient agrees to this",
    "agreement. Your right to use the",
    "Software then ends. You may not",
    "sell or distribute the Software in",
    "any other way.",
    " ",
    "4. LIMITED WARRANTY",
    "The Software is provided \"AS IS\"",
    "without warranty of any kind.",
    "VELKOSA does not warrant that it",
    "will meet your needs or run",
    "without error. As far as the law",
    "permits, VELKOSA disclaims all",
    "other warranties, express or",
    "implied, including those of",
    "merchantability and fitness for a",
    "particular purpose. In no event",
    "shall VELKOSA or its suppliers be",
    "liable for any damages, including",
    "loss of data or damage to your",
    "drive or computer, arising from the",
    "use of the Software or the inability",
    "to use it. Some countries do not",
    "allow these limits, so they may not",
    "apply to you. Your only remedy is",
    "to stop using the Software.",
    " ",
    "5. WARNING",
    "5.1 Do not abort the program or",
    "turn the computer off while it runs.",
    "5.2 Close all other applications",
    "before you start the update.",
    "5.3 Take the CD out of the",
    "VELKOSA USB CD-R/RW drive first.",
    " ",
    "This agreement is governed by the",
    "laws of Japan.",
};

const MessageTextSet EnglishTexts = {
    MsgAlreadyUpdatedEn, MsgMayTakeMinutesEn, MsgRestartNowEn, MsgUpdateFailedEn, MsgCloseAppsEn, MsgNoDeviceEn, MsgWrongFileEn, MsgInvalidDataEn, MsgReadErrorEn, MsgAccessErrorEn, MsgBadSizeEn, MsgNoDataFileEn, MsgUpdateFailedDmaEn, MsgTakeDiscOutEn, MsgRunAsAdminEn, MsgDriveHeldEn, WarnNoAbortEn, WarnCloseAppsEn, WarnRemoveDiscEn, WarnPowerOffEn, LabelAcceptEn, LabelDeclineEn, {TxtLoadSucceededEn, TxtDownloadRefusedEn, TxtChecksumWrongEn, TxtModelNotProperEn, TxtLoaderRefusedEn, TxtFailedTryAgainEn, TxtUsbPowerLineEn}, &AgreementEn[0][0], 96, 50};

static const MessageTextSet *SelectedTexts() {
    if (AppState.primaryLanguage == LANG_ID_JAPANESE)
        return &JapaneseTexts;
    return &EnglishTexts;
}

// Copies src into dest of cap bytes, NUL included. A text too long for its
// entry is cut short rather than run past the entry.
static void CopyText(char *dest, unsigned cap, const char *src) {
    unsigned n = 0;
    while (n + 1 < cap && src[n] != 0) {
        dest[n] = src[n];
        n++;
    }
    dest[n] = 0;
}

// Appends src to the NUL-terminated text in dest of cap bytes.
static void AppendText(char *dest, unsigned cap, const char *src) {
    unsigned used = (unsigned)strlen(dest);
    CopyText(dest + used, cap - used, src);
}

void FillMessageTable() {
    const MessageTextSet *set = SelectedTexts();
    MessageTableRecord &t = MessageTable;

    // The agreement: every slot cleared, then line i into slot i, text and
    // NUL only, so the rest of each slot stays zero.
    memset(t.AgreementText, 0, sizeof t.AgreementText);
    int lines = set->agreementLines;
    if (lines > AGREEMENT_SLOTS)
        lines = AGREEMENT_SLOTS;
    for (int i = 0; i < lines; i++)
        CopyText(t.AgreementText + AGREEMENT_SLOT * i, AGREEMENT_SLOT,
                 set->agreement + set->agreementWidth * i);

    CopyText(t.MsgAlreadyUpdated, sizeof t.MsgAlreadyUpdated, set->MsgAlreadyUpdated);
    CopyText(t.MsgMayTakeMinutes, sizeof t.MsgMayTakeMinutes, set->MsgMayTakeMinutes);
    CopyText(t.MsgRestartNow, sizeof t.MsgRestartNow, set->MsgRestartNow);
    CopyText(t.MsgUpdateFailed, sizeof t.MsgUpdateFailed, set->MsgUpdateFailed);
    CopyText(t.MsgCloseApps, sizeof t.MsgCloseApps, set->MsgCloseApps);
    CopyText(t.MsgNoDevice, sizeof t.MsgNoDevice, set->MsgNoDevice);
    CopyText(t.MsgWrongFile, sizeof t.MsgWrongFile, set->MsgWrongFile);
    CopyText(t.MsgInvalidData, sizeof t.MsgInvalidData, set->MsgInvalidData);
    CopyText(t.MsgReadError, sizeof t.MsgReadError, set->MsgReadError);
    CopyText(t.MsgAccessError, sizeof t.MsgAccessError, set->MsgAccessError);
    CopyText(t.MsgBadSize, sizeof t.MsgBadSize, set->MsgBadSize);
    CopyText(t.MsgNoDataFile, sizeof t.MsgNoDataFile, set->MsgNoDataFile);
    CopyText(t.MsgUpdateFailedDma, sizeof t.MsgUpdateFailedDma, set->MsgUpdateFailedDma);
    CopyText(t.MsgTakeDiscOut, sizeof t.MsgTakeDiscOut, set->MsgTakeDiscOut);
    CopyText(t.MsgRunAsAdmin, sizeof t.MsgRunAsAdmin, set->MsgRunAsAdmin);
    CopyText(t.MsgDriveHeld, sizeof t.MsgDriveHeld, set->MsgDriveHeld);
    CopyText(t.WarnNoAbort, sizeof t.WarnNoAbort, set->WarnNoAbort);
    CopyText(t.WarnCloseApps, sizeof t.WarnCloseApps, set->WarnCloseApps);
    CopyText(t.WarnRemoveDisc, sizeof t.WarnRemoveDisc, set->WarnRemoveDisc);
    CopyText(t.WarnPowerOff, sizeof t.WarnPowerOff, set->WarnPowerOff);
    CopyText(t.LabelAccept, sizeof t.LabelAccept, set->LabelAccept);
    CopyText(t.LabelDecline, sizeof t.LabelDecline, set->LabelDecline);

    // The last confirmation before an update: the four warning lines, each
    // of the first three already ending in CR LF.
    CopyText(t.WarningText, sizeof t.WarningText, t.WarnNoAbort);
    AppendText(t.WarningText, sizeof t.WarningText, t.WarnCloseApps);
    AppendText(t.WarningText, sizeof t.WarningText, t.WarnRemoveDisc);
    AppendText(t.WarningText, sizeof t.WarningText, t.WarnPowerOff);
}

const char *UpdateText(UpdateTextId id) {
    if ((int)id < 0 || (int)id >= UPDATE_TEXT_COUNT)
        return "";
    return SelectedTexts()->updateTexts[id];
}
