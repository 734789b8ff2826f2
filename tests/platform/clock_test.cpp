#include "platform/platform.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
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
    void Use(const char *clock, const char *start = nullptr) {
        clock ? setenv("QAX_CLOCK", clock, 1) : unsetenv("QAX_CLOCK");
        start ? setenv("QAX_CLOCK_START", start, 1) : unsetenv("QAX_CLOCK_START");
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
    EXPECT_EQ(Now(), "1798761602499 102499");
    QaxClockJumpWall(-7200);
    QaxClockJumpWall(3600);
    EXPECT_EQ(Now(), "1798758002499 102499");

    Use("virtual", "10");
    QaxClockJumpWall(-20);
    EXPECT_EQ(QaxClockWallMs(), 0u);  // clamped at the epoch
    QaxClockJumpWall(INT64_MAX);
    QaxClockJumpWall(INT64_MAX);  // saturates instead of wrapping
    EXPECT_GT(QaxClockWallMs(), 0u);
}

TEST_F(ClockTest, ScaledClockFollowsFormula) {
    const int64_t start = RealMs(CLOCK_REALTIME) / 1000 - 100;  // S, 100 real seconds ago
    Use("x60", std::to_string(start).c_str());
    const int64_t r0 = RealMs(CLOCK_REALTIME), m0 = RealMs(CLOCK_MONOTONIC);
    const int64_t wall = static_cast<int64_t>(QaxClockWallMs()), mono = static_cast<int64_t>(QaxClockMonotonicMs());
    const int64_t r1 = RealMs(CLOCK_REALTIME), m1 = RealMs(CLOCK_MONOTONIC), s = start * 1000;
    EXPECT_TRUE(wall >= s + (r0 - s) * 60 - 60 && wall <= s + (r1 - s) * 60 + 60) << wall;  // S + (real - S) x N
    EXPECT_TRUE(mono >= m0 * 60 && mono <= m1 * 60 + 60) << mono;

    Use("x10000");  // a sleep of 2 virtual seconds takes 200 real microseconds
    const uint64_t v0 = QaxClockMonotonicMs();
    QaxClockSleepUs(2000000);
    EXPECT_LT(RealMs(CLOCK_MONOTONIC) - m1, 500);
    EXPECT_GE(QaxClockMonotonicMs() - v0, 2000u);

    Use(nullptr);  // real time: a jump is an offset
    QaxClockJumpWall(3600);
    EXPECT_NEAR(static_cast<double>(QaxClockWallMs()) - RealMs(CLOCK_REALTIME), 3600000.0, 2000.0);
}

TEST_F(ClockTest, InvalidSettingsFallBackWithOneMessage) {
    const char *clocks[] = {"x0", "fast", "x-3", "x100001", "x", "x12a", "X60", " x60", "virtual "};
    for (const char *value : clocks) {
        testing::internal::CaptureStderr();
        Use(value);
        EXPECT_NEAR(static_cast<double>(QaxClockWallMs()), RealMs(CLOCK_REALTIME), 2000.0) << value;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("QAX_CLOCK"), std::string::npos) << value;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << value << ": " << err;
    }
    for (const char *start : {"-5", "abc", "1e9", "99999999999999999999"}) {
        testing::internal::CaptureStderr();
        Use("virtual", start);
        EXPECT_EQ(QaxClockWallMs(), 1798761600000ull) << start;
        EXPECT_NE(testing::internal::GetCapturedStderr().find("QAX_CLOCK_START"), std::string::npos);
    }
    for (const char *value : {"x1", "x100000", "real", ""}) {
        testing::internal::CaptureStderr();
        Use(value, "0");
        QaxClockWallMs();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << value;
    }
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
