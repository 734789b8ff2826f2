// Value calculation: averages from accumulators at their boundaries (wrap,
// no time, overflow), the histogram range, and the histogram kept as
// reference when the layout changes.
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "metrics/metrics.h"
#include "process.h"
#include "test_root.h"

namespace {

MetricEntry *NewEntry(uint64_t avg) {
    auto *e = static_cast<MetricEntry *>(malloc(sizeof(MetricEntry)));
    *e = MetricEntry{avg, 0, 0};
    return e;
}

TEST(CalculateAverageFromAccumulator, Table) {
    const uint64_t cases[][4] = {
        // last, current, elapsed ms, average
        {1000, 31000, 30000, 1},  {1000, 46000, 30000, 2},   // 1.5 rounds away from zero
        {1000, 15999, 30000, 0},  {0, 31000, 30000, 0},      // no previous accumulator
        {31000, 31000, 30000, 0}, {40000, 31000, 30000, 0},  // wrapped or reset
        {1000, 31000, 0, 0},      {1, UINT64_MAX, 1, UINT64_MAX},
    };
    for (const auto &c : cases) {
        MetricEntry last{c[0], 0, 0}, current{c[1], 7, 8};
        CalculateAverageFromAccumulator(&last, &current, c[2]);
        EXPECT_EQ(current.u64Avg, c[3]) << c[0] << " -> " << c[1] << " over " << c[2];
    }
}

// n big-endian counters of `size` bytes, counter i = 1000 + i (+1 where bumped).
HistogramData Histogram(uint8_t n, uint8_t size, const std::vector<int> &bumped = {}) {
    HistogramData h{100, n, 10, size, static_cast<uint8_t *>(calloc(n, size))};
    for (int i = 0; i < n; i++) {
        uint64_t v = 1000 + i;
        for (int j : bumped) v += j == i;
        for (int b = size - 1; b >= 0; b--, v >>= 8) h.pu8Counters[i * size + b] = v & 0xFF;
    }
    return h;
}

// Raw accumulators `elapsed` ms after 30 s: DC 1000 + 3/ms, AC 2000 + 4/ms,
// CPU 500 + 1/ms, effective CPU 100 + `eff`.
MetricValue &Fill(MetricValue &v, uint64_t elapsed, uint64_t eff = 60) {
    v.u64Timestamp = 30000 + elapsed;
    v.psSystemDC = NewEntry(1000 + 3 * elapsed);
    v.psSystemAC = NewEntry(2000 + 4 * elapsed);
    v.psCPUPower = NewEntry(500 + elapsed);
    v.psEffectiveCPU = NewEntry(100 + eff);
    return v;
}

class CalculateSnapshotValueTest : public testing::Test {
  protected:
    void SetUp() override { mkdir((root_.Path() + "/tmp/qax_trace").c_str(), 0700); }
    void TearDown() override {
        Reset(HistogramData{});
        FreeMetricValueContents(&v_, nullptr, nullptr);
        unsetenv("ZOQ_FAMILY");
    }
    // The previous snapshot: raw values at 30 s and the histogram `before`;
    // a fresh current record.
    void Reset(HistogramData before) {
        FreeMetricValueContents(&sLastMetricValue, nullptr, nullptr);
        free(sLastHistogramData.pu8Counters);
        FreeMetricValueContents(&v_, nullptr, nullptr);
        sLastMetricValue = v_ = MetricValue{};
        sLastHistogramData = before;
        if (before.pu8Counters != nullptr) Fill(sLastMetricValue, 0, 0);
    }
    qaxtest::TestRoot root_;
    MetricValue v_{};
};

// b = 100, s = 10, n = 7: bucket i (1..5) covers [90 + 10 i, 100 + 10 i).
TEST_F(CalculateSnapshotValueTest, HistogramRange) {
    struct Case {
        std::vector<int> changed;
        uint64_t min, max;
        uint8_t size;
        bool blade;
        uint8_t n = 7;
    };
    const Case cases[] = {
        {{2, 4}, 110, 140, 2, false}, {{6}, 150, 150, 2, false},  {{0, 3}, 0, 130, 2, false},
        {{}, 0, 0, 2, false},         {{1}, 100, 110, 1, false},  {{5}, 140, 150, 8, false},
        {{2, 4}, 110, 140, 4, true},  {{0}, 0, 100, 2, false, 1},  // a lone counter is no top bucket: nothing below the
                                                                   // start
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.changed.size() << " changed, from " << c.min << " to " << c.max);
        c.blade ? setenv("ZOQ_FAMILY", "blade", 1) : unsetenv("ZOQ_FAMILY");
        Reset(Histogram(c.n, c.size));
        HistogramData now = Histogram(c.n, c.size, c.changed);
        CalculateSnapshotValue(&Fill(v_, 30000), now);
        // The range goes to system AC on blades, else to system DC; the other has max = min = average.
        const MetricEntry &ranged = c.blade ? *v_.psSystemAC : *v_.psSystemDC;
        const MetricEntry &filled = c.blade ? *v_.psSystemDC : *v_.psSystemAC;
        EXPECT_EQ(ranged.u64Min, c.min);
        EXPECT_EQ(ranged.u64Max, c.max);
        EXPECT_EQ(filled.u64Max, filled.u64Avg);
        EXPECT_EQ(filled.u64Min, filled.u64Avg);
        EXPECT_EQ(sLastHistogramData.pu8Counters, now.pu8Counters) << "counters taken over";
    }
}

// A histogram of another layout advances the record but not the histogram (a timestamp that does not
// advance is the metric log test's).
TEST_F(CalculateSnapshotValueTest, OtherHistogramLayout) {
    const std::tuple<uint8_t, uint8_t, const char *> cases[] = {
        {5, 2, "[ERROR] \"CalculateSnapshotValue\": Different histogram data.\n"}, {4, 4, "Different histogram data."}};
    for (const auto &[n, size, text] : cases) {
        SCOPED_TRACE(text);
        HistogramData before = Histogram(4, 2);
        Reset(before);
        CalculateSnapshotValue(&Fill(v_, 30000), Histogram(n, size, {1}));
        EXPECT_EQ(v_.psSystemDC->u64Avg, 3u);
        EXPECT_EQ(v_.psSystemDC->u64Max, 3u) << "fills, but no range";
        EXPECT_EQ(sLastMetricValue.u64Timestamp, 60000u);
        EXPECT_EQ(sLastHistogramData.pu8Counters, before.pu8Counters);
        EXPECT_EQ(sLastHistogramData.u8BucketCount, 4);
        const std::string trace = qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt");
        EXPECT_NE(trace.find(text), std::string::npos) << trace;
    }
}

}  // namespace
