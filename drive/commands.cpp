// The identification and status commands: INQUIRY, TEST UNIT READY, START STOP UNIT, 0xCC.
#include "drive/commands.h"

#include <string.h>

#include "app/appstate.h"
#include "drive/aspi_layer.h"
#include "drive/discovery.h"
#include "drive/wait.h"

volatile DWORD DriveNotReady;
volatile DWORD vendorStatusAnswered;
volatile BYTE firmwareCode;
volatile BYTE modelCode;

enum { POSTED_IN = SRB_DIR_IN | SRB_POSTING };

static void __cdecl InquireDone(SRB_ExecSCSICmd *srb) {
    DriveSlot *slot = SlotOf(srb->SRB_HaId, srb->SRB_Target);
    if (ClaimRequest(srb) && srb->SRB_Status == SS_COMP && slot) {
        memcpy(slot->productId, srb->SRB_BufPointer + 16, 13);
        slot->productId[13] = 0;
    }
    CompleteRequest(srb);
}

static void __cdecl InquireRevisionDone(SRB_ExecSCSICmd *srb) {
    DriveSlot *slot = SlotOf(srb->SRB_HaId, srb->SRB_Target);
    if (ClaimRequest(srb) && srb->SRB_Status == SS_COMP && slot) {
        memcpy(slot->revision, srb->SRB_BufPointer + 32, 4);
        slot->revision[4] = 0;
    }
    CompleteRequest(srb);
}

static void __cdecl EjectDone(SRB_ExecSCSICmd *srb) {
    ClaimRequest(srb);
    CompleteRequest(srb);
}

static void __cdecl VendorStatusDone(SRB_ExecSCSICmd *srb) {
    if (ClaimRequest(srb) && srb->SRB_Status == SS_COMP && srb->SRB_TargStat == STATUS_GOOD) {
        vendorStatusAnswered = 1;
        firmwareCode = srb->SRB_BufPointer[12];
        modelCode = srb->SRB_BufPointer[13];
    }
    CompleteRequest(srb);
}

int Inquire(BYTE adapter, BYTE target) {
    static const BYTE cdb[6] = {SCSI_INQUIRY, 0x00, 0x00, 0x00, 0x20, 0x00};
    return SubmitPosted(NewRequest(adapter, target, POSTED_IN, 256, cdb, 6, InquireDone), 10000);
}

int InquireRevision(BYTE adapter, BYTE target) {
    static const BYTE cdb[6] = {SCSI_INQUIRY, 0x01, 0x81, 0x00, 0xFF, 0x00};
    return SubmitPosted(NewRequest(adapter, target, POSTED_IN, 255, cdb, 6, InquireRevisionDone),
                        10000);
}

BYTE TestUnitReady(BYTE adapter, BYTE target) {
    static const BYTE cdb[6] = {SCSI_TEST_UNIT_READY, 0x00, 0x00, 0x00, 0x00, 0x00};
    DriveRequest *request = NewRequest(adapter, target, SRB_DIR_IN, 32, cdb, 6, NULL);
    if (!request) {
        AppState.DeviceError = 1;
        return 0;
    }
    SendASPI32Command(&request->srb);
    DriveNotReady = 0;
    if (!WaitForSrb(10000, &request->srb.SRB_Status)) {
        // Abandoned to the service, which may still write into it.
        AppState.DeviceError = 1;
        return 0;
    }
    BYTE senseKey = request->srb.SenseArea[2] & 0x0F;
    BYTE asc = request->srb.SenseArea[12];
    if (senseKey == 2 || asc == 0x3A) DriveNotReady = 1;
    FreeRequest(request);
    return asc;
}

int EjectMedium(BYTE adapter, BYTE target) {
    static const BYTE cdb[6] = {SCSI_START_STOP_UNIT, 0x00, 0x00, 0x00, 0x02, 0x00};
    return SubmitPosted(NewRequest(adapter, target, POSTED_IN, 32, cdb, 6, EjectDone), 60000);
}

int RequestVendorStatus(BYTE adapter, BYTE target) {
    static const BYTE cdb[12] = {VENDOR_STATUS, 0x00, 0x01, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x12, 0x00, 0x00};
    return SubmitPosted(NewRequest(adapter, target, POSTED_IN, 256, cdb, 12, VendorStatusDone),
                        60000);
}

int QueryVendorStatus(BYTE adapter, BYTE target) {
    vendorStatusAnswered = 0;
    RequestVendorStatus(adapter, target);
    return vendorStatusAnswered == 1;
}
