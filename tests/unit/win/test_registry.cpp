// What the restart cycle reads and writes, against the Wine prefix's
// registry and files: which drives' auto-insert settings count and are
// switched off and back on, and the restart state file.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>

#include <map>
#include <string>

#include "app/appstate.h"
#include "app/restart.h"
#include "drive/autoinsert.h"
#include "drive/discovery.h"

namespace {

const std::string kScsi = "Enum\\SCSI\\";
const std::string k2150 = "VELKOSA_HX-2150RA______1.00", k2150ru = "VELKOSA_HX-2150RU______1.00",
                  k2350 = "VELKOSA_HX-2350RU______1.00", kUsb = "VELKOSA_HX-2170RA_USB__1.00",
                  kBang = "VELKOSA_HX-2150RA!SECOND";

void Set(const std::string &instance, int value) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kScsi + instance).c_str(), 0, NULL, 0,
                              KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS);
    BYTE data = (BYTE)value;
    RegSetValueExA(key, "AutoInsertNotification", 0, REG_BINARY, &data, 1);
    RegCloseKey(key);
}

// The value's data as text, or "" when there is none.
std::string Query(const std::string &path, const char *name, DWORD *type = NULL) {
    HKEY key;
    char data[PATH_CAP] = {0};
    DWORD size = sizeof data - 1;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    LONG rc = RegQueryValueExA(key, name, NULL, type, (BYTE *)data, &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(data, size) : "";
}

int Get(const std::string &instance) {
    DWORD type = 0;
    std::string data = Query(kScsi + instance, "AutoInsertNotification", &type);
    return data.size() == 1 && type == REG_BINARY ? (BYTE)data[0] : -1;
}

void DeleteTree(HKEY parent, const char *path) {
    HKEY key;
    char name[PATH_CAP];
    if (RegOpenKeyExA(parent, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    for (DWORD length = sizeof name; RegEnumKeyExA(key, 0, name, &length, NULL, NULL, NULL, NULL) ==
                                     ERROR_SUCCESS;
         length = sizeof name)
        DeleteTree(key, name);
    RegCloseKey(key);
    RegDeleteKeyA(parent, path);
}

std::string FileBytes(const char *path) {
    char data[2048];
    DWORD got = 0;
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ReadFile(file, data, sizeof data, &got, NULL);
    CloseHandle(file);
    return std::string(data, got);
}

struct Restart : ::testing::Test {
    void SetUp() override {
        DeleteTree(HKEY_LOCAL_MACHINE, "Enum\\SCSI");
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        snprintf(AppState.autoInsertBackupPath, PATH_CAP, "%sRariru1.DAT", temp);
        snprintf(AppState.restartStatePath, PATH_CAP, "%sRariru2.DAT", temp);
        memset(DriveTable, 0, sizeof DriveTable);
        AppState.selectedAdapter = 0, AppState.selectedTarget = 2;
    }
    void TearDown() override {
        DeleteTree(HKEY_LOCAL_MACHINE, "Enum\\SCSI");
        DeleteFileA(AppState.autoInsertBackupPath);
        DeleteFileA(AppState.restartStatePath);
    }
};

TEST_F(Restart, OnlyTheChosenModelsInstancesCountForTheCheck) {
    const struct {
        const char *drive;
        std::map<std::string, int> values;
        int on;
    } cases[] = {
        {"HX-2150RA", {{k2150 + "\\0", 0}, {k2150 + "\\BUS1", 1}, {k2150 + "\\SCSI1", 1}, {k2150 + "\\USB1", 1}, {kUsb + "\\0", 1}, {k2350 + "\\0", 1}}, 0},
        {"HX-2150RA", {{kBang + "\\0", 1}}, 1},
        {"HX-2350RU", {{k2150ru + "\\0", 1}, {k2350 + "\\0", 0}}, 1},
        {"HX-2350RU", {{k2150ru + "\\0", 0}, {k2350 + "\\0", 1}, {k2150 + "\\0", 1}}, 0},
        {"HX-2170RA USB", {{kUsb + "\\0", 1}}, 1},
    };
    for (const auto &c : cases) {
        DeleteTree(HKEY_LOCAL_MACHINE, "Enum\\SCSI");
        for (const auto &v : c.values) Set(v.first, v.second);
        strcpy(SlotOf(0, 2)->productId, c.drive);
        EXPECT_EQ(CheckAutoInsert(), c.on) << c.drive << " " << c.values.begin()->first;
    }
}

TEST_F(Restart, SwitchOffRecordsTheSupportedModelsAndRestorePutsThemBack) {
    const std::map<std::string, int> before = {
        {k2150 + "\\0", 1}, {k2150 + "\\USB0", 12}, {kBang + "\\0", 1}, {k2150ru + "\\0", 1}, {kUsb + "\\0", 0}, {k2350 + "\\0", 1}};
    for (const auto &v : before) Set(v.first, v.second);
    EXPECT_EQ(SwitchOffAutoInsert(), 1);
    auto record = [](const std::string &instance, const char value[2]) {
        return kScsi + instance + std::string(1, '\0') + std::string(value, 2);
    };
    EXPECT_EQ(FileBytes(AppState.autoInsertBackupPath),
              record(k2150 + "\\0", "1") + record(k2150 + "\\USB0", "12") +
                  record(k2350 + "\\0", "1") + record(kUsb + "\\0", "0"));
    for (const auto &v : before) {
        bool treated = v.first.compare(0, kBang.size(), kBang) != 0 && v.first.find("2150RU") == std::string::npos;
        EXPECT_EQ(Get(v.first), treated ? 0 : v.second) << v.first;
    }
    EXPECT_EQ(RestoreAutoInsert(), 1);
    for (const auto &v : before)
        EXPECT_EQ(Get(v.first), v.second == 12 ? 1 : v.second) << v.first;  // "12" reads back as 1
}

TEST_F(Restart, StateFileReadsBackWhatWasWritten) {
    strcpy(AppState.imageFile, "fw.bin");
    AppState.forceImage = 1;
    ASSERT_EQ(WriteRestartState(), 1);
    char directory[PATH_CAP] = {0};
    GetCurrentDirectoryA(sizeof directory, directory);
    EXPECT_EQ(FileBytes(AppState.restartStatePath),
              std::string(GetCommandLineA()) + '\0' + directory + '\0' + "fw.bin" + '\0' + "/NON" + '\0');
    char read[4][PATH_CAP] = {{0}};
    ASSERT_EQ(ReadRestartState(read[0], read[1], read[2], read[3]), 1);
    EXPECT_STREQ(read[0], GetCommandLineA());
    EXPECT_STREQ(read[1], directory);
    EXPECT_STREQ(read[2], "fw.bin");
    EXPECT_STREQ(read[3], "/NON");
}

}  // namespace
