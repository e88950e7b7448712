// The main dialog: the drive list and the UPDATE chain.
#include "ui/maindialog.h"

#include <stdio.h>
#include <string.h>

#include "app/appstate.h"
#include "app/mainwindow.h"
#include "app/msgbox.h"
#include "app/restart.h"
#include "drive/autoinsert.h"
#include "drive/commands.h"
#include "drive/discovery.h"
#include "resources/resource.h"
#include "text/messages.h"
#include "ui/progress.h"
#include "update/download.h"
#include "update/imagefile.h"
#include "update/procedure.h"
#include "update/revision.h"

DriveSlotAddress DriveSlots[4];

enum { MAX_LISTED = 4,
       TARGETS_SCANNED = 8 };

// The controls of each slot: radio button, label, revision.
static const int slotRadio[MAX_LISTED] = {IDC_SLOT1_RADIO, IDC_SLOT2_RADIO, IDC_SLOT3_RADIO,
                                          IDC_SLOT4_RADIO};
static const int slotLabel[MAX_LISTED] = {IDC_SLOT1_LABEL, IDC_SLOT2_LABEL, IDC_SLOT3_LABEL,
                                          IDC_SLOT4_LABEL};
static const int slotRevision[MAX_LISTED] = {IDC_SLOT1_REVISION, IDC_SLOT2_REVISION,
                                             IDC_SLOT3_REVISION, IDC_SLOT4_REVISION};

void FormatSlotRevision(char *text, const char *revision, int vendorDrive, BYTE code) {
    char suffix[8] = "";
    if (vendorDrive) snprintf(suffix, sizeof suffix, " (%2x)", (unsigned)code);
    snprintf(text, 16, "%.4s%s", revision, suffix);
}

// One more row: the dialog grows by the distance between two slots, and
// UPDATE, the progress area, EXIT and the note area are moved to where
// their screen position lies relative to the dialog's outer corner.
static void GrowByOneRow(HWND dialog) {
    RECT first, second;
    GetWindowRect(GetDlgItem(dialog, IDC_SLOT1_RADIO), &first);
    GetWindowRect(GetDlgItem(dialog, IDC_SLOT2_RADIO), &second);
    int pitch = second.top - first.top;

    RECT outer;
    GetWindowRect(dialog, &outer);
    MoveWindow(dialog, outer.left, outer.top, outer.right - outer.left,
               outer.bottom - outer.top + pitch, TRUE);

    static const int moved[4] = {IDC_UPDATE, IDC_PROGRESS, IDC_EXIT, IDC_NOTE};
    for (int i = 0; i < 4; i++) {
        HWND control = GetDlgItem(dialog, moved[i]);
        RECT r;
        GetWindowRect(control, &r);
        MoveWindow(control, r.left - outer.left, r.top - outer.top, r.right - r.left,
                   r.bottom - r.top, TRUE);
    }
}

void FillDriveList(HWND dialog) {
    int listed = 0;
    for (unsigned a = 0; a < AppState.hostAdapterCount; a++) {
        for (unsigned t = 0; t < TARGETS_SCANNED; t++) {
            DriveSlot *drive = SlotOf((BYTE)a, (BYTE)t);
            if (!drive || drive->matched != 1) continue;

            int vendorDrive = QueryVendorStatus((BYTE)a, (BYTE)t) == 1;
            if (vendorDrive) {
                currentAdapter = (BYTE)a;
                currentTarget = (BYTE)t;
                ReadVendorStatus();  // the suffix shows the last code stored either way
            }
            int k = listed + 1;
            if (k > MAX_LISTED) return;
            if (k >= 2) GrowByOneRow(dialog);

            HWND radio = GetDlgItem(dialog, slotRadio[k - 1]);
            SetWindowTextA(radio, vendorDrive ? "USB" : "ATAPI");
            ShowWindow(radio, SW_SHOW);

            char text[16];
            FormatSlotRevision(text, drive->revision, vendorDrive, firmwareCode);
            HWND revision = GetDlgItem(dialog, slotRevision[k - 1]);
            SetWindowTextA(revision, text);
            ShowWindow(revision, SW_SHOW);
            ShowWindow(GetDlgItem(dialog, slotLabel[k - 1]), SW_SHOW);

            DriveSlots[k - 1].adapter = a;
            DriveSlots[k - 1].target = t;
            if (k == 1) {
                CheckDlgButton(dialog, IDC_SLOT1_RADIO, BST_CHECKED);
                AppState.selectedAdapter = (BYTE)a;
                AppState.selectedTarget = (BYTE)t;
            }
            listed = k;
        }
    }
}

// A run of the 9x family that resumed after its restart: the restart
// arrangement is cleared before the transfer. Set when the dialog opens, once
// a run.
static int resumedRun;

static void InitMainDialog(HWND dialog) {
    AppState.mainDialog = dialog;
    resumedRun = AppState.ntFamily == 0 && AppState.restartDone == 1;
    SetVersionCaption(dialog);
    CenterWindow(dialog);
    FillDriveList(dialog);
}

static void EnableButton(HWND dialog, int id, BOOL enable) {
    EnableWindow(GetDlgItem(dialog, id), enable);
}

// Asks with OK and Cancel; only OK counts as yes.
static int Ask(HWND dialog, const char *text) {
    return ShowMessage(dialog, text, MB_OKCANCEL) == IDOK;
}

// The 9x restart path: switch the notification off, arm the program to run
// again and restart. Nothing done before a failure is undone.
static void RestartForAutoInsert(HWND dialog) {
    if (!Ask(dialog, MessageTable.MsgRestartNow)) return;
    if (SwitchOffAutoInsert() != 1 || WriteRestartState() != 1 || SetRunValue(1) != 1) {
        ShowMessage(dialog, MessageTable.MsgUpdateFailed, MB_OK);
        return;
    }
    exitWindowsEx(EWX_REBOOT, 0);
}

// The UPDATE chain. Every early return leaves the dialog waiting for the
// next command.
static void Update(HWND dialog) {
    BYTE a = AppState.selectedAdapter;
    BYTE t = AppState.selectedTarget;
    const DriveSlot *drive = SlotOf(a, t);

    // 1. The image must be made for the drive's model.
    if (!drive || !ImageFitsDrive(drive->productId, ImageModel)) {
        ShowMessage(dialog, MessageTable.MsgInvalidData, MB_OK);
        return;
    }

    // 2. On the 9x family a drive that answers the vendor status command has
    // an update procedure of its own.
    if (AppState.ntFamily == 0 && QueryVendorStatus(a, t) == 1) {
        RunUpdate(a, t);
        EnableButton(dialog, IDC_EXIT, TRUE);
        return;
    }

    // 3. The automatic insert notification must be off before the transfer.
    if (AppState.restartDone == 0) {
        if (CheckAutoInsert() != 0) {
            RestartForAutoInsert(dialog);
            return;
        }
        AppState.restartDone = 1;
    }

    // 4. No disc in the tray; only the state after the fifth test counts.
    for (int i = 0; i < 5; i++) TestUnitReady(a, t);
    if (AppState.DeviceError != 0) {
        ShowMessage(dialog, MessageTable.MsgUpdateFailed, MB_OK);
        return;
    }
    if (DriveNotReady == 0) {
        EjectMedium(a, t);
        ShowMessage(dialog,
                    AppState.DeviceError == 1 ? MessageTable.MsgUpdateFailed
                                              : MessageTable.MsgTakeDiscOut,
                    MB_OK);
        return;
    }

    // 5. The image must be newer than the drive's firmware, unless forced.
    ShowMessage(dialog, MessageTable.MsgCloseApps, MB_OK);
    if (AppState.forceImage == 0) {
        int verdict =
            CheckRevision(ImageHeader.revision1, ImageHeader.revision2, ImageHeader.revision3);
        if (verdict == RevisionEqual) {
            ShowMessage(dialog, MessageTable.MsgAlreadyUpdated, MB_OK);
            return;
        }
        if (verdict == RevisionNewer || verdict == 0) {
            ShowMessage(dialog, MessageTable.MsgWrongFile, MB_OK);
            return;
        }
    }

    // 6. The last word is the user's.
    if (!Ask(dialog, MessageTable.WarningText)) return;
    EnableButton(dialog, IDC_UPDATE, FALSE);
    EnableButton(dialog, IDC_EXIT, FALSE);

    // 7. A resumed run puts the settings back before the transfer. A run
    // that found the setting off itself has nothing to clear, also at a
    // later press: a failure shown just before the firmware is written
    // would send the user to the power switch.
    if (resumedRun) {
        RestoreAutoInsert();
        DeleteFileA(AppState.autoInsertBackupPath);
        DeleteFileA(AppState.restartStatePath);
        if (SetRunValue(0) == 0) ShowMessage(dialog, MessageTable.MsgUpdateFailed, MB_OK);
    }

    // 8. The transfer.
    ShowMayTakeMinutes();
    if (TransferImage(a, t) == 1) ShowMessage(dialog, MessageTable.MsgUpdateFailedDma, MB_OK);
    EnableButton(dialog, IDC_EXIT, TRUE);

    // 9. The drive starts its new firmware only after a power cycle.
    if (AppState.ntFamily == 1)
        ShutDownWithPrivilege();
    else
        exitWindowsEx(EWX_SHUTDOWN, 0);
}

static void Select(int slot) {
    AppState.selectedAdapter = (BYTE)DriveSlots[slot].adapter;
    AppState.selectedTarget = (BYTE)DriveSlots[slot].target;
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        InitMainDialog(dialog);
        return TRUE;
    case WM_PAINT: {
        // Every paint request repaints the whole dialog area.
        InvalidateRect(dialog, NULL, TRUE);
        PAINTSTRUCT ps;
        BeginPaint(dialog, &ps);
        EndPaint(dialog, &ps);
        return TRUE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_SLOT1_RADIO: Select(0); break;
        case IDC_SLOT2_RADIO: Select(1); break;
        case IDC_SLOT3_RADIO: Select(2); break;
        case IDC_SLOT4_RADIO: Select(3); break;
        case IDC_EXIT: EndDialog(dialog, 0); break;
        case IDC_UPDATE: Update(dialog); break;
        }
        return TRUE;
    }
    return FALSE;
}
