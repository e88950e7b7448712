// The firmware block transfers against the simulated ASPI manager with zero
// latency, the drive at adapter 0, target 1, each against its floor, the
// least a caller of the same manager can do for the same requests:
//
// - TransferImage: 257 WRITE BUFFER requests (modes 6 and 7), one freshly
//   allocated request and 4,096-byte buffer per block, read from the image
//   file, completion seen by polling SRB_Status on the tick counter. Floor:
//   the same 257 requests from records and buffers built beforehand, each
//   awaited until its status is final, nothing else in the loop.
// - The polled transfer: SendBlockPolled x 256 and SendLastBlockPolled on
//   DownloadRequest, reading through imageHandle, pausing 10 ms (190 ms for
//   the last block) on the tick counter whenever the request has not ended
//   at the first look. Floor: the same commands (12-byte CDB, 2,048 bytes)
//   built beforehand and awaited as above, without pauses, measured beside
//   the per-request transfer: the pauses are the program's, so no limit is
//   set; the note counts them.
//
// Usage: bench_transfer.exe [rounds] [polled rounds]; run from build/win
// under Wine with the simulated WNASPI32.DLL (see bench/run.sh).
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "app/appstate.h"
#include "bench/bench.h"
#include "drive/aspi_layer.h"
#include "drive/discovery.h"
#include "update/download.h"
#include "update/imagefile.h"

enum { ADAPTER = 0,
       TARGET = 1,
       BUFFER = 4096 };

static BYTE floorBuffers[IMAGE_BLOCKS][BUFFER];
static SRB_ExecSCSICmd floorBlocks[IMAGE_BLOCKS], floorPolled[IMAGE_BLOCKS];

static bool Floor(SRB_ExecSCSICmd *requests) { return SendEachAwaited(requests, aspiSendCommand); }

static bool ProgramTransfer() {
    AppState.DeviceError = 0;
    progressValue = 0;
    return TransferImage(ADAPTER, TARGET) == 0;
}

// The polled transfer as the USB update runs it. A block that took 5 ms or
// more waited at least one pause; those are counted.
static bool PolledTransfer(unsigned *paused) {
    SetFilePointer(imageHandle, 0, NULL, FILE_BEGIN);
    currentAdapter = ADAPTER;
    currentTarget = TARGET;
    for (unsigned n = 0; n < IMAGE_BLOCKS; n++) {
        double start = BenchNow();
        bool ok = n < IMAGE_BLOCKS - 1 ? SendBlockPolled(n) : SendLastBlockPolled(n);
        if (BenchNow() - start >= 5000) ++*paused;
        if (!ok) return false;
    }
    return true;
}

// The work TransferImage does for each block besides the request: a
// zero-filled 4,096-byte buffer, 2,048 bytes read into it from the image
// file, the buffer released.
static bool ReadRound(const char *path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    for (unsigned n = 0; n < IMAGE_BLOCKS && ok; n++) {
        BYTE *buffer = (BYTE *)calloc(1, BUFFER);
        DWORD got = 0;
        ok = buffer && ReadFile(file, buffer, IMAGE_BLOCK, &got, NULL) && got == IMAGE_BLOCK;
        free(buffer);
    }
    CloseHandle(file);
    return ok;
}

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 200;
    int polledRounds = argc > 2 ? atoi(argv[2]) : 5;
    if (rounds < 1) rounds = 1;
    if (polledRounds < 1) polledRounds = 1;
    if (!StartWithBenchDrives()) return 1;
    BYTE *blocks[IMAGE_BLOCKS];
    for (unsigned n = 0; n < IMAGE_BLOCKS; n++) {
        blocks[n] = floorBuffers[n];
        BuildBlock(floorBlocks[n], ADAPTER, TARGET, n, floorBuffers[n], BUFFER, 10);
        BuildBlock(floorPolled[n], ADAPTER, TARGET, n, floorBuffers[n], IMAGE_BLOCK, 12);
    }
    char image[MAX_PATH];
    if (!WriteBenchImage(blocks, image)) return 1;
    strcpy(AppState.imageFile, image);

    // Per-request transfer and its floor, side by side; the first rounds
    // warm up. The order alternates so that neither always goes first.
    std::vector<double> program, floor, polledFloor, reading;
    for (int round = 0; round < rounds + 10; round++) {
        bool floorFirst = round % 2 == 1;
        double t0 = BenchNow();
        bool ok = floorFirst ? Floor(floorBlocks) : ProgramTransfer();
        double t1 = BenchNow();
        ok = ok && (floorFirst ? ProgramTransfer() : Floor(floorBlocks));
        double t2 = BenchNow();
        ok = ok && ReadRound(image);
        double t3 = BenchNow();
        ok = ok && Floor(floorPolled);
        double t4 = BenchNow();
        if (!ok) {
            printf("bench: a transfer failed (DeviceError %lu)\n",
                   (unsigned long)AppState.DeviceError);
            return 1;
        }
        if (round < 10) continue;
        program.push_back(floorFirst ? t2 - t1 : t1 - t0);
        floor.push_back(floorFirst ? t1 - t0 : t2 - t1);
        reading.push_back(t3 - t2);
        polledFloor.push_back(t4 - t3);
    }

    // The polled transfer. TransferImage opens the image unshared:
    // imageHandle is opened only now.
    imageHandle =
        CreateFileA(image, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (imageHandle == INVALID_HANDLE_VALUE) {
        printf("bench: can't open %s\n", image);
        return 1;
    }
    std::vector<double> polled, pauses;
    for (int round = 0; round < polledRounds; round++) {
        unsigned paused = 0;
        double start = BenchNow();
        if (!PolledTransfer(&paused)) {
            printf("bench: a polled transfer failed\n");
            return 1;
        }
        polled.push_back(BenchNow() - start);
        pauses.push_back(paused);
    }
    CloseHandle(imageHandle);
    DeleteFileA(image);

    double p = Median(program), b = Median(floor);
    PrintRow("TransferImage, 257 blocks, against its floor", p / 1000, b / 1000, "ms", 1.5,
             "floor");
    PrintRow("TransferImage, 257 blocks, per image", p / 1000, 3, "ms", 1, "target");
    PrintRow("Polled transfer, 257 blocks (SendBlockPolled x 256 + SendLastBlockPolled)",
             Median(polled) / 1000, Median(polledFloor) / 1000, "ms", 0, "floor");

    char text[400];
    snprintf(text, sizeof text,
             "%d rounds of the per-request transfer, %d of the polled one (medians); per block: "
             "TransferImage %.1f us, its floor %.1f us, TransferImage's own work besides the "
             "request (buffer, read from the file) %.1f us",
             rounds, polledRounds, p / IMAGE_BLOCKS, b / IMAGE_BLOCKS,
             Median(reading) / IMAGE_BLOCKS);
    PrintNote(text);
    snprintf(text, sizeof text,
             "polled transfer: blocks that waited a pause (10 ms; 190 ms for the last block), per "
             "image: %.0f (median; mean %.1f)",
             Median(pauses), Mean(pauses));
    PrintNote(text);
    return 0;
}
