// The 9x restart cycle: the Run value, the restart state file and the shutdown requests.
#include "app/restart.h"

#include <windows.h>
#include <string.h>

#include "app/appstate.h"
#include "app/cmdline.h"
#include "app/restartstate.h"
#include "drive/autoinsert.h"

BOOL(WINAPI *exitWindowsEx)
(UINT, DWORD) = ExitWindowsEx;
BOOL(WINAPI *adjustTokenPrivileges)
(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES,
 PDWORD) = AdjustTokenPrivileges;

static const char runKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\run";

int FileExists(const char *path) {
    HANDLE file = CreateFileA(path, 0, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    CloseHandle(file);
    return 1;
}

int SetRunValue(int add) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, runKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return 0;
    LONG rc;
    if (add == 1) {
        DWORD length = SpanTo(0, 0, AppState.programPath, sizeof AppState.programPath);
        rc = RegSetValueExA(key, "Discmend", 0, REG_SZ, (const BYTE *)AppState.programPath, length);
    } else {
        rc = RegDeleteValueA(key, "Discmend");
    }
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

// The byte source over the file. A failed read ends the record being read,
// as the end of the file does, and is remembered: the read then answers 0.
struct FileSource {
    HANDLE file;
    int failed;
};

static int ReadFileByte(void *context, unsigned char *byte) {
    FileSource *source = (FileSource *)context;
    DWORD got = 0;
    if (!ReadFile(source->file, byte, 1, &got, NULL)) {
        source->failed = 1;
        return 0;
    }
    return got == 1;
}

int ReadRestartState(char *commandLine, char *currentDirectory, char *imageFile, char *option) {
    HANDLE file = CreateFileA(AppState.restartStatePath, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    FileSource source = {file, 0};
    ParseRestartState(ReadFileByte, &source, commandLine, currentDirectory, imageFile, option);
    CloseHandle(file);
    return !source.failed;
}

static int WriteRecord(HANDLE file, const char *text, unsigned cap) {
    DWORD length = SpanTo(0, 0, text, cap);
    DWORD written = 0;
    return length != 0 && WriteFile(file, text, length, &written, NULL) && written == length;
}

int WriteRestartState() {
    HANDLE file = CreateFileA(AppState.restartStatePath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    // A command line longer than the buffer is cut: the record stays a
    // NUL-terminated text that the resumed run can read back.
    char first[264];
    CopyBounded(first, GetCommandLineA(), sizeof first);
    int ok = WriteRecord(file, first, sizeof first);
    char directory[PATH_CAP];
    memset(directory, 0, sizeof directory);
    if (GetCurrentDirectoryA(sizeof directory, directory) >= sizeof directory) directory[0] = 0;
    ok &= WriteRecord(file, directory, sizeof directory);
    ok &= WriteRecord(file, AppState.imageFile, sizeof AppState.imageFile);
    strcpy(first, AppState.forceImage == 1 ? "/NON" : "");
    ok &= WriteRecord(file, first, sizeof first);
    CloseHandle(file);
    return ok;
}

int ShutDownWithPrivilege() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return 0;
    TOKEN_PRIVILEGES privileges;
    memset(&privileges, 0, sizeof privileges);
    LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    adjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
    DWORD error = GetLastError();
    CloseHandle(token);
    if (!exitWindowsEx(EWX_SHUTDOWN, 0)) return 0;
    return error == 0;
}

void CleanUpRestart() {
    RestoreAutoInsert();
    DeleteFileA(AppState.autoInsertBackupPath);
    DeleteFileA(AppState.restartStatePath);
    SetRunValue(0);
}
