// The hidden main window and the order of screens run inside its creation.
#include "app/mainwindow.h"

#include <stdio.h>

#include "app/appstate.h"
#include "app/msgbox.h"
#include "app/restart.h"
#include "drive/discovery.h"
#include "drive/passthrough.h"
#include "text/messages.h"
#include "ui/agreement.h"
#include "ui/maindialog.h"

void TellDrivesHeldElsewhere() {
    const PassThroughFindings &found = passThroughFindings;
    for (unsigned i = 0; i < found.heldCount; i++) {
        char text[sizeof MessageTable.MsgDriveHeld + CDROM_EXCLUSIVE_CALLER_LENGTH];
        snprintf(text, sizeof text, MessageTable.MsgDriveHeld, found.heldLetter[i], found.heldBy[i]);
        ShowMessage(NULL, text, MB_OK);
    }
}

const char *NoDeviceMessage() {
    const PassThroughFindings &found = passThroughFindings;
    if (found.cdLetters != 0 && found.refusedForRights == found.cdLetters)
        return MessageTable.MsgRunAsAdmin;
    return MessageTable.MsgNoDevice;
}

// The order of screens, run inside WM_CREATE. Answers the result of the
// sequence: 0 ends the run.
static INT_PTR RunScreens() {
    int japanese = AppState.primaryLanguage == LANG_ID_JAPANESE;
    INT_PTR result = 0;
    int agreed = 1;

    // A resumed run on the 9x family was agreed to before the restart.
    if (AppState.ntFamily == 1 || AppState.restartDone == 0) {
        agreed = DialogBoxParamA(AppState.instance, japanese ? "KYODAKU" : "KYODAKUUS",
                                 AppState.mainWindow, AgreementDialogProc, 0) == 1;
    }
    if (agreed) {
        TellDrivesHeldElsewhere();
        AppState.modelCounts[0] = AppState.modelCounts[1] = AppState.modelCounts[2] = 0;
        if (DiscoverDrives(1)) {
            result = DialogBoxParamA(AppState.instance, japanese ? "MainDialog" : "MainDialogUS",
                                     AppState.mainWindow, MainDialogProc, 0);
            AppState.mainDialog = NULL;
            // A dialog that could not be created would leave the run with
            // no window to end it.
            if (result == -1) result = 0;
        } else {
            SetRunValue(0);
            ShowMessage(NULL, NoDeviceMessage(), MB_OK);
        }
    }
    if (AppState.restartDone == 1 && AppState.ntFamily == 0) CleanUpRestart();
    return result;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        if (RunScreens() == 0) SendMessageA(window, WM_CLOSE, 0, 0);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_PAINT: {
        InvalidateRect(window, NULL, TRUE);
        PAINTSTRUCT ps;
        BeginPaint(window, &ps);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_VSCROLL:
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

BOOL CenterWindow(HWND window) {
    int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    RECT rect;
    GetWindowRect(window, &rect);
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    int x = screenWidth / 2 - width / 2;
    int y = screenHeight / 2 - height / 2;
    return MoveWindow(window, x, y, width, height, TRUE);
}
