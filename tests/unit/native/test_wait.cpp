#include <gtest/gtest.h>

#include <vector>

#include "drive/wait.h"

namespace {

// A clock that advances by a fixed step on every reading and counts them.
struct Clock {
    DWORD now = 0;
    DWORD step = 1;
    unsigned readings = 0;
    // Status byte flipped when the clock reaches a given reading.
    volatile BYTE *status = nullptr;
    unsigned flipAt = 0;
};
Clock clk;

DWORD Tick() {
    DWORD value = clk.now;
    clk.now += clk.step;
    clk.readings++;
    if (clk.status && clk.readings == clk.flipAt) *clk.status = 4;
    return value;
}

struct WaitTest : ::testing::Test {
    void SetUp() override {
        clk = Clock();
        TickCount = Tick;
    }
};

TEST_F(WaitTest, AlreadyCompleteReturnsAtOnceWithOneReading) {
    volatile BYTE status = 1;
    clk.now = 1000;
    EXPECT_EQ(WaitForSrb(10000, &status), 1);
    EXPECT_EQ(clk.readings, 1u);
}

TEST_F(WaitTest, AnyNonZeroStatusEndsTheWait) {
    volatile BYTE status = 0;
    clk.status = &status;
    clk.flipAt = 50;
    EXPECT_EQ(WaitForSrb(10000, &status), 1);
    EXPECT_EQ(status, 4);
}

TEST_F(WaitTest, TimesOutOnlyAfterPassingTheDeadline) {
    volatile BYTE status = 0;
    clk.now = 500;
    EXPECT_EQ(WaitForSrb(100, &status), 0);
    EXPECT_EQ(clk.now - clk.step, 601u);  // the last reading was deadline + 1
}

TEST_F(WaitTest, DeadlineBeyondTheWrap) {
    // 4096 ms before the wrap with 10000 ms: the deadline is 5904 after it.
    volatile BYTE status = 0;
    clk.now = 0xFFFFFFFFu - 4095;
    clk.step = 7;
    EXPECT_EQ(WaitForSrb(10000, &status), 0);
    DWORD last = clk.now - clk.step;
    EXPECT_GT(last, 5904u);
    EXPECT_LE(last, 5904u + 7);
    // Time-outs never fire before the wrap, however long the counter runs there.
    EXPECT_GT(clk.readings, 4096u / 7);
}

TEST_F(WaitTest, CompletionAfterTheWrapButBeforeTheDeadline) {
    volatile BYTE status = 0;
    clk.now = 0xFFFFFF00u;
    clk.step = 3;
    clk.status = &status;
    clk.flipAt = 1000;  // about 3000 ms in, past the wrap
    EXPECT_EQ(WaitForSrb(10000, &status), 1);
}

TEST_F(WaitTest, DelayZeroReturnsAtTheNextTick) {
    clk.now = 42;
    DelayMs(0);
    EXPECT_EQ(clk.readings, 2u);
}

TEST_F(WaitTest, DelayRunsPastItsDeadline) {
    clk.now = 100;
    DelayMs(190);
    EXPECT_EQ(clk.now - clk.step, 291u);
}

TEST_F(WaitTest, DelayAcrossTheWrap) {
    clk.now = 0xFFFFFFF0u;
    clk.step = 2;
    DelayMs(100);
    DWORD last = clk.now - clk.step;
    EXPECT_LT(last, 0x1000u);  // it ended after the wrap
    EXPECT_GT(last, 0xFFFFFFF0u + 100);
}

}  // namespace
