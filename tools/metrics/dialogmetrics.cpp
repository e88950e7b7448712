// dialogmetrics.exe: measures the program's dialogs in the fonts the system
// really draws them with, in the language of the running user (code page
// 932 gives the Japanese templates and texts, anything else the English).
//
// It prints, one line each:
//   font    the face asked for by the template and the face the system
//           gives, with its height and average width; the same for the
//           default font of the agreement's text area (no font selected)
//   widest  the agreement line that needs the most pixels, against the
//           text area's width
//   label   every control text in both templates, as the program sets it,
//           against the room its control gives it: "fits" or "TOO NARROW"
//
// Texts are written as bytes of the ANSI code page (Shift-JIS for Japanese);
// tools/metrics/run.sh runs it in both languages and converts the output.
// It only reports: a text that does not fit is a finding, not a failure.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "app/appstate.h"
#include "resources/resource.h"
#include "text/messages.h"
#include "ui/agreement.h"

static INT_PTR CALLBACK PlainDialogProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG;
}

static void PrintFont(const char *what, HDC dc, HFONT asked) {
    char face[LF_FACESIZE] = "";
    GetTextFaceA(dc, sizeof face, face);
    TEXTMETRICA tm;
    GetTextMetricsA(dc, &tm);
    // The face asked for, in Shift-JIS whatever the user's code page, as
    // run.sh reads the output.
    char askedFace[2 * LF_FACESIZE] = "(none)";
    LOGFONTW lf;
    if (asked && GetObjectW(asked, sizeof lf, &lf))
        WideCharToMultiByte(932, 0, lf.lfFaceName, -1, askedFace, sizeof askedFace, NULL, NULL);
    printf("font    %-30s asked \"%s\", drawn in \"%s\", height %ld, average width %ld\n", what,
           askedFace, face, tm.tmHeight, tm.tmAveCharWidth);
}

static SIZE TextSize(HDC dc, const char *text) {
    SIZE size = {0, 0};
    GetTextExtentPoint32A(dc, text, (int)strlen(text), &size);
    return size;
}

// The room a control gives its text, in pixels, and the pixels its text
// needs, measured in the control's own font.
static void MeasureControl(const char *dialogName, HWND control) {
    char text[512];
    GetWindowTextA(control, text, sizeof text);
    if (!text[0]) return;
    char cls[32];
    GetClassNameA(control, cls, sizeof cls);
    LONG style = GetWindowLongA(control, GWL_STYLE);
    RECT client;
    GetClientRect(control, &client);
    HDC dc = GetDC(control);
    HFONT font = (HFONT)SendMessageA(control, WM_GETFONT, 0, 0);
    HGDIOBJ old = SelectObject(dc, font ? (HGDIOBJ)font : GetStockObject(SYSTEM_FONT));
    int id = GetDlgCtrlID(control);
    long need, room;
    const char *kind;
    long width = client.right, height = client.bottom;

    if (lstrcmpiA(cls, "Button") == 0 && ((style & 0xF) == BS_AUTORADIOBUTTON ||
                                          (style & 0xF) == BS_RADIOBUTTON)) {
        // The button draws its glyph of 12 pixels at 96 dpi plus one, then
        // half the width of a "0" as the gap, then the text on one line.
        int dpi = GetDeviceCaps(dc, LOGPIXELSX);
        int glyph = 12 * dpi / 96 + 1;
        INT zero = 0;
        GetCharWidth32A(dc, '0', '0', &zero);
        SIZE size = TextSize(dc, text);
        kind = "radio";
        need = glyph + zero / 2 + size.cx;
        room = width;
        printf("label   %-12s %4d %-6s \"%s\": glyph %d + gap %d + text %ld = %ld px, control %ld px: %s\n",
               dialogName, id, kind, text, glyph, zero / 2, size.cx, need, room,
               need <= room ? "fits" : "TOO NARROW");
    } else if (lstrcmpiA(cls, "Button") == 0) {
        // A push button keeps its two-pixel edges and a pixel of focus frame
        // on each side clear of the text.
        SIZE size = TextSize(dc, text);
        kind = "button";
        need = size.cx + 6;
        room = width;
        printf("label   %-12s %4d %-6s \"%s\": text %ld + edges 6 = %ld px, control %ld px: %s\n",
               dialogName, id, kind, text, size.cx, need, room,
               need <= room ? "fits" : "TOO NARROW");
    } else if (style & SS_CENTERIMAGE) {
        // One line, centred vertically.
        SIZE size = TextSize(dc, text);
        need = size.cx;
        room = width;
        printf("label   %-12s %4d %-6s \"%s\": text %ld px on one line, control %ld px: %s\n",
               dialogName, id, "static", text, need, room, need <= room ? "fits" : "TOO NARROW");
    } else {
        // Word-wrapped over the control's width: the lines must fit its height.
        RECT r = {0, 0, width, 0};
        DrawTextA(dc, text, -1, &r, DT_WORDBREAK | DT_CALCRECT | DT_EXPANDTABS);
        printf(
            "label   %-12s %4d %-6s \"%s\": wrapped to %ld px wide, %ld px high, "
            "control %ld x %ld px: %s\n",
            dialogName, id, "static", text, (long)r.right, (long)r.bottom, width, height,
            r.bottom <= height && r.right <= width ? "fits" : "TOO NARROW");
    }
    SelectObject(dc, old);
    ReleaseDC(control, dc);
}

static BOOL CALLBACK MeasureChild(HWND control, LPARAM name) {
    MeasureControl((const char *)name, control);
    return TRUE;
}

int main() {
    int japanese = GetACP() == 932;
    AppState.primaryLanguage = japanese ? LANG_ID_JAPANESE : 9;
    FillMessageTable();
    HINSTANCE instance = GetModuleHandleA(NULL);
    const char *agreementName = japanese ? "KYODAKU" : "KYODAKUUS";
    const char *mainName = japanese ? "MainDialog" : "MainDialogUS";
    printf("language %s (code page %u), %d dpi\n", japanese ? "Japanese" : "English", GetACP(),
           GetDeviceCaps(GetDC(NULL), LOGPIXELSX));

    // The agreement, set up by its own dialog procedure (labels included).
    HWND agreement = CreateDialogParamA(instance, agreementName, NULL, AgreementDialogProc, 0);
    if (!agreement) {
        printf("error: no dialog %s\n", agreementName);
        return 1;
    }
    HWND area = GetDlgItem(agreement, IDC_AGREEMENT_TEXT);
    HFONT dialogFont = (HFONT)SendMessageA(agreement, WM_GETFONT, 0, 0);
    HDC dc = GetDC(area);
    HGDIOBJ old = SelectObject(dc, dialogFont);
    PrintFont("dialog font", dc, dialogFont);
    SelectObject(dc, old);
    ReleaseDC(area, dc);
    dc = GetDC(area);  // no font selected, as the lines are drawn
    PrintFont("agreement lines (DC default)", dc, NULL);
    RECT band;
    GetClientRect(area, &band);
    int last = japanese ? 90 : 95, widest = 0;
    long widestCx = -1;
    for (int i = 0; i <= last; i++) {
        SIZE size = TextSize(dc, MessageTable.AgreementText + AGREEMENT_SLOT * i);
        if (size.cx > widestCx) {
            widestCx = size.cx;
            widest = i;
        }
    }
    ReleaseDC(area, dc);
    printf("widest  %-12s line %d \"%s\": %ld px, text area %ld px: %s\n", agreementName, widest,
           MessageTable.AgreementText + AGREEMENT_SLOT * widest, widestCx, (long)band.right,
           widestCx <= band.right ? "fits" : "TOO WIDE");
    EnumChildWindows(agreement, MeasureChild, (LPARAM)agreementName);
    DestroyWindow(agreement);

    // The main dialog with the texts the program puts into it: both kinds of
    // drive, a revision with and without the firmware code, the note.
    HWND main = CreateDialogParamA(instance, mainName, NULL, PlainDialogProc, 0);
    if (!main) {
        printf("error: no dialog %s\n", mainName);
        return 1;
    }
    SetDlgItemTextA(main, IDC_SLOT1_RADIO, "ATAPI");
    SetDlgItemTextA(main, IDC_SLOT2_RADIO, "USB");
    SetDlgItemTextA(main, IDC_SLOT1_REVISION, "1.00");
    SetDlgItemTextA(main, IDC_SLOT2_REVISION, "1.00 (15)");
    SetDlgItemTextA(main, IDC_NOTE, MessageTable.MsgMayTakeMinutes);
    static const int unused[] = {IDC_SLOT3_RADIO, IDC_SLOT4_RADIO, IDC_SLOT2_LABEL,
                                 IDC_SLOT3_LABEL, IDC_SLOT4_LABEL};
    for (int id : unused) SetDlgItemTextA(main, id, "");  // the same as slots 1 and 2
    EnumChildWindows(main, MeasureChild, (LPARAM)mainName);
    DestroyWindow(main);
    return 0;
}
