// The program's file and registry reads against real files under Wine.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/appstate.h"
#include "app/launchlist.h"
#include "app/msgbox.h"
#include "app/restart.h"
#include "text/messages.h"
#include "tools/fixtures.h"
#include "update/imagefile.h"

namespace {

std::vector<std::string> shown;
int Record(HWND, const char *text, unsigned) {
    shown.push_back(text);
    return IDOK;
}

struct Files : ::testing::Test {
    char dir[MAX_PATH];
    char previous[MAX_PATH];
    void SetUp() override {
        AppState.primaryLanguage = 9;
        FillMessageTable();
        MessageBoxHook = Record;
        shown.clear();
        GetCurrentDirectoryA(sizeof previous, previous);
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        snprintf(dir, sizeof dir, "%sdiscmend-files-%lu", temp, GetTickCount());
        CreateDirectoryA(dir, NULL);
        SetCurrentDirectoryA(dir);
        memset(AppState.imageFile, 0, PATH_CAP);
        memset(AppState.loaderFile, 0, PATH_CAP);
    }
    void TearDown() override {
        MessageBoxHook = NULL;
        SetCurrentDirectoryA(previous);
        // Files are small; the prefix is thrown away after the run.
    }
    void Write(const char *name, const std::vector<uint8_t> &bytes) {
        ASSERT_TRUE(WriteFileBytes(std::string(dir) + "\\" + name, bytes));
    }
    void Write(const char *name, const std::string &text) {
        Write(name, std::vector<uint8_t>(text.begin(), text.end()));
    }
};

TEST_F(Files, GoodImagePassesBothChecks) {
    ImageOptions opts;
    opts.model = "HX-2170RA";
    opts.rev3 = "2.05";
    Write("fw.bin", MakeImage(opts));
    strcpy(AppState.imageFile, "fw.bin");
    EXPECT_EQ(CheckImageSize(), 1);
    EXPECT_EQ(ReadImageHeader(IMAGE_RECORD_OFFSET, &ImageHeader), 1);
    EXPECT_STREQ(ImageHeader.revision3, "2.05");
    EXPECT_STREQ(ImageModel, "HX-2170RA");
    EXPECT_TRUE(shown.empty());
}

TEST_F(Files, RefusedImagesShowTheirMessage) {
    ImageOptions opts;
    for (size_t size : {526335u, 526337u, 0u}) {
        opts.size = size;
        Write("fw.bin", MakeImage(opts));
        strcpy(AppState.imageFile, "fw.bin");
        shown.clear();
        EXPECT_EQ(CheckImageSize(), 0);
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0], MessageTable.MsgBadSize);
    }
    strcpy(AppState.imageFile, "missing.bin");
    shown.clear();
    EXPECT_EQ(CheckImageSize(), 0);
    EXPECT_EQ(ReadImageHeader(IMAGE_RECORD_OFFSET, &ImageHeader), 0);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1], MessageTable.MsgNoDataFile);

    opts = ImageOptions();
    opts.signature = "VELKOSb";
    Write("fw.bin", MakeImage(opts));
    strcpy(AppState.imageFile, "fw.bin");
    shown.clear();
    EXPECT_EQ(ReadImageHeader(IMAGE_RECORD_OFFSET, &ImageHeader), 0);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], MessageTable.MsgInvalidData);
}

TEST_F(Files, ImageHeldOpenByAnotherCountsAsMissing) {
    Write("fw.bin", MakeImage(ImageOptions()));
    strcpy(AppState.imageFile, "fw.bin");
    HANDLE held = CreateFileA("fw.bin", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CheckImageSize(), 0);
    EXPECT_EQ(shown.back(), MessageTable.MsgNoDataFile);
    CloseHandle(held);
}

TEST_F(Files, RecordCutShortByAShortReadFailsTheTests) {
    // The header read at an offset past the end of a short file reads nothing.
    Write("short.bin", std::string(100, 'x'));
    strcpy(AppState.imageFile, "short.bin");
    EXPECT_EQ(ReadImageHeader(IMAGE_RECORD_OFFSET, &ImageHeader), 0);
    EXPECT_EQ(shown.back(), MessageTable.MsgInvalidData);
}

TEST_F(Files, LoaderIsReadInTextMode) {
    LoaderOptions opts;
    opts.crlfAt = {0, 7};
    std::vector<uint8_t> file = MakeLoader(opts);
    Write("ldr.bin", file);
    ASSERT_EQ(LoadLoaderFile("ldr.bin"), 1);
    EXPECT_EQ(loaderLoadedLength, file.size() - 2);
    EXPECT_EQ(TransferBuffer[64], 0x0A);
    EXPECT_TRUE(LoaderChecksum());
    EXPECT_TRUE(LoaderLayoutValid());
    EXPECT_EQ(LoadLoaderFile("nothing.bin"), 0);
}

TEST_F(Files, LoaderLargerThanTheBufferIsReadOnce) {
    LoaderOptions opts;
    opts.minSize = 60000;
    Write("big.bin", MakeLoader(opts));
    ASSERT_EQ(LoadLoaderFile("big.bin"), 1);
    EXPECT_EQ(loaderLoadedLength, (unsigned)TRANSFER_BUFFER_SIZE);
}

TEST_F(Files, LoaderPresence) {
    EXPECT_EQ(CheckLoaderPresent(), 1);  // no loader named: no file touched
    strcpy(AppState.loaderFile, "nothing.bin");
    EXPECT_EQ(CheckLoaderPresent(), 0);
    Write("empty.bin", std::string());
    strcpy(AppState.loaderFile, "empty.bin");
    EXPECT_EQ(CheckLoaderPresent(), 1);  // it opens; its layout is another matter
    EXPECT_EQ(loaderLoadedLength, 0u);
    EXPECT_FALSE(LoaderLayoutValid());
    EXPECT_TRUE(shown.empty());
}

TEST_F(Files, LaunchListFromTheCurrentDirectory) {
    char image[PATH_CAP] = {}, option1[PATH_CAP] = {}, loader[PATH_CAP] = {}, option2[PATH_CAP] = {};
    strcpy(option2, "keep");
    ReadLaunchList(image, option1, loader, option2);  // no file
    EXPECT_STREQ(image, "");
    EXPECT_STREQ(option2, "keep");  // option 2 is left as it was

    Write("Varoriva.inf", std::string("fw.bin /NON\r\nldr.bin\r\n"));
    memset(option2, 0, sizeof option2);
    ReadLaunchList(image, option1, loader, option2);
    EXPECT_STREQ(image, "fw.bin");
    EXPECT_STREQ(option1, "/NON");
    EXPECT_STREQ(loader, "ldr.bin");

    HANDLE held = CreateFileA("Varoriva.inf", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ReadLaunchList(image, option1, loader, option2);
    EXPECT_STREQ(image, "");
    EXPECT_STREQ(loader, "");
    CloseHandle(held);
}

TEST_F(Files, RestartStateRecords) {
    snprintf(AppState.restartStatePath, PATH_CAP, "%s\\Rariru2.DAT", dir);
    char a[PATH_CAP], b[PATH_CAP], c[PATH_CAP], d[PATH_CAP];
    auto Read = [&]() {
        memset(a, 0, sizeof a); memset(b, 0, sizeof b); memset(c, 0, sizeof c); memset(d, 0, sizeof d);
        return ReadRestartState(a, b, c, d);
    };
    EXPECT_EQ(Read(), 0);  // no file

    Write("Rariru2.DAT", std::string("\"C:\\Tools\\upd.exe\" fw.bin /NON\0C:\\Tools\0fw.bin\0/NON\0", 52));
    EXPECT_EQ(Read(), 1);
    EXPECT_STREQ(a, "\"C:\\Tools\\upd.exe\" fw.bin /NON");
    EXPECT_STREQ(b, "C:\\Tools");
    EXPECT_STREQ(c, "fw.bin");
    EXPECT_STREQ(d, "/NON");

    // Without its fourth record the option reads as empty and the read succeeds.
    Write("Rariru2.DAT", std::string("cmd\0dir\0fw.bin\0", 15));
    EXPECT_EQ(Read(), 1);
    EXPECT_STREQ(c, "fw.bin");
    EXPECT_STREQ(d, "");

    // Records longer than their buffers are cut, never written past them.
    std::string longRecord(400, 'x');
    Write("Rariru2.DAT", longRecord + std::string("\0dir\0fw.bin\0", 12) + longRecord);
    EXPECT_EQ(Read(), 1);
    EXPECT_EQ(strlen(a), 260u);
    EXPECT_STREQ(b, "dir");
    EXPECT_STREQ(c, "fw.bin");
    EXPECT_EQ(strlen(d), 260u);
}

TEST_F(Files, RestartStateWrittenThenReadBack) {
    snprintf(AppState.restartStatePath, PATH_CAP, "%s\\Rariru2.DAT", dir);
    strcpy(AppState.imageFile, "fw.bin");
    for (DWORD force : {1u, 0u}) {
        AppState.forceImage = force;
        ASSERT_EQ(WriteRestartState(), 1);
        std::string expected = std::string(GetCommandLineA()) + std::string(1, '\0') + dir +
                               std::string(1, '\0') + "fw.bin" + std::string(1, '\0') +
                               (force ? "/NON" : "") + std::string(1, '\0');
        FILE *f = fopen(AppState.restartStatePath, "rb");
        ASSERT_TRUE(f);
        std::string written;
        int c;
        while ((c = fgetc(f)) != EOF) written += (char)c;
        fclose(f);
        EXPECT_EQ(written, expected);

        char a[PATH_CAP] = {}, b[PATH_CAP] = {}, image[PATH_CAP] = {}, option[PATH_CAP] = {};
        ASSERT_EQ(ReadRestartState(a, b, image, option), 1);
        EXPECT_STREQ(b, dir);
        EXPECT_STREQ(image, "fw.bin");
        EXPECT_STREQ(option, force ? "/NON" : "");
    }
    // A file that can't be created: nothing is written.
    snprintf(AppState.restartStatePath, PATH_CAP, "%s\\no-such-dir\\Rariru2.DAT", dir);
    EXPECT_EQ(WriteRestartState(), 0);
}

TEST_F(Files, RunValueHoldsTheBareProgramPath) {
    strcpy(AppState.programPath, "C:\\Tools\\upd.exe");
    SetRunValue(0);
    EXPECT_EQ(SetRunValue(0), 0);  // absent: removal answers 0
    ASSERT_EQ(SetRunValue(1), 1);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\run", 0,
                            KEY_READ, &key), ERROR_SUCCESS);
    char data[64] = {};
    DWORD type = 0, size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "Discmend", NULL, &type, (BYTE *)data, &size), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(size, strlen("C:\\Tools\\upd.exe") + 1);
    EXPECT_STREQ(data, "C:\\Tools\\upd.exe");
    EXPECT_EQ(SetRunValue(0), 1);
}

TEST_F(Files, FileExistsOpensWithoutCreating) {
    Write("a.dat", std::string("x"));
    std::string path = std::string(dir) + "\\a.dat";
    EXPECT_EQ(FileExists(path.c_str()), 1);
    std::string none = std::string(dir) + "\\none.dat";
    EXPECT_EQ(FileExists(none.c_str()), 0);
    EXPECT_EQ(GetFileAttributesA(none.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(FileExists(dir), 0);  // a directory is no file
}

}  // namespace
