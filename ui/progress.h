// The main dialog's progress bar, note and caption helpers.
#pragma once
#include "app/platform.h"

// Paints the progress (thousandths; 1000 and above is full) into the
// progress area of the main dialog.
void ShowProgress(DWORD value);
// Width in pixels of the fill for value in an area width pixels wide: the
// bar moves in whole percent and never grows past the area.
long ProgressFillWidth(DWORD value, long width);
// Shows the "this may take several minutes" note in the main dialog.
void ShowMayTakeMinutes();
// Reads the third and fourth numbers of the file version of fileName.
void ReadOwnVersion(const char *fileName, DWORD *major, DWORD *minor);
// Sets "Discmend", eight spaces and "Ver. major.minor" as the window's caption.
void SetVersionCaption(HWND window);
