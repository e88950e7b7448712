// Busy waits on the system tick counter.
#pragma once
#include "app/platform.h"

// The tick counter in milliseconds, wrapping at 2^32. GetTickCount in the
// program; tests put a controlled clock here.
extern DWORD (*TickCount)();

// 1 as soon as *status is non-zero, 0 once the counter has passed the
// deadline (start + timeout, modulo 2^32). Polls without pause.
int WaitForSrb(DWORD timeout, volatile BYTE *status);

// Returns once the counter has moved past its start reading plus ms.
void DelayMs(DWORD ms);
