// The update procedure of USB drives against fake drives that restart, move
// and change their codes as a test describes, on a tick counter that makes
// the fixed waits and the time-outs instant.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "app/appstate.h"
#include "drive/commands.h"
#include "drive/discovery.h"
#include "fake_aspi.h"
#include "text/messages.h"
#include "tools/fixtures.h"
#include "update/download.h"
#include "update/imagefile.h"
#include "update/procedure.h"

namespace {

const char *En(UpdateTextId id) { return EnglishTexts.updateTexts[id]; }

struct Update : ::testing::Test {
    char dir[MAX_PATH], previous[MAX_PATH];
    HWND dialog = NULL;
    ImageOptions image;
    LoaderOptions loader;
    bool writeLoader;
    std::vector<uint8_t> loaderBytes;

    void SetUp() override {
        GetCurrentDirectoryA(sizeof previous, previous);
        GetTempPathA(sizeof dir, dir);
        snprintf(dir + strlen(dir), 40, "discmend-%lu", GetCurrentProcessId());
        CreateDirectoryA(dir, NULL);
        SetCurrentDirectoryA(dir);
        Reset();
    }
    void TearDown() override {
        DrainFake();
        DestroyWindow(dialog);
        DeleteFileA("fw.bin");
        DeleteFileA(AppState.loaderFile);
        SetCurrentDirectoryA(previous);
        RemoveDirectoryA(dir);
    }
    // A USB drive at 0:1 with firmware 1.00 and code 0x10; an image of
    // revision 1.10 and a loader of code 0x15 for model 0x21.
    void Reset() {
        ResetFake();
        FakeDrive usb;
        usb.product = "HX-2170RA USB";
        usb.usb = true;
        drives = {usb};
        image = ImageOptions();
        image.model = "HX-2170RA";
        image.rev1 = image.rev3 = "1.10";
        loader = LoaderOptions();
        writeLoader = true;
        AppState.forceImage = AppState.forceLoader = 0;
        AppState.hostAdapterCount = 1;
        strcpy(AppState.imageFile, "fw.bin");
        strcpy(AppState.loaderFile, "LDR_01.bin");
        if (dialog) DestroyWindow(dialog);
        dialog = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 300, 200, NULL, NULL, NULL, NULL);
        for (int id : {1001, 1002, 1013, 1015})
            CreateWindowA("BUTTON", "", WS_CHILD, 0, 0, 50, 20, dialog, (HMENU)(INT_PTR)id, NULL, NULL);
        AppState.mainDialog = dialog;
    }
    // The drive reports the image's revision 1 after the image phase and the
    // loader's code after the loader.
    void TwoPhases(FakeDrive &d) {
        d.afterFinish.revision = "1.10";
        d.afterLoader.firmware = 0x15;
    }
    // The files, the start-up inventory, and the update of the first drive.
    int Run() {
        EXPECT_TRUE(WriteFileBytes("fw.bin", MakeImage(image)));
        loaderBytes = MakeLoader(loader);
        if (writeLoader) EXPECT_TRUE(WriteFileBytes(AppState.loaderFile, loaderBytes));
        strcpy(ImageHeader.revision1, image.rev1.c_str());
        strcpy(ImageHeader.revision3, image.rev3.c_str());
        memset(DriveTable, 0, sizeof DriveTable);
        memset(AppState.modelCounts, 0, sizeof AppState.modelCounts);
        EXPECT_EQ(DiscoverDrives(1), 1);
        AppState.selectedAdapter = (BYTE)drives[0].adapter;
        AppState.selectedTarget = (BYTE)drives[0].target;
        sent.clear();
        int result = RunUpdate((BYTE)drives[0].adapter, (BYTE)drives[0].target);
        DrainFake();
        return result;
    }
    std::string LastBox() { return boxes.empty() ? "(none)" : boxes.back().text; }
    const Sent *First(BYTE op, int byte1) {
        for (const Sent &s : sent)
            if (s.Is(op, byte1)) return &s;
        return nullptr;
    }
};

TEST_F(Update, TwoPhasesWithTheDriveComingBackElsewhere) {
    TwoPhases(drives[0]);
    drives[0].afterFinish.target = 4;
    drives[0].afterFinish.down = 10;  // missed by the first ten re-scans
    loader.bodyLength = 5000;
    loader.crlfAt = {777};  // CR LF on disk, LF on the wire
    ASSERT_EQ(Run(), 1);
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, MessageTable.MsgCloseApps);
    EXPECT_EQ(boxes[1].text, std::string(MessageTable.WarnNoAbort) + En(TxtUsbPowerLine) +
                                 MessageTable.WarnCloseApps + MessageTable.WarnRemoveDisc);
    EXPECT_EQ(boxes[1].style, (unsigned)MB_OKCANCEL);
    EXPECT_EQ(boxes[2].text, "Succeed to load F/W!!");
    for (const Box &b : boxes) EXPECT_EQ(b.owner, dialog);

    std::vector<const Sent *> blocks;
    for (const Sent &s : sent)
        if (s.Is(SCSI_WRITE_BUFFER)) blocks.push_back(&s);
    ASSERT_EQ(blocks.size(), 257u);
    for (unsigned n = 0; n < 257; n++) {
        EXPECT_EQ(blocks[n]->cdb[1], n < 256 ? 6 : 7) << n;
        EXPECT_EQ(blocks[n]->Offset(), n * 2048) << n;
        EXPECT_EQ(blocks[n]->tgt, 1) << n;
    }
    EXPECT_TRUE(assembled == MakeImage(image));
    EXPECT_EQ(blocks[256]->progress - blocks[0]->progress, 85u);  // a step every third block
    const Sent *finish = First(VENDOR_DOWNLOAD, 0xFF);
    ASSERT_EQ(finish, blocks[256] + 1);
    // About 70 s before the drive is looked for again, about 30 s after the loader.
    EXPECT_NEAR((double)(finish[1].time - finish->time), 369 * 190, 2000);
    const Sent *load = First(VENDOR_DOWNLOAD, 0);
    ASSERT_EQ(CountSent(VENDOR_DOWNLOAD, 0), 1);
    EXPECT_NEAR((double)(load[1].time - load->time), 158 * 190, 2000);
    std::vector<uint8_t> body(loaderBytes.begin() + 64, loaderBytes.begin() + 64 + 5000 + 1);
    body.erase(body.begin() + 777);  // the CR of the CR LF
    EXPECT_TRUE(load->data == body);
    EXPECT_EQ(progressValue, 1000u);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, 1001)) || IsWindowEnabled(GetDlgItem(dialog, 1002)));
}

// One run of a table: how it is arranged, and how it must end.
struct Course {
    const char *what;
    std::function<void(Update &, FakeDrive &)> arrange;
    int result;
    std::string message;  // the last box
    int blocks, loaders;  // image blocks and loader commands sent
};

void RunCourses(Update &u, const std::vector<Course> &courses, bool twoPhases = false) {
    for (const Course &c : courses) {
        SCOPED_TRACE(c.what);
        u.Reset();
        if (twoPhases) u.TwoPhases(drives[0]);
        c.arrange(u, drives[0]);
        EXPECT_EQ(u.Run(), c.result);
        EXPECT_EQ(u.LastBox(), c.message);
        EXPECT_EQ(CountSent(SCSI_WRITE_BUFFER), c.blocks);
        EXPECT_EQ(CountSent(VENDOR_DOWNLOAD, 0), c.loaders);
        // The image file is closed again, whatever happened.
        EXPECT_TRUE(DeleteFileA("fw.bin"));
    }
}

const char kSuccess[] = "Succeed to load F/W!!";

// After each restart the loader and the verdict go to the updated drive alone, or nowhere.
TEST_F(Update, EachRestartIsFollowedByTheUpdatedDriveAlone) {
    // The updated drive's target after each restart (-1: as before); another drive of the model there all along;
    // one that turns up with the finish (0xFF) or the loader (0), behind a drive at its address until that moves;
    // the loader's and the verdict's target (-1: none); the updated drive's and the newcomer's product when not
    // HX-2170RA USB and the same.
    const struct {
        const char *what;
        int afterFinish, afterLoader, other, newcomer, with, loaderTo, verdictFrom;
        const char *product, *newcomerProduct;
    } cases[] = {
        {"stays", -1, -1, -1, -1, 0, 2, 2},
        {"moves after each", 5, 3, -1, -1, 0, 5, 3},
        {"moves there and back: its first address is not new", 5, 2, -1, -1, 0, 5, -1},
        {"moves after the finish, another earlier", 5, -1, 1, -1, 0, 5, 5},
        {"moves after the finish, another later", 5, -1, 6, -1, 0, 5, 5},
        {"moves after the loader, another earlier", -1, 5, 1, -1, 0, 2, 5},
        {"moves after the loader, another later", -1, 5, 6, -1, 0, 2, 5},
        {"stays as another turns up", -1, -1, -1, 1, 0xFF, 2, 2},
        {"moves after the finish as another turns up", 5, -1, -1, 6, 0xFF, -1, -1},
        {"moves after the loader as another turns up", -1, 5, -1, 1, 0, 2, -1},
        {"moves after the loader as a CD-ROM takes its place, second code", -1, 5, -1, 2, 0, 2, 5, "HX-2350RU", "CD-ROM"},
        {"moves after the finish as another model takes its place", 5, -1, -1, 2, 0xFF, 5, 5, nullptr, "HX-2350RU"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        if (c.product) drives[0].product = c.product;
        FakeDrive other = drives[0];  // the same model, without restarts
        drives[0].target = 2;
        TwoPhases(drives[0]);
        drives[0].afterFinish.target = c.afterFinish, drives[0].afterLoader.target = c.afterLoader;
        if (c.other >= 0) other.target = c.other, drives.push_back(other);
        other.target = c.newcomer;
        if (c.newcomerProduct) other.product = c.newcomerProduct;
        if (c.newcomer >= 0) fault = [other, c](const Sent &s, SRB_ExecSCSICmd *) {
            if (s.Is(VENDOR_DOWNLOAD, c.with)) drives.insert(drives.begin(), other);  // the fake answers with the last one
            return -1;
        };
        EXPECT_EQ(Run(), c.verdictFrom >= 0 ? 1 : 0);
        EXPECT_EQ(LastBox(), c.verdictFrom >= 0 ? kSuccess : MessageTable.MsgNoDevice);
        int loaderTo = -1, verdictFrom = -1;
        for (const Sent &s : sent) {
            if (s.Is(VENDOR_DOWNLOAD, 0)) loaderTo = s.tgt;
            if (loaderTo >= 0 && s.Is(VENDOR_STATUS) && s.bufLen == 18) verdictFrom = s.tgt;
        }
        EXPECT_EQ((std::vector<int>{CountSent(VENDOR_DOWNLOAD, 0), loaderTo, verdictFrom}),
                  (std::vector<int>{c.loaderTo >= 0 ? 1 : 0, c.loaderTo, c.verdictFrom}));
        // No drive named before the loader: nothing follows the 25 re-scans of the two host adapters.
        if (c.loaderTo < 0) EXPECT_EQ(CountSent(SCSI_INQUIRY, 0), 25 * 2 * 8);
    }
}

TEST_F(Update, CoursesByRevisionFirmwareAndOptions) {
    RunCourses(*this, {
                          {"image only", [](Update &, FakeDrive &d) { d.firmware = 0x15; }, 1, kSuccess, 257, 0},
                          {"already updated", [](Update &, FakeDrive &d) { d.revision = "1.10"; d.firmware = 0x15; },
                           2, MessageTable.MsgAlreadyUpdated, 0, 0},
                          {"already updated, loader forced",
                           [](Update &, FakeDrive &d) { d.revision = "1.10"; d.firmware = 0x15; AppState.forceLoader = 1; },
                           2, MessageTable.MsgAlreadyUpdated, 0, 0},
                          {"loader only", [](Update &, FakeDrive &d) { d.revision = "1.10"; d.afterLoader.firmware = 0x15; },
                           1, kSuccess, 0, 1},
                          {"image older than the drive", [](Update &, FakeDrive &d) { d.revision = "1.20"; }, 2,
                           MessageTable.MsgWrongFile, 0, 0},
                          {"image forced",
                           [](Update &, FakeDrive &d) { d.revision = "1.20"; d.firmware = 0x15; AppState.forceImage = 1; },
                           1, kSuccess, 257, 0},
                          {"loader older than the drive", [](Update &, FakeDrive &d) { d.firmware = 0x16; }, 2,
                           MessageTable.MsgWrongFile, 0, 0},
                          {"loader forced",
                           [](Update &u, FakeDrive &d) { u.TwoPhases(d); d.firmware = 0x16; AppState.forceLoader = 1; },
                           1, kSuccess, 257, 1},
                          {"disc in the drive", [](Update &, FakeDrive &d) { d.disc = true; }, 0,
                           MessageTable.MsgTakeDiscOut, 0, 0},
                          {"cancel at the confirmation", [](Update &, FakeDrive &) { confirmAnswer = IDCANCEL; }, 1,
                           std::string(MessageTable.WarnNoAbort) + En(TxtUsbPowerLine) + MessageTable.WarnCloseApps +
                               MessageTable.WarnRemoveDisc,
                           0, 0},
                      });
    // After Cancel only the readiness tests and the status read went out, and
    // the dialog is as it was.
    for (const Sent &s : sent) EXPECT_TRUE(s.Is(SCSI_TEST_UNIT_READY) || s.Is(VENDOR_STATUS));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, 1001)) && IsWindowEnabled(GetDlgItem(dialog, 1002)));
}

// A drive of a model, the loader's name and identification digits, and what
// the drive reports: codes before, model after the image phase, firmware code
// after the loader.
std::function<void(Update &, FakeDrive &)> Codes(const char *product, const char *name,
                                                 const char *digits, int firmware, int model,
                                                 int modelAfter, int firmwareAfter) {
    return [=](Update &u, FakeDrive &d) {
        d.product = product;
        u.image.model = strcmp(product, "HX-2170RA USB") ? "HX-2150RA" : "HX-2170RA";
        strcpy(AppState.loaderFile, name);
        u.loader.modelDigits = std::string(digits, 2);
        u.loader.firmwareDigits = std::string(digits + 2, 2);
        d.firmware = (BYTE)firmware;
        d.model = (BYTE)model;
        d.afterFinish.revision = "1.10";
        d.afterFinish.model = modelAfter;
        d.afterLoader.firmware = firmwareAfter;
    };
}

TEST_F(Update, ExpectedCodesByModelAndLoader) {
    const char *R = "HX-2150RA", *U = "HX-2350RU", *S = "HX-2170RA USB";
    const std::string notProper = En(TxtModelNotProper), invalid = MessageTable.MsgInvalidData;
    RunCourses(*this, {
                          // HX-2150RA, '0' at index 3: the code in the name (0x12), model 0.
                          {"name 0", Codes(R, "LDR012.bin", "7777", 0x11, 0, 0, 0x12), 1, kSuccess, 257, 1},
                          {"name 0, other model", Codes(R, "LDR012.bin", "7777", 0x11, 0, 0x77, 0x12), 0, notProper, 257, 0},
                          {"name 0, code 0 after", Codes(R, "LDR012.bin", "7777", 0x11, 0, 0, 0), 0, notProper, 257, 1},
                          {"name X", Codes(R, "LDRX12.bin", "2415", 0x11, 0, 0, 0x12), 0, invalid, 0, 0},
                          {"name too short", Codes(R, "LDR01", "2415", 0x11, 0, 0, 0x12), 0, invalid, 0, 0},
                          // Digits 2 4 1 5: first code '5' (0x35), second 0x15, second model 0x24.
                          {"name _", Codes(R, "LDR_99.bin", "2415", 0x15, 0x24, 0x24, 0x15), 1, kSuccess, 257, 1},
                          {"HX-2350RU at '5'", Codes(U, "x", "2415", 0x35, 0x24, 0x24, -1), 1, kSuccess, 257, 0},
                          {"HX-2350RU wrong code after", Codes(U, "x", "2415", 0x15, 0x24, 0x24, 0x14), 0, notProper, 257, 1},
                          // HX-2170RA USB: no second codes.
                          {"USB other model", Codes(S, "x", "2115", 0x10, 0x21, 0x24, 0x15), 0, notProper, 257, 0},
                          {"USB wrong code after", Codes(S, "x", "2115", 0x10, 0x21, 0x21, 0x14), 0, En(TxtFailedTryAgain), 257, 1},
                      });
}

std::function<void(Update &, FakeDrive &)> Fail(std::function<bool(const Sent &)> which, int status) {
    return [=](Update &, FakeDrive &) {
        fault = [=](const Sent &s, SRB_ExecSCSICmd *) { return which(s) ? status : -1; };
    };
}

std::function<void(Update &, FakeDrive &)> AtFinish(std::function<void()> then) {
    return [=](Update &, FakeDrive &) {
        fault = [=](const Sent &s, SRB_ExecSCSICmd *) {
            if (s.Is(VENDOR_DOWNLOAD, 0xFF)) then();
            return -1;
        };
    };
}

// The drive gone after the loader, and another of its model at 0:6, with the
// loader's code, that answers in the scans that there picks by number (1 the
// start-up inventory, 2 to 26 the re-scans before the loader, 27 the mode-2
// scan) and in every scan after the loader.
std::function<void(Update &, FakeDrive &)> OtherBack(std::function<bool(int)> there) {
    return [=](Update &, FakeDrive &d) {
        d.afterLoader.down = 1000;
        FakeDrive other = d;
        other.target = 6, other.firmware = 0x15;
        drives.push_back(other);
        fault = [=, scan = 0](const Sent &s, SRB_ExecSCSICmd *) mutable {
            scan += s.Is(SCSI_INQUIRY, 0) && s.ha == 0 && s.tgt == 0;  // each scan starts there
            return s.ha == 0 && s.tgt == 6 && scan < 28 && !there(scan) ? SS_NO_DEVICE : -1;
        };
    };
}

// The drive at 0:target of the one host adapter; after the loader another
// drive of its model turns up at 0:0, and the 25th request since then that
// lost picks never completes.
std::function<void(Update &, FakeDrive &)> NewcomerAndLost(int target, std::function<bool(const Sent &)> lost) {
    return [=](Update &, FakeDrive &d) {
        supportInfo = 0x0101;
        d.target = target;
        FakeDrive other = d;
        other.target = 0;
        fault = [=, n = 0](const Sent &s, SRB_ExecSCSICmd *) mutable {
            if (s.Is(VENDOR_DOWNLOAD, 0)) drives.push_back(other), n = 1;
            return n && lost(s) && n++ == 25 ? 0 : -1;
        };
    };
}

TEST_F(Update, EveryFailureEndsWithItsOwnMessageAndResult) {
    RunCourses(*this, {
                          {"loader missing", [](Update &u, FakeDrive &) { u.writeLoader = false; }, 0, MessageTable.MsgNoDataFile, 0, 0},
                          {"loader shorter than its length field", [](Update &u, FakeDrive &) { u.loader.lengthField = 40000; }, 0, MessageTable.MsgInvalidData, 0, 0},
                          {"image missing", [](Update &, FakeDrive &) { strcpy(AppState.imageFile, "gone.bin"); }, 0, MessageTable.MsgNoDataFile, 0, 0},
                          {"drive silent at the readiness test", Fail([](const Sent &s) { return s.Is(SCSI_TEST_UNIT_READY); }, 0), 0, MessageTable.MsgUpdateFailed, 0, 0},
                          {"no status answer", Fail([](const Sent &s) { return s.Is(VENDOR_STATUS) && s.bufLen == 18; }, SS_ERR), 0, MessageTable.MsgNoDevice, 0, 0},
                          {"body block refused", Fail([](const Sent &s) { return s.Is(SCSI_WRITE_BUFFER) && s.Offset() == 10 * 2048; }, SS_ERR), 0, En(TxtLoaderRefused), 11, 0},
                          {"body block timed out", Fail([](const Sent &s) { return s.Is(SCSI_WRITE_BUFFER) && s.Offset() == 2048; }, 0), 0, En(TxtLoaderRefused), 2, 0},
                          {"last block refused", Fail([](const Sent &s) { return s.Is(SCSI_WRITE_BUFFER, 7); }, SS_ERR), 0, En(TxtFailedTryAgain), 257, 0},
                          {"finish refused", Fail([](const Sent &s) { return s.Is(VENDOR_DOWNLOAD, 0xFF); }, SS_ERR), 0, En(TxtFailedTryAgain), 257, 0},
                          {"loader gone during the restart", AtFinish([] { DeleteFileA("LDR_01.bin"); }), 0, MessageTable.MsgNoDataFile, 257, 0},
                          {"no host adapter after the restart", AtFinish([] { supportInfo = 0x0100; }), 0, MessageTable.MsgNoDevice, 257, 0},
                          {"adapter status not good after the restart", AtFinish([] { supportInfo = 0xE801; }), 0, MessageTable.MsgNoDevice, 257, 0},
                          {"drive not found again", [](Update &, FakeDrive &d) { d.afterFinish.down = 1000; }, 0, MessageTable.MsgNoDevice, 257, 0},
                          {"revision after the image phase not revision 1", [](Update &u, FakeDrive &) { u.image.rev1 = "1.05"; }, 0, En(TxtFailedTryAgain), 257, 0},
                          {"model not proper", [](Update &, FakeDrive &d) { d.afterFinish.model = 0x22; }, 0, En(TxtModelNotProper), 257, 0},
                          {"checksum wrong", [](Update &u, FakeDrive &) { u.loader.checksumOk = false; }, 0, En(TxtChecksumWrong), 257, 0},
                          {"loader refused", Fail([](const Sent &s) { return s.Is(VENDOR_DOWNLOAD, 0); }, SS_ERR), 0, En(TxtDownloadRefused), 257, 1},
                          {"loader timed out", Fail([](const Sent &s) { return s.Is(VENDOR_DOWNLOAD, 0); }, 0), 0, En(TxtDownloadRefused), 257, 1},
                          {"drive gone after the loader", [](Update &, FakeDrive &d) { d.afterLoader.down = 1000; }, 0, MessageTable.MsgNoDevice, 257, 1},
                          {"drive gone after the loader, another of its model back that only the start-up scan saw", OtherBack([](int scan) { return scan == 1; }), 0, MessageTable.MsgNoDevice, 257, 1},
                          {"drive gone after the loader, another of its model back that only the mode-2 scan saw, passing it over", OtherBack([](int scan) { return scan == 27; }), 0, MessageTable.MsgNoDevice, 257, 1},
                          {"last re-scan after the loader cut short at the drive, another of its model before it", NewcomerAndLost(1, [](const Sent &s) { return s.Is(SCSI_INQUIRY, 0) && s.tgt == 1; }), 0, MessageTable.MsgNoDevice, 257, 1},
                          {"last re-scan after the loader loses the last target's status unnoticed, another of its model before it", NewcomerAndLost(7, [](const Sent &s) { return s.Is(VENDOR_STATUS) && s.bufLen == 256 && s.tgt == 7; }), 0, MessageTable.MsgNoDevice, 257, 1},
                      },
               true);
}

}  // namespace
