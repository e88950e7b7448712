// The update procedure of drives that answer the vendor status command:
// preparation, an image phase with the polled block commands and the finish
// command, and a loader phase after the drive has restarted.
#include "update/procedure.h"

#include <string.h>

#include "app/appstate.h"
#include "app/msgbox.h"
#include "drive/aspi_layer.h"
#include "drive/commands.h"
#include "drive/discovery.h"
#include "drive/wait.h"
#include "text/messages.h"
#include "ui/progress.h"
#include "update/download.h"
#include "update/imagefile.h"
#include "update/revision.h"

enum {
    ID_UPDATE = 1001,
    ID_EXIT = 1002,
    READY_TESTS = 5,
    RESCANS = 25,
    RESTART_PAUSE_MS = 190,
    IMAGE_RESTART_PAUSES = 369,   // about 70 s for the drive to come back after the finish command
    LOADER_RESTART_PAUSES = 158,  // about 30 s after the loader
    CONFIRM_CAP = 1400,
};

// What the run expects of the drive, derived from its model, the loader's
// name and the loader's identification digits.
struct ExpectedCodes {
    BYTE code1;  // firmware code compared first
    BYTE code2;  // second acceptable firmware code, when hasCode2
    int hasCode2;
    int model1;  // model code the drive must report (or model2)
    int model2;  // second acceptable model code, when hasModel2
    int hasModel2;
};

static void Show(const char *text) { ShowMessage(AppState.mainDialog, text, MB_OK); }

static void Advance() {
    progressValue += 1;
    ShowProgress(progressValue);
}

// (x - '0') * 16 + (y - '0'): two decimal digits read as packed decimal.
static int Pair(unsigned char x, unsigned char y) { return (x - '0') * 16 + (y - '0'); }

static int ProductIs(const DriveSlot *slot, const char *model, size_t length) {
    return slot && strncmp(slot->productId, model, length) == 0;
}

// The two models whose loader carries a second firmware and model code.
static int TakesSecondCodes(const DriveSlot *slot) {
    return ProductIs(slot, "HX-2350RU", 9) || ProductIs(slot, "HX-2150RA", 9);
}

// Loads the loader file into TransferBuffer. 0 after the message that ends
// the run: the file can't be opened, or what was read doesn't hold the body
// and the identification digits that the length field promises.
static int LoadLoader() {
    if (!LoadLoaderFile(AppState.loaderFile)) {
        Show(MessageTable.MsgNoDataFile);
        return 0;
    }
    if (!LoaderLayoutValid()) {
        Show(MessageTable.MsgInvalidData);
        return 0;
    }
    return 1;
}

// The digits-based row: first code the character D3 itself, second code
// pair(D2, D3); model D0 * 256 + D1, or pair(D0, D1).
static void CodesFromDigits(ExpectedCodes *expected) {
    const unsigned char *digits = TransferBuffer + LOADER_ID_OFFSET;
    expected->code1 = digits[3];
    expected->code2 = (BYTE)Pair(digits[2], digits[3]);
    expected->hasCode2 = 1;
    expected->model1 = digits[0] * 256 + digits[1];
    expected->model2 = Pair(digits[0], digits[1]);
    expected->hasModel2 = 1;
}

// Fills expected from the drive at the current address. 0 when the loader
// doesn't suit an HX-2150RA drive (MsgInvalidData already shown).
static int DeriveExpectedCodes(ExpectedCodes *expected) {
    memset(expected, 0, sizeof *expected);
    const DriveSlot *slot = SlotOf(currentAdapter, currentTarget);
    const char *name = AppState.loaderFile;
    size_t nameLength = strlen(name);
    if (ProductIs(slot, "HX-2150RA", 9)) {
        // Characters past the end of the name are not part of it: a name too
        // short to hold the marker (and, after '0', the two code digits) is
        // refused like any other.
        char marker = nameLength > 3 ? name[3] : 0;
        if (marker == '0' && nameLength >= 6) {
            // The loader's name carries the firmware code; the model code is 0.
            expected->code1 = (BYTE)Pair(name[4], name[5]);
            expected->model1 = 0;
            return 1;
        }
        if (marker == '_') {
            CodesFromDigits(expected);
            return 1;
        }
        Show(MessageTable.MsgInvalidData);
        return 0;
    }
    if (ProductIs(slot, "HX-2350RU", 9)) {
        CodesFromDigits(expected);
        return 1;
    }
    if (ProductIs(slot, "HX-2170RA USB", 13)) {
        const unsigned char *digits = TransferBuffer + LOADER_ID_OFFSET;
        expected->code1 = (BYTE)Pair(digits[2], digits[3]);
        expected->model1 = Pair(digits[0], digits[1]);
        return 1;
    }
    // No other model reaches this procedure; refuse rather than guess.
    Show(MessageTable.MsgInvalidData);
    return 0;
}

// 1: the drive's firmware is newer than the loader's, 2: the same, 3: older.
static int FirmwareStanding(BYTE c, const ExpectedCodes *expected) {
    int standing = 1;
    if (c == expected->code1 || (expected->hasCode2 && c == expected->code2)) standing = 2;
    if (c < expected->code1 || (expected->hasCode2 && c < expected->code2)) standing = 3;
    return standing;
}

static void AppendText(char *buffer, size_t capacity, const char *text) {
    size_t used = strlen(buffer);
    size_t length = strlen(text);
    if (used + length >= capacity) length = capacity - 1 - used;
    memcpy(buffer + used, text, length);
    buffer[used + length] = 0;
}

static int Confirm() {
    char text[CONFIRM_CAP];
    text[0] = 0;
    AppendText(text, sizeof text, MessageTable.WarnNoAbort);
    AppendText(text, sizeof text, UpdateText(TxtUsbPowerLine));
    AppendText(text, sizeof text, MessageTable.WarnCloseApps);
    AppendText(text, sizeof text, MessageTable.WarnRemoveDisc);
    return ShowMessage(AppState.mainDialog, text, MB_OKCANCEL) == IDOK;
}

static void CloseImage() {
    CloseHandle(imageHandle);
    imageHandle = INVALID_HANDLE_VALUE;
}

// The 257 blocks of the image and the finish command. 0 after the message
// that ends the run.
static int ImagePhase() {
    imageHandle = CreateFileA(AppState.imageFile, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (imageHandle == INVALID_HANDLE_VALUE) {
        Show(MessageTable.MsgNoDataFile);
        return 0;
    }
    for (unsigned n = 0; n < IMAGE_BLOCKS - 1; n++) {
        if (!SendBlockPolled(n)) {
            Show(UpdateText(TxtLoaderRefused));
            CloseImage();
            return 0;
        }
        if (n % 3 == 1) progressValue += 1;
        ShowProgress(progressValue);
    }
    if (!SendLastBlockPolled(IMAGE_BLOCKS - 1)) {
        Show(UpdateText(TxtFailedTryAgain));
        CloseImage();
        return 0;
    }
    CloseImage();
    if (!SendFinish()) {
        Show(UpdateText(TxtFailedTryAgain));
        return 0;
    }
    return 1;
}

// Asks the ASPI manager for its host adapters again after a restart of the
// drive. 0 after MsgNoDevice.
static int RefreshAdapters() {
    AppState.aspiSupportInfo = GetASPI32SupportInfo();
    AppState.hostAdapterCount = (BYTE)(AppState.aspiSupportInfo & 0xFF);
    if (AppState.hostAdapterCount == 0 || ((AppState.aspiSupportInfo >> 8) & 0xFF) != SS_COMP) {
        Show(MessageTable.MsgNoDevice);
        return 0;
    }
    return 1;
}

static void RestartWait(int pauses) {
    for (int i = 0; i < pauses; i++) {
        DelayMs(RESTART_PAUSE_MS);
        Advance();
    }
}

static int Succeed() {
    progressValue = 1000;
    ShowProgress(1000);
    Show(UpdateText(TxtLoadSucceeded));
    return 1;
}

// Re-scans the host adapters 25 times after a restart of the drive.
static void Rescan() {
    for (int i = 0; i < RESCANS; i++) {
        DiscoverDrives(3);
        Advance();
    }
}

// The updated drive after a restart, by the latest scan: the drive of its
// model at the slot it had before the restart, when one answered there;
// otherwise the one drive of the model at a slot where no drive of the model
// took part in any scan of the run before the restart (seenBefore). -1 when
// neither names exactly one drive, or the scan was not complete: the run then
// can't tell its drive from another of the same model.
static int FindUpdatedDrive(const SeenRecord *seenBefore, int slot, int model) {
    if (!LatestScan.complete) return -1;
    if (LatestScan.model[slot] == model) return slot;
    BYTE bit = (BYTE)(1 << (model - 1));
    int found = -1;
    for (int i = 0; i < MAX_ADAPTERS * MAX_TARGETS; i++) {
        if (LatestScan.model[i] != model || (seenBefore->models[i] & bit)) continue;
        if (found >= 0) return -1;
        found = i;
    }
    return found;
}

// Makes the drive at slot the current one; answers its DriveTable slot, from
// which every later test of the run reads the drive's product identification.
static const DriveSlot *MakeCurrent(int slot) {
    currentAdapter = (BYTE)(slot / MAX_TARGETS);
    currentTarget = (BYTE)(slot % MAX_TARGETS);
    return SlotOf(currentAdapter, currentTarget);
}

// The loader phase, from finding the drive again to the verdict on its
// firmware code. Answers the run's result.
static int LoaderPhase(int imagePhaseRan, ExpectedCodes *expected) {
    // No scan has run since the start-up inventory, and the drive being
    // updated is still the current one.
    SeenRecord before = SeenInRun;
    int updated = currentAdapter * MAX_TARGETS + currentTarget;
    const DriveSlot *slot = SlotOf(currentAdapter, currentTarget);
    int driveModel = SupportedModel(slot->productId);

    if (imagePhaseRan) RestartWait(IMAGE_RESTART_PAUSES);
    // TransferBuffer has held image blocks and status data since.
    if (!LoadLoader()) return 0;

    if (!RefreshAdapters()) return 0;
    Rescan();
    updated = FindUpdatedDrive(&before, updated, driveModel);
    // When no drive is named, not even the mode-2 scan goes out.
    if (updated < 0 || !DiscoverDrives(2)) {
        Show(MessageTable.MsgNoDevice);
        return 0;
    }
    before = SeenInRun;  // every scan before the loader, the start-up inventory too
    // The loader goes to the updated drive only, never to another drive of
    // the same model that the scans made current.
    slot = MakeCurrent(updated);
    InquireRevision(currentAdapter, currentTarget);
    if (AppState.DeviceError == 1) {
        Show(MessageTable.MsgNoDevice);
        return 0;
    }
    if (strcmp(slot->revision, ImageHeader.revision1) != 0) {
        Show(UpdateText(TxtFailedTryAgain));
        return 0;
    }
    if (!ReadVendorStatus()) {
        Show(MessageTable.MsgNoDevice);
        return 0;
    }
    int model = modelCode;
    if (model != expected->model1 &&
        !(TakesSecondCodes(slot) && expected->hasModel2 && model == expected->model2)) {
        Show(UpdateText(TxtModelNotProper));
        return 0;
    }
    if (!LoaderChecksum()) {
        Show(UpdateText(TxtChecksumWrong));
        return 0;
    }
    if (!SendLoader()) {
        Show(UpdateText(TxtDownloadRefused));
        return 0;
    }
    RestartWait(LOADER_RESTART_PAUSES);

    if (!RefreshAdapters()) return 0;
    Rescan();
    // The verdict, too, comes from the updated drive alone.
    updated = FindUpdatedDrive(&before, updated, driveModel);
    if (updated < 0) {
        Show(MessageTable.MsgNoDevice);
        return 0;
    }
    slot = MakeCurrent(updated);
    if (!ReadVendorStatus()) {
        Show(MessageTable.MsgNoDevice);
        return 0;
    }
    BYTE code = firmwareCode;
    if (code == expected->code1) return Succeed();
    if (!TakesSecondCodes(slot)) {
        Show(UpdateText(TxtFailedTryAgain));
        return 0;
    }
    if (expected->hasCode2 && code == expected->code2) return Succeed();
    Show(UpdateText(TxtModelNotProper));
    return 0;
}

// Answers 1 after success or Cancel at the confirmation; 2 when there is
// nothing to do or the image or loader doesn't suit the drive; 0 after any
// other ending. Every ending but Cancel has told the user why.
int RunUpdate(BYTE adapter, BYTE target) {
    // Preparation: the drive must be empty and answer.
    for (int i = 0; i < READY_TESTS; i++) TestUnitReady(adapter, target);
    if (AppState.DeviceError != 0) {
        // The drive did not answer: say so, as the main dialog does.
        Show(MessageTable.MsgUpdateFailed);
        return 0;
    }
    if (DriveNotReady == 0) {
        EjectMedium(AppState.selectedAdapter, AppState.selectedTarget);
        Show(AppState.DeviceError == 1 ? MessageTable.MsgUpdateFailed
                                       : MessageTable.MsgTakeDiscOut);
        return 0;
    }
    Show(MessageTable.MsgCloseApps);
    currentAdapter = adapter;
    currentTarget = target;

    if (!LoadLoader()) return 0;
    ExpectedCodes expected;
    if (!DeriveExpectedCodes(&expected)) return 0;
    int revision = CheckRevision(ImageHeader.revision1, ImageHeader.revision2,
                                 ImageHeader.revision3);
    if (!ReadVendorStatus()) {
        Show(MessageTable.MsgNoDevice);
        return 0;
    }
    int standing = FirmwareStanding(firmwareCode, &expected);

    if (!Confirm()) return 1;
    EnableWindow(GetDlgItem(AppState.mainDialog, ID_UPDATE), FALSE);
    EnableWindow(GetDlgItem(AppState.mainDialog, ID_EXIT), FALSE);
    ShowMayTakeMinutes();

    if (AppState.forceImage == 0 && revision < RevisionEqual) {
        Show(MessageTable.MsgWrongFile);
        return 2;
    }
    if (AppState.forceLoader == 0 && standing < 2) {
        Show(MessageTable.MsgWrongFile);
        return 2;
    }

    int imagePhase = AppState.forceImage != 0 || revision == RevisionOlder;
    if (imagePhase) {
        if (!ImagePhase()) return 0;
    } else if (standing == 2) {
        Show(MessageTable.MsgAlreadyUpdated);
        return 2;
    }
    if (AppState.forceLoader == 0 && standing != 3) return Succeed();
    return LoaderPhase(imagePhase, &expected);
}
