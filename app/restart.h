// The restart cycle of the 9x family: the Run value and the restart state file.
#pragma once
#include <windows.h>

// The two system calls through which the program ends the session:
// ExitWindowsEx and AdjustTokenPrivileges in the program; unit tests put
// recorders here.
extern BOOL(WINAPI *exitWindowsEx)(UINT flags, DWORD reserved);
extern BOOL(WINAPI *adjustTokenPrivileges)(HANDLE token, BOOL disableAll,
                                           PTOKEN_PRIVILEGES newState, DWORD length,
                                           PTOKEN_PRIVILEGES previousState, PDWORD returnLength);

// 1 when the file can be opened exclusively (a file another process holds
// open counts as absent).
int FileExists(const char *path);

// With 1 adds the Run value "Discmend" (data: the bare program path), with any
// other value removes it. Answers 1 on success.
int SetRunValue(int add);

// Reads the four records of the restart state file into four zero-filled
// buffers of 261 bytes. Answers 1 when nothing failed.
int ReadRestartState(char *commandLine, char *currentDirectory, char *imageFile, char *option);

// Writes the restart state file: the command line, the current directory,
// imageFile and the option. Answers 1 when all four records were written.
int WriteRestartState();

// Enables SeShutdownPrivilege and asks Windows to shut down. Answers 1 when
// both went through.
int ShutDownWithPrivilege();

// The clean-up at the end of a resumed run: settings restored, both restart
// files deleted, Run value removed.
void CleanUpRestart();
