// Identification and status commands.
#pragma once
#include "app/platform.h"

extern volatile DWORD DriveNotReady;
extern volatile DWORD vendorStatusAnswered;
extern volatile BYTE firmwareCode;
extern volatile BYTE modelCode;

int Inquire(BYTE adapter, BYTE target);
int InquireRevision(BYTE adapter, BYTE target);
BYTE TestUnitReady(BYTE adapter, BYTE target);
int EjectMedium(BYTE adapter, BYTE target);
int RequestVendorStatus(BYTE adapter, BYTE target);
int QueryVendorStatus(BYTE adapter, BYTE target);
