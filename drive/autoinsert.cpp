#include "drive/autoinsert.h"

#include <windows.h>

#include "app/appstate.h"

static const char autoInsertValue[] = "AutoInsertNotification";

int ReadAutoInsertRecord(HANDLE file, char *path, BYTE *value) {
    unsigned n = 0;
    for (;;) {
        char c;
        DWORD got = 0;
        if (!ReadFile(file, &c, 1, &got, NULL) || got == 0) return 0;
        if (n == 260) return 0;  // no path is this long: not a record
        path[n++] = c;
        if (c == 0) break;
    }
    // Both value bytes must be there: a record cut short is not restored.
    BYTE text[2];
    DWORD got = 0;
    if (!ReadFile(file, text, 2, &got, NULL) || got != 2) return 0;
    *value = (BYTE)(text[0] - '0');
    return 1;
}

int RestoreAutoInsert() {
    HANDLE file = CreateFileA(AppState.autoInsertBackupPath, GENERIC_READ, 0, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    int result = 1;
    char path[261];
    BYTE value;
    while (ReadAutoInsertRecord(file, path, &value)) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
            result = 0;
            continue;
        }
        if (RegSetValueExA(key, autoInsertValue, 0, REG_BINARY, &value, 1) != ERROR_SUCCESS)
            result = 0;
        RegCloseKey(key);
    }
    CloseHandle(file);
    return result;
}
