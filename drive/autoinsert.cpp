// Switching the drives' automatic insert notification off and back on, with its backup file.
#include "drive/autoinsert.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "app/appstate.h"
#include "drive/autoinsert_records.h"
#include "drive/discovery.h"

static const char autoInsertValue[] = "AutoInsertNotification";
static const char enumScsi[] = "Enum\\SCSI";

enum { KEY_NAME_CAP = 261,
       KEY_PATH_MAX = AUTOINSERT_PATH_MAX };

// Device keys that the switch-off treats, in this order.
static const struct {
    const char *prefix;
    unsigned length;
} switchOffList[3] = {
    {"VELKOSA_HX-2150RA", 17}, {"VELKOSA_HX-2350RU", 17}, {"VELKOSA_HX-2170RA_USB", 21}};

// Device keys that the check looks at, paired with the chosen drive's model.
static const struct {
    const char *keyPrefix;
    unsigned keyLength;
    const char *productId;
    unsigned productLength;
} checkPairs[3] = {{"VELKOSA_HX-2150RA", 17, "HX-2150RA", 9},
                   {"VELKOSA_HX-2150RU", 17, "HX-2350RU", 9},
                   {"VELKOSA_HX-2170RA_USB", 21, "HX-2170RA USB", 13}};

static int SubkeyCount(HKEY key, DWORD *count) {
    return RegQueryInfoKeyA(key, NULL, NULL, NULL, count, NULL, NULL, NULL, NULL, NULL, NULL,
                            NULL) == ERROR_SUCCESS;
}

static int SubkeyName(HKEY key, DWORD index, char *name) {
    DWORD length = KEY_NAME_CAP;
    return RegEnumKeyExA(key, index, name, &length, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
}

static int ReadValueByte(HKEY key, BYTE *first) {
    BYTE data[256];
    DWORD size = sizeof data;
    if (RegQueryValueExA(key, autoInsertValue, NULL, NULL, data, &size) != ERROR_SUCCESS ||
        size == 0)
        return 0;
    *first = data[0];
    return 1;
}

int CheckAutoInsert() {
    const DriveSlot *slot = SlotOf(AppState.selectedAdapter, AppState.selectedTarget);
    const char *productId = slot ? slot->productId : "";
    HKEY scsi;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, enumScsi, 0, KEY_READ, &scsi) != ERROR_SUCCESS) return 0;
    DWORD devices = 0;
    if (!SubkeyCount(scsi, &devices)) {
        RegCloseKey(scsi);
        return 0;
    }
    int result = 0;
    for (DWORD d = 0; d < devices; d++) {
        char deviceName[KEY_NAME_CAP];
        if (!SubkeyName(scsi, d, deviceName)) continue;
        int treated = 0;
        for (const auto &pair : checkPairs) {
            if (strncmp(deviceName, pair.keyPrefix, pair.keyLength) == 0 &&
                strncmp(productId, pair.productId, pair.productLength) == 0)
                treated = 1;
        }
        if (!treated) continue;
        HKEY device;
        if (RegOpenKeyExA(scsi, deviceName, 0, KEY_READ, &device) != ERROR_SUCCESS) continue;
        DWORD instances = 0;
        if (SubkeyCount(device, &instances)) {
            for (DWORD i = 0; i < instances; i++) {
                char instanceName[KEY_NAME_CAP];
                if (!SubkeyName(device, i, instanceName)) continue;
                char first = instanceName[0];
                if (first == 'U' || first == 'S' || first == 'B') continue;
                HKEY instance;
                if (RegOpenKeyExA(device, instanceName, 0, KEY_READ, &instance) != ERROR_SUCCESS)
                    continue;
                BYTE value;
                if (ReadValueByte(instance, &value) && value == 1) result = 1;
                RegCloseKey(instance);
            }
        }
        RegCloseKey(device);
    }
    RegCloseKey(scsi);
    return result;
}

static int BelongsTo(const char *deviceName, unsigned entry) {
    return strncmp(deviceName, switchOffList[entry].prefix, switchOffList[entry].length) == 0 &&
           deviceName[17] != '!';
}

// Switches off the instances of one device key, recording each old value.
static int SwitchOffDevice(HKEY scsi, const char *deviceName, HANDLE backup) {
    HKEY device;
    if (RegOpenKeyExA(scsi, deviceName, 0, KEY_READ, &device) != ERROR_SUCCESS) return 0;
    DWORD instances = 0;
    if (!SubkeyCount(device, &instances)) {
        RegCloseKey(device);
        return 0;
    }
    int result = 1;
    for (DWORD i = 0; i < instances; i++) {
        char instanceName[KEY_NAME_CAP];
        HKEY instance;
        if (!SubkeyName(device, i, instanceName) ||
            RegOpenKeyExA(device, instanceName, 0, KEY_READ | KEY_SET_VALUE, &instance) !=
                ERROR_SUCCESS) {
            result = 0;
            continue;
        }
        char path[KEY_NAME_CAP * 2 + 16];
        snprintf(path, sizeof path, "%s\\%s\\%s", enumScsi, deviceName, instanceName);
        BYTE value;
        if (strlen(path) > KEY_PATH_MAX) {
            // Its record could not be read back: leave the value as it is.
            result = 0;
        } else if (!ReadValueByte(instance, &value)) {
            result = 0;
        } else {
            char text[4];
            snprintf(text, sizeof text, "%u", (unsigned)value);
            DWORD written = 0, pathBytes = (DWORD)strlen(path) + 1;
            if (!WriteFile(backup, path, pathBytes, &written, NULL) || written != pathBytes ||
                !WriteFile(backup, text, 2, &written, NULL) || written != 2) {
                result = 0;
            } else {
                BYTE off = 0;
                if (RegSetValueExA(instance, autoInsertValue, 0, REG_BINARY, &off, 1) !=
                    ERROR_SUCCESS)
                    result = 0;
            }
        }
        RegCloseKey(instance);
    }
    RegCloseKey(device);
    return result;
}

int SwitchOffAutoInsert() {
    HANDLE backup = CreateFileA(AppState.autoInsertBackupPath, GENERIC_WRITE, 0, NULL,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (backup == INVALID_HANDLE_VALUE) return 0;
    int result = 1;
    for (unsigned entry = 0; entry < 3; entry++) {
        HKEY scsi;
        DWORD devices = 0;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, enumScsi, 0, KEY_READ, &scsi) != ERROR_SUCCESS) {
            result = 0;
            continue;
        }
        if (!SubkeyCount(scsi, &devices)) {
            RegCloseKey(scsi);
            result = 0;
            continue;
        }
        for (DWORD d = 0; d < devices; d++) {
            char deviceName[KEY_NAME_CAP];
            if (!SubkeyName(scsi, d, deviceName)) {
                result = 0;
                continue;
            }
            if (!BelongsTo(deviceName, entry)) continue;
            if (!SwitchOffDevice(scsi, deviceName, backup)) result = 0;
        }
        RegCloseKey(scsi);
    }
    CloseHandle(backup);
    return result;
}

static int ReadFileByte(void *context, unsigned char *byte) {
    DWORD got = 0;
    return ReadFile((HANDLE)context, byte, 1, &got, NULL) && got == 1;
}

int ReadAutoInsertRecord(HANDLE file, char *path, BYTE *value) {
    return ParseAutoInsertRecord(ReadFileByte, file, path, value);
}

int RestoreAutoInsert() {
    HANDLE file = CreateFileA(AppState.autoInsertBackupPath, GENERIC_READ, 0, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    int result = 1;
    char path[261];
    BYTE value;
    while (ReadAutoInsertRecord(file, path, &value)) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
            result = 0;
            continue;
        }
        if (RegSetValueExA(key, autoInsertValue, 0, REG_BINARY, &value, 1) != ERROR_SUCCESS)
            result = 0;
        RegCloseKey(key);
    }
    CloseHandle(file);
    return result;
}
