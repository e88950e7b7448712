// The hidden main window whose creation runs the screens.
#pragma once
#include <windows.h>

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Moves a window to the centre of the screen; answers what MoveWindow answers.
BOOL CenterWindow(HWND window);
