// Drive discovery and the table of what it found.
#pragma once
#include "app/platform.h"

enum { MAX_ADAPTERS = 8, MAX_TARGETS = 8 };

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

// Mode 1: first inventory (counts per model); 2: finds again a drive of a
// model counted at start-up; 3: accepts any supported drive. Answers 1 when
// a drive was accepted and no failure stopped the scan.
int DiscoverDrives(BYTE mode);
