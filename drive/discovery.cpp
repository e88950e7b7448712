// Drive discovery over every host adapter and target, and the table of what it found.
#include "drive/discovery.h"

#include <string.h>

#include "app/appstate.h"
#include "app/msgbox.h"
#include "drive/commands.h"
#include "text/messages.h"

DriveSlot DriveTable[MAX_ADAPTERS * MAX_TARGETS];
BYTE currentAdapter;
BYTE currentTarget;
ScanRecord LatestScan;
SeenRecord SeenInRun;

static const struct {
    const char *productId;
    unsigned length;
} models[3] = {{"HX-2150RA", 9}, {"HX-2350RU", 9}, {"HX-2170RA USB", 13}};

DriveSlot *SlotOf(BYTE adapter, BYTE target) {
    if (adapter >= MAX_ADAPTERS || target >= MAX_TARGETS) return NULL;
    return &DriveTable[adapter * MAX_TARGETS + target];
}

int SupportedModel(const char *productId) {
    for (int row = 0; row < 3; row++) {
        if (strncmp(productId, models[row].productId, models[row].length) == 0) return row + 1;
    }
    return 0;
}

int DiscoverDrives(BYTE mode) {
    memset(&LatestScan, 0, sizeof LatestScan);
    if (mode == 1) memset(&SeenInRun, 0, sizeof SeenInRun);
    if (AppState.hostAdapterCount == 0) return 0;
    // The table has room for 8 host adapters; any beyond are not scanned.
    unsigned adapters = AppState.hostAdapterCount < MAX_ADAPTERS ? AppState.hostAdapterCount
                                                                 : (unsigned)MAX_ADAPTERS;
    int found = 0;
    for (unsigned a = 0; a < adapters; a++) {
        for (unsigned t = 0; t < MAX_TARGETS; t++) {
            Inquire((BYTE)a, (BYTE)t);
            if (AppState.DeviceError != 0) {
                ShowMessage(NULL, MessageTable.MsgUpdateFailed, MB_OK);
                return 0;
            }
            int answered = QueryVendorStatus((BYTE)a, (BYTE)t);
            int haveLoader = AppState.loaderFile[0] != 0;
            if (answered != haveLoader) continue;

            DriveSlot *slot = SlotOf((BYTE)a, (BYTE)t);
            int model = SupportedModel(slot->productId);
            if (model == 0) continue;
            int row = model - 1;
            SeenInRun.models[a * MAX_TARGETS + t] |= (BYTE)(1 << row);
            int accept = 0;
            if (mode == 1) {
                accept = 1;
                AppState.modelCounts[row]++;
            } else if (mode == 2) {
                if (AppState.modelCounts[row] != 0) {
                    accept = 1;
                    AppState.modelCounts[row] = 0;
                }
            } else if (mode == 3) {
                accept = 1;
            }
            if (!accept) continue;

            found = 1;
            currentAdapter = (BYTE)a;
            currentTarget = (BYTE)t;
            slot->matched = 1;
            LatestScan.model[a * MAX_TARGETS + t] = (BYTE)model;
            InquireRevision((BYTE)a, (BYTE)t);
            if (AppState.DeviceError == 1) {
                ShowMessage(NULL, MessageTable.MsgUpdateFailed, MB_OK);
                return 0;
            }
        }
    }
    // A time-out of the last target's vendor status request is not noticed
    // above; the flag still tells of it.
    LatestScan.complete = AppState.DeviceError == 0;
    return found;
}
