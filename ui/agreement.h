// The agreement dialog: the terms of use, painted line by line into a text
// area and scrolled with the dialog's own scroll bar.
#pragma once
#include <windows.h>

// Index of the text line at the top of the text area (kept for the run).
extern int agreementTopLine;
// Lines the text area shows at once, set when the dialog opens.
extern int agreementVisibleLines;

enum { AGREEMENT_LINE_HEIGHT = 20 };  // pixels per line, whatever the font

INT_PTR CALLBACK AgreementDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void InitAgreementDialog(HWND dialog);
// Draws the visible lines into the text area through dc.
void PaintAgreementLines(HDC dc);

// The top line after a scroll request: code is the request (SB_LINEUP ...),
// thumb the thumb position it carries; top, count and the scroll bar's
// range and page size as they are before the request.
int AgreementScrollTop(int code, int thumb, int top, int count, int min, int max, int page);
