// The least a Win32 program of this kind takes: the common controls
// initialised, as every such program does at start, and one dialog with a
// line of text and an OK button, built from a template in memory, shown
// until OK is pressed. bench/run.sh reads its peak working set under the
// same Wine as the program's, so that what Wine itself takes for a process
// with a dialog can be told from what the program takes.
//
// With the argument "sim" it first does what the simulated ASPI manager is
// made to do in a whole update: WNASPI32.DLL (beside it) loaded, asked for
// its adapters, and the 257 WRITE BUFFER requests of an image sent to the
// drive at 0:1 and awaited; so the simulator's own share of the working set
// can be told from the program's.
#include <windows.h>
#include <commctrl.h>

#include <string.h>

#include "drive/aspi.h"

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

// Sends the blocks of an image of zeros; 1 when each one completed.
static int FeedSimulator() {
    HMODULE dll = LoadLibraryA("WNASPI32.DLL");
    if (!dll) return 0;
    GetASPI32SupportInfoFn info = (GetASPI32SupportInfoFn)(void *)GetProcAddress(dll, MAKEINTRESOURCEA(1));
    SendASPI32CommandFn send = (SendASPI32CommandFn)(void *)GetProcAddress(dll, MAKEINTRESOURCEA(2));
    if (!info || !send || (info() & 0xFF) == 0) return 0;
    static BYTE block[4096];
    for (DWORD n = 0; n < 257; n++) {
        SRB_ExecSCSICmd srb;
        memset(&srb, 0, sizeof srb);
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_Flags = SRB_DIR_OUT;
        srb.SRB_Target = 1;
        srb.SRB_BufLen = sizeof block;
        srb.SRB_BufPointer = block;
        srb.SRB_SenseLen = SENSE_LEN;
        srb.SRB_CDBLen = 10;
        DWORD offset = n * 2048;
        BYTE cdb[10] = {SCSI_WRITE_BUFFER, (BYTE)(n < 256 ? 6 : 7), 0, (BYTE)(offset >> 16), (BYTE)(offset >> 8), (BYTE)offset, 0, 0x08, 0, 0};
        memcpy(srb.CDBByte, cdb, sizeof cdb);
        send(&srb);
        while (*(volatile BYTE *)&srb.SRB_Status == SS_PENDING) Sleep(0);
        if (srb.SRB_Status != SS_COMP) return 0;
    }
    return 1;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    InitCommonControls();
    if (strcmp(commandLine, "sim") == 0 && !FeedSimulator()) return 2;
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
