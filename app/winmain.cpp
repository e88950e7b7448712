// The entry: single instance, run mode, language, image and loader checks,
// then the hidden main window whose creation runs the screens.
#include <windows.h>
#include <commctrl.h>
#include <string.h>

#include "app/appstate.h"
#include "app/cmdline.h"
#include "app/launchlist.h"
#include "app/mainwindow.h"
#include "app/msgbox.h"
#include "app/restart.h"
#include "drive/aspi_layer.h"
#include "drive/autoinsert.h"
#include "text/messages.h"
#include "update/imagefile.h"

// The entry's working buffers.
static char commandLineBuffer[PATH_CAP];
static char option1[PATH_CAP];
static char option2[PATH_CAP];
static char currentDirectory[PATH_CAP];

static void BuildRestartPath(char *path, const char *fileName) {
    if (GetWindowsDirectoryA(path, PATH_CAP) == 0)
        ShowMessage(NULL, MessageTable.MsgUpdateFailed, MB_OK);
    size_t used = strlen(path);
    if (used + 1 + strlen(fileName) + 1 > PATH_CAP) {
        // A Windows directory this long leaves no room for the name: the
        // restart files are then never found and never written.
        path[0] = 0;
        return;
    }
    strcat(path, "\\");
    strcat(path, fileName);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    memset(commandLineBuffer, 0, sizeof commandLineBuffer);
    memset(option1, 0, sizeof option1);
    memset(option2, 0, sizeof option2);
    memset(currentDirectory, 0, sizeof currentDirectory);

    HANDLE other = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "DiscmendInstance");
    if (other) {
        CloseHandle(other);
        return 0;
    }
    AppState.instanceMutex = CreateMutexA(NULL, FALSE, "DiscmendInstance");

    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(NULL, (LPCSTR)IDI_APPLICATION);
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = "LINKTEST";
    if (!RegisterClassA(&wc)) {
        MessageBoxExA(NULL, "WinMain(): RegisterClass() failed", "Error - ASPI for Win32",
                      MB_ICONEXCLAMATION, 0);
        return 0;
    }
    AppState.instance = instance;
    AppState.ntFamily = GetVersion() < 0x80000000u ? 1 : 0;
    InitCommonControls();

    LANGID lang = GetUserDefaultLangID();
    AppState.primaryLanguage = lang & 0x3FF;
    AppState.messageLanguage = (WORD)(AppState.primaryLanguage | ((lang >> 10) << 10));
    FillMessageTable();

    BuildRestartPath(AppState.autoInsertBackupPath, "Rariru1.DAT");
    BuildRestartPath(AppState.restartStatePath, "Rariru2.DAT");

    // A command line that does not fit its buffer is not taken apart: the
    // image it names can't be known, so the image check below refuses it.
    int commandLineFits = 1;
    if (AppState.autoInsertBackupPath[0] && AppState.restartStatePath[0] &&
        FileExists(AppState.autoInsertBackupPath) && FileExists(AppState.restartStatePath)) {
        AppState.restartDone = 1;
        if (!ReadRestartState(commandLineBuffer, currentDirectory, AppState.imageFile, option1))
            ShowMessage(NULL, MessageTable.MsgUpdateFailed, MB_OK);
        if (!SetCurrentDirectoryA(currentDirectory))
            ShowMessage(NULL, MessageTable.MsgUpdateFailed, MB_OK);
    } else {
        commandLineFits = CopyBounded(commandLineBuffer, GetCommandLineA(), PATH_CAP);
    }

    if (AppState.restartDone == 0 && commandLineFits)
        ParseCommandLine(commandLineBuffer, AppState.imageFile, option1);
    if (AppState.ntFamily == 1) AppState.restartDone = 1;

    if (AppState.imageFile[0] == 0 && commandLineFits &&
        (AppState.restartDone == 0 || AppState.ntFamily == 1))
        ReadLaunchList(AppState.imageFile, option1, AppState.loaderFile, option2);

    AppState.forceImage = IsForceOption(option1);
    AppState.forceLoader = IsForceOption(option2);
    DeriveProgramPath(commandLineBuffer, AppState.programPath);

    if (!CheckImageSize() || !ReadImageHeader(IMAGE_RECORD_OFFSET, &ImageHeader)) {
        SetRunValue(0);
        if (AppState.restartDone == 1 && AppState.ntFamily == 0) {
            RestoreAutoInsert();
            DeleteFileA(AppState.autoInsertBackupPath);
            DeleteFileA(AppState.restartStatePath);
        }
        return 0;
    }

    if (!CheckLoaderPresent()) {
        ShowMessage(NULL, MessageTable.MsgNoDataFile, MB_OK);
        return 0;
    }
    // A loader whose body or identification digits lie beyond what could be
    // loaded would be sent or judged from stale bytes: refuse it now.
    if (AppState.loaderFile[0] && !LoaderLayoutValid()) {
        ShowMessage(NULL, MessageTable.MsgInvalidData, MB_OK);
        return 0;
    }

    AppState.aspiSupportInfo = GetASPI32SupportInfo();
    AppState.hostAdapterCount = (BYTE)(AppState.aspiSupportInfo & 0xFF);

    AppState.mainWindow =
        CreateWindowExA(0, "LINKTEST", "ASPI for WIN32 Sample Application", WS_OVERLAPPEDWINDOW,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL,
                        instance, NULL);
    if (!AppState.mainWindow) return 0;

    if (AppState.hostAdapterCount != 0 && ((AppState.aspiSupportInfo >> 8) & 0xFF) == SS_COMP) {
        MSG msg;
        while (GetMessageA(&msg, NULL, 0, 0)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        return (int)msg.wParam;
    }
    ShowMessage(NULL, "No ASPI for WIN32 support detected.", MB_OK);
    return 0;
}
