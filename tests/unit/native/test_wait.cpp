// The busy waits on a tick counter that the test moves, across its wrap too.
#include <gtest/gtest.h>

#include "drive/wait.h"

namespace {

DWORD now, step, readings, flipAt;
volatile BYTE *flipped;  // set to 4 at the reading flipAt

DWORD Tick() {
    DWORD value = now;
    now += step;
    if (++readings == flipAt && flipped) *flipped = 4;
    return value;
}

void Start(DWORD at, DWORD by, volatile BYTE *status = nullptr, DWORD flip = 0) {
    now = at, step = by, readings = 0, flipped = status, flipAt = flip;
    TickCount = Tick;
}

TEST(Wait, EndsAtTheStatusOrJustPastTheDeadline) {
    volatile BYTE status = 1;
    Start(1000, 1);
    EXPECT_EQ(WaitForSrb(10000, &status), 1);
    EXPECT_EQ(readings, 1u);
    status = 0;
    Start(500, 1, &status, 50);
    EXPECT_EQ(WaitForSrb(10000, &status), 1);  // any status but 0 ends it
    status = 0;
    Start(500, 1);
    EXPECT_EQ(WaitForSrb(100, &status), 0);
    EXPECT_EQ(now - step, 601u);  // the last reading: the deadline + 1
}

TEST(Wait, DeadlineBeyondTheWrapOfTheCounter) {
    volatile BYTE status = 0;
    Start(0xFFFFFFFFu - 4095, 7);  // 4096 ms before the wrap, 10 s: deadline 5904 after it
    EXPECT_EQ(WaitForSrb(10000, &status), 0);
    EXPECT_GT(now - step, 5904u);
    EXPECT_LE(now - step, 5904u + 7);
    Start(0xFFFFFF00u, 3, &status, 1000);  // completes after the wrap, before the deadline
    EXPECT_EQ(WaitForSrb(10000, &status), 1);
}

TEST(Wait, DelayRunsPastItsLengthAlsoAcrossTheWrap) {
    Start(100, 1);
    DelayMs(190);
    EXPECT_EQ(now - step, 291u);
    Start(42, 1);
    DelayMs(0);
    EXPECT_EQ(readings, 2u);
    Start(0xFFFFFFF0u, 2);
    DelayMs(100);
    EXPECT_LT(now - step, 0x1000u);  // ended after the wrap
    EXPECT_GT(now - step, (DWORD)(0xFFFFFFF0u + 100));
}

}  // namespace
