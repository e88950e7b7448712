// TransferImage over the program's own provider on the NT SCSI pass-through,
// against a simulated drive on D: with zero latency (the pass-through
// preload of build/ptdev; bench/run.sh puts the drive there). The provider
// is started on the program's handle of \\.\D: and installed as LoadAspi
// installs it; the drive is at adapter 0, target 1.
//
// - TransferImage: 257 WRITE BUFFER requests as over the simulated ASPI
//   manager, each handed to the drive's worker thread, which makes the
//   pass-through call and stores the outcome while the program polls.
// - Floor: the same 257 IOCTL_SCSI_PASS_THROUGH_DIRECT calls on the same
//   handle, one after another on the calling thread, from pass-through
//   records and page-aligned buffers filled beforehand, each call's result
//   and ScsiStatus checked; nothing else in the loop.
// - Beside them, not in the table: the provider's own entry point with a bare
//   wait (the same requests built beforehand, each awaited until its status
//   is final), which tells the hand-off to the worker from the program's own
//   work.
//
// Usage: bench_passthrough.exe [rounds]; run under Wine with the drive on D:
// (see bench/run.sh).
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "app/appstate.h"
#include "bench/bench.h"
#include "drive/aspi_layer.h"
#include "drive/passthrough.h"
#include "update/download.h"
#include "update/imagefile.h"

enum { ADAPTER = 0,
       TARGET = 1,
       BUFFER = 4096 };

static HANDLE drive;
static SRB_ExecSCSICmd requests[IMAGE_BLOCKS];
static PassThroughRecord records[IMAGE_BLOCKS], filled[IMAGE_BLOCKS];

// The pass-through calls alone. The port writes its answer into each
// record, so every round starts from fresh copies (made before the clock
// starts).
static bool Floor() {
    for (unsigned n = 0; n < IMAGE_BLOCKS; n++) {
        DWORD returned = 0;
        if (!DeviceIoControl(drive, IOCTL_SCSI_PASS_THROUGH_DIRECT, &records[n], sizeof records[n],
                             &records[n], sizeof records[n], &returned, NULL) ||
            records[n].sptd.ScsiStatus != STATUS_GOOD)
            return false;
    }
    return true;
}

// The provider's entry point, each request awaited until its status is
// final; the wait pauses the processor between looks.
static bool ProviderBareWait() {
    return SendEachAwaited(requests, PassThroughSendCommand);
}

static bool ProgramTransfer() {
    AppState.DeviceError = 0;
    progressValue = 0;
    return TransferImage(ADAPTER, TARGET) == 0;
}

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 200;
    if (rounds < 1) rounds = 1;
    AppState.primaryLanguage = 9;
    FillMessageTable();

    drive = CreateFileA("\\\\.\\D:", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (drive == INVALID_HANDLE_VALUE || StartPassThrough(&drive, 1) != 1) {
        printf("bench: no drive on D: (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    aspiGetSupportInfo = PassThroughSupportInfo;
    aspiSendCommand = PassThroughSendCommand;
    AppState.aspiSupportInfo = GetASPI32SupportInfo();
    AppState.hostAdapterCount = (BYTE)AppState.aspiSupportInfo;

    BYTE *pages = (BYTE *)VirtualAlloc(NULL, IMAGE_BLOCKS * BUFFER, MEM_COMMIT | MEM_RESERVE,
                                       PAGE_READWRITE);
    if (!pages) return 1;
    BYTE *blocks[IMAGE_BLOCKS];
    for (unsigned n = 0; n < IMAGE_BLOCKS; n++) {
        blocks[n] = pages + n * BUFFER;
        BuildBlock(requests[n], ADAPTER, TARGET, n, blocks[n], BUFFER, 10);
        FillPassThrough(&requests[n], blocks[n], &filled[n]);
    }
    char image[MAX_PATH];
    if (!WriteBenchImage(blocks, image)) return 1;
    strcpy(AppState.imageFile, image);

    // The three side by side; the first rounds warm up. The order turns
    // round by round so that none always goes first.
    std::vector<double> program, floor, bare;
    for (int round = 0; round < rounds + 10; round++) {
        memcpy(records, filled, sizeof records);
        double took[3];
        bool ok = true;
        for (int i = 0; i < 3 && ok; i++) {
            int which = (round + i) % 3;
            double start = BenchNow();
            ok = which == 0 ? ProgramTransfer() : which == 1 ? Floor()
                                                             : ProviderBareWait();
            took[which] = BenchNow() - start;
        }
        if (!ok) {
            printf(
                "bench: a transfer failed (DeviceError %lu, last request status 0x%02x, "
                "target status 0x%02x)\n",
                (unsigned long)AppState.DeviceError, requests[IMAGE_BLOCKS - 1].SRB_Status,
                requests[IMAGE_BLOCKS - 1].SRB_TargStat);
            return 1;
        }
        if (round < 10) continue;
        program.push_back(took[0]);
        floor.push_back(took[1]);
        bare.push_back(took[2]);
    }
    DeleteFileA(image);

    double p = Median(program), b = Median(floor), w = Median(bare);
    // What the provider and the program add to each pass-through call.
    PrintRow("TransferImage over pass-through (D:), per block above its floor (the call alone)",
             (p - b) / IMAGE_BLOCKS, 10, "us", 1, "target");
    char text[400];
    snprintf(text, sizeof text,
             "TransferImage over pass-through, %d rounds (medians); per block: TransferImage "
             "%.1f us, the provider's entry point with a bare wait %.1f us, the pass-through call "
             "alone (the floor) %.1f us",
             rounds, p / IMAGE_BLOCKS, w / IMAGE_BLOCKS, b / IMAGE_BLOCKS);
    PrintNote(text);
    return 0;
}
