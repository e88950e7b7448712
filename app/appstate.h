// The one global record of the run.
#pragma once
#include "app/platform.h"

enum { PATH_CAP = 261 };  // 260 characters and a NUL

struct AppStateRecord {
    HINSTANCE instance;
    HWND mainWindow;
    HANDLE instanceMutex;
    DWORD ntFamily;
    DWORD restartDone;
    WORD primaryLanguage;
    WORD messageLanguage;
    char imageFile[PATH_CAP];
    char loaderFile[PATH_CAP];
    DWORD forceImage;
    DWORD forceLoader;
    char programPath[PATH_CAP];
    char autoInsertBackupPath[PATH_CAP];
    char restartStatePath[PATH_CAP];
    DWORD aspiSupportInfo;
    BYTE hostAdapterCount;
    BYTE selectedAdapter;
    BYTE selectedTarget;
    DWORD modelCounts[3];
    HWND mainDialog;
    volatile DWORD DeviceError;
};

extern AppStateRecord AppState;
