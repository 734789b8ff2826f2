#include "platform/platform.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>

namespace {

int64_t RealMs(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string Now() { return std::to_string(QaxClockWallMs()) + " " + std::to_string(QaxClockMonotonicMs()); }

class ClockTest : public ::testing::Test {
  protected:
    // Null unsets; the clock re-reads the environment.
    void Use(const char *clock) {
        clock ? setenv("QAX_CLOCK", clock, 1) : unsetenv("QAX_CLOCK");
        unsetenv("QAX_CLOCK_START");
        QaxClockReset();
    }
    void TearDown() override { Use(nullptr); }
};

TEST_F(ClockTest, VirtualSleepMovesEveryClockJumpMovesWallOnly) {
    Use("virtual");  // 2027-01-01T00:00:00Z, 100 s after boot
    long up = 0;
    EXPECT_EQ(Now(), "1798761600000 100000");
    QaxClockSleepUs(1500000);
    for (int i = 0; i < 1000; ++i) QaxClockSleepUs(999);  // sub-millisecond sleeps add up
    EXPECT_TRUE(QaxClockUptime(&up) == 0 && up == 102) << up;
    QaxClockJumpWall(-7200);
    QaxClockJumpWall(3600);
    EXPECT_EQ(Now(), "1798758002499 102499");
}

TEST_F(ClockTest, RealSleepEndsOnASignal) {  // so that SIGTERM is handled at once
    Use(nullptr);
    struct sigaction action = {}, old;
    action.sa_handler = [](int) {};  // no SA_RESTART
    ASSERT_EQ(sigaction(SIGALRM, &action, &old), 0);
    struct itimerval timer = {};
    timer.it_value.tv_usec = 20000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    const int64_t m0 = RealMs(CLOCK_MONOTONIC);
    QaxClockSleepUs(30000000);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_LT(RealMs(CLOCK_MONOTONIC) - m0, 5000);
}

}  // namespace
