// The main dialog's UPDATE chain over a fake drive on both Windows families,
// told as one story per case: the commands the drive got, the boxes the user
// saw and answered (a question ends in "?"), the restart cycle's traces when
// the first block went out ({...}) and how the session was asked to end.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>

#include "app/appstate.h"
#include "app/msgbox.h"
#include "app/restart.h"
#include "drive/discovery.h"
#include "drive/aspi_layer.h"
#include "drive/passthrough.h"
#include "drive/wait.h"
#include "fake_aspi.h"
#include "resources/resource.h"
#include "text/messages.h"
#include "tools/fixtures.h"
#include "ui/maindialog.h"
#include "update/imagefile.h"
#include "windows_port.h"

namespace {

const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\run";
const char kInstance[] = "Enum\\SCSI\\VELKOSA_HX-2150RA______1.00\\0000";

std::vector<std::pair<std::string, int>> story;  // words, repeats counted
void Tell(const std::string &word) {
    if (!story.empty() && story.back().first == word)
        story.back().second++;
    else
        story.push_back({word, 1});
}

BOOL WINAPI RecordExit(UINT flags, DWORD reserved) {
    Tell(reserved ? "reserved?" : flags == EWX_SHUTDOWN ? "shutdown"
                              : flags == EWX_REBOOT     ? "restart"
                                                        : "exit?");
    return TRUE;
}

BOOL WINAPI RecordPrivilege(HANDLE, BOOL all, PTOKEN_PRIVILEGES state, DWORD, PTOKEN_PRIVILEGES, PDWORD) {
    LUID id;
    LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &id);
    const LUID_AND_ATTRIBUTES &p = state->Privileges[0];
    Tell(!all && state->PrivilegeCount == 1 && p.Luid.LowPart == id.LowPart && p.Luid.HighPart == id.HighPart &&
                 p.Attributes == SE_PRIVILEGE_ENABLED
             ? "privilege"
             : "privilege?");
    SetLastError(0);
    return TRUE;
}

std::string answers;
int Answer(HWND owner, const char *text, unsigned style) {
#define ENTRY(name) \
    { #name, MessageTable.Msg##name }
    const std::pair<const char *, const char *> entries[] = {
        ENTRY(InvalidData), ENTRY(RestartNow), ENTRY(UpdateFailed), ENTRY(TakeDiscOut), ENTRY(CloseApps), ENTRY(AlreadyUpdated), ENTRY(WrongFile), ENTRY(UpdateFailedDma), {"Warning", MessageTable.WarningText}};
    std::string word = "[" + std::string(text) + "]";
    for (const auto &e : entries)
        if (strcmp(text, e.second) == 0) word = e.first;
    if (owner != AppState.mainDialog || (style != MB_OK && style != MB_OKCANCEL)) word += "(box?)";
    Tell(style == MB_OKCANCEL ? word + "?" : word);
    if (style != MB_OKCANCEL) return IDOK;
    bool ok = !answers.empty() && answers[0] == 'O';
    answers.erase(0, 1);
    return ok ? IDOK : IDCANCEL;
}

// The first byte of a registry value, -1 when there is none.
int Value(const char *path, const char *name) {
    HKEY key;
    BYTE data[PATH_CAP];
    DWORD size = sizeof data;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
    LONG rc = RegQueryValueExA(key, name, NULL, NULL, data, &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? data[0] : -1;
}

void SetValue(const char *path, const char *name, DWORD type, const void *data, DWORD size) {
    HKEY key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    if (data)
        RegSetValueExA(key, name, 0, type, (const BYTE *)data, size);
    else
        RegDeleteValueA(key, name);
    RegCloseKey(key);
}

// The restart files, the Run value and the drive's auto-insert setting.
std::string Left() {
    return std::string(FileExists(AppState.autoInsertBackupPath) ? "Rariru1 " : "") +
           (FileExists(AppState.restartStatePath) ? "Rariru2 " : "") +
           (Value(kRunKey, "Discmend") >= 0 ? "Run " : "") + "AI=" +
           std::to_string(Value(kInstance, "AutoInsertNotification"));
}

struct Case {
    const char *setup;    // the family, then what differs from an empty HX-2150RA at 1.00 and image 1.10
    const char *answers;  // to the questions in turn: O for OK, C for Cancel
    const char *story;    // after "=": the traces and the buttons enabled at the end
};
const Case kCases[] = {
    {"nt other-model", "", "InvalidData = AI=1 UPDATE EXIT"},
    {"nt", "O", "TURx5 CloseApps Warning? {AI=1} WB6x256 WB7 privilege shutdown = AI=1 EXIT"},
    {"nt silent", "", "TURx5 UpdateFailed = AI=1 UPDATE EXIT"},
    {"nt disc", "", "TURx5 EJECT TakeDiscOut = AI=1 UPDATE EXIT"},
    {"nt disc eject-silent", "", "TURx5 EJECT UpdateFailed = AI=1 UPDATE EXIT"},
    {"nt rev=1.10", "", "TURx5 CloseApps AlreadyUpdated = AI=1 UPDATE EXIT"},
    {"nt rev=1.20", "", "TURx5 CloseApps WrongFile = AI=1 UPDATE EXIT"},
    {"nt rev=1.10 force", "O", "TURx5 CloseApps Warning? {AI=1} WB6x256 WB7 privilege shutdown = AI=1 EXIT"},
    {"nt", "C", "TURx5 CloseApps Warning? = AI=1 UPDATE EXIT"},
    {"nt attention", "O", "TURx5 CloseApps Warning? {AI=1} WB6x256 WB7 privilege shutdown = AI=1 EXIT"},
    {"nt usb", "O", "TURx5 CloseApps Warning? {AI=1} WB6x256 WB7 privilege shutdown = AI=1 EXIT"},
    {"nt refused", "O", "TURx5 CloseApps Warning? {AI=1} WB6x101 UpdateFailedDma privilege shutdown = AI=1 EXIT"},
    {"9x other-model", "", "InvalidData = AI=1 UPDATE EXIT"},
    {"9x ai=0", "O", "STATUS TURx5 CloseApps Warning? {AI=0} WB6x256 WB7 shutdown = AI=0 EXIT"},
    {"9x", "C", "STATUS RestartNow? = AI=1 UPDATE EXIT"},
    {"9x", "O", "STATUS RestartNow? restart = Rariru1 Rariru2 Run AI=0 UPDATE EXIT"},
    {"9x state-unwritable", "O", "STATUS RestartNow? UpdateFailed = Rariru1 AI=0 UPDATE EXIT"},
    {"9x resumed", "O", "STATUS TURx5 CloseApps Warning? {AI=1} WB6x256 WB7 shutdown = AI=1 EXIT"},
    {"9x resumed no-run-value", "O", "STATUS TURx5 CloseApps Warning? UpdateFailed {AI=1} WB6x256 WB7 shutdown = AI=1 EXIT"},
    {"9x resumed", "C", "STATUS TURx5 CloseApps Warning? = Rariru1 Rariru2 Run AI=0 UPDATE EXIT"},
    {"9x ai=0 silent", "", "STATUS TURx5 UpdateFailed = AI=0 UPDATE EXIT"},
    {"9x ai=0 disc", "", "STATUS TURx5 EJECT TakeDiscOut = AI=0 UPDATE EXIT"},
    {"9x ai=0 attention", "O", "STATUS TURx5 CloseApps Warning? {AI=0} WB6x256 WB7 shutdown = AI=0 EXIT"},
    // A press after a Cancel: the setting was found off by this run, nothing to clear.
    {"9x ai=0 twice", "CO", "STATUS TURx5 CloseApps Warning? STATUS TURx5 CloseApps Warning? {AI=0} WB6x256 WB7 shutdown = AI=0 EXIT"},
    // A drive that answers the vendor status command has a procedure of its own.
    {"9x usb disc", "", "STATUS TURx5 EJECT TakeDiscOut = AI=1 UPDATE EXIT"},
    // Through the program's own pass-through on Windows' storage stack: the
    // drive is locked for the firmware alone, on the provider's handle.
    {"nt pt", "O", "TURx5 CloseApps Warning? LOCK {AI=1} WB6x256 WB7 UNLOCK privilege shutdown = AI=1 EXIT"},
    {"nt pt refused", "O", "TURx5 CloseApps Warning? LOCK {AI=1} WB6x101 UNLOCK UpdateFailedDma privilege shutdown = AI=1 EXIT"},
    {"nt pt lock-unknown", "O", "TURx5 CloseApps Warning? LOCK(unknown) {AI=1} WB6x256 WB7 privilege shutdown = AI=1 EXIT"},
    {"nt pt mounted", "O", "TURx5 CloseApps Warning? LOCK(refused) UpdateFailedDma privilege shutdown = AI=1 EXIT"},
    {"nt pt disc", "", "TURx5 EJECT TakeDiscOut = AI=1 UPDATE EXIT"},
    {"nt pt", "C", "TURx5 CloseApps Warning? = AI=1 UPDATE EXIT"},
};

struct MainDialog : ::testing::Test {
    char dir[MAX_PATH];
    std::string setup;
    bool Has(const char *word) { return setup.find(std::string(" ") + word + " ") != std::string::npos; }

    void SetUp() override {
        GetTempPathA(sizeof dir, dir);
        snprintf(dir + strlen(dir), 40, "discmend-chain-%lu", GetCurrentProcessId());
        CreateDirectoryA(dir, NULL);
        snprintf(AppState.imageFile, PATH_CAP, "%s\\fw.bin", dir);
        ASSERT_TRUE(WriteFileBytes(AppState.imageFile, MakeImage(ImageOptions())));
        snprintf(AppState.autoInsertBackupPath, PATH_CAP, "%s\\Rariru1.DAT", dir);
        strcpy(AppState.programPath, "C:\\prog\\Discmend.exe");
        exitWindowsEx = RecordExit;
        adjustTokenPrivileges = RecordPrivilege;
    }
    void TearDown() override {
        DrainFake();
        exitWindowsEx = ExitWindowsEx;
        adjustTokenPrivileges = AdjustTokenPrivileges;
        SetValue(kRunKey, "Discmend", 0, NULL, 0);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kInstance);
        for (const char *file : {AppState.imageFile, AppState.autoInsertBackupPath, AppState.restartStatePath})
            DeleteFileA(file);
        RemoveDirectoryA(dir);
    }

    // Runs the presses of one case; answers its story.
    std::string Run(const Case &c) {
        setup = " " + std::string(c.setup) + " ";
        ResetFake();
        MessageBoxHook = Answer;
        answers = c.answers;
        story.clear();
        FakeDrive d;
        d.usb = Has("usb"), d.disc = Has("disc");
        d.product = d.usb ? "HX-2170RA USB" : "HX-2150RA";
        d.revision = Has("rev=1.10") ? "1.10" : Has("rev=1.20") ? "1.20"
                                                                : "1.00";
        drives = {d};
        memset(DriveTable, 0, sizeof DriveTable);
        snprintf(DriveTable[1].productId, 14, "%-13s", d.product.c_str());
        strcpy(DriveTable[1].revision, d.revision.c_str());
        DriveTable[1].matched = 1;
        AppState.hostAdapterCount = 1;
        AppState.loaderFile[0] = 0;
        bool usbImage = d.usb != Has("other-model");  // the drive's own model, or the other one
        strcpy(ImageModel, usbImage ? "HX-2170RA" : "HX-2150RA");
        strcpy(ImageHeader.revision3, "1.10");
        AppState.forceImage = Has("force");
        AppState.ntFamily = Has("nt");
        AppState.restartDone = Has("nt") || Has("resumed");
        snprintf(AppState.restartStatePath, PATH_CAP, "%s\\%sRariru2.DAT", dir, Has("state-unwritable") ? "no\\" : "");
        DeleteFileA(AppState.autoInsertBackupPath);
        DeleteFileA(AppState.restartStatePath);
        BYTE on = !Has("ai=0") && !Has("resumed");
        SetValue(kInstance, "AutoInsertNotification", REG_BINARY, &on, 1);
        SetValue(kRunKey, "Discmend", 0, NULL, 0);
        if (Has("resumed")) {  // a backup that holds the setting on, a state file, the Run value
            std::string record = std::string(kInstance) + '\0' + "1" + '\0';
            WriteFileBytes(AppState.autoInsertBackupPath, std::vector<uint8_t>(record.begin(), record.end()));
            WriteFileBytes(AppState.restartStatePath, {'x', 0, 'y', 0, 'f', 0, 0});
            if (!Has("no-run-value"))
                SetValue(kRunKey, "Discmend", REG_SZ, AppState.programPath, strlen(AppState.programPath) + 1);
        }
        if (Has("pt")) {  // the drive behind D:, reached through the provider
            PortDrive port;
            port.lock = Has("lock-unknown") ? PORT_LOCK_UNKNOWN : Has("mounted") ? PORT_LOCK_MOUNTED
                                                                                 : PORT_LOCK_FREE;
            UseWindowsPort({port});
            if (OpenPassThroughDrives() != 1) return "no drive on D:";
            aspiGetSupportInfo = PassThroughSupportInfo;
            aspiSendCommand = PassThroughSendCommand;
            TickCount = [] { return GetTickCount(); };  // the fake ticks run away while the provider's thread works
            portEvent = Tell;
        }
        HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), "MainDialogUS", NULL, MainDialogProc, 0);
        DrainFake();
        int attentions = 0;
        fault = [this, attentions](const Sent &s, SRB_ExecSCSICmd *srb) mutable {
            const char *words[] = {"TUR", "EJECT", "STATUS", "WB6", "WB7"};
            int op = s.Is(SCSI_TEST_UNIT_READY) ? 0 : s.Is(SCSI_START_STOP_UNIT) ? 1
                                                  : s.Is(VENDOR_STATUS)          ? 2
                                                  : s.Is(SCSI_WRITE_BUFFER, 6)   ? 3
                                                  : s.Is(SCSI_WRITE_BUFFER, 7)   ? 4
                                                                                 : -1;
            if (op == 3 && s.Offset() == 0) Tell("{" + Left() + "}");
            Tell(op < 0 ? "op?" : words[op]);
            if ((Has("silent") && op == 0) || (Has("eject-silent") && op == 1)) return 0;
            if (Has("refused") && op == 3 && s.Offset() == 100 * 2048) return (int)SS_ERR;
            if (Has("attention") && op == 0 && attentions < 4) {  // power on, then medium changed
                srb->SRB_TargStat = STATUS_CHKCOND;
                srb->SenseArea[2] = 6;
                srb->SenseArea[12] = attentions++ ? 0x28 : 0x29;
                return (int)SS_ERR;
            }
            return -1;
        };
        for (int i = 0; i < (Has("twice") ? 2 : 1); i++) {
            SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_UPDATE, BN_CLICKED), 0);
            DrainFake();
        }
        std::string told;
        for (const auto &w : story)
            told += (told.empty() ? "" : " ") + w.first + (w.second > 1 ? "x" + std::to_string(w.second) : "");
        told += " = " + Left() + (IsWindowEnabled(GetDlgItem(dialog, IDC_UPDATE)) ? " UPDATE" : "") +
                (IsWindowEnabled(GetDlgItem(dialog, IDC_EXIT)) ? " EXIT" : "");
        DestroyWindow(dialog);
        fault = nullptr;
        if (Has("pt")) LeaveWindowsPort();
        return told;
    }
};

TEST_F(MainDialog, EveryWayThroughTheUpdateChain) {
    for (const Case &c : kCases) EXPECT_EQ(Run(c), c.story) << c.setup << " answering " << c.answers;
}

}  // namespace
