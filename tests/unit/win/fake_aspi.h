// A small ASPI manager for unit tests: completes requests on its own thread,
// with chosen delays, and a controllable tick counter.
#pragma once
#include <windows.h>

#include <functional>

#include "drive/aspi.h"

struct FakeAspi {
    // Called on the manager's thread to carry out a request: fill the reply,
    // SRB_TargStat and SenseArea; answer the final SRB_Status (0: never completes).
    std::function<BYTE(SRB_ExecSCSICmd *)> execute;
    DWORD delayBeforeStatus = 0;  // ms before SRB_Status is set
    DWORD delayBeforePost = 0;    // ms between SRB_Status and the completion routine
    DWORD supportInfo = 0x0102;
    volatile LONG requests = 0;
    volatile LONG postsRun = 0;
    volatile DWORD postThread = 0;
    SRB_ExecSCSICmd *volatile held = nullptr;  // the last request that never completed
};

extern FakeAspi *fakeAspi;

// Installs fake as the ASPI manager (and the real tick counter).
void InstallFakeAspi(FakeAspi *fake);
// Waits until the manager thread has nothing left to do.
void DrainFakeAspi();
// A tick counter that stands still while the manager is working on a request
// and races ahead (1 s a reading) once everything left is a request that
// never completes: time-outs fire at once, and only for such requests.
DWORD FakeTicks();
extern DWORD fakeTickStep;  // ms a reading of FakeTicks moves (default 1000)
// Completes a held request from another thread, as a late manager would.
void CompleteHeldLater(SRB_ExecSCSICmd *srb, BYTE status);
