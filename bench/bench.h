// What the benchmarks share: the clock, medians, the simulated drives they
// run against, and the result lines that bench/run.sh gathers into its table.
//
// A result line is tab-separated:
//   row <TAB> what <TAB> figure <TAB> floor or target <TAB> unit <TAB> limit <TAB> kind
// figure and floor/target are numbers in unit; limit is the highest ratio
// figure / floor that is met (0: none set); kind is "floor" or "target".
// A note line ("note <TAB> text") explains a figure; run.sh prints notes
// under the table.
#pragma once
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "app/appstate.h"
#include "drive/aspi_layer.h"
#include "text/messages.h"
#include "update/imagefile.h"

// Microseconds on the performance counter.
static inline double BenchNow() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return (double)counter.QuadPart * 1e6 / (double)frequency.QuadPart;
}

static inline double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

static inline double Mean(const std::vector<double> &values) {
    double sum = 0;
    for (double v : values) sum += v;
    return values.empty() ? 0 : sum / values.size();
}

static inline void PrintRow(const char *what, double figure, double reference, const char *unit,
                            double limit, const char *kind) {
    printf("row\t%s\t%.6g\t%.6g\t%s\t%.6g\t%s\n", what, figure, reference, unit, limit, kind);
}

static inline void PrintNote(const char *text) { printf("note\t%s\n", text); }

// The drives every request benchmark runs against: 8 host adapters x 8
// targets, an HX-2150RA at targets 1 and 4 of each adapter and a disk
// elsewhere, every request completing at once (latency 0). Adapter 0,
// target 1 takes the firmware image.
static inline bool SupportedTarget(int target) { return target == 1 || target == 4; }

static inline bool UseBenchScenario() {
    char scenario[MAX_PATH];
    GetTempPathA(sizeof scenario, scenario);
    strcat(scenario, "discmend-bench-scenario.txt");
    FILE *f = fopen(scenario, "w");
    if (!f) return false;
    fprintf(f, "adapters 8\n");
    for (int a = 0; a < 8; a++) {
        for (int t = 0; t < 8; t++) {
            if (SupportedTarget(t))
                fprintf(f, "[device %d %d]\nproduct HX-2150RA\nrevision 1.%02d\n", a, t, a * 8 + t);
            else
                fprintf(f, "[device %d %d]\nkind disk\nproduct DISK %d\n", a, t, t);
        }
    }
    fclose(f);
    SetEnvironmentVariableA("DISCMEND_SIM_SCENARIO", scenario);
    SetEnvironmentVariableA("DISCMEND_SIM_LOG", NULL);
    SetEnvironmentVariableA("DISCMEND_SIM_DUMP_DIR", NULL);
    return true;
}

// The program's start-up as far as a benchmark needs it: English texts and
// the simulated manager with the drives above. false after saying why not.
static inline bool StartWithBenchDrives() {
    if (!UseBenchScenario()) {
        printf("bench: can't write the scenario file\n");
        return false;
    }
    AppState.primaryLanguage = 9;
    FillMessageTable();
    AppState.aspiSupportInfo = GetASPI32SupportInfo();
    AppState.hostAdapterCount = (BYTE)AppState.aspiSupportInfo;
    if (AppState.hostAdapterCount != 8 || !aspiSendCommand) {
        printf("bench: the simulated WNASPI32.DLL is not loaded (support info 0x%08lx)\n",
               (unsigned long)AppState.aspiSupportInfo);
        return false;
    }
    return true;
}

// Block n of the image as TransferImage sends it (WRITE BUFFER, mode 6; mode
// 7 for the last block) to adapter/target, from buffer: length bytes of
// data, a CDB of cdbLength bytes.
static inline void BuildBlock(SRB_ExecSCSICmd &srb, BYTE adapter, BYTE target, unsigned n,
                              BYTE *buffer, DWORD length, BYTE cdbLength) {
    DWORD offset = n * (DWORD)IMAGE_BLOCK;
    memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = adapter;
    srb.SRB_Target = target;
    srb.SRB_Flags = SRB_DIR_OUT;
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = cdbLength;
    srb.CDBByte[0] = SCSI_WRITE_BUFFER;
    srb.CDBByte[1] = n < IMAGE_BLOCKS - 1 ? 6 : 7;
    srb.CDBByte[3] = (BYTE)(offset >> 16);
    srb.CDBByte[4] = (BYTE)(offset >> 8);
    srb.CDBByte[5] = (BYTE)offset;
    srb.CDBByte[7] = 0x08;  // 2,048 bytes of data
}

// The image the transfers send, in the temporary folder: block n is
// blocks[n], filled here. path gets the file's name. false after saying why
// not.
static inline bool WriteBenchImage(BYTE *const *blocks, char *path) {
    GetTempPathA(MAX_PATH, path);
    strcat(path, "discmend-bench-fw.bin");
    FILE *f = fopen(path, "wb");
    bool ok = f != NULL;
    for (unsigned n = 0; n < IMAGE_BLOCKS && ok; n++) {
        for (unsigned i = 0; i < IMAGE_BLOCK; i++) blocks[n][i] = (BYTE)(n * 7 + i * 13);
        ok = fwrite(blocks[n], 1, IMAGE_BLOCK, f) == IMAGE_BLOCK;
    }
    if (f && fclose(f) != 0) ok = false;
    if (!ok) printf("bench: can't write %s\n", path);
    return ok;
}

// Sends the 257 requests one after another through send, each awaited until
// its status is final: the least a caller of a manager does. The wait pauses
// the processor between looks, as a spin-wait should, so that it holds up
// the manager's thread as little as possible.
static inline bool SendEachAwaited(SRB_ExecSCSICmd *requests, DWORD(__cdecl *send)(void *)) {
    for (unsigned n = 0; n < IMAGE_BLOCKS; n++) {
        volatile BYTE *status = &requests[n].SRB_Status;
        send(&requests[n]);
        while (*status == SS_PENDING) YieldProcessor();
        if (*status != SS_COMP) return false;
    }
    return true;
}
