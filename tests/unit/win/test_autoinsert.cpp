// The auto-insert notification switch-off, check and restore against the
// registry of the Wine prefix.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/appstate.h"
#include "drive/autoinsert.h"
#include "drive/discovery.h"
#include "tools/fixtures.h"

namespace {

const char scsi[] = "Enum\\SCSI";

void DeleteTree(HKEY root, const char *path) {
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    char name[300];
    for (;;) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, 0, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
        DeleteTree(key, name);
    }
    RegCloseKey(key);
    RegDeleteKeyA(root, path);
}

// Creates Enum\SCSI\device\instance with the value (bytes), or no value when empty.
void MakeInstance(const std::string &device, const std::string &instance,
                  const std::vector<BYTE> &value) {
    HKEY parent, key;
    std::string path = std::string(scsi) + "\\" + device;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                              &parent, NULL),
              ERROR_SUCCESS);
    LONG rc = RegCreateKeyExA(parent, instance.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    RegCloseKey(parent);
    ASSERT_EQ(rc, ERROR_SUCCESS);
    if (!value.empty())
        RegSetValueExA(key, "AutoInsertNotification", 0, REG_BINARY, value.data(), (DWORD)value.size());
    RegCloseKey(key);
}

// The value's bytes, or "absent".
std::string Value(const std::string &device, const std::string &instance) {
    HKEY parent, key;
    std::string path = std::string(scsi) + "\\" + device;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &parent) != ERROR_SUCCESS)
        return "no key";
    LONG opened = RegOpenKeyExA(parent, instance.c_str(), 0, KEY_READ, &key);
    RegCloseKey(parent);
    if (opened != ERROR_SUCCESS) return "no key";
    BYTE data[16];
    DWORD size = sizeof data, type = 0;
    LONG rc = RegQueryValueExA(key, "AutoInsertNotification", NULL, &type, data, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return "absent";
    std::string s;
    for (DWORD i = 0; i < size; i++) s += std::to_string(data[i]) + (i + 1 < size ? "," : "");
    return type == REG_BINARY ? s : s + "(type " + std::to_string(type) + ")";
}

// One backup record: the key path, its NUL and the two value-text bytes.
std::string Record(const std::string &path, std::string value) {
    value.resize(2, '\0');
    return path + std::string(1, '\0') + value;
}

std::string ReadAll(const char *path) {
    std::string s;
    FILE *f = fopen(path, "rb");
    if (!f) return "<missing>";
    int c;
    while ((c = fgetc(f)) != EOF) s += (char)c;
    fclose(f);
    return s;
}

struct AutoInsert : ::testing::Test {
    void SetUp() override {
        DeleteTree(HKEY_LOCAL_MACHINE, scsi);
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        snprintf(AppState.autoInsertBackupPath, PATH_CAP, "%sRariru1-%lu.DAT", temp, GetTickCount());
        DeleteFileA(AppState.autoInsertBackupPath);
        memset(DriveTable, 0, sizeof DriveTable);
        AppState.selectedAdapter = 0;
        AppState.selectedTarget = 2;
    }
    void TearDown() override {
        DeleteTree(HKEY_LOCAL_MACHINE, scsi);
        DeleteFileA(AppState.autoInsertBackupPath);
    }
    void Choose(const char *productId) { strcpy(SlotOf(0, 2)->productId, productId); }
};

TEST_F(AutoInsert, NoEnumKeyChecksOffAndSwitchesOffNothing) {
    Choose("HX-2150RA    ");
    EXPECT_EQ(CheckAutoInsert(), 0);
    EXPECT_EQ(SwitchOffAutoInsert(), 0);  // the enumeration key can't be opened
    EXPECT_EQ(ReadAll(AppState.autoInsertBackupPath), "");
}

TEST_F(AutoInsert, NoDeviceOfAnyEntryLeavesAnEmptyBackup) {
    MakeInstance("OTHER_DISK", "0000", {1});
    EXPECT_EQ(SwitchOffAutoInsert(), 1);
    EXPECT_EQ(ReadAll(AppState.autoInsertBackupPath), "");
    EXPECT_EQ(RestoreAutoInsert(), 1);
    EXPECT_EQ(Value("OTHER_DISK", "0000"), "1");
}

TEST_F(AutoInsert, SwitchOffRecordsEveryInstanceThenRestorePutsThemBack) {
    MakeInstance("VELKOSA_HX-2150RA_____1.00", "0000", {1});
    MakeInstance("VELKOSA_HX-2150RA_____1.00", "U001", {1});       // switched off too
    MakeInstance("VELKOSA_HX-2350RU_____1.00", "0001", {12, 7});    // "12" restored as 1
    MakeInstance("VELKOSA_HX-2170RA_USB_1.00", "0002", {0});
    MakeInstance("VELKOSA_HX-2150RA!X", "0003", {1});               // "!" key: not treated
    MakeInstance("OTHER_DISK", "0004", {1});
    ASSERT_EQ(SwitchOffAutoInsert(), 1);

    std::string expected =
        Record("Enum\\SCSI\\VELKOSA_HX-2150RA_____1.00\\0000", "1") +
        Record("Enum\\SCSI\\VELKOSA_HX-2150RA_____1.00\\U001", "1") +
        Record("Enum\\SCSI\\VELKOSA_HX-2350RU_____1.00\\0001", "12") +
        Record("Enum\\SCSI\\VELKOSA_HX-2170RA_USB_1.00\\0002", "0");
    EXPECT_EQ(ReadAll(AppState.autoInsertBackupPath), expected);
    EXPECT_EQ(Value("VELKOSA_HX-2150RA_____1.00", "0000"), "0");
    EXPECT_EQ(Value("VELKOSA_HX-2150RA_____1.00", "U001"), "0");
    EXPECT_EQ(Value("VELKOSA_HX-2350RU_____1.00", "0001"), "0");
    EXPECT_EQ(Value("VELKOSA_HX-2150RA!X", "0003"), "1");
    EXPECT_EQ(Value("OTHER_DISK", "0004"), "1");

    ASSERT_EQ(RestoreAutoInsert(), 1);
    EXPECT_EQ(Value("VELKOSA_HX-2150RA_____1.00", "0000"), "1");
    EXPECT_EQ(Value("VELKOSA_HX-2150RA_____1.00", "U001"), "1");
    EXPECT_EQ(Value("VELKOSA_HX-2350RU_____1.00", "0001"), "1");
    EXPECT_EQ(Value("VELKOSA_HX-2170RA_USB_1.00", "0002"), "0");
}

TEST_F(AutoInsert, InstanceWithoutTheValueCountsAsAFailureAndIsNotRecorded) {
    MakeInstance("VELKOSA_HX-2150RA", "0000", {});
    MakeInstance("VELKOSA_HX-2150RA", "0001", {1});
    EXPECT_EQ(SwitchOffAutoInsert(), 0);
    EXPECT_EQ(ReadAll(AppState.autoInsertBackupPath),
              Record("Enum\\SCSI\\VELKOSA_HX-2150RA\\0001", "1"));
    EXPECT_EQ(Value("VELKOSA_HX-2150RA", "0001"), "0");
}

TEST_F(AutoInsert, CheckLooksOnlyAtTheChosenDrivesModel) {
    MakeInstance("VELKOSA_HX-2150RA!X", "0000", {1});  // the check treats "!" keys
    Choose("HX-2150RA    ");
    EXPECT_EQ(CheckAutoInsert(), 1);
    Choose("HX-2170RA USB");
    EXPECT_EQ(CheckAutoInsert(), 0);
    MakeInstance("VELKOSA_HX-2170RA_USB", "U000", {1});  // U, S, B instances are ignored
    MakeInstance("VELKOSA_HX-2170RA_USB", "S000", {1});
    MakeInstance("VELKOSA_HX-2170RA_USB", "B000", {1});
    EXPECT_EQ(CheckAutoInsert(), 0);
    MakeInstance("VELKOSA_HX-2170RA_USB", "0001", {1});
    EXPECT_EQ(CheckAutoInsert(), 1);
}

TEST_F(AutoInsert, HX2350RUDrivesAreCheckedAgainstHX2150RUKeys) {
    Choose("HX-2350RU    ");
    MakeInstance("VELKOSA_HX-2350RU", "0000", {1});
    EXPECT_EQ(CheckAutoInsert(), 0);
    MakeInstance("VELKOSA_HX-2150RU", "0000", {0});
    EXPECT_EQ(CheckAutoInsert(), 0);
    MakeInstance("VELKOSA_HX-2150RU", "0001", {1});
    EXPECT_EQ(CheckAutoInsert(), 1);
}

TEST_F(AutoInsert, OverLongKeyPathIsNeitherRecordedNorSwitched) {
    std::string device = "VELKOSA_HX-2150RA" + std::string(150, 'x');
    std::string instance(120, 'i');  // the path comes to 10 + 167 + 1 + 120 = 298 characters
    MakeInstance(device, instance, {1});
    MakeInstance("VELKOSA_HX-2150RA", "0000", {1});
    EXPECT_EQ(SwitchOffAutoInsert(), 0);
    EXPECT_EQ(Value(device, instance), "1");
    EXPECT_EQ(ReadAll(AppState.autoInsertBackupPath),
              Record("Enum\\SCSI\\VELKOSA_HX-2150RA\\0000", "1"));
}

TEST_F(AutoInsert, RestoreSkipsARecordCutShortAndMissingKeys) {
    MakeInstance("VELKOSA_HX-2150RA", "0000", {0});
    MakeInstance("VELKOSA_HX-2150RA", "0001", {0});
    std::string file = Record("Enum\\SCSI\\VELKOSA_HX-2150RA\\0000", "1") +
                       Record("Enum\\SCSI\\NOT_THERE\\0000", "1") +
                       Record("Enum\\SCSI\\VELKOSA_HX-2150RA\\0001", "1").substr(0, 34);  // cut after one value byte
    ASSERT_TRUE(WriteFileBytes(AppState.autoInsertBackupPath, std::vector<uint8_t>(file.begin(), file.end())));
    EXPECT_EQ(RestoreAutoInsert(), 0);  // the missing key counts against it
    EXPECT_EQ(Value("VELKOSA_HX-2150RA", "0000"), "1");
    EXPECT_EQ(Value("VELKOSA_HX-2150RA", "0001"), "0");
    EXPECT_EQ(Value("NOT_THERE", "0000"), "no key");
}

}  // namespace
