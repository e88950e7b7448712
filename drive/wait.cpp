// The busy waits on the tick counter: WaitForSrb and DelayMs.
#include "drive/wait.h"

#ifdef _WIN32
static DWORD SystemTicks() { return GetTickCount(); }
DWORD (*TickCount)
() = SystemTicks;
#else
DWORD (*TickCount)
() = nullptr;  // native builds are tests: they bring their own clock
#endif

int WaitForSrb(DWORD timeout, volatile BYTE *status) {
    DWORD start = TickCount();
    DWORD deadline = start + timeout;
    if (deadline >= start) {
        for (;;) {
            if (*status != 0) return 1;
            if (TickCount() > deadline) return 0;
        }
    }
    // The deadline lies beyond the wrap of the counter.
    for (;;) {
        DWORD now = TickCount();
        if (*status != 0) return 1;
        if (now < start && now > deadline) return 0;
    }
}

void DelayMs(DWORD ms) {
    DWORD start = TickCount();
    DWORD deadline = start + ms;
    if (deadline >= start) {
        while (TickCount() <= deadline) {
        }
        return;
    }
    for (;;) {
        if (TickCount() >= start) continue;
        if (TickCount() > deadline) return;
    }
}
