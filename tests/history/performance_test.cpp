// The performance history: what differs from the power history (seconds as
// timestamps, no validity test, zero-filled gaps counted as valid, no maxima,
// its own files and trace levels) and what must hold for it as well.
#include <cstdio>

#include "history_fixture.h"

namespace {

using histtest::HistoryTest;

const char *const kPerfWindows[] = {"/tmp/PowerPerformanceLast1Hour",
                                    "/tmp/PowerPerformanceLast6Hours",
                                    "/tmp/PowerPerformanceLast12Hours",
                                    "/tmp/PowerPerformanceLast24Hours"};

class PerformanceTest : public HistoryTest {
  protected:
    std::string Full() const { return Root("/pstorage/power/PowerPerformanceFull"); }
    static void Perf(uint64_t t, uint64_t system, uint64_t cpu, uint64_t mem, uint64_t io) {
        AdvanceTo(t);
        trackPowerPerformance(t, system, cpu, mem, io);
    }
};

TEST_F(PerformanceTest, InitialisationWritesEmptyWindows) {
    g_traceLevel = 1;
    EXPECT_EQ(powerPerformanceLoaded(), 0u);
    trackPowerPerformance(0, 0, 0, 0, 0);
    EXPECT_EQ(powerPerformanceLoaded(), 1u);
    EXPECT_EQ(TraceCount("[Info] \"trackPowerPerformance\": Initializing power performance"), 1);
    EXPECT_EQ(TraceCount("[Info] \"loadPowerPerformance\": Could not open power performance file '" +
                         Full() + "', starting from scratch"),
              1);
    EXPECT_TRUE(PerfSamples().empty());
    for (const char *w : kPerfWindows) {
        histtest::Window win = histtest::ReadWindow(Root(w));
        EXPECT_EQ(win.size, 386u) << w;
        EXPECT_EQ(win.count, 24) << w;
        for (const PowerPerformanceSample &r : win.perf) EXPECT_TRUE(histtest::IsZero(r)) << w;
    }
    // The power history's files are not touched by the performance twin.
    EXPECT_FALSE(histtest::Exists(Root("/tmp/PowerHistoryLast1Hour")));
}

// Readings are used whatever their values (zeros included); the system value
// has a minimum and maximum, the others are averaged.
TEST_F(PerformanceTest, PeriodsAverageEveryValue) {
    const uint64_t t0 = Now() + 1000;
    trackPowerPerformance(0, 0, 0, 0, 0);
    const uint64_t sys[5] = {10, 0, 40, 100, 7};
    for (int i = 0; i < 5; i++) Perf(t0 + 30 * i, sys[i], 10 * i, 3, 100 - i);
    for (int i = 1; i <= 5; i++) Perf(t0 + 120 + 30 * i, 0, 0, 0, 0);
    std::vector<PowerPerformanceSample> s = PerfSamples();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].timestamp, t0 + 120);
    EXPECT_EQ(s[0].min, 0);
    EXPECT_EQ(s[0].avg, 31);
    EXPECT_EQ(s[0].max, 100);
    EXPECT_EQ(s[0].cpu, 20);
    EXPECT_EQ(s[0].mem, 3);
    EXPECT_EQ(s[0].io, 98);
    EXPECT_EQ(s[1].timestamp, t0 + 270);
    EXPECT_TRUE(s[1].min == 0 && s[1].avg == 0 && s[1].max == 0 && s[1].cpu == 0);
}

// A gap of 180 s past the period's end stores one zero sample, and the
// window record that contains it counts it as one valid slot.
TEST_F(PerformanceTest, GapsAreFilledWithCountedZeroSamples) {
    const uint64_t t0 = Now() + 1000;
    trackPowerPerformance(0, 0, 0, 0, 0);
    for (int i = 0; i <= 4; i++) Perf(t0 + 30 * i, 50, 40, 30, 20);  // closes at t0 + 120
    const uint64_t end = t0 + 270;
    Perf(end + 180, 60, 60, 60, 60);
    std::vector<PowerPerformanceSample> s = PerfSamples();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1].timestamp, end + 150);
    EXPECT_TRUE(s[1].min == 0 && s[1].avg == 0 && s[1].max == 0 && s[1].cpu == 0 &&
                s[1].mem == 0 && s[1].io == 0);

    histtest::Window win = histtest::ReadWindow(Root("/tmp/PowerPerformanceLast1Hour"));
    ASSERT_EQ(win.perf.size(), 24u);
    EXPECT_EQ(win.perf[23].timestamp, end + 150);
    EXPECT_EQ(win.perf[23].avg, 0);
    EXPECT_EQ(win.perf[22].timestamp, t0 + 120);
    EXPECT_EQ(win.perf[22].avg, 50);
    EXPECT_TRUE(histtest::IsZero(win.perf[21]));
    EXPECT_EQ(TraceCount("min=0, avg=0, max=0, cpu=0, mem=0, io=0, tstamp=" +
                         std::to_string(end + 150) + ", idx=2, numsamplesforavg=1 fname="),
              1);
}

// Lines the power history writes only at level 1 or 2 are written at level 0
// here; a negative level silences them.
TEST_F(PerformanceTest, TraceLevels) {
    struct Case {
        int32_t level;
        int lines;  // expected count of each line kind
    } cases[] = {{-1, 0}, {0, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.level);
        FreshStart();
        g_traceLevel = c.level;
        const uint64_t t0 = Now() + 1000;
        trackPowerPerformance(0, 0, 0, 0, 0);
        ClearTrace();
        trackPowerPerformance(t0, 5, 6, 7, 8);
        EXPECT_EQ(TraceCount("[Info] \"trackPowerPerformance\": timestamp=" + std::to_string(t0) +
                             ", endtime=" + std::to_string(t0 + 120) +
                             ", nextPerformanceSampleIndex=0, maxsystem=5, accsystem=5, "
                             "minsystem=5, cpu=6, mem=7, io=8, accCount=1"),
                  c.lines);
        for (int i = 1; i <= 4; i++) Perf(t0 + 30 * i, 5, 6, 7, 8);
        EXPECT_EQ(TraceCount("[Info] \"addSampleToPowerPerformance\": num seconds since last save="),
                  c.lines);
        EXPECT_EQ(TraceCount("[Info] \"savePowerPerformance\": Writing full power performance file '" +
                             Full() + "'"),
                  c.lines);
        EXPECT_EQ(TraceCount("[Info] \"generatePowerPerformanceFile\": nextPerformanceSampleIndex=1, idx="),
                  4 * c.lines);
        EXPECT_EQ(TraceCount("[Info] \"generatePowerPerformanceFile\": Writing unknown data sample 0 "),
                  4 * c.lines);
        trackPowerPerformance(t0 + 120, 1, 1, 1, 1);  // same time again: clock set back
        EXPECT_EQ(TraceCount("[Info] \"trackPowerPerformance\": System clock was set backwards, "
                             "adjusting powerHistory by 30 seconds"),
                  c.lines);
    }
}

TEST_F(PerformanceTest, FullFileRoundTripAndChecks) {
    AdvanceTo(Now() + 86400);
    const uint64_t t0 = Now();
    trackPowerPerformance(0, 0, 0, 0, 0);
    for (int i = 0; i < 100; i++) Perf(t0 + 30 * i, i % 101, 1, 2, 3);
    ASSERT_EQ(savePowerPerformance(), 1u);
    const std::string saved = histtest::ReadFile(Full());
    ASSERT_EQ(saved.size(), static_cast<size_t>(QAX_HISTORY_FULL_FILE_SIZE));
    EXPECT_FALSE(histtest::Exists(Full() + ".tmp"));
    std::vector<PowerPerformanceSample> before = PerfSamples();

    resetPowerPerformanceState();
    trackPowerPerformance(0, 0, 0, 0, 0);
    std::vector<PowerPerformanceSample> after = PerfSamples();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(0, memcmp(after.data(), before.data(), before.size() * sizeof(before[0])));
    EXPECT_EQ(nextPerformanceSampleIndex, before.size());

    struct Case {
        const char *name;
        std::string bytes;
        const char *line;
    } cases[] = {
        {"header", saved.substr(0, 1),
         "[Error] \"loadPowerPerformance\": Reading power performance data header for file '%s', "
         "error code=0"},
        {"data", saved.substr(0, 9217),
         "[Error] \"loadPowerPerformance\": Reading power performance data for file '%s', error "
         "code=0"},
        {"index", std::string("\x40\x02", 2) + saved.substr(2),
         "[Error] \"loadPowerPerformance\": Invalid nextPerformanceSampleIndex 576 in power "
         "performance file '%s'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        histtest::WriteFile(Full(), c.bytes);
        EXPECT_EQ(loadPowerPerformance(), 0u);
        EXPECT_EQ(nextPerformanceSampleIndex, 0);
        EXPECT_TRUE(PerfSamples().empty());
        char line[512];
        snprintf(line, sizeof(line), c.line, Full().c_str());
        EXPECT_EQ(TraceCount(line), 1) << line;
        EXPECT_EQ(TraceCount("Could not open power performance file '" + Full() +
                             "', starting from scratch"),
                  1);
    }

    // Refused before initialisation: the stored file is left as it was.
    histtest::WriteFile(Full(), saved);
    resetPowerPerformanceState();
    EXPECT_EQ(savePowerPerformance(), 0u);
    EXPECT_EQ(histtest::ReadFile(Full()), saved);
}

TEST_F(PerformanceTest, WindowRecordsSummariseWrittenSlots) {
    const uint32_t t = 1798000000;
    auto put = [](int slot, uint32_t time, uint16_t mn, uint16_t avg, uint16_t mx, uint16_t cpu) {
        PowerPerformanceSample s = {time, mn, avg, mx, cpu, static_cast<uint16_t>(cpu + 1),
                                    static_cast<uint16_t>(cpu + 2)};
        powerPerformance[slot] = s;
    };
    // nextPerformanceSampleIndex 6: the 6-hour file's last record is slots 0-5.
    put(0, t, 10, 20, 30, 40);
    put(1, t + 150, 5, 0, 0, 0);  // a zero-filled gap sample still counts
    put(2, 0, 1, 99, 99, 99);     // never written: left out even with values
    put(3, t + 450, 20, 40, 90, 80);
    put(5, t + 750, 0, 0, 0, 0);
    // Wide sums: the 24-hour record over slots 6-29 of 65000.
    for (int s = 6; s < 30; s++) put(s, t + 150 * s, 65000, 65000, 65000, 65000);
    generatePowerPerformanceFile("/tmp/PowerPerformanceLast6Hours", 6, 6);
    histtest::Window win = histtest::ReadWindow(Root("/tmp/PowerPerformanceLast6Hours"));
    ASSERT_EQ(win.perf.size(), 24u);
    const PowerPerformanceSample &r = win.perf[23];
    EXPECT_EQ(r.timestamp, t + 750);
    EXPECT_EQ(r.min, 0);
    EXPECT_EQ(r.max, 90);
    EXPECT_EQ(r.avg, 15);  // (20 + 0 + 40 + 0) / 4
    EXPECT_EQ(r.cpu, 30);
    EXPECT_EQ(r.mem, 31);
    EXPECT_EQ(r.io, 32);
    generatePowerPerformanceFile("/tmp/PowerPerformanceLast24Hours", 30, 24);
    win = histtest::ReadWindow(Root("/tmp/PowerPerformanceLast24Hours"));
    EXPECT_EQ(win.perf[23].avg, 65000);
    EXPECT_EQ(win.perf[23].io, 65002);
}

}  // namespace
