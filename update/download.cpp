// WRITE BUFFER and the vendor commands that carry firmware, and the block transfer.
#include "update/download.h"

#include <stdlib.h>
#include <string.h>

#include "app/appstate.h"
#include "drive/aspi_layer.h"
#include "drive/commands.h"
#include "drive/discovery.h"
#include "drive/wait.h"
#include "ui/progress.h"
#include "update/imagefile.h"

SRB_ExecSCSICmd DownloadRequest;
HANDLE imageHandle;
volatile DWORD busyRetry;
DWORD progressValue;

enum { BLOCK_BUFFER = 4096,
       SAVE_WAIT_MS = 120000,
       SAVE_WAIT_TICKS = 400 };

static void BlockCdb(BYTE *cdb, BYTE mode, DWORD offset) {
    cdb[0] = SCSI_WRITE_BUFFER;
    cdb[1] = mode;
    cdb[2] = 0;
    cdb[3] = (BYTE)(offset >> 16);
    cdb[4] = (BYTE)(offset >> 8);
    cdb[5] = (BYTE)offset;
    cdb[6] = 0x00;  // parameter list length 2,048
    cdb[7] = 0x08;
    cdb[8] = 0x00;
    cdb[9] = 0;
}

static SRB_ExecSCSICmd *NewBlockRequest(BYTE adapter, BYTE target, BYTE mode, DWORD offset,
                                        BYTE *buffer) {
    SRB_ExecSCSICmd *srb = (SRB_ExecSCSICmd *)calloc(1, sizeof(SRB_ExecSCSICmd));
    if (!srb) return NULL;
    srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb->SRB_HaId = adapter;
    srb->SRB_Target = target;
    srb->SRB_Flags = SRB_DIR_OUT;
    srb->SRB_BufLen = BLOCK_BUFFER;
    srb->SRB_BufPointer = buffer;
    srb->SRB_SenseLen = SENSE_LEN;
    srb->SRB_CDBLen = 10;
    BlockCdb(srb->CDBByte, mode, offset);
    return srb;
}

void SendBlock(BYTE adapter, BYTE target, BYTE mode, DWORD offset, BYTE *buffer) {
    SRB_ExecSCSICmd *srb = NewBlockRequest(adapter, target, mode, offset, buffer);
    if (!srb) {
        AppState.DeviceError = 1;
        return;
    }
    SendASPI32Command(srb);
    if (!WaitForSrb(60000, &srb->SRB_Status)) {
        AppState.DeviceError = 1;  // the manager may still write into both
        return;
    }
    if (srb->SRB_Status == SS_COMP) {
        free(buffer);
        free(srb);
        return;
    }
    AppState.DeviceError = 1;
    if (srb->SRB_Status == SS_ERR && srb->SRB_TargStat == STATUS_BUSY) {
        busyRetry = 1;
        AppState.DeviceError = 0;
        free(srb);  // the buffer stays with the caller for the next attempt
        return;
    }
    free(buffer);
    free(srb);
}

void SendLastBlock(BYTE adapter, BYTE target, BYTE mode, DWORD offset, BYTE *buffer) {
    SRB_ExecSCSICmd *srb = NewBlockRequest(adapter, target, mode, offset, buffer);
    if (!srb) {
        AppState.DeviceError = 1;
        return;
    }
    SendASPI32Command(srb);

    // Waits up to 120 s, counting changes of the tenths digit of the tick
    // counter; 400 of them (about 40 s) end the wait as well.
    DWORD start = TickCount();
    DWORD previousDigit = start & 0xF000;
    unsigned ticks = 0;
    BYTE status;
    for (;;) {
        DWORD now = TickCount();
        status = srb->SRB_Status;
        if (status != SS_PENDING && status != SS_ERR) break;
        if (now - start > SAVE_WAIT_MS) {
            AppState.DeviceError = 1;
            return;
        }
        DWORD digit = (now / 100) % 10;
        if (digit != previousDigit) {
            previousDigit = digit;
            ticks++;
            if (status != SS_ERR) {
                progressValue += 2;
                ShowProgress(progressValue);
            }
        }
        if (ticks >= SAVE_WAIT_TICKS) {
            AppState.DeviceError = 1;  // still pending, or ended with an error
            return;
        }
    }
    AppState.DeviceError = status == SS_COMP ? 0 : 1;
    free(buffer);
    free(srb);
}

DWORD TransferImage(BYTE adapter, BYTE target) {
    HANDLE file = CreateFileA(AppState.imageFile, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        AppState.DeviceError = 1;
        return 1;
    }
    // Nobody else may send the drive a command while its firmware is
    // written. Where the system refuses the lock, nothing is written: the
    // transfer ends as a refused first block does.
    if (!LockDriveForFirmware(adapter, target)) {
        CloseHandle(file);
        AppState.DeviceError = 1;
        return 1;
    }
    for (unsigned short n = 0; n < IMAGE_BLOCKS; n++) {
        BYTE *buffer = (BYTE *)calloc(1, BLOCK_BUFFER);
        DWORD got = 0;
        if (!buffer || !ReadFile(file, buffer, IMAGE_BLOCK, &got, NULL) || got != IMAGE_BLOCK) {
            // A block that can't be read whole is never sent: the drive
            // would save an image with a hole in it.
            free(buffer);
            AppState.DeviceError = 1;
            break;
        }
        if (n < IMAGE_BLOCKS - 1) {
            int attempt = 0;
            for (; attempt < 10; attempt++) {
                busyRetry = 0;
                SendBlock(adapter, target, 6, n * (DWORD)IMAGE_BLOCK, buffer);
                if (busyRetry == 0) break;
            }
            if (attempt == 10) {
                // Still busy after the tenth attempt: the block was never taken.
                free(buffer);
                AppState.DeviceError = 1;
            }
            progressValue += 1;
            ShowProgress(progressValue);
        } else {
            busyRetry = 0;
            SendLastBlock(adapter, target, 7, n * (DWORD)IMAGE_BLOCK, buffer);
            progressValue = 1000;
            ShowProgress(progressValue);
        }
        if (AppState.DeviceError == 1) break;
    }
    UnlockDriveAfterFirmware(adapter, target);
    CloseHandle(file);
    return AppState.DeviceError;
}

// The polled commands share DownloadRequest. One that timed out may still be
// pending in the manager: no new request is built on it until it has ended.
static int downloadOutstanding;

static bool DownloadRequestFree() {
    if (downloadOutstanding && DownloadRequest.SRB_Status == SS_PENDING) return false;
    downloadOutstanding = 0;
    return true;
}

static void PrepareDownload(BYTE flags, DWORD length, const BYTE *cdb) {
    DownloadRequest.SRB_Cmd = SC_EXEC_SCSI_CMD;
    DownloadRequest.SRB_Status = SS_PENDING;
    DownloadRequest.SRB_HaId = currentAdapter;
    DownloadRequest.SRB_Target = currentTarget;
    DownloadRequest.SRB_Flags = flags;
    DownloadRequest.SRB_BufLen = length;
    DownloadRequest.SRB_BufPointer = TransferBuffer;
    DownloadRequest.SRB_SenseLen = SENSE_LEN;
    DownloadRequest.SRB_CDBLen = 12;
    memcpy(DownloadRequest.CDBByte, cdb, 12);
}

static bool RunPolled(DWORD pause, DWORD limit, bool countProgress) {
    SendASPI32Command(&DownloadRequest);
    downloadOutstanding = 1;
    DWORD elapsed = 0;
    for (;;) {
        BYTE status = DownloadRequest.SRB_Status;
        if (status != SS_PENDING) {
            downloadOutstanding = 0;
            return status == SS_COMP;
        }
        DelayMs(pause);
        elapsed += pause;
        if (countProgress) {
            progressValue += 1;
            ShowProgress(progressValue);
        }
        if (elapsed >= limit) return false;
    }
}

static bool SendImageBlockPolled(unsigned block, BYTE mode, DWORD pause, DWORD limit,
                                 bool countProgress) {
    if (!DownloadRequestFree()) return false;
    // Only a whole block is sent: a short read (the file changed since the
    // start) would carry stale bytes of TransferBuffer into the drive.
    DWORD got = 0;
    if (!ReadFile(imageHandle, TransferBuffer, IMAGE_BLOCK, &got, NULL) || got != IMAGE_BLOCK)
        return false;
    BYTE cdb[12] = {0};
    BlockCdb(cdb, mode, block * (DWORD)IMAGE_BLOCK);
    PrepareDownload(SRB_DIR_OUT, IMAGE_BLOCK, cdb);
    return RunPolled(pause, limit, countProgress);
}

bool SendBlockPolled(unsigned block) { return SendImageBlockPolled(block, 6, 10, 10000, false); }

bool SendLastBlockPolled(unsigned block) {
    return SendImageBlockPolled(block, 7, 190, 40000, true);
}

bool SendFinish() {
    if (!DownloadRequestFree()) return false;
    static const BYTE cdb[12] = {VENDOR_DOWNLOAD, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    PrepareDownload(0, 0, cdb);
    return RunPolled(190, 20000, true);
}

bool ReadVendorStatus() {
    if (!DownloadRequestFree()) return false;
    static const BYTE cdb[12] = {VENDOR_STATUS, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x12, 0, 0};
    PrepareDownload(SRB_DIR_IN, 18, cdb);
    if (!RunPolled(190, 20000, true)) return false;
    firmwareCode = TransferBuffer[12];
    modelCode = TransferBuffer[13];
    return true;
}

bool SendLoader() {
    if (!DownloadRequestFree()) return false;
    DWORD length = LoaderBodyLength();
    // A body that would reach past the buffer is never sent.
    if (LOADER_HEADER_SIZE + length > TRANSFER_BUFFER_SIZE) return false;
    BYTE cdb[12] = {VENDOR_DOWNLOAD, 0, 0, 0, 0, 0, TransferBuffer[60], TransferBuffer[61],
                    TransferBuffer[62], TransferBuffer[63], 0, 0};
    PrepareDownload(SRB_DIR_OUT, length, cdb);
    memmove(TransferBuffer, TransferBuffer + LOADER_HEADER_SIZE, length);
    return RunPolled(190, 20000, true);
}
