// Mode-1 discovery over 8 host adapters x 8 targets against the simulated
// ASPI manager with zero latency: the program's DiscoverDrives against its
// floor, the least a caller of the same manager can do for the same scan.
//
// Floor: the same 144 requests (INQUIRY and the vendor status at every
// target, the revision INQUIRY at each drive of the model), each posted with
// a completion routine that only marks it done, sent one after another and
// each awaited until its routine has run; records and buffers built
// beforehand, nothing else in the loop.
//
// Run from build/win under Wine (see bench/run.sh); prints both times as a
// result line of bench/run.sh's table.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "app/appstate.h"
#include "bench/bench.h"
#include "drive/aspi_layer.h"
#include "drive/discovery.h"

enum { FLOOR_REQUESTS = 8 * 8 * 2 + 8 * 2 };

static volatile LONG floorDone;
static void __cdecl FloorDone(SRB_ExecSCSICmd *) { floorDone = 1; }

static SRB_ExecSCSICmd floorRequests[FLOOR_REQUESTS];
static BYTE floorBuffers[FLOOR_REQUESTS][256];

static void BuildFloor() {
    static const BYTE inquiry[6] = {SCSI_INQUIRY, 0, 0, 0, 0x20, 0};
    static const BYTE revision[6] = {SCSI_INQUIRY, 1, 0x81, 0, 0xFF, 0};
    static const BYTE vendor[12] = {VENDOR_STATUS, 0, 1, 0, 0, 0, 0, 0, 0, 0x12, 0, 0};
    unsigned n = 0;
    for (BYTE a = 0; a < 8; a++) {
        for (BYTE t = 0; t < 8; t++) {
            for (int kind = 0; kind < 3; kind++) {
                if (kind == 2 && !SupportedTarget(t)) continue;
                SRB_ExecSCSICmd &srb = floorRequests[n];
                const BYTE *cdb = kind == 0 ? inquiry : kind == 1 ? vendor
                                                                  : revision;
                srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
                srb.SRB_HaId = a;
                srb.SRB_Target = t;
                srb.SRB_Flags = SRB_DIR_IN | SRB_POSTING;
                srb.SRB_BufLen = kind == 2 ? 255 : 256;
                srb.SRB_BufPointer = floorBuffers[n];
                srb.SRB_SenseLen = SENSE_LEN;
                srb.SRB_CDBLen = kind == 1 ? 12 : 6;
                memcpy(srb.CDBByte, cdb, srb.SRB_CDBLen);
                srb.SRB_PostProc = (void *)FloorDone;
                n++;
            }
        }
    }
}

// The requests above, each awaited until its completion routine has run.
// The wait pauses the processor between looks, as a spin-wait should, so
// that it holds up the manager's thread as little as possible.
static void FloorScan() {
    for (unsigned n = 0; n < FLOOR_REQUESTS; n++) {
        floorDone = 0;
        aspiSendCommand(&floorRequests[n]);
        while (!floorDone) YieldProcessor();
    }
}

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 200;
    if (rounds < 1) rounds = 1;
    if (!StartWithBenchDrives()) return 1;
    BuildFloor();

    // Side by side, the order alternating so that neither always goes
    // first; the first rounds warm up.
    std::vector<double> program, floor;
    for (int round = 0; round < rounds + 10; round++) {
        bool floorFirst = round % 2 == 1;
        memset(AppState.modelCounts, 0, sizeof AppState.modelCounts);
        double t0 = BenchNow();
        int found = 0;
        if (floorFirst)
            FloorScan();
        else
            found = DiscoverDrives(1);
        double t1 = BenchNow();
        if (floorFirst)
            found = DiscoverDrives(1);
        else
            FloorScan();
        double t2 = BenchNow();
        if (found != 1 || AppState.modelCounts[0] != 16) {
            printf("bench: discovery failed\n");
            return 1;
        }
        if (round < 10) continue;
        program.push_back(floorFirst ? t2 - t1 : t1 - t0);
        floor.push_back(floorFirst ? t1 - t0 : t2 - t1);
    }
    PrintRow("DiscoverDrives, mode-1 scan of 8 x 8 targets (144 requests)", Median(program) / 1000,
             Median(floor) / 1000, "ms", 1.5, "floor");
    return 0;
}
