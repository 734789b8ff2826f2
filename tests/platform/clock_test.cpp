#include "platform/platform.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <time.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Sets (or with null unsets) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        const char *old = getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (hadOld_) setenv(name_.c_str(), old_.c_str(), 1);
        else unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool hadOld_ = false;
};

int64_t RealMs(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class ClockTest : public ::testing::Test {
protected:
    void SetUp() override { QaxClockReset(); }
    // Leave the clock as the next test expects to find it: read from the
    // restored environment.
    void TearDown() override {
        clock_.reset();
        start_.reset();
        QaxClockReset();
    }
    void Use(const char *clock, const char *start = nullptr) {
        start_.reset();
        clock_.reset();
        clock_.reset(new ScopedEnv("QAX_CLOCK", clock));
        start_.reset(new ScopedEnv("QAX_CLOCK_START", start));
        QaxClockReset();
    }
    std::unique_ptr<ScopedEnv> clock_, start_;
};

TEST_F(ClockTest, VirtualStartsAtDocumentedValues) {
    Use("virtual");
    EXPECT_EQ(QaxClockWallMs(), 1798761600000ull);
    EXPECT_EQ(QaxClockMonotonicMs(), 100000ull);
    long up = 0;
    ASSERT_EQ(QaxClockUptime(&up), 0);
    EXPECT_EQ(up, 100);

    Use("virtual", "1000");
    EXPECT_EQ(QaxClockWallMs(), 1000000ull);
}

TEST_F(ClockTest, VirtualSleepMovesEveryClockJumpMovesWallOnly) {
    Use("virtual");
    uint64_t wall0 = QaxClockWallMs(), mono0 = QaxClockMonotonicMs();
    QaxClockSleepUs(1500000);
    EXPECT_EQ(QaxClockWallMs() - wall0, 1500u);
    EXPECT_EQ(QaxClockMonotonicMs() - mono0, 1500u);
    long up = 0;
    QaxClockUptime(&up);
    EXPECT_EQ(up, 101);

    // Sub-millisecond sleeps add up instead of being lost.
    for (int i = 0; i < 1000; ++i) QaxClockSleepUs(999);
    EXPECT_EQ(QaxClockMonotonicMs() - mono0, 1500u + 999u);

    uint64_t wall1 = QaxClockWallMs(), mono1 = QaxClockMonotonicMs();
    QaxClockJumpWall(-7200);
    EXPECT_EQ(QaxClockWallMs(), wall1 - 7200000);
    EXPECT_EQ(QaxClockMonotonicMs(), mono1);
    QaxClockJumpWall(3600);
    EXPECT_EQ(QaxClockWallMs(), wall1 - 3600000);

    // A reset forgets both the virtual time slept and the jumps.
    QaxClockReset();
    EXPECT_EQ(QaxClockWallMs(), 1798761600000ull);
    EXPECT_EQ(QaxClockMonotonicMs(), 100000ull);
}

TEST_F(ClockTest, WallClampsAtTheEpoch) {
    Use("virtual", "10");
    QaxClockJumpWall(-20);
    EXPECT_EQ(QaxClockWallMs(), 0u);
    QaxClockJumpWall(INT64_MIN);  // saturates instead of overflowing
    QaxClockJumpWall(INT64_MAX);
    QaxClockJumpWall(INT64_MAX);
    EXPECT_GT(QaxClockWallMs(), 0u);
    uint64_t mono = QaxClockMonotonicMs();
    QaxClockSleepUs(UINT64_MAX);
    QaxClockSleepUs(UINT64_MAX);
    EXPECT_GT(QaxClockMonotonicMs(), mono);
}

TEST_F(ClockTest, LocalTimeFollowsWallClockAndTz) {
    Use("virtual");  // 2027-01-01T00:00:00Z
    struct Case {
        const char *tz;
        int year, mon, mday, hour;
    } cases[] = {{"UTC0", 127, 0, 1, 0}, {"EST5", 126, 11, 31, 19}, {"JST-9", 127, 0, 1, 9}};
    for (const Case &c : cases) {
        ScopedEnv tz("TZ", c.tz);
        tzset();
        struct tm tm;
        QaxClockLocalTime(&tm);
        EXPECT_EQ(tm.tm_year, c.year) << c.tz;
        EXPECT_EQ(tm.tm_mon, c.mon) << c.tz;
        EXPECT_EQ(tm.tm_mday, c.mday) << c.tz;
        EXPECT_EQ(tm.tm_hour, c.hour) << c.tz;
    }
    tzset();
    QaxClockLocalTime(nullptr);  // tolerated
}

TEST_F(ClockTest, ScaledWallFollowsFormula) {
    const int64_t n = 60;
    int64_t startS = RealMs(CLOCK_REALTIME) / 1000 - 100;
    std::string start = std::to_string(startS);
    Use("x60", start.c_str());
    int64_t r0 = RealMs(CLOCK_REALTIME);
    int64_t wall = static_cast<int64_t>(QaxClockWallMs());
    int64_t r1 = RealMs(CLOCK_REALTIME);
    int64_t s = startS * 1000;
    EXPECT_GE(wall, s + (r0 - s) * n - n);
    EXPECT_LE(wall, s + (r1 - s) * n + n);
    // About 100 real seconds after S, so about 6000 virtual seconds.
    EXPECT_NEAR(static_cast<double>(wall - s) / 1000.0, 6000.0, 120.0);

    int64_t m0 = RealMs(CLOCK_MONOTONIC);
    int64_t mono = static_cast<int64_t>(QaxClockMonotonicMs());
    int64_t m1 = RealMs(CLOCK_MONOTONIC);
    EXPECT_GE(mono, m0 * n);
    EXPECT_LE(mono, m1 * n + n);

    struct sysinfo info;
    ASSERT_EQ(sysinfo(&info), 0);
    long up = 0;
    ASSERT_EQ(QaxClockUptime(&up), 0);
    EXPECT_NEAR(static_cast<double>(up), static_cast<double>(info.uptime) * n, 2.0 * n);

    uint64_t before = QaxClockWallMs();
    QaxClockJumpWall(10);
    EXPECT_GE(QaxClockWallMs(), before + 10000);
}

TEST_F(ClockTest, ScaledDefaultStartIsStartOfUtcDay) {
    int64_t dayBefore = RealMs(CLOCK_REALTIME) / 86400000;
    Use("x1000");
    int64_t r = RealMs(CLOCK_REALTIME);
    int64_t wall = static_cast<int64_t>(QaxClockWallMs());
    if (r / 86400000 != dayBefore) GTEST_SKIP() << "ran across midnight UTC";
    int64_t s = dayBefore * 86400000;
    EXPECT_NEAR(static_cast<double>(wall), static_cast<double>(s + (r - s) * 1000), 50000.0);
}

TEST_F(ClockTest, ScaledSleepIsShortenedByFactor) {
    Use("x10000");
    int64_t m0 = RealMs(CLOCK_MONOTONIC);
    uint64_t v0 = QaxClockMonotonicMs();
    QaxClockSleepUs(2000000);  // 2 virtual seconds = 200 real microseconds
    int64_t elapsed = RealMs(CLOCK_MONOTONIC) - m0;
    EXPECT_LT(elapsed, 500);
    EXPECT_GE(QaxClockMonotonicMs() - v0, 2000u);
}

TEST_F(ClockTest, InvalidSettingsFallBackWithOneMessage) {
    const char *bad[] = {"x0", "fast", "x-3", "x100001", "x", "x12a", "X60", " x60", "virtual "};
    for (const char *value : bad) {
        testing::internal::CaptureStderr();
        Use(value);
        int64_t real = RealMs(CLOCK_REALTIME);
        int64_t wall = static_cast<int64_t>(QaxClockWallMs());
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NEAR(static_cast<double>(wall), static_cast<double>(real), 2000.0) << value;
        EXPECT_NE(err.find("QAX_CLOCK"), std::string::npos) << value;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << value << ": " << err;
    }
    // Accepted edge values.
    for (const char *value : {"x1", "x100000", "real", ""}) {
        testing::internal::CaptureStderr();
        Use(value, "0");
        QaxClockWallMs();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << value;
    }
}

TEST_F(ClockTest, InvalidStartUsesDefault) {
    for (const char *start : {"-5", "abc", "1e9", "99999999999999999999"}) {
        testing::internal::CaptureStderr();
        Use("virtual", start);
        EXPECT_EQ(QaxClockWallMs(), 1798761600000ull) << start;
        EXPECT_NE(testing::internal::GetCapturedStderr().find("QAX_CLOCK_START"),
                  std::string::npos);
    }
}

TEST_F(ClockTest, RealModeJumpIsAnOffset) {
    Use(nullptr);
    QaxClockJumpWall(3600);
    int64_t diff = static_cast<int64_t>(QaxClockWallMs()) - RealMs(CLOCK_REALTIME);
    EXPECT_NEAR(static_cast<double>(diff), 3600000.0, 2000.0);
    long up = 0;
    EXPECT_EQ(QaxClockUptime(&up), 0);
    EXPECT_GT(up, 0);
    errno = 0;
    EXPECT_EQ(QaxClockUptime(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

void OnAlarm(int) {}

TEST_F(ClockTest, RealSleepReturnsWhenInterrupted) {
    Use(nullptr);
    struct sigaction action, old;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnAlarm;  // no SA_RESTART
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &old), 0);
    struct itimerval timer;
    memset(&timer, 0, sizeof timer);
    timer.it_value.tv_usec = 20000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    int64_t m0 = RealMs(CLOCK_MONOTONIC);
    QaxClockSleepUs(30000000);
    int64_t elapsed = RealMs(CLOCK_MONOTONIC) - m0;
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_LT(elapsed, 5000);
}

}  // namespace
