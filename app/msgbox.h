// Message boxes: caption "Discmend", the user's language, no icon.
#pragma once
#include "app/platform.h"

// style is MB_OK or MB_OKCANCEL; answers what MessageBoxExA answers.
int ShowMessage(HWND owner, const char *text, unsigned style);

// Unit tests set this to see the boxes without a desktop; the program never does.
extern int (*MessageBoxHook)(HWND owner, const char *text, unsigned style);
