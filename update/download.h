// The commands that carry firmware to the drive, and the block transfer.
#pragma once
#include "drive/aspi.h"

extern SRB_ExecSCSICmd DownloadRequest;
extern HANDLE imageHandle;
extern volatile DWORD busyRetry;
extern DWORD progressValue;

// Per-request family: outcome in DeviceError and busyRetry.
void SendBlock(BYTE adapter, BYTE target, BYTE mode, DWORD offset, BYTE *buffer);
void SendLastBlock(BYTE adapter, BYTE target, BYTE mode, DWORD offset, BYTE *buffer);
// Sends the 257 blocks of imageFile; answers the final DeviceError.
DWORD TransferImage(BYTE adapter, BYTE target);

// Polled family on DownloadRequest, addressing currentAdapter/currentTarget.
bool SendBlockPolled(unsigned block);
bool SendLastBlockPolled(unsigned block);
bool SendFinish();
bool ReadVendorStatus();
bool SendLoader();
