// The agreement dialog: its text painted line by line and scrolled to its end.
#include "ui/agreement.h"

#include <string.h>

#include "app/appstate.h"
#include "app/cmdline.h"
#include "app/mainwindow.h"
#include "resources/resource.h"
#include "text/messages.h"
#include "ui/progress.h"

int agreementTopLine;
int agreementVisibleLines;

// The text area's client rectangle, taken before each painting of the lines.
static RECT textArea;

static int LastLine() { return AppState.primaryLanguage == LANG_ID_JAPANESE ? 90 : 95; }

void InitAgreementDialog(HWND dialog) {
    SetVersionCaption(dialog);
    CenterWindow(dialog);
    SetDlgItemTextA(dialog, IDC_AGREEMENT_DECLINE, MessageTable.LabelDecline);
    SetDlgItemTextA(dialog, IDC_AGREEMENT_ACCEPT, MessageTable.LabelAccept);

    HWND bar = GetDlgItem(dialog, IDC_AGREEMENT_SCROLL);
    RECT client;
    GetClientRect(bar, &client);
    agreementVisibleLines = client.bottom / AGREEMENT_LINE_HEIGHT;

    EnableScrollBar(bar, SB_CTL, ESB_ENABLE_BOTH);
    SCROLLINFO info;
    memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    info.nMin = 0;
    info.nMax = LastLine();
    info.nPage = (UINT)agreementVisibleLines;
    info.nPos = 0;
    SetScrollInfo(bar, SB_CTL, &info, TRUE);
}

void PaintAgreementLines(HDC dc) {
    int oldMode = SetBkMode(dc, TRANSPARENT);
    for (int i = 0; i < agreementVisibleLines; i++) {
        int line = agreementTopLine + i;
        // A thumb position past the scroll range would name lines that the
        // text buffer does not have: those bands stay empty.
        if (line < 0 || line >= AGREEMENT_SLOTS) continue;
        const char *text = MessageTable.AgreementText + AGREEMENT_SLOT * line;
        int length = (int)SpanTo(0, 0, text, AGREEMENT_SLOT) - 1;
        if (length <= 0) continue;
        RECT band = textArea;
        band.top = AGREEMENT_LINE_HEIGHT * i;
        band.bottom = band.top + AGREEMENT_LINE_HEIGHT;
        DrawTextA(dc, text, length, &band, 0);
    }
    SetBkMode(dc, oldMode);
}

int AgreementScrollTop(int code, int thumb, int top, int count, int min, int max, int page) {
    switch (code) {
    case SB_LINEUP:
        return top > min ? top - 1 : top;
    case SB_LINEDOWN:
        return top + count - 1 < max ? top + 1 : top;
    case SB_PAGEUP:
        return top - page < min ? min : top - page;
    case SB_PAGEDOWN:
        return top + page + count - 1 > max ? max - count + 1 : top + page;
    case SB_THUMBPOSITION:
    case SB_THUMBTRACK:
        return thumb;
    default:
        return top;
    }
}

static void Scroll(HWND dialog, WPARAM wParam) {
    HWND bar = GetDlgItem(dialog, IDC_AGREEMENT_SCROLL);
    SCROLLINFO info;
    memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    GetScrollInfo(bar, SB_CTL, &info);

    agreementTopLine = AgreementScrollTop(LOWORD(wParam), HIWORD(wParam), agreementTopLine,
                                          agreementVisibleLines, info.nMin, info.nMax,
                                          (int)info.nPage);
    SetScrollPos(bar, SB_CTL, agreementTopLine, TRUE);

    // The last line has come into view: the choice may be made.
    if (agreementTopLine + agreementVisibleLines - 1 == info.nMax) {
        EnableWindow(GetDlgItem(dialog, IDC_AGREEMENT_DECLINE), TRUE);
        EnableWindow(GetDlgItem(dialog, IDC_AGREEMENT_ACCEPT), TRUE);
    }

    HWND area = GetDlgItem(dialog, IDC_AGREEMENT_TEXT);
    HDC dc = GetDC(area);
    GetClientRect(area, &textArea);
    FillRect(dc, &textArea, (HBRUSH)GetStockObject(LTGRAY_BRUSH));
    PaintAgreementLines(dc);
    ReleaseDC(area, dc);
}

static void Paint(HWND dialog) {
    HWND area = GetDlgItem(dialog, IDC_AGREEMENT_TEXT);
    GetClientRect(area, &textArea);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(area, &ps);
    PaintAgreementLines(dc);
    EndPaint(area, &ps);
}

static void Command(HWND dialog, int id) {
    switch (id) {
    case IDC_AGREEMENT_DECLINE:
    case IDC_AGREEMENT_ACCEPT:
        if (IsDlgButtonChecked(dialog, id) == BST_CHECKED)
            EnableWindow(GetDlgItem(dialog, IDC_AGREEMENT_NEXT), TRUE);
        break;
    case IDC_AGREEMENT_NEXT:
        EndDialog(dialog, IsDlgButtonChecked(dialog, IDC_AGREEMENT_ACCEPT) == BST_CHECKED ? 1 : 0);
        break;
    }
}

// Answers FALSE for every message: the system chooses no focus at the start
// and does its default processing after each of these.
INT_PTR CALLBACK AgreementDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        InitAgreementDialog(dialog);
        break;
    case WM_PAINT:
        Paint(dialog);
        break;
    case WM_VSCROLL:
        Scroll(dialog, wParam);
        break;
    case WM_KEYDOWN:
        if (wParam == VK_NEXT)
            SendMessageA(dialog, WM_VSCROLL, SB_PAGEDOWN,
                         (LPARAM)GetDlgItem(dialog, IDC_AGREEMENT_SCROLL));
        else if (wParam == VK_PRIOR)
            SendMessageA(dialog, WM_VSCROLL, SB_PAGEUP,
                         (LPARAM)GetDlgItem(dialog, IDC_AGREEMENT_SCROLL));
        break;
    case WM_COMMAND:
        Command(dialog, LOWORD(wParam));
        break;
    }
    return FALSE;
}
