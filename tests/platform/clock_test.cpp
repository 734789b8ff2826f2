#include "platform/platform.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/time.h>

#include <chrono>

#include <gtest/gtest.h>

namespace {

// The virtual clock is left to the tests that run on it (every one of tests/e2e).
TEST(ClockTest, RealSleepEndsOnASignal) {  // so that SIGTERM is handled at once
    unsetenv("QAX_CLOCK");
    QaxClockReset();
    struct sigaction action = {}, old;
    action.sa_handler = [](int) {};  // no SA_RESTART
    ASSERT_EQ(sigaction(SIGALRM, &action, &old), 0);
    struct itimerval timer = {};
    timer.it_value.tv_usec = 20000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    const auto start = std::chrono::steady_clock::now();
    QaxClockSleepUs(30000000);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
