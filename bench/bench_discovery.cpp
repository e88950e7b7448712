// Mode-1 discovery over 8 host adapters x 8 targets against the simulated
// ASPI manager with zero latency: the program's DiscoverDrives against the
// floor, the same requests sent bare one after another.
//
// Run from build/win under Wine (see bench/run.sh); prints both times and
// their ratio as a result line of bench/run.sh's table.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "app/appstate.h"
#include "bench/bench.h"
#include "drive/aspi_layer.h"
#include "drive/discovery.h"
#include "text/messages.h"

static volatile LONG posted;
static void __cdecl BarePost(SRB_ExecSCSICmd *) { InterlockedExchange(&posted, 1); }

static BYTE bareBuffer[256];
static SRB_ExecSCSICmd bare;

static void SendBare(BYTE adapter, BYTE target, const BYTE *cdb, BYTE cdbLength, DWORD length) {
    memset(&bare, 0, sizeof bare);
    bare.SRB_Cmd = SC_EXEC_SCSI_CMD;
    bare.SRB_HaId = adapter;
    bare.SRB_Target = target;
    bare.SRB_Flags = SRB_DIR_IN | SRB_POSTING;
    bare.SRB_BufLen = length;
    bare.SRB_BufPointer = bareBuffer;
    bare.SRB_SenseLen = SENSE_LEN;
    bare.SRB_CDBLen = cdbLength;
    memcpy(bare.CDBByte, cdb, cdbLength);
    bare.SRB_PostProc = (void *)BarePost;
    posted = 0;
    aspiSendCommand(&bare);
    while (!posted) {
    }
}

static void FloorScan() {
    static const BYTE inquiry[6] = {0x12, 0, 0, 0, 0x20, 0};
    static const BYTE revision[6] = {0x12, 1, 0x81, 0, 0xFF, 0};
    static const BYTE vendor[12] = {0xCC, 0, 1, 0, 0, 0, 0, 0, 0, 0x12, 0, 0};
    for (BYTE a = 0; a < 8; a++) {
        for (BYTE t = 0; t < 8; t++) {
            SendBare(a, t, inquiry, 6, 256);
            SendBare(a, t, vendor, 12, 256);
            if (SupportedTarget(t)) SendBare(a, t, revision, 6, 255);
        }
    }
}

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 200;
    if (rounds < 1) rounds = 1;
    if (!StartWithBenchDrives()) return 1;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);

    std::vector<double> program, floor;
    for (int round = 0; round < rounds + 10; round++) {
        memset(AppState.modelCounts, 0, sizeof AppState.modelCounts);
        double start = BenchNow();
        int found = DiscoverDrives(1);
        double middle = BenchNow();
        FloorScan();
        double end = BenchNow();
        if (found != 1 || AppState.modelCounts[0] != 16) {
            printf("bench: discovery failed\n");
            return 1;
        }
        if (round >= 10) {  // the first rounds warm up
            program.push_back(middle - start);
            floor.push_back(end - middle);
        }
    }
    PrintRow("DiscoverDrives, mode-1 scan of 8 x 8 targets (144 requests)", Median(program) / 1000,
             Median(floor) / 1000, "ms", 1.5, "floor");
    return 0;
}
