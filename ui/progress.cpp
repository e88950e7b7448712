// The progress bar, the note and the version caption of the main dialog.
#include "ui/progress.h"

#include <stdio.h>
#include <stdlib.h>

#include "app/appstate.h"
#include "text/messages.h"

enum { ID_PROGRESS = 1013,
       ID_NOTE = 1015 };

long ProgressFillWidth(DWORD value, long width) {
    long percent = (100 * (long)value) / 1000;
    long fill = (percent * width) / 100;
    return width > fill ? fill : width;
}

void ShowProgress(DWORD value) {
    if (!AppState.mainDialog) return;
    HWND area = GetDlgItem(AppState.mainDialog, ID_PROGRESS);
    if (!area) return;
    RECT client;
    GetClientRect(area, &client);
    client.right = ProgressFillWidth(value, client.right - client.left);
    HDC dc = GetDC(area);
    HBRUSH blue = CreateSolidBrush(RGB(0, 0, 255));
    FillRect(dc, &client, blue);
    DeleteObject(blue);
    ReleaseDC(area, dc);
    if (value % 10 == 0) UpdateWindow(AppState.mainDialog);
}

void ShowMayTakeMinutes() {
    SetDlgItemTextA(AppState.mainDialog, ID_NOTE, MessageTable.MsgMayTakeMinutes);
}

void ReadOwnVersion(const char *fileName, DWORD *major, DWORD *minor) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(fileName, &ignored);
    if (size == 0) return;
    void *block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
    if (!block) return;
    if (GetFileVersionInfoA(fileName, 0, size, block)) {
        VS_FIXEDFILEINFO *info = NULL;
        UINT length = 0;
        if (VerQueryValueA(block, "\\", (void **)&info, &length) && info) {
            *minor = LOWORD(info->dwFileVersionLS);
            *major = HIWORD(info->dwFileVersionLS);
        }
    }
    HeapFree(GetProcessHeap(), 0, block);
}

void SetVersionCaption(HWND window) {
    DWORD major = 0, minor = 0;
    ReadOwnVersion("Discmend.exe", &major, &minor);
    char caption[256];
    snprintf(caption, sizeof caption, "Discmend        Ver. %d.%d", (int)major, (int)minor);
    SetWindowTextA(window, caption);
}
