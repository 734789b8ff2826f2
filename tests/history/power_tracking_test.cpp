// Power history tracking: readings gathered into 150-second samples on the
// 30-second grid, gaps, clock jumps, restarts and the save rule. Every check
// compares the table with what was fed in, not with the code's own steps.
#include <algorithm>
#include <cstdio>

#include "history_fixture.h"

namespace {

using histtest::HistoryTest;

// Virtual clock start (2027-01-01) plus a margin, so the monotonic clock is
// well past 600 s when the first sample is stored.
const uint64_t kT0 = 1798761600 + 1000;

struct Reading {
    uint64_t t;
    uint64_t ac;
    uint64_t dc;
};

class PowerTrackingTest : public HistoryTest {
  protected:
    void Feed(uint64_t t, uint64_t ac, uint64_t dc) {
        Power(t, ac, dc);
        readings_.push_back({t, ac, dc});
    }
    // Every known sample must hold the min, integer average and max of the
    // readings of its period (end - 150, end].
    void ExpectSamplesMatchReadings() const {
        for (const PowerHistorySample &s : PowerSamples()) {
            if (s.avgDC == QAX_HISTORY_UNKNOWN) continue;
            uint64_t n = 0, sumAC = 0, sumDC = 0, minAC = ~0ull, maxAC = 0, minDC = ~0ull,
                     maxDC = 0;
            for (const Reading &r : readings_) {
                if (r.t + QAX_HISTORY_PERIOD <= s.timestamp || r.t > s.timestamp) continue;
                n++;
                sumAC += r.ac;
                sumDC += r.dc;
                minAC = std::min(minAC, r.ac);
                maxAC = std::max(maxAC, r.ac);
                minDC = std::min(minDC, r.dc);
                maxDC = std::max(maxDC, r.dc);
            }
            ASSERT_GT(n, 0u) << "sample at " << s.timestamp << " has no readings";
            EXPECT_EQ(s.minAC, minAC) << s.timestamp;
            EXPECT_EQ(s.avgAC, sumAC / n) << s.timestamp;
            EXPECT_EQ(s.maxAC, maxAC) << s.timestamp;
            EXPECT_EQ(s.minDC, minDC) << s.timestamp;
            EXPECT_EQ(s.avgDC, sumDC / n) << s.timestamp;
            EXPECT_EQ(s.maxDC, maxDC) << s.timestamp;
        }
    }
    std::vector<Reading> readings_;
};

// A day and an hour of readings every 30 s on the grid, and four hours with
// the millisecond jitter of a real firmware (a timestamp may fall a second
// early or late): every sample holds exactly the readings of its period, no
// unknown sample appears, and the ring wraps.
TEST_F(PowerTrackingTest, FullDayOfReadingsSamplesEachPeriod) {
    struct Case {
        const char *name;
        int jitterMs;
        int hours;
    } cases[] = {{"on the grid", 0, 25}, {"jittered", 900, 4}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FreshStart();
        readings_.clear();
        const uint64_t t0 = Now() + 1000;
        trackPowerHistory(0, 0, 0);
        uint32_t seed = 12345;
        const int kReadings = c.hours * 120;
        for (int i = 0; i < kReadings; i++) {
            seed = seed * 1103515245u + 12345u;
            uint64_t ac = 200 + (seed >> 16) % 900;
            uint64_t dc = ac - (seed >> 8) % 50;
            int jitter = c.jitterMs
                             ? static_cast<int>((seed >> 4) % (2 * c.jitterMs + 1)) - c.jitterMs
                             : 0;
            uint64_t ms = (t0 + 30ull * i) * 1000 + jitter;
            AdvanceTo(ms / 1000);
            trackPowerHistory(ms, ac, dc);
            readings_.push_back({ms / 1000, ac, dc});
        }
        std::vector<PowerHistorySample> samples = PowerSamples();
        // (A jittered last reading may fall a second short of its period's end.)
        const size_t expected = std::min<size_t>(c.hours * 24, QAX_HISTORY_SLOTS);
        ASSERT_TRUE(samples.size() == expected || (c.jitterMs && samples.size() + 1 == expected))
            << samples.size();
        for (size_t i = 1; i < samples.size(); i++)
            ASSERT_EQ(samples[i].timestamp, samples[i - 1].timestamp + 150u) << i;
        if (c.jitterMs == 0) {
            // First sample at t0 + 120, then every 150 s: 600 of them in 25 h,
            // so the ring has gone round once and slot 0 was overwritten.
            EXPECT_EQ((samples.back().timestamp - (t0 + 120)) % 150, 0u);
            EXPECT_EQ(samples.back().timestamp, t0 + 120 + 150 * 599);
            EXPECT_EQ(nextSampleIndex, 600 % QAX_HISTORY_SLOTS);
        }
        ExpectSamplesMatchReadings();
        EXPECT_EQ(TraceCount("System clock was set backwards"), 0);
        EXPECT_EQ(TraceCount("Error"), 0);
    }
}

// A gap after the period ending at P, whose readings P - 90 and P - 60 came
// in. The next reading arrives at P + gap.
TEST_F(PowerTrackingTest, GapsBecomeUnknownSamples) {
    struct Case {
        uint64_t gap;
        uint64_t snapshotsMissed;  // as the trace reports them
        uint64_t unknown;          // unknown samples stored
        uint64_t nextEnd;          // end of the period the reading opens, after P
        uint64_t firstK;           // the oldest unknown left is at P + 150 * firstK
    } cases[] = {
        {10, 0, 0, 150, 1},          // a late reading misses nothing
        {30, 0, 0, 150, 1},
        {60, 1, 0, 150, 1},          // one snapshot missed, no sample
        {150, 4, 0, 150, 1},         // lands on the next period's end: stored at once
        {170, 5, 1, 300, 1},         // off the grid: still inside the period it opens
        {180, 5, 1, 300, 1},
        {299, 9, 1, 300, 1},
        {3 * 3600, 359, 71, 3 * 3600, 1},
        {3 * 3600 + 10, 360, 72, 3 * 3600 + 150, 1},
        // More than a day: a ring of unknowns (the newest 575 of 719) and
        // the reading, which lands on a period's end.
        {30 * 3600, 3599, 575, 30 * 3600, 145},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.gap);
        FreshStart();
        readings_.clear();
        g_traceLevel = 1;
        const uint64_t t0 = Now() + 1000;
        trackPowerHistory(0, 0, 0);
        for (int i = 0; i <= 4; i++) Feed(t0 + 30 * i, 300, 200);  // closes at t0 + 120
        const uint64_t P = t0 + 120 + 150;
        Feed(P - 120, 310, 210);
        Feed(P - 90, 330, 230);
        const uint64_t t = P + c.gap;
        Feed(t, 500, 400);

        char expected[160];
        snprintf(expected, sizeof(expected),
                 "numSnapshotsMissed=%llu, numSamplesMissed=%llu, missedSampletime=%llu",
                 (unsigned long long)c.snapshotsMissed, (unsigned long long)(c.snapshotsMissed / 5),
                 (unsigned long long)(P + 150));
        EXPECT_EQ(TraceCount(expected), 1) << expected;

        std::vector<PowerHistorySample> samples = PowerSamples();
        const bool storedAtOnce = c.nextEnd == c.gap;
        // Newest first: [the reading itself], unknowns (newest first), the
        // period that ended at P.
        size_t pos = samples.size();
        if (storedAtOnce) {
            ASSERT_GT(pos, 0u);
            --pos;
            EXPECT_EQ(samples[pos].timestamp, t);
            EXPECT_EQ(samples[pos].avgAC, 500);
            EXPECT_EQ(samples[pos].minDC, 400);
        }
        for (uint64_t k = c.unknown; k >= 1; k--) {
            ASSERT_GT(pos, 0u);
            --pos;
            const PowerHistorySample &u = samples[pos];
            EXPECT_EQ(u.timestamp, P + 150 * (c.firstK - 1 + k));
            EXPECT_TRUE(u.minAC == 8888 && u.avgAC == 8888 && u.maxAC == 8888 &&
                        u.minDC == 8888 && u.avgDC == 8888 && u.maxDC == 8888);
        }
        if (samples.size() < static_cast<size_t>(QAX_HISTORY_SLOTS)) {
            ASSERT_GT(pos, 0u);
            --pos;
            EXPECT_EQ(samples[pos].timestamp, P);
            EXPECT_EQ(samples[pos].avgAC, 320);
        }
        // The period the reading opened closes at its end with both readings.
        if (!storedAtOnce) {
            size_t before = PowerSamples().size();
            Feed(P + c.nextEnd, 600, 500);
            samples = PowerSamples();
            ASSERT_EQ(samples.size(), std::min<size_t>(before + 1, QAX_HISTORY_SLOTS));
            EXPECT_EQ(samples.back().timestamp, P + c.nextEnd);
            EXPECT_EQ(samples.back().avgAC, 550);
        }
        ExpectSamplesMatchReadings();
        EXPECT_LE(samples.size(), static_cast<size_t>(QAX_HISTORY_SLOTS));
    }
}

// The clock set back by `back` seconds after the last reading L: the whole
// history moves back by L + 30 - t so the new reading follows the previous
// one on the grid; slots never written stay empty.
TEST_F(PowerTrackingTest, ClockSetBackShiftsTheHistory) {
    struct Case {
        const char *name;
        uint64_t back;  // t = L - back; 0 = the same timestamp again
        bool keepsAll;  // every sample still representable after the shift
    } cases[] = {
        {"same timestamp", 0, true},
        {"one hour", 3600, true},
        {"beyond 16 bits", 20 * 3600, true},
        {"a year", 365ull * 86400, true},
        {"to the first minutes after the epoch", 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FreshStart();
        readings_.clear();
        const uint64_t t0 = Now() + 1000;
        trackPowerHistory(0, 0, 0);
        // 13 samples; the open period holds AC 165, 166 and 167.
        for (int i = 0; i < 68; i++) Feed(t0 + 30 * i, 100 + i, 90 + i);
        const uint64_t L = t0 + 30 * 67;
        std::vector<PowerHistorySample> before = PowerSamples();
        ASSERT_EQ(before.size(), 13u);
        // 500 s after the epoch keeps only the samples of the last 500 s.
        const uint64_t t = c.keepsAll ? L - c.back : 500;
        const uint64_t adj = L + 30 - t;

        trackPowerHistory(t * 1000, 500, 400);
        char expected[120];
        snprintf(expected, sizeof(expected),
                 "System clock was set backwards, adjusting powerHistory by %u seconds",
                 (unsigned)adj);
        EXPECT_EQ(TraceCount(expected), 1) << expected;

        std::vector<PowerHistorySample> after = PowerSamples();
        for (int i = 13; i < QAX_HISTORY_SLOTS; i++)
            EXPECT_TRUE(histtest::IsZero(powerHistory[i])) << "slot " << i;
        if (c.keepsAll) {
            ASSERT_EQ(after.size(), before.size());
            for (size_t i = 0; i < after.size(); i++) {
                EXPECT_EQ(after[i].timestamp, before[i].timestamp - adj);
                EXPECT_EQ(after[i].avgAC, before[i].avgAC);
            }
        } else {
            // Samples that would land before the epoch are dropped; the rest
            // keep their spacing and none turns into a far-future time.
            ASSERT_LT(after.size(), before.size());
            for (const PowerHistorySample &s : after) EXPECT_LT(s.timestamp, t + 150);
            for (size_t i = 1; i < after.size(); i++)
                EXPECT_EQ(after[i].timestamp, after[i - 1].timestamp + 150);
        }
        // The open period goes on with the new reading, which stands 30 s
        // after the previous one, and closes 150 s after the newest sample on
        // the new time scale, with one more reading.
        const uint64_t newestEnd = before.back().timestamp + 150 - adj;
        EXPECT_EQ(newestEnd, t + 30);
        trackPowerHistory(newestEnd * 1000, 500, 400);
        after = PowerSamples();
        ASSERT_FALSE(after.empty());
        EXPECT_EQ(after.back().timestamp, newestEnd);
        EXPECT_EQ(after.back().avgAC, (165 + 166 + 167 + 500 + 500) / 5);
        EXPECT_EQ(after.back().maxAC, 500);
        EXPECT_EQ(after.back().minAC, 165);

        // And forward again: the hour in between becomes 22 unknown samples,
        // and the reading, on a period's end, its own.
        size_t count = PowerSamples().size();
        trackPowerHistory((newestEnd + 3600) * 1000, 500, 400);
        EXPECT_EQ(PowerSamples().size(), count + 23);
        EXPECT_EQ(PowerSamples().back().timestamp, newestEnd + 3600);
    }
}

// Readings with DC 0 are dropped without a trace in the period, the table or
// the backwards test; AC 0 with DC set is a reading like any other.
TEST_F(PowerTrackingTest, InvalidReadingsChangeNothing) {
    trackPowerHistory(0, 0, 0);
    Feed(kT0, 100, 90);
    Feed(kT0 + 30, 0, 80);  // AC 0 is valid
    trackPowerHistory((kT0 + 30) * 1000, 999, 0);
    trackPowerHistory((kT0 + 45) * 1000, 999, 0);
    trackPowerHistory(500, 999, 999);                           // second 0: no time at all
    trackPowerHistory((uint64_t)0xFFFFFFFFull * 1000, 999, 999);  // past the 32-bit field
    EXPECT_EQ(TraceCount("[Error] \"trackPowerHistory\": Invalid power sample"), 4);
    Feed(kT0 + 60, 200, 100);
    Feed(kT0 + 90, 200, 100);
    Feed(kT0 + 120, 200, 100);
    EXPECT_EQ(TraceCount("System clock was set backwards"), 0);
    std::vector<PowerHistorySample> samples = PowerSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].minAC, 0);
    EXPECT_EQ(samples[0].avgAC, 140);
    EXPECT_EQ(samples[0].maxDC, 100);
    g_traceLevel = -1;
    ClearTrace();
    trackPowerHistory((kT0 + 150) * 1000, 1, 0);
    EXPECT_EQ(TraceCount("Invalid power sample"), 0);
}

// Averages of large readings must not wrap: five readings of 40,000 sum to
// more than 16 bits hold. Readings beyond 16 bits are stored as 65535.
TEST_F(PowerTrackingTest, LargeReadingsAverageWithoutWrapping) {
    struct Case {
        uint64_t ac[5];
        uint64_t dc[5];
        uint16_t minAC, avgAC, maxAC, minDC, avgDC, maxDC;
    } cases[] = {
        {{40000, 40000, 40000, 40000, 40000}, {30000, 30000, 30000, 30000, 30000},
         40000, 40000, 40000, 30000, 30000, 30000},
        {{65535, 65535, 65535, 65535, 1}, {13108, 13108, 13108, 13108, 13108},
         1, 52428, 65535, 13108, 13108, 13108},
        {{70000, 1ull << 40, 65536, 65535, 65534}, {100000, 100000, 100000, 100000, 65536},
         65534, 65534, 65535, 65535, 65535, 65535},
    };
    for (const Case &c : cases) {
        FreshStart();
        trackPowerHistory(0, 0, 0);
        const uint64_t kT0 = Now() + 1000;
        for (int i = 0; i < 5; i++) Power(kT0 + 30 * i, c.ac[i], c.dc[i]);
        std::vector<PowerHistorySample> samples = PowerSamples();
        ASSERT_EQ(samples.size(), 1u);
        const PowerHistorySample &s = samples[0];
        EXPECT_EQ(s.minAC, c.minAC);
        EXPECT_EQ(s.avgAC, c.avgAC);
        EXPECT_EQ(s.maxAC, c.maxAC);
        EXPECT_EQ(s.minDC, c.minDC);
        EXPECT_EQ(s.avgDC, c.avgDC);
        EXPECT_EQ(s.maxDC, c.maxDC);
    }
}

TEST_F(PowerTrackingTest, InitialisationOnlyLoadsAndWritesWindows) {
    EXPECT_EQ(powerHistoryLoaded(), 0u);
    g_traceLevel = 1;
    trackPowerHistory(0, 0, 0);
    EXPECT_EQ(powerHistoryLoaded(), 1u);
    EXPECT_EQ(TraceCount("[Info] \"trackPowerHistory\": Initializing power hisotry"), 1);
    EXPECT_TRUE(PowerSamples().empty());
    EXPECT_EQ(histtest::ReadFile(Root("/tmp/PowerHistoryLast1Hour")).size(), 386u);
    // A later call never initialises again.
    trackPowerHistory(0, 0, 0);
    EXPECT_EQ(TraceCount("Initializing power hisotry"), 1);

    // A first call with a real reading initialises and then uses it.
    resetPowerHistoryState();
    trackPowerHistory(kT0 * 1000, 100, 100);
    for (int i = 1; i <= 4; i++) Power(kT0 + 30 * i, 200, 200);
    ASSERT_EQ(PowerSamples().size(), 1u);
    EXPECT_EQ(PowerSamples()[0].avgAC, 180);
}

// The file is saved at the first stored sample once the controller has been
// up 600 s, then at most every 600 s of monotonic time; a failed save is
// retried at the next sample.
TEST_F(PowerTrackingTest, SavesEveryTenMinutesAndRetriesAfterFailure) {
    const std::string full = Root("/pstorage/power/PowerHistoryFull");
    auto savedIndex = [&]() -> int {
        std::string bytes = histtest::ReadFile(full);
        if (bytes.size() != QAX_HISTORY_FULL_FILE_SIZE) return -1;
        return HistoryGetLE16(reinterpret_cast<const uint8_t *>(bytes.data()));
    };
    g_traceLevel = 1;
    trackPowerHistory(0, 0, 0);
    std::vector<int> indexAfterSample;
    uint64_t t = kT0;
    for (int sample = 1; sample <= 10; sample++) {
        size_t count = PowerSamples().size();
        while (PowerSamples().size() == count) {
            Power(t, 100, 100);
            t += 30;
        }
        indexAfterSample.push_back(savedIndex());
        if (sample == 5) {
            // The directory disappears: the save at sample 9 fails...
            std::filesystem::remove_all(Root("/pstorage/power"));
        }
        if (sample == 9) mkdir(Root("/pstorage/power").c_str(), 0700);  // ...and 10 retries
    }
    // Samples every 150 s: the first one is saved at once (uptime > 600 s),
    // then every fourth.
    EXPECT_EQ(indexAfterSample, (std::vector<int>{1, 1, 1, 1, 5, -1, -1, -1, -1, 10}));
    EXPECT_EQ(TraceCount("num seconds since last save="), 10);
    EXPECT_EQ(TraceCount("[Error] \"savePowerHistory\": Could not open power history file '" + full +
                         "', No such file or directory"),
              1);
    EXPECT_FALSE(histtest::Exists(full + ".tmp"));
}

// A restart: the saved file is loaded, the time the daemon was down becomes
// unknown samples, and tracking continues on the same table.
TEST_F(PowerTrackingTest, RestartContinuesTheSavedHistory) {
    trackPowerHistory(0, 0, 0);
    for (int i = 0; i < 240; i++) Feed(kT0 + 30 * i, 100 + i % 10, 90);  // two hours
    std::vector<PowerHistorySample> before = PowerSamples();
    ASSERT_EQ(savePowerHistory(), 1u);  // as on SIGTERM

    resetPowerHistoryState();  // a new process
    const uint64_t restart = kT0 + 30 * 239 + 1800;
    AdvanceTo(restart);
    trackPowerHistory(0, 0, 0);
    ASSERT_EQ(PowerSamples().size(), before.size());
    EXPECT_EQ(0, memcmp(PowerSamples().data(), before.data(), before.size() * sizeof(before[0])));
    const uint64_t lastEnd = before.back().timestamp;
    for (uint64_t u = restart; u <= restart + 300; u += 30) Feed(u, 400, 300);
    std::vector<PowerHistorySample> after = PowerSamples();
    ASSERT_GT(after.size(), before.size() + 10);
    for (size_t i = 1; i < after.size(); i++)
        EXPECT_EQ(after[i].timestamp, after[i - 1].timestamp + 150) << i;
    EXPECT_EQ(after[before.size()].timestamp, lastEnd + 150);
    EXPECT_EQ(after[before.size()].avgDC, 8888);
    EXPECT_EQ(after.back().avgAC, 400);
    ExpectSamplesMatchReadings();
}

}  // namespace
