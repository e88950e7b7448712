// The least a Win32 program with a user interface takes: one dialog with a
// line of text and an OK button, built from a template in memory, shown
// until OK is pressed. bench/run.sh reads its peak working set under the
// same Wine as the program's, so that what Wine itself takes for a process
// with a dialog can be told from what the program takes.
#include <windows.h>

#include <string.h>

// A dialog template: the header, no menu, the standard class, the caption
// and the font, then each control aligned to a DWORD. The texts are UTF-16.
static WORD templateWords[256];
static unsigned used;

static void Word(WORD w) { templateWords[used++] = w; }

static void Text(const char *text) {
    do Word((WORD)(unsigned char)*text);
    while (*text++);
}

static void AlignDword() {
    if (used % 2) Word(0);
}

static void Control(WORD id, WORD atom, DWORD style, short x, short y, short cx, short cy,
                    const char *text) {
    AlignDword();
    DLGITEMTEMPLATE item = {style | WS_CHILD | WS_VISIBLE, 0, x, y, cx, cy, id};
    memcpy(&templateWords[used], &item, sizeof item);
    used += sizeof item / sizeof(WORD);
    Word(0xFFFF);  // a predefined class, by atom
    Word(atom);
    Text(text);
    Word(0);  // no creation data
}

static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    return message == WM_INITDIALOG;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    DLGTEMPLATE header = {DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_VISIBLE, 0, 2,
                          0, 0, 160, 60};
    memcpy(templateWords, &header, sizeof header);
    used = sizeof header / sizeof(WORD);
    Word(0);  // no menu
    Word(0);  // the standard dialog class
    Text("Baseline");
    Word(8);
    Text("MS Sans Serif");
    Control(1000, 0x0082, SS_LEFT, 10, 10, 140, 12, "One dialog, nothing else.");
    Control(IDOK, 0x0080, BS_DEFPUSHBUTTON | WS_TABSTOP, 55, 35, 50, 16, "OK");
    return (int)DialogBoxIndirectParamA(instance, (LPCDLGTEMPLATEA)templateWords, NULL, DialogProc,
                                        0);
}
