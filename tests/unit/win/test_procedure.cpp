// The update procedure of USB drives against a fake drive that restarts,
// moves and changes its codes the way a test describes, on a tick counter
// that makes the fixed waits and the time-outs instant.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "app/appstate.h"
#include "app/msgbox.h"
#include "drive/commands.h"
#include "drive/discovery.h"
#include "drive/wait.h"
#include "fake_aspi.h"
#include "text/messages.h"
#include "tools/fixtures.h"
#include "update/download.h"
#include "update/imagefile.h"
#include "update/procedure.h"

namespace {

// What the drive turns into after the finish command or the loader.
struct Stage {
    int adapter = -1, target = -1;  // new address (-1: unchanged)
    std::string revision;           // empty: unchanged
    int firmware = -1, model = -1;  // new codes (-1: unchanged)
    int downScans = 0;              // INQUIRYs at the new address answered "no device"
};

struct Drive {
    int adapter = 0, target = 1;
    std::string product = "HX-2170RA USB";
    std::string revision = "1.00";
    BYTE firmware = 0x10, model = 0x21;
    bool disc = false;
    int down = 0;
    Stage afterFinish, afterLoader;
};

struct Req {
    int ha, tgt;
    BYTE cdb[12];
    DWORD bufLen;
    DWORD time;       // fake tick count when sent
    DWORD progress;   // progressValue when sent
    std::vector<BYTE> body;  // loader command: the data carried
};

Drive drive;
Drive bystander;  // another drive that takes no part in the run (adapter -1: none)
std::vector<Req> log;
std::vector<BYTE> assembled;
// -1: no fault; otherwise the status the request ends with (0: never).
std::function<int(const Req &)> fault;
std::function<void(const Req &)> onRequest;  // runs after a request is logged
struct Box {
    HWND owner;
    std::string text;
    unsigned style;
};
std::vector<Box> boxes;
int confirmAnswer = IDOK;

bool IsStatusRead(const Req &r) { return r.cdb[0] == 0xCC && r.bufLen == 18; }
bool IsRevisionInquiry(const Req &r) { return r.cdb[0] == 0x12 && (r.cdb[1] & 1); }
bool IsBlock(const Req &r) { return r.cdb[0] == 0x3B; }
bool IsFinish(const Req &r) { return r.cdb[0] == 0xCD && r.cdb[1] == 0xFF; }
bool IsLoader(const Req &r) { return r.cdb[0] == 0xCD && r.cdb[1] == 0x00; }

int Count(bool (*what)(const Req &)) {
    int n = 0;
    for (const Req &r : log) n += what(r);
    return n;
}

void Apply(const Stage &s) {
    if (s.adapter >= 0) drive.adapter = s.adapter;
    if (s.target >= 0) drive.target = s.target;
    if (!s.revision.empty()) drive.revision = s.revision;
    if (s.firmware >= 0) drive.firmware = (BYTE)s.firmware;
    if (s.model >= 0) drive.model = (BYTE)s.model;
    drive.down = s.downScans;
}

BYTE Execute(SRB_ExecSCSICmd *srb) {
    Req r;
    r.ha = srb->SRB_HaId;
    r.tgt = srb->SRB_Target;
    memset(r.cdb, 0, sizeof r.cdb);
    memcpy(r.cdb, srb->CDBByte, srb->SRB_CDBLen < 12 ? srb->SRB_CDBLen : 12);
    r.bufLen = srb->SRB_BufLen;
    r.time = TickCount();  // the fake clock stands still while a request is out
    r.progress = progressValue;
    if (IsLoader(r)) r.body.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + srb->SRB_BufLen);
    log.push_back(r);
    if (onRequest) onRequest(r);
    int forced = fault ? fault(r) : -1;
    if (forced >= 0) return (BYTE)forced;

    bool ours = r.ha == drive.adapter && r.tgt == drive.target;
    if (!ours && (r.ha != bystander.adapter || r.tgt != bystander.target)) return SS_NO_DEVICE;
    Drive &d = ours ? drive : bystander;
    BYTE op = r.cdb[0];
    BYTE *reply = srb->SRB_BufPointer;
    if (d.down > 0) {
        if (op == 0x12 && !(r.cdb[1] & 1)) d.down--;
        return SS_NO_DEVICE;
    }
    switch (op) {
    case 0x12:
        memset(reply, 0, srb->SRB_BufLen);
        if (r.cdb[1] & 1) {
            memcpy(reply + 32, d.revision.data(), 4);
        } else {
            memset(reply + 16, ' ', 16);
            memcpy(reply + 16, d.product.data(), d.product.size());
        }
        return SS_COMP;
    case 0x00:
        if (d.disc) return SS_COMP;
        srb->SRB_TargStat = STATUS_CHKCOND;
        srb->SenseArea[2] = 2;
        srb->SenseArea[12] = 0x3A;
        return SS_ERR;
    case 0x1B:
        d.disc = false;
        return SS_COMP;
    case 0xCC:
        memset(reply, 0, 18);
        reply[12] = d.firmware;
        reply[13] = d.model;
        return SS_COMP;
    case 0x3B: {
        DWORD offset = r.cdb[3] << 16 | r.cdb[4] << 8 | r.cdb[5];
        if (offset + 2048 <= assembled.size()) memcpy(&assembled[offset], reply, 2048);
        return SS_COMP;
    }
    case 0xCD:
        if (ours) Apply(r.cdb[1] == 0xFF ? drive.afterFinish : drive.afterLoader);
        return SS_COMP;
    }
    return SS_ERR;
}

int RecordBox(HWND owner, const char *text, unsigned style) {
    boxes.push_back({owner, text, style});
    return style == MB_OKCANCEL ? confirmAnswer : IDOK;
}

// The body as the runtime's text-mode read leaves it: CR LF becomes LF, the
// content ends before 0x1A.
std::vector<BYTE> TextModeContent(const std::vector<uint8_t> &file) {
    std::vector<BYTE> out;
    for (size_t i = 0; i < file.size(); i++) {
        if (file[i] == 0x1A) break;
        if (file[i] == 0x0D && i + 1 < file.size() && file[i + 1] == 0x0A) continue;
        out.push_back(file[i]);
    }
    return out;
}

struct Update : ::testing::Test {
    FakeAspi fake;
    char dir[MAX_PATH];
    char previous[MAX_PATH];
    HWND dialog = NULL;
    std::vector<uint8_t> image;
    std::vector<uint8_t> loaderFileBytes;
    LoaderOptions loader;
    ImageOptions imageSpec;
    bool writeLoader = true;

    void SetUp() override {
        GetCurrentDirectoryA(sizeof previous, previous);
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        snprintf(dir, sizeof dir, "%sdiscmend-upd-%lu-%lu", temp, GetCurrentProcessId(),
                 GetTickCount());
        CreateDirectoryA(dir, NULL);
        SetCurrentDirectoryA(dir);
        Reset();
    }
    // Everything a run depends on, back to a USB drive at 0:1 with an image
    // newer than its firmware and a loader whose codes are newer too.
    void Reset() {
        DrainFakeAspi();
        if (fake.held) {
            // A request that timed out in the last run ends now, so that the
            // shared download request is free again.
            CompleteHeldLater(fake.held, SS_ABORTED);
            fake.held = nullptr;
        }
        InstallFakeAspi(&fake);
        fake.execute = Execute;
        fake.supportInfo = 0x0102;
        TickCount = FakeTicks;
        fakeTickStep = 1;  // a DelayMs of 190 ms costs 191 readings
        drive = Drive();
        bystander = Drive();
        bystander.adapter = -1;
        log.clear();
        boxes.clear();
        fault = nullptr;
        onRequest = nullptr;
        confirmAnswer = IDOK;
        assembled.assign(IMAGE_SIZE, 0);
        writeLoader = true;
        loader = LoaderOptions();
        imageSpec = ImageOptions();
        imageSpec.rev1 = imageSpec.rev3 = "1.10";

        AppState.primaryLanguage = 9;
        FillMessageTable();
        MessageBoxHook = RecordBox;
        AppState.DeviceError = 0;
        AppState.forceImage = AppState.forceLoader = 0;
        AppState.hostAdapterCount = 2;
        memset(DriveTable, 0, sizeof DriveTable);
        memset(AppState.modelCounts, 0, sizeof AppState.modelCounts);
        progressValue = 0;
        DriveNotReady = 0;
        DeleteFileA("fw.bin");
        DeleteFileA(AppState.loaderFile);
        strcpy(AppState.imageFile, "fw.bin");
        strcpy(AppState.loaderFile, "LDR_01.bin");

        // A dialog with the two buttons and the two areas that the run uses.
        if (dialog) DestroyWindow(dialog);
        dialog = CreateWindowA("STATIC", "main", WS_POPUP, 0, 0, 300, 200, NULL, NULL, NULL, NULL);
        CreateWindowA("BUTTON", "UPDATE", WS_CHILD, 0, 0, 50, 20, dialog, (HMENU)1001, NULL, NULL);
        CreateWindowA("BUTTON", "EXIT", WS_CHILD, 60, 0, 50, 20, dialog, (HMENU)1002, NULL, NULL);
        CreateWindowA("STATIC", "", WS_CHILD, 0, 30, 200, 20, dialog, (HMENU)1013, NULL, NULL);
        CreateWindowA("STATIC", "", WS_CHILD, 0, 60, 200, 40, dialog, (HMENU)1015, NULL, NULL);
        AppState.mainDialog = dialog;
    }
    void TearDown() override {
        DrainFakeAspi();
        MessageBoxHook = NULL;
        AppState.mainDialog = NULL;
        if (dialog) DestroyWindow(dialog);
        dialog = NULL;
        DeleteFileA("fw.bin");
        DeleteFileA(AppState.loaderFile);
        SetCurrentDirectoryA(previous);
        RemoveDirectoryA(dir);
        AppState.primaryLanguage = 9;
        FillMessageTable();
    }

    // Writes the files, runs the start-up inventory as the program does, and
    // the update of the drive that the dialog selected.
    int Run() {
        image = MakeImage(imageSpec);
        EXPECT_TRUE(WriteFileBytes("fw.bin", image));
        loaderFileBytes = MakeLoader(loader);
        if (writeLoader) EXPECT_TRUE(WriteFileBytes(AppState.loaderFile, loaderFileBytes));
        strcpy(ImageHeader.revision1, imageSpec.rev1.c_str());
        strcpy(ImageHeader.revision2, imageSpec.rev2.c_str());
        strcpy(ImageHeader.revision3, imageSpec.rev3.c_str());
        EXPECT_EQ(DiscoverDrives(1), 1);
        AppState.selectedAdapter = (BYTE)drive.adapter;
        AppState.selectedTarget = (BYTE)drive.target;
        currentAdapter = currentTarget = 0xEE;
        log.clear();
        int result = RunUpdate((BYTE)drive.adapter, (BYTE)drive.target);
        DrainFakeAspi();
        return result;
    }

    // Windows need a desktop; under Wine without a display there is none,
    // and the checks of the dialog's buttons and note are left out.
    bool HaveDialog() { return dialog != NULL; }
    std::string LastBox() { return boxes.empty() ? std::string("(none)") : boxes.back().text; }
    bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != 0; }
    std::string Note() {
        char text[400] = "";
        GetDlgItemTextA(dialog, 1015, text, sizeof text);
        return text;
    }
    const Req *First(bool (*what)(const Req &)) {
        for (const Req &r : log)
            if (what(r)) return &r;
        return nullptr;
    }
    // The first request sent after the given one.
    const Req *After(const Req *r) { return r && r + 1 < log.data() + log.size() ? r + 1 : nullptr; }

    // The usual course: image older than the drive wants, loader newer, and
    // the drive that reports the image's revision 1 and the loader's codes
    // after each restart.
    void TwoPhaseDrive() {
        drive.afterFinish.revision = "1.10";
        drive.afterLoader.firmware = 0x15;
    }
};

const char *En(UpdateTextId id) { return EnglishTexts.updateTexts[id]; }

TEST_F(Update, TwoPhasesWithTheDriveComingBackAtAnotherAddress) {
    TwoPhaseDrive();
    drive.afterFinish.adapter = 1;
    drive.afterFinish.target = 2;
    drive.afterFinish.downScans = 10;   // missing from the first ten re-scans
    drive.afterLoader.downScans = 3;
    loader.bodyLength = 5000;
    loader.crlfAt = {10, 777};          // on disk as CR LF, sent as LF
    ASSERT_EQ(Run(), 1);

    // The boxes: notice, confirmation, verdict; all owned by the dialog.
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, MessageTable.MsgCloseApps);
    EXPECT_EQ(boxes[1].style, (unsigned)MB_OKCANCEL);
    EXPECT_EQ(boxes[1].text, std::string(MessageTable.WarnNoAbort) +
                                 "-DO NOT turn the power off the USB drive during updating.\r\n" +
                                 MessageTable.WarnCloseApps + MessageTable.WarnRemoveDisc);
    EXPECT_EQ(boxes[2].text, "Succeed to load F/W!!");
    for (const Box &b : boxes) EXPECT_EQ(b.owner, dialog);
    EXPECT_EQ(boxes[2].style, (unsigned)MB_OK);

    // The image: 257 polled blocks in order to the old address, then the finish command.
    std::vector<const Req *> blocks;
    for (const Req &r : log)
        if (IsBlock(r)) blocks.push_back(&r);
    ASSERT_EQ(blocks.size(), 257u);
    for (unsigned n = 0; n < 257; n++) {
        SCOPED_TRACE(n);
        const BYTE *c = blocks[n]->cdb;
        EXPECT_EQ(c[1], n < 256 ? 6 : 7);
        EXPECT_EQ((DWORD)(c[3] << 16 | c[4] << 8 | c[5]), n * 2048);
        EXPECT_EQ(blocks[n]->ha, 0);
        EXPECT_EQ(blocks[n]->tgt, 1);
    }
    EXPECT_TRUE(assembled == image);
    // One progress step for every third block: 85 over the 256 body blocks.
    EXPECT_EQ(blocks[256]->progress - blocks[0]->progress, 85u);
    const Req *finish = First(IsFinish);
    ASSERT_NE(finish, nullptr);
    EXPECT_EQ(finish, blocks[256] + 1);
    EXPECT_EQ(finish->tgt, 1);

    // About 70 s pass before the drive is looked for again.
    const Req *next = After(finish);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->cdb[0], 0x12);
    EXPECT_GE(next->time - finish->time, 369u * 190);
    EXPECT_LT(next->time - finish->time, 369u * 190 + 2000);
    EXPECT_GE(next->progress - finish->progress, 369u);

    // The loader goes to the new address, with its length field and the
    // body as the text-mode read left it.
    ASSERT_EQ(Count(IsLoader), 1);
    const Req *load = First(IsLoader);
    EXPECT_EQ(load->ha, 1);
    EXPECT_EQ(load->tgt, 2);
    const BYTE cdb[12] = {0xCD, 0, 0, 0, 0, 0, 0x00, 0x00, 0x13, 0x88, 0, 0};
    EXPECT_EQ(memcmp(load->cdb, cdb, 12), 0);
    std::vector<BYTE> content = TextModeContent(loaderFileBytes);
    ASSERT_EQ(content.size() + 2, loaderFileBytes.size());
    EXPECT_TRUE(load->body == std::vector<BYTE>(content.begin() + 64, content.begin() + 64 + 5000));
    EXPECT_EQ(DriveTable[1 * 8 + 2].matched, 1u);

    // About 30 s after the loader.
    const Req *afterLoad = After(load);
    ASSERT_NE(afterLoad, nullptr);
    EXPECT_GE(afterLoad->time - load->time, 158u * 190);
    EXPECT_LT(afterLoad->time - load->time, 158u * 190 + 2000);

    EXPECT_EQ(progressValue, 1000u);
    EXPECT_EQ(currentAdapter, 1);
    EXPECT_EQ(currentTarget, 2);
    if (HaveDialog()) EXPECT_FALSE(Enabled(1001));
    if (HaveDialog()) EXPECT_FALSE(Enabled(1002));
    if (HaveDialog()) EXPECT_EQ(Note(), MessageTable.MsgMayTakeMinutes);
}

// One run of a table: how it is arranged and how it must end.
struct Course {
    const char *what;
    std::function<void(Update &)> arrange;
    int result;
    std::string message;  // the last box
    int blocks, loaders;  // image blocks and loader commands sent
};

// base, when given, arranges what every course of the table shares.
void RunCourses(Update &u, const std::vector<Course> &courses,
                void (*base)(Update &) = nullptr) {
    for (const Course &c : courses) {
        SCOPED_TRACE(c.what);
        u.Reset();
        if (base) base(u);
        c.arrange(u);
        EXPECT_EQ(u.Run(), c.result);
        EXPECT_EQ(u.LastBox(), c.message);
        EXPECT_EQ(Count(IsBlock), c.blocks);
        EXPECT_EQ(Count(IsLoader), c.loaders);
        // The image file is closed again whatever happened.
        EXPECT_TRUE(DeleteFileA("fw.bin") || GetLastError() == ERROR_FILE_NOT_FOUND);
        if (c.message == MessageTable.MsgAlreadyUpdated || c.message == MessageTable.MsgWrongFile) {
            // Refused after the confirmation: the buttons stay disabled.
            EXPECT_EQ(boxes.size(), 3u);
            if (u.HaveDialog()) EXPECT_FALSE(u.Enabled(1001) || u.Enabled(1002));
        }
    }
}

const char *const kSuccess = "Succeed to load F/W!!";
const char *const kModelNotProper = "Error: Model is not proper!!";
const char *const kTryAgain = "Error: Fale to update F/W. Please try again?";

// The courses of a run by revision (drive 1.00 against target 1.10: older)
// and firmware standing (drive code 0x10 against the loader's 0x15: older).
TEST_F(Update, CoursesByRevisionStandingAndOptions) {
    auto twoPhases = [](Update &u) { u.TwoPhaseDrive(); };
    RunCourses(*this, {
        {"image only: the loader's code is there", [](Update &) { drive.firmware = 0x15; }, 1,
         kSuccess, 257, 0},
        {"already updated", [](Update &) { drive.revision = "1.10"; drive.firmware = 0x15; }, 2,
         MessageTable.MsgAlreadyUpdated, 0, 0},
        {"already updated, loader forced",
         [](Update &) { drive.revision = "1.10"; drive.firmware = 0x15; AppState.forceLoader = 1; },
         2, MessageTable.MsgAlreadyUpdated, 0, 0},
        {"loader only",
         [](Update &) { drive.revision = "1.10"; drive.afterLoader.firmware = 0x15; }, 1, kSuccess,
         0, 1},
        {"image older than the drive", [](Update &) { drive.revision = "1.20"; }, 2,
         MessageTable.MsgWrongFile, 0, 0},
        {"image forced",
         [](Update &) { drive.revision = "1.20"; drive.firmware = 0x15; AppState.forceImage = 1; },
         1, kSuccess, 257, 0},
        {"loader older than the drive", [](Update &) { drive.firmware = 0x16; }, 2,
         MessageTable.MsgWrongFile, 0, 0},
        {"loader forced",
         [&](Update &u) { twoPhases(u); drive.firmware = 0x16; AppState.forceLoader = 1; }, 1,
         kSuccess, 257, 1},
        {"loader forced, image there",
         [](Update &) {
             drive.revision = "1.10";
             drive.firmware = 0x16;
             drive.afterLoader.firmware = 0x15;
             AppState.forceLoader = 1;
         },
         1, kSuccess, 0, 1},
        {"cancel at the confirmation", [](Update &) { confirmAnswer = IDCANCEL; }, 1,
         std::string(MessageTable.WarnNoAbort) + En(TxtUsbPowerLine) + MessageTable.WarnCloseApps +
             MessageTable.WarnRemoveDisc,
         0, 0},
    });
    // After Cancel nothing was sent but the readiness tests and the status
    // read, and the dialog is as it was.
    for (const Req &r : log) EXPECT_TRUE(r.cdb[0] == 0x00 || IsStatusRead(r));
    if (HaveDialog()) EXPECT_TRUE(Enabled(1001) && Enabled(1002));
    if (HaveDialog()) EXPECT_EQ(Note(), "");
}

// Found again after the image phase, the first drive of the model in scan
// order gets the loader, not the last one the re-scans came across.
TEST_F(Update, SecondDriveOfTheModelLaterInTheScanDoesNotGetTheLoader) {
    TwoPhaseDrive();
    bystander.adapter = 0;
    bystander.target = 5;
    bystander.revision = "1.10";
    Run();
    ASSERT_EQ(Count(IsLoader), 1);
    EXPECT_EQ(First(IsLoader)->tgt, 1);
    for (const Req &r : log) EXPECT_FALSE(r.tgt == 5 && (IsBlock(r) || r.cdb[0] == 0xCD));
}

TEST_F(Update, LoaderOnlyStartsWithoutTheLongWait) {
    drive.revision = "1.10";
    drive.afterLoader.firmware = 0x15;
    ASSERT_EQ(Run(), 1);
    const Req *status = First(IsStatusRead);
    ASSERT_NE(After(status), nullptr);
    EXPECT_EQ(After(status)->cdb[0], 0x12);
    EXPECT_LT(After(status)->time - status->time, 2000u);
}

TEST_F(Update, DiscOrSilentDriveEndsBeforeAnythingElse) {
    drive.disc = true;
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, MessageTable.MsgTakeDiscOut);
    ASSERT_EQ(log.size(), 6u);  // five readiness tests and the eject
    EXPECT_EQ(log[5].cdb[0], 0x1B);
    EXPECT_EQ(log[5].cdb[4], 0x02);
    if (HaveDialog()) EXPECT_TRUE(Enabled(1001));

    Reset();
    drive.disc = true;
    fault = [](const Req &r) { return r.cdb[0] == 0x1B ? 0 : -1; };  // the eject never ends
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(LastBox(), MessageTable.MsgUpdateFailed);

    // A drive that never answers the readiness test: said as a failure.
    Reset();
    fault = [](const Req &r) { return r.cdb[0] == 0x00 ? 0 : -1; };
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, MessageTable.MsgUpdateFailed);
    EXPECT_EQ(log.size(), 5u);
}

// A drive of the given model, the loader's name and digits, and what the
// drive reports: its codes before, its model after the image phase and its
// firmware code after the loader.
std::function<void(Update &)> Codes(const char *product, const char *name, const char *digits,
                                    int firmware, int model, int modelAfter, int firmwareAfter) {
    return [=](Update &u) {
        drive.product = product;
        strcpy(AppState.loaderFile, name);
        u.loader.modelDigits = std::string(digits, 2);
        u.loader.firmwareDigits = std::string(digits + 2, 2);
        drive.firmware = (BYTE)firmware;
        drive.model = (BYTE)model;
        drive.afterFinish.revision = "1.10";
        drive.afterFinish.model = modelAfter;
        drive.afterLoader.firmware = firmwareAfter;
    };
}

TEST_F(Update, ExpectedCodesByModelAndLoader) {
    const char *R = "HX-2150RA", *U = "HX-2350RU", *S = "HX-2170RA USB";
    RunCourses(*this, {
        // HX-2150RA, '0' at index 3: firmware code from the name (0x12), model 0.
        {"name 0, code there", Codes(R, "LDR012.bin", "7777", 0x12, 0, 0, -1), 1, kSuccess, 257, 0},
        {"name 0, model 0", Codes(R, "LDR012.bin", "7777", 0x11, 0, 0, 0x12), 1, kSuccess, 257, 1},
        {"name 0, other model", Codes(R, "LDR012.bin", "7777", 0x11, 0, 0x77, 0x12), 0,
         kModelNotProper, 257, 0},
        // The table gives no second code here: 0 after the loader is no success.
        {"name 0, code 0 after", Codes(R, "LDR012.bin", "7777", 0x11, 0, 0, 0), 0, kModelNotProper,
         257, 1},
        // Any other character, or a name that ends too early, is refused before the question.
        {"name X", Codes(R, "LDRX12.bin", "2415", 0x11, 0, 0, 0x12), 0, MessageTable.MsgInvalidData,
         0, 0},
        {"name .", Codes(R, "LDR.bin", "2415", 0x11, 0, 0, 0x12), 0, MessageTable.MsgInvalidData, 0, 0},
        {"name ab", Codes(R, "ab", "2415", 0x11, 0, 0, 0x12), 0, MessageTable.MsgInvalidData, 0, 0},
        {"name LDR01", Codes(R, "LDR01", "2415", 0x11, 0, 0, 0x12), 0, MessageTable.MsgInvalidData,
         0, 0},
        // Digits 2 4 1 5: first code '5' (0x35), second 0x15, model 0x24 (second model code).
        {"name _", Codes(R, "LDR_99.bin", "2415", 0x15, 0x24, 0x24, 0x15), 1, kSuccess, 257, 1},
        {"HX-2350RU below '5'", Codes(U, "x", "2415", 0x15, 0x24, 0x24, 0x15), 1, kSuccess, 257, 1},
        {"HX-2350RU at '5'", Codes(U, "x", "2415", 0x35, 0x24, 0x24, -1), 1, kSuccess, 257, 0},
        {"HX-2350RU wrong code after", Codes(U, "x", "2415", 0x15, 0x24, 0x24, 0x14), 0,
         kModelNotProper, 257, 1},
        // Digits 4 0: first code 0x30, second 0x40; 0x35 lies below the second.
        {"HX-2350RU below the second", Codes(U, "x", "2440", 0x35, 0x24, 0x24, 0x40), 1, kSuccess,
         257, 1},
        // HX-2170RA USB: model and firmware code from the digits, no second ones.
        {"HX-2170RA USB other model", Codes(S, "x", "2115", 0x10, 0x21, 0x24, 0x15), 0,
         kModelNotProper, 257, 0},
        {"HX-2170RA USB wrong code after", Codes(S, "x", "2115", 0x10, 0x21, 0x21, 0x14), 0, kTryAgain,
         257, 1},
        {"HX-2170RA USB code there", Codes(S, "x", "2115", 0x15, 0x21, 0x21, -1), 1, kSuccess, 257,
         0},
    });
}

// Every ending of the failure table, in English.
TEST_F(Update, EveryFailureEndsWithItsOwnMessageAndResult) {
    auto nthStatusRead = [](int n) {
        return [n](const Req &r) {
            return IsStatusRead(r) && Count(IsStatusRead) == n ? (int)SS_ERR : -1;
        };
    };
    RunCourses(*this, {
        {"loader missing", [](Update &u) { u.writeLoader = false; },
         0, MessageTable.MsgNoDataFile, 0, 0},
        {"loader shorter than its length field",
         [](Update &u) { u.loader.lengthField = 40000; }, 0, MessageTable.MsgInvalidData, 0, 0},
        {"no status answer", [&](Update &) { fault = nthStatusRead(1); }, 0,
         MessageTable.MsgNoDevice, 0, 0},
        {"image missing", [](Update &) { strcpy(AppState.imageFile, "gone.bin"); },
         0, MessageTable.MsgNoDataFile, 0, 0},
        {"body block refused",
         [](Update &) {
             fault = [](const Req &r) { return IsBlock(r) && r.cdb[4] == 0x50 ? (int)SS_ERR : -1; };
         },
         0, En(TxtLoaderRefused), 11, 0},
        {"body block timed out",
         [](Update &) { fault = [](const Req &r) { return IsBlock(r) && r.cdb[4] == 0x10 ? 0 : -1; }; },
         0, En(TxtLoaderRefused), 3, 0},
        {"last block refused",
         [](Update &) { fault = [](const Req &r) { return IsBlock(r) && r.cdb[1] == 7 ? (int)SS_ERR : -1; }; },
         0, En(TxtFailedTryAgain), 257, 0},
        {"finish refused",
         [](Update &) { fault = [](const Req &r) { return IsFinish(r) ? (int)SS_ERR : -1; }; },
         0, En(TxtFailedTryAgain), 257, 0},
        {"loader gone during the restart",
         [](Update &) {
             onRequest = [](const Req &r) {
                 if (IsFinish(r)) DeleteFileA(AppState.loaderFile);
             };
         },
         0, MessageTable.MsgNoDataFile, 257, 0},
        {"no host adapter after the restart",
         [](Update &u) {
             FakeAspi *fake = &u.fake;
             onRequest = [fake](const Req &r) {
                 if (IsFinish(r)) fake->supportInfo = 0x0100;
             };
         },
         0, MessageTable.MsgNoDevice, 257, 0},
        {"adapter status not good after the restart",
         [](Update &u) {
             FakeAspi *fake = &u.fake;
             onRequest = [fake](const Req &r) {
                 if (IsFinish(r)) fake->supportInfo = 0xE802;
             };
         },
         0, MessageTable.MsgNoDevice, 257, 0},
        {"drive not found again", [](Update &) { drive.afterFinish.downScans = 1000; },
         0, MessageTable.MsgNoDevice, 257, 0},
        {"revision read timed out",
         [](Update &) {
             // 25 re-scans and the final scan each read it once; the 27th is the procedure's.
             fault = [](const Req &r) {
                 return IsRevisionInquiry(r) && Count(IsRevisionInquiry) == 27 ? 0 : -1;
             };
         },
         0, MessageTable.MsgNoDevice, 257, 0},
        {"revision after the image phase not revision 1",
         [](Update &u) {
             u.imageSpec.rev1 = "1.05";  // the drive comes back with revision 3
         }, 0, En(TxtFailedTryAgain), 257, 0},
        {"no status answer after the restart", [&](Update &) { fault = nthStatusRead(2); },
         0, MessageTable.MsgNoDevice, 257, 0},
        {"model not proper", [](Update &) { drive.afterFinish.model = 0x22; },
         0, En(TxtModelNotProper), 257, 0},
        {"checksum wrong", [](Update &u) { u.loader.checksumOk = false; }, 0,
         En(TxtChecksumWrong), 257, 0},
        {"loader refused",
         [](Update &) { fault = [](const Req &r) { return IsLoader(r) ? (int)SS_ERR : -1; }; },
         0, En(TxtDownloadRefused), 257, 1},
        {"loader timed out",
         [](Update &) { fault = [](const Req &r) { return IsLoader(r) ? 0 : -1; }; },
         0, En(TxtDownloadRefused), 257, 1},
        {"no host adapter after the loader",
         [](Update &u) {
             FakeAspi *fake = &u.fake;
             onRequest = [fake](const Req &r) {
                 if (IsLoader(r)) fake->supportInfo = 0;
             };
         },
         0, MessageTable.MsgNoDevice, 257, 1},
        {"no status answer after the loader", [&](Update &) { fault = nthStatusRead(3); },
         0, MessageTable.MsgNoDevice, 257, 1},
        {"code not as expected after the loader", [](Update &) { drive.afterLoader.firmware = 0x13; },
         0, En(TxtFailedTryAgain), 257, 1},
    }, [](Update &u) { u.TwoPhaseDrive(); });
}

TEST_F(Update, JapaneseTextsFollowTheLanguage) {
    AppState.primaryLanguage = 17;
    FillMessageTable();
    TwoPhaseDrive();
    drive.afterFinish.model = 0x22;
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[1].text, std::string(MessageTable.WarnNoAbort) +
                                 JapaneseTexts.updateTexts[TxtUsbPowerLine] +
                                 MessageTable.WarnCloseApps + MessageTable.WarnRemoveDisc);
    // "Error: Model is not proper" in Shift-JIS.
    EXPECT_EQ(boxes[2].text,
              "\x83\x47\x83\x89\x81\x5B\x81\x46\x83\x82\x83\x66\x83\x8B\x82\xAA\x90\xB3\x82\xB5"
              "\x82\xAD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81\x42");

    Reset();
    AppState.primaryLanguage = 17;
    FillMessageTable();
    TwoPhaseDrive();
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(LastBox(), JapaneseTexts.updateTexts[TxtLoadSucceeded]);
    EXPECT_NE(LastBox(), En(TxtLoadSucceeded));
}

}  // namespace
