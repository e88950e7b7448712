// The main dialog: the list of drives and the UPDATE chain that controls
// every update.
#pragma once
#include <windows.h>

// Host adapter and target of the drive listed in each slot (slot k at index
// k - 1). Slots without a drive keep what they held.
struct DriveSlotAddress {
    DWORD adapter;
    DWORD target;
};
extern DriveSlotAddress DriveSlots[4];

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Lists up to four recognised drives in the slots and grows the dialog by
// one row for each drive after the first.
void FillDriveList(HWND dialog);

// The revision text of a slot: up to four characters of the drive's revision
// and, for a drive that answered the vendor status command, its firmware
// code as " (%2x)". text holds at least 16 bytes.
void FormatSlotRevision(char *text, const char *revision, int vendorDrive, BYTE code);
