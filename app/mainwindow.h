// The hidden main window whose creation runs the screens.
#pragma once
#include <windows.h>

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Moves a window to the centre of the screen; answers what MoveWindow answers.
BOOL CenterWindow(HWND window);

// What the program's own provider found at start-up, told before the drive
// list: one box for each drive that another program holds, naming it.
void TellDrivesHeldElsewhere();
// The text shown when no drive was found: the call to start the program as
// administrator when every CD drive refused to open for want of rights,
// else MsgNoDevice.
const char *NoDeviceMessage();
