// Placing the pass-through drives at ASPI addresses (host adapter, target).
#include "drive/drive_places.h"

static int Usable(const DriveAddress &d) { return d.known && d.lun == 0 && d.target < 8; }

static unsigned PortPath(const DriveAddress &d) { return (unsigned)d.port << 8 | d.path; }

unsigned PlaceDrives(const DriveAddress *drives, unsigned count, DrivePlace *places) {
    // The distinct (port, path) pairs, ascending.
    unsigned pairs[26];
    unsigned pairCount = 0;
    for (unsigned i = 0; i < count; i++) {
        if (!Usable(drives[i])) continue;
        unsigned key = PortPath(drives[i]);
        unsigned at = 0;
        while (at < pairCount && pairs[at] < key) at++;
        if (at < pairCount && pairs[at] == key) continue;
        for (unsigned j = pairCount; j > at; j--) pairs[j] = pairs[j - 1];
        pairs[at] = key;
        pairCount++;
    }

    unsigned extra = 0;  // drives placed after the mapped host adapters
    for (unsigned i = 0; i < count; i++) {
        int placed = 0;
        if (Usable(drives[i])) {
            unsigned adapter = 0;
            while (pairs[adapter] != PortPath(drives[i])) adapter++;
            placed = 1;
            for (unsigned j = 0; j < i; j++) {
                if (Usable(drives[j]) && PortPath(drives[j]) == PortPath(drives[i]) &&
                    drives[j].target == drives[i].target)
                    placed = 0;  // the first letter keeps the address
            }
            if (placed) {
                places[i].adapter = (BYTE)adapter;
                places[i].target = drives[i].target;
            }
        }
        if (!placed) {
            places[i].adapter = (BYTE)(pairCount + extra / 8);
            places[i].target = (BYTE)(extra % 8);
            extra++;
        }
    }
    return pairCount + (extra + 7) / 8;
}
