// Drive discovery and the table of what it found.
#pragma once
#include "app/platform.h"

enum { MAX_ADAPTERS = 8,
       MAX_TARGETS = 8 };

struct DriveSlot {
    char productId[20];
    char revision[5];
    DWORD matched;
};

extern DriveSlot DriveTable[MAX_ADAPTERS * MAX_TARGETS];
extern BYTE currentAdapter;
extern BYTE currentTarget;

// The slot of a drive address, or null for an address outside the table.
DriveSlot *SlotOf(BYTE adapter, BYTE target);

// What the latest DiscoverDrives call accepted, by slot: the model (1 to 3,
// the row of the model table) of each drive accepted, 0 elsewhere. complete
// is 1 when that scan ran to its end and none of its requests timed out, not
// even the last target's vendor status request, which the scan itself lets
// pass. With a loader file named, each drive recorded answered the vendor
// status command in that scan, whereas productId in DriveTable keeps its text
// where nothing answers any more.
struct ScanRecord {
    BYTE model[MAX_ADAPTERS * MAX_TARGETS];
    int complete;
};
extern ScanRecord LatestScan;

// Where drives of each model have taken part in the scans of the run, by
// slot: bit (model - 1) is set once a drive of that model got past the
// vendor status test there, whether the mode accepted it or not. The mode-1
// inventory starts it afresh; every other scan only adds to it.
struct SeenRecord {
    BYTE models[MAX_ADAPTERS * MAX_TARGETS];
};
extern SeenRecord SeenInRun;

// The model (1 to 3) that a product identification names, or 0.
int SupportedModel(const char *productId);

// Mode 1: first inventory (counts per model); 2: finds again a drive of a
// model counted at start-up; 3: accepts any supported drive. Answers 1 when
// a drive was accepted and no failure stopped the scan.
int DiscoverDrives(BYTE mode);
