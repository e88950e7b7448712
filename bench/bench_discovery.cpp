// Mode-1 discovery over 8 host adapters x 8 targets against the simulated
// ASPI manager with zero latency: the program's DiscoverDrives against the
// floor, the same requests sent bare one after another.
//
// Run from build/win under Wine (see bench/run.sh); prints both times and
// their ratio.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "app/appstate.h"
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

static bool Supported(int target) { return target == 1 || target == 4; }

static void FloorScan() {
    static const BYTE inquiry[6] = {0x12, 0, 0, 0, 0x20, 0};
    static const BYTE revision[6] = {0x12, 1, 0x81, 0, 0xFF, 0};
    static const BYTE vendor[12] = {0xCC, 0, 1, 0, 0, 0, 0, 0, 0, 0x12, 0, 0};
    for (BYTE a = 0; a < 8; a++) {
        for (BYTE t = 0; t < 8; t++) {
            SendBare(a, t, inquiry, 6, 256);
            SendBare(a, t, vendor, 12, 256);
            if (Supported(t)) SendBare(a, t, revision, 6, 255);
        }
    }
}

static double Now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return (double)counter.QuadPart * 1e6 / (double)frequency.QuadPart;
}

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 200;
    char scenario[MAX_PATH];
    GetTempPathA(sizeof scenario, scenario);
    strcat(scenario, "discmend-bench-scenario.txt");
    FILE *f = fopen(scenario, "w");
    fprintf(f, "adapters 8\n");
    for (int a = 0; a < 8; a++) {
        for (int t = 0; t < 8; t++) {
            if (Supported(t))
                fprintf(f, "[device %d %d]\nproduct HX-2150RA\nrevision 1.%02d\n", a, t, a * 8 + t);
            else
                fprintf(f, "[device %d %d]\nkind disk\nproduct DISK %d\n", a, t, t);
        }
    }
    fclose(f);
    SetEnvironmentVariableA("DISCMEND_SIM_SCENARIO", scenario);
    SetEnvironmentVariableA("DISCMEND_SIM_LOG", NULL);

    AppState.primaryLanguage = 9;
    FillMessageTable();
    AppState.aspiSupportInfo = GetASPI32SupportInfo();
    AppState.hostAdapterCount = (BYTE)AppState.aspiSupportInfo;
    if (AppState.hostAdapterCount != 8 || !aspiSendCommand) {
        printf("bench: the simulated WNASPI32.DLL is not loaded (support info 0x%08lx)\n",
               (unsigned long)AppState.aspiSupportInfo);
        return 1;
    }
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);

    std::vector<double> program, floor;
    for (int round = 0; round < rounds + 10; round++) {
        memset(AppState.modelCounts, 0, sizeof AppState.modelCounts);
        double start = Now();
        int found = DiscoverDrives(1);
        double middle = Now();
        FloorScan();
        double end = Now();
        if (found != 1 || AppState.modelCounts[0] != 16) {
            printf("bench: discovery failed\n");
            return 1;
        }
        if (round >= 10) {  // the first rounds warm up
            program.push_back(middle - start);
            floor.push_back(end - middle);
        }
    }
    std::sort(program.begin(), program.end());
    std::sort(floor.begin(), floor.end());
    double p = program[program.size() / 2], b = floor[floor.size() / 2];
    printf("mode-1 scan, 8 adapters x 8 targets, 144 requests, %d rounds (medians)\n", rounds);
    printf("DiscoverDrives: %.0f us\n", p);
    printf("floor (bare requests): %.0f us\n", b);
    printf("ratio: %.2f (target: at most 1.50)\n", p / b);
    return 0;
}
