// The firmware block transfer against the simulated ASPI manager with zero
// latency, the drive at adapter 0, target 1, each against its floor:
//
// - TransferImage: 257 WRITE BUFFER requests (modes 6 and 7), one freshly
//   allocated request and 4,096-byte buffer per block, read from the image
//   file, completion seen by polling SRB_Status on the tick counter. Floor:
//   the same 257 requests sent bare from buffers filled beforehand, one
//   record reused, the status polled with nothing else in the loop.
// - The polled transfer: SendBlockPolled x 256 and SendLastBlockPolled on
//   DownloadRequest, reading through imageHandle, pausing 10 ms (190 ms for
//   the last block) on the tick counter while the request is pending. Floor:
//   the same commands sent bare from the same buffer, polled the same way.
//
// Also measured, to explain the figures: the same 257 requests with the
// status polled and nothing else (the polled transfer without its pauses),
// split into the time in SendASPI32Command and the time after it; the two
// wineserver calls and the wake of another thread through an event that
// the simulator needs for every request; and TransferImage's own work per
// block besides the request (buffer and file read).
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
#include "text/messages.h"
#include "update/download.h"
#include "update/imagefile.h"

enum { ADAPTER = 0, TARGET = 1, BUFFER = 4096 };

static BYTE *floorBuffers[IMAGE_BLOCKS];
static SRB_ExecSCSICmd bare;

static void FillBare(BYTE mode, DWORD offset, BYTE *buffer, DWORD bufferLength, BYTE cdbLength) {
    memset(&bare, 0, sizeof bare);
    bare.SRB_Cmd = SC_EXEC_SCSI_CMD;
    bare.SRB_HaId = ADAPTER;
    bare.SRB_Target = TARGET;
    bare.SRB_Flags = SRB_DIR_OUT;
    bare.SRB_BufLen = bufferLength;
    bare.SRB_BufPointer = buffer;
    bare.SRB_SenseLen = SENSE_LEN;
    bare.SRB_CDBLen = cdbLength;
    bare.CDBByte[0] = 0x3B;
    bare.CDBByte[1] = mode;
    bare.CDBByte[3] = (BYTE)(offset >> 16);
    bare.CDBByte[4] = (BYTE)(offset >> 8);
    bare.CDBByte[5] = (BYTE)offset;
    bare.CDBByte[7] = 0x08;  // 2,048 bytes of data
}

// The floor of TransferImage: nothing but the requests and their completion.
static bool FloorTransfer() {
    for (unsigned n = 0; n < IMAGE_BLOCKS; n++) {
        FillBare(n < IMAGE_BLOCKS - 1 ? 6 : 7, n * (DWORD)IMAGE_BLOCK, floorBuffers[n], BUFFER, 10);
        aspiSendCommand(&bare);
        while (*(volatile BYTE *)&bare.SRB_Status == SS_PENDING) {
        }
        if (bare.SRB_Status != SS_COMP) return false;
    }
    return true;
}

// Pauses as the polled commands do: until the tick counter has passed
// start + ms.
static void Pause(DWORD ms) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start <= ms) {
    }
}

// The floor of the polled transfer: the same commands (12-byte CDB, 2,048
// bytes from one buffer) polled the same way, counting the blocks that
// waited at least one pause. With pause 0 the status is polled with nothing
// else, and the time spent in SendASPI32Command and after it, until the
// status is final, is added up in sendTime and waitTime.
static double sendTime, waitTime;

static bool FloorPolled(DWORD pause, DWORD lastPause, unsigned *paused) {
    for (unsigned n = 0; n < IMAGE_BLOCKS; n++) {
        bool last = n == IMAGE_BLOCKS - 1;
        memcpy(TransferBuffer, floorBuffers[n], IMAGE_BLOCK);
        FillBare(last ? 7 : 6, n * (DWORD)IMAGE_BLOCK, TransferBuffer, IMAGE_BLOCK, 12);
        DWORD wait = last ? lastPause : pause;
        double t0 = wait ? 0 : BenchNow();
        aspiSendCommand(&bare);
        double t1 = wait ? 0 : BenchNow();
        bool waited = false;
        while (*(volatile BYTE *)&bare.SRB_Status == SS_PENDING) {
            if (wait) {
                Pause(wait);
                waited = true;
            }
        }
        if (waited) ++*paused;
        if (!wait) {
            sendTime += t1 - t0;
            waitTime += BenchNow() - t1;
        }
        if (bare.SRB_Status != SS_COMP) return false;
    }
    return true;
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

static bool ProgramTransfer() {
    AppState.DeviceError = 0;
    progressValue = 0;
    return TransferImage(ADAPTER, TARGET) == 0;
}

// A thread that waits on an event and raises a flag, as the simulator's
// worker does for each request.
static HANDLE wakeEvent;
static volatile LONG woken;

static DWORD WINAPI Waker(LPVOID) {
    for (;;) {
        WaitForSingleObject(wakeEvent, INFINITE);
        InterlockedExchange(&woken, 1);
    }
    return 0;
}

// The two calls into the wineserver the simulator makes for each request,
// without a thread switch: an event set, then a wait that finds it set.
static HANDLE pairEvent;

static void ServerCallRound() {
    for (unsigned n = 0; n < IMAGE_BLOCKS; n++) {
        SetEvent(pairEvent);
        WaitForSingleObject(pairEvent, 0);
    }
}

static void WakeRound() {
    for (unsigned n = 0; n < IMAGE_BLOCKS; n++) {
        woken = 0;
        SetEvent(wakeEvent);
        while (!woken) {
        }
    }
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

static bool WriteImage(const char *path) {
    FILE *f = fopen(path, "wb");
    if (!f) return false;
    for (unsigned n = 0; n < IMAGE_BLOCKS; n++) {
        floorBuffers[n] = (BYTE *)calloc(1, BUFFER);
        for (unsigned i = 0; i < IMAGE_BLOCK; i++) floorBuffers[n][i] = (BYTE)(n * 7 + i * 13);
        fwrite(floorBuffers[n], 1, IMAGE_BLOCK, f);
    }
    return fclose(f) == 0;
}

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 200;
    int polledRounds = argc > 2 ? atoi(argv[2]) : 5;
    if (rounds < 1) rounds = 1;
    if (polledRounds < 1) polledRounds = 1;
    if (!StartWithBenchDrives()) return 1;
    char image[MAX_PATH];
    GetTempPathA(sizeof image, image);
    strcat(image, "discmend-bench-fw.bin");
    if (!WriteImage(image)) {
        printf("bench: can't write %s\n", image);
        return 1;
    }

    strcpy(AppState.imageFile, image);
    wakeEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    pairEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    HANDLE waker = CreateThread(NULL, 0, Waker, NULL, 0, NULL);
    if (!wakeEvent || !pairEvent || !waker) {
        printf("bench: set-up failed\n");
        return 1;
    }
    // The simulator's worker runs above normal priority; the waker alike.
    SetThreadPriority(waker, THREAD_PRIORITY_ABOVE_NORMAL);

    // Per-request transfer and its floor, side by side; the first rounds
    // warm up. The order alternates so that neither always goes first.
    std::vector<double> program, floor, spin, wake, send, waited, reading, calls;
    for (int round = 0; round < rounds + 10; round++) {
        double t0 = BenchNow();
        bool ok = round % 2 ? FloorTransfer() : ProgramTransfer();
        double t1 = BenchNow();
        ok = ok && (round % 2 ? ProgramTransfer() : FloorTransfer());
        double t2 = BenchNow();
        unsigned none = 0;
        sendTime = waitTime = 0;
        ok = ok && FloorPolled(0, 0, &none);
        double t3 = BenchNow();
        WakeRound();
        double t4 = BenchNow();
        ok = ok && ReadRound(image);
        double t5 = BenchNow();
        ServerCallRound();
        double t6 = BenchNow();
        if (!ok) {
            printf("bench: a transfer failed (DeviceError %lu)\n",
                   (unsigned long)AppState.DeviceError);
            return 1;
        }
        if (round < 10) continue;
        program.push_back(round % 2 ? t2 - t1 : t1 - t0);
        floor.push_back(round % 2 ? t1 - t0 : t2 - t1);
        spin.push_back(t3 - t2);
        wake.push_back(t4 - t3);
        send.push_back(sendTime);
        waited.push_back(waitTime);
        reading.push_back(t5 - t4);
        calls.push_back(t6 - t5);
    }

    // The polled transfer and its floor. TransferImage opens the image
    // unshared: imageHandle is opened only now.
    imageHandle =
        CreateFileA(image, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (imageHandle == INVALID_HANDLE_VALUE) {
        printf("bench: can't open %s\n", image);
        return 1;
    }
    std::vector<double> polled, polledFloor, pauseCounts, programPauses;
    for (int round = 0; round < polledRounds; round++) {
        bool floorFirst = round % 2 == 1;
        unsigned floorPaused = 0, paused = 0;
        double t0 = BenchNow();
        bool ok = floorFirst ? FloorPolled(10, 190, &floorPaused) : PolledTransfer(&paused);
        double t1 = BenchNow();
        ok = ok && (floorFirst ? PolledTransfer(&paused) : FloorPolled(10, 190, &floorPaused));
        double t2 = BenchNow();
        if (!ok) {
            printf("bench: a polled transfer failed\n");
            return 1;
        }
        polled.push_back(floorFirst ? t2 - t1 : t1 - t0);
        polledFloor.push_back(floorFirst ? t1 - t0 : t2 - t1);
        pauseCounts.push_back(floorPaused);
        programPauses.push_back(paused);
    }
    CloseHandle(imageHandle);
    DeleteFileA(image);

    double p = Median(program), b = Median(floor);
    PrintRow("TransferImage, 257 blocks, against its floor", p / 1000, b / 1000, "ms", 1.5,
             "floor");
    PrintRow("TransferImage, 257 blocks, per image", p / 1000, 3, "ms", 1, "target");
    PrintRow("Polled transfer, 257 blocks (SendBlockPolled x 256 + SendLastBlockPolled)",
             Median(polled) / 1000, Median(polledFloor) / 1000, "ms", 0, "floor");

    char text[600];
    snprintf(text, sizeof text,
             "%d rounds of the per-request transfer, %d of the polled one (medians)", rounds,
             polledRounds);
    PrintNote(text);
    snprintf(text, sizeof text,
             "per block: TransferImage %.1f us, its floor %.1f us; TransferImage's own work besides "
             "the request (buffer, read from the file): %.1f us; a request sent bare and polled: "
             "%.1f us in SendASPI32Command, then %.1f us until the status is final; the "
             "simulator's two wineserver calls per request (event set, wait) alone: %.1f us; a "
             "bare wake of a waiting thread through an event: %.1f us",
             p / IMAGE_BLOCKS, b / IMAGE_BLOCKS, Median(reading) / IMAGE_BLOCKS,
             Median(send) / IMAGE_BLOCKS, Median(waited) / IMAGE_BLOCKS,
             Median(calls) / IMAGE_BLOCKS, Median(wake) / IMAGE_BLOCKS);
    PrintNote(text);
    snprintf(text, sizeof text,
             "polled transfer: blocks that waited a pause (10 ms; 190 ms for the last block), per "
             "image: %.1f in the program, %.1f in its floor (medians; means %.2f and %.2f); the "
             "same requests with the status polled and no pause: %.2f ms",
             Median(programPauses), Median(pauseCounts), Mean(programPauses), Mean(pauseCounts),
             Median(spin) / 1000);
    PrintNote(text);
    return 0;
}
