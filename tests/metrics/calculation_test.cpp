// Value calculation: averages from accumulators, the effective CPU divisor,
// max/min filling, the histogram range and the guards that keep the previous
// snapshot as reference.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "metrics/metrics.h"
#include "test_root.h"

namespace {

MetricEntry *NewEntry(uint64_t avg, uint64_t max = 0, uint64_t min = 0) {
    MetricEntry *e = static_cast<MetricEntry *>(malloc(sizeof(MetricEntry)));
    *e = MetricEntry{avg, max, min};
    return e;
}

TEST(CalculateAverageFromAccumulator, Table) {
    struct Case {
        uint64_t last, current, elapsed, expected;
    };
    const Case cases[] = {
        {1000, 31000, 30000, 1},
        {1000, 46000, 30000, 2},              // 1.5 rounds away from zero
        {1000, 45999, 30000, 1},              // 1.49997
        {1000, 16000, 30000, 1},              // 0.5 rounds up
        {1000, 15999, 30000, 0},
        {0, 31000, 30000, 0},                 // no previous accumulator
        {31000, 31000, 30000, 0},             // no increase
        {40000, 31000, 30000, 0},             // wrapped / reset accumulator
        {1000, 0, 30000, 0},                  // current 0 stays 0
        {1000, 31000, 0, 0},                  // no elapsed time
        {1, UINT64_MAX, 1, UINT64_MAX},       // does not overflow the conversion
        {5, 5 + 3000000000ULL * 30000, 30000, 3000000000ULL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.last << " -> " << c.current << " over " << c.elapsed);
        MetricEntry last{c.last, 0, 0};
        MetricEntry current{c.current, 7, 8};
        CalculateAverageFromAccumulator(&last, &current, c.elapsed);
        EXPECT_EQ(current.u64Avg, c.expected);
        EXPECT_EQ(current.u64Max, 7u);
        EXPECT_EQ(current.u64Min, 8u);
    }
    MetricEntry e{100, 0, 0};
    CalculateAverageFromAccumulator(nullptr, &e, 10);
    CalculateAverageFromAccumulator(&e, nullptr, 10);
    EXPECT_EQ(e.u64Avg, 100u);
}

TEST(FillMissingMaxMin, Table) {
    MetricEntry entries[] = {{250, 300, 0}, {250, 0, 0}, {0, 0, 0}, {5, 7, 3}, {9, 0, 4}};
    const MetricEntry expected[] = {{250, 300, 250}, {250, 250, 250}, {0, 0, 0}, {5, 7, 3}, {9, 9, 4}};
    FillMissingMaxMin(entries, 5);
    for (int i = 0; i < 5; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(entries[i].u64Avg, expected[i].u64Avg);
        EXPECT_EQ(entries[i].u64Max, expected[i].u64Max);
        EXPECT_EQ(entries[i].u64Min, expected[i].u64Min);
    }
    FillMissingMaxMin(nullptr, 3);
    MetricEntry untouched{1, 0, 0};
    FillMissingMaxMin(&untouched, 0);
    EXPECT_EQ(untouched.u64Max, 0u);
}

// Histogram of n counters of `size` bytes, every counter = base + i.
HistogramData MakeHistogram(uint16_t start, uint8_t n, uint8_t step, uint8_t size,
                            uint64_t base = 1000) {
    HistogramData h{start, n, step, size, nullptr};
    h.pu8Counters = static_cast<uint8_t *>(calloc(1, static_cast<size_t>(n) * size + 1));
    for (uint8_t i = 0; i < n; i++) {
        uint64_t v = base + i;
        for (int b = size - 1; b >= 0; b--, v >>= 8) h.pu8Counters[i * size + b] = v & 0xFF;
    }
    return h;
}

HistogramData CloneHistogram(const HistogramData &h) {
    HistogramData c = h;
    size_t bytes = static_cast<size_t>(h.u8BucketCount) * h.u8CounterSize + 1;
    c.pu8Counters = static_cast<uint8_t *>(malloc(bytes));
    memcpy(c.pu8Counters, h.pu8Counters, bytes);
    return c;
}

// Increments the big-endian counter i (its lowest byte, with carry).
void Bump(HistogramData &h, int i) {
    for (int b = h.u8CounterSize - 1; b >= 0; b--) {
        if (++h.pu8Counters[i * h.u8CounterSize + b] != 0) break;
    }
}

// Fixture: fresh root (the trace log lands in it) and clean process-wide
// reference state before and after every test.
class CalculateSnapshotValueTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string dir = root_.Path() + "/tmp/qax_trace";
        mkdir(dir.c_str(), 0700);
        unsetenv("ZOQ_FAMILY");
        ResetReference();
    }
    void TearDown() override {
        ResetReference();
        unsetenv("ZOQ_FAMILY");
    }
    static void ResetReference() {
        FreeMetricValueContents(&sLastMetricValue, nullptr, nullptr);
        memset(&sLastMetricValue, 0, sizeof(sLastMetricValue));
        free(sLastHistogramData.pu8Counters);
        memset(&sLastHistogramData, 0, sizeof(sLastHistogramData));
    }
    std::string Trace() const {
        std::string all;
        for (const char *f : {"/tmp/qax_trace/qax_trace_log_0.txt", "/tmp/qax_trace/qax_trace_log_1.txt"}) {
            std::ifstream in(root_.Path() + f);
            std::stringstream ss;
            ss << in.rdbuf();
            all += ss.str();
        }
        return all;
    }
    // A previous raw snapshot at `ts` with system DC/AC, CPU and effective
    // CPU accumulators.
    static void SetReference(uint64_t ts, const HistogramData &h) {
        sLastMetricValue.u64Timestamp = ts;
        sLastMetricValue.psSystemDC = NewEntry(1000);
        sLastMetricValue.psSystemAC = NewEntry(2000);
        sLastMetricValue.psCPUPower = NewEntry(500);
        sLastMetricValue.psEffectiveCPU = NewEntry(100);
        sLastHistogramData = h;
    }
    static MetricValue *Current(uint64_t ts, uint64_t dc, uint64_t ac, uint64_t cpu, uint64_t eff) {
        MetricValue *v = static_cast<MetricValue *>(calloc(1, sizeof(MetricValue)));
        v->u64Timestamp = ts;
        v->psSystemDC = NewEntry(dc);
        v->psSystemAC = NewEntry(ac);
        v->psCPUPower = NewEntry(cpu);
        v->psEffectiveCPU = NewEntry(eff);
        return v;
    }

    qaxtest::TestRoot root_;
};

TEST_F(CalculateSnapshotValueTest, HistogramRangeTable) {
    struct Case {
        const char *name;
        std::vector<int> changed;
        uint64_t min, max;
        uint8_t size;
    };
    // b = 100, s = 10, n = 7: bucket i (1..5) covers [100 + (i-1)*10, 100 + i*10).
    const Case cases[] = {
        {"buckets 2 and 4", {2, 4}, 110, 140, 2},
        {"top bucket only", {6}, 150, 150, 2},
        {"bottom and 3", {0, 3}, 0, 130, 2},
        {"nothing", {}, 0, 0, 2},
        {"bottom only", {0}, 0, 100, 2},
        {"first regular", {1}, 100, 110, 1},
        {"all", {0, 1, 2, 3, 4, 5, 6}, 0, 150, 4},
        {"low byte of a wide counter", {5}, 140, 150, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ResetReference();
        HistogramData before = MakeHistogram(100, 7, 10, c.size);
        HistogramData now = CloneHistogram(before);
        for (int i : c.changed) Bump(now, i);
        SetReference(30000, before);
        MetricValue *v = Current(60000, 31000, 62000, 800, 130);
        CalculateSnapshotValue(v, now);
        EXPECT_EQ(v->psSystemDC->u64Avg, 1u);
        EXPECT_EQ(v->psSystemDC->u64Min, c.min);
        EXPECT_EQ(v->psSystemDC->u64Max, c.max);
        // Not histogrammed on a non-blade platform: max = min = average.
        EXPECT_EQ(v->psSystemAC->u64Avg, 2u);
        EXPECT_EQ(v->psSystemAC->u64Max, 2u);
        EXPECT_EQ(v->psSystemAC->u64Min, 2u);
        EXPECT_EQ(sLastHistogramData.pu8Counters, now.pu8Counters) << "counters taken over";
        FreeMetricValue(v);
    }
}

TEST_F(CalculateSnapshotValueTest, BladeRangeGoesToSystemAC) {
    setenv("ZOQ_FAMILY", "blade", 1);
    HistogramData before = MakeHistogram(200, 5, 20, 2);
    HistogramData now = CloneHistogram(before);
    Bump(now, 2);
    SetReference(10000, before);
    MetricValue *v = Current(40000, 31000, 62000, 800, 130);
    CalculateSnapshotValue(v, now);
    EXPECT_EQ(v->psSystemAC->u64Min, 220u);
    EXPECT_EQ(v->psSystemAC->u64Max, 240u);
    EXPECT_EQ(v->psSystemDC->u64Max, v->psSystemDC->u64Avg);
    FreeMetricValue(v);
}

TEST_F(CalculateSnapshotValueTest, AveragesEffectiveCpuAndReferenceAdvance) {
    struct Case {
        const char *name;
        uint64_t elapsed;
        uint64_t effIncrease;
        uint64_t expectedEff;
    };
    const Case cases[] = {
        {"below one second: divisor 0", 999, 50, 0},
        {"30.5 s: divisor 30", 30500, 61, 2},
        {"exact seconds", 30000, 45, 2},  // 1.5 -> 2
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ResetReference();
        SetReference(5000, MakeHistogram(100, 4, 10, 2));
        MetricValue *v = Current(5000 + c.elapsed, 1000 + c.elapsed * 3, 2000 + c.elapsed * 4,
                                 500 + c.elapsed, 100 + c.effIncrease);
        v->u16Tag = 42;
        CalculateSnapshotValue(v, MakeHistogram(100, 4, 10, 2));
        EXPECT_EQ(v->psSystemDC->u64Avg, 3u);
        EXPECT_EQ(v->psSystemAC->u64Avg, 4u);
        EXPECT_EQ(v->psCPUPower->u64Avg, 1u);
        EXPECT_EQ(v->psCPUPower->u64Max, 1u);
        EXPECT_EQ(v->psCPUPower->u64Min, 1u);
        EXPECT_EQ(v->psEffectiveCPU->u64Avg, c.expectedEff);
        EXPECT_EQ(v->psEffectiveCPU->u64Max, c.expectedEff);
        // The reference now holds this snapshot's raw values, deep-copied.
        EXPECT_EQ(sLastMetricValue.u64Timestamp, 5000 + c.elapsed);
        ASSERT_NE(sLastMetricValue.psSystemDC, nullptr);
        EXPECT_NE(sLastMetricValue.psSystemDC, v->psSystemDC);
        EXPECT_EQ(sLastMetricValue.psSystemDC->u64Avg, 1000 + c.elapsed * 3);
        EXPECT_EQ(sLastMetricValue.psEffectiveCPU->u64Avg, 100 + c.effIncrease);
        EXPECT_EQ(sLastMetricValue.u16Tag, 0) << "the tag is not copied";
        FreeMetricValue(v);
    }
}

TEST_F(CalculateSnapshotValueTest, PowerSuppliesAndNewSubsystem) {
    SetReference(0 + 1000, MakeHistogram(100, 4, 10, 2));
    MetricValue *v = Current(31000, 31000, 62000, 800, 130);
    v->u8PowerSupplyACCount = 2;
    v->psPowerSupplyAC = static_cast<MetricEntry *>(calloc(2, sizeof(MetricEntry)));
    v->psPowerSupplyAC[0] = MetricEntry{250, 300, 0};
    v->psPowerSupplyAC[1] = MetricEntry{250, 0, 0};
    v->psMemoryPower = NewEntry(999999);  // absent from the previous snapshot
    CalculateSnapshotValue(v, MakeHistogram(100, 4, 10, 2));
    EXPECT_EQ(v->psPowerSupplyAC[0].u64Max, 300u);
    EXPECT_EQ(v->psPowerSupplyAC[0].u64Min, 250u);
    EXPECT_EQ(v->psPowerSupplyAC[1].u64Max, 250u);
    EXPECT_EQ(v->psPowerSupplyAC[1].u64Min, 250u);
    EXPECT_EQ(v->psMemoryPower->u64Avg, 0u) << "no starting point, no average";
    ASSERT_NE(sLastMetricValue.psMemoryPower, nullptr);
    EXPECT_EQ(sLastMetricValue.psMemoryPower->u64Avg, 999999u);
    EXPECT_EQ(sLastMetricValue.u8PowerSupplyACCount, 2);
    FreeMetricValue(v);
}

TEST_F(CalculateSnapshotValueTest, TimestampGuardKeepsEverything) {
    const uint64_t stamps[] = {30000, 29999};  // same and earlier
    for (uint64_t ts : stamps) {
        SCOPED_TRACE(ts);
        ResetReference();
        HistogramData before = MakeHistogram(100, 4, 10, 2);
        uint8_t *beforeCounters = before.pu8Counters;
        SetReference(30000, before);
        MetricValue *v = Current(ts, 31000, 62000, 800, 130);
        CalculateSnapshotValue(v, MakeHistogram(100, 4, 10, 2, 5));  // counters released
        EXPECT_EQ(v->psSystemDC->u64Avg, 31000u) << "raw value stays";
        EXPECT_EQ(v->psSystemDC->u64Max, 0u);
        EXPECT_EQ(sLastMetricValue.psSystemDC->u64Avg, 1000u);
        EXPECT_EQ(sLastMetricValue.u64Timestamp, 30000u);
        EXPECT_EQ(sLastHistogramData.pu8Counters, beforeCounters);
        FreeMetricValue(v);
    }
    EXPECT_NE(Trace().find("[WARNING] \"CalculateSnapshotValue\": Time stamp is not right.\n"),
              std::string::npos)
        << Trace();
}

TEST_F(CalculateSnapshotValueTest, LayoutChangeAdvancesRecordButNotHistogram) {
    struct Case {
        const char *name;
        uint8_t n, size;
    };
    const Case cases[] = {{"bucket count", 5, 2}, {"counter size", 4, 4}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ResetReference();
        HistogramData before = MakeHistogram(100, 4, 10, 2);
        uint8_t *beforeCounters = before.pu8Counters;
        SetReference(30000, before);
        MetricValue *v = Current(60000, 31000, 62000, 800, 130);
        CalculateSnapshotValue(v, MakeHistogram(100, c.n, 10, c.size, 0));
        EXPECT_EQ(v->psSystemDC->u64Avg, 1u);
        EXPECT_EQ(v->psSystemDC->u64Max, 1u) << "fills done, no range";
        EXPECT_EQ(v->psSystemDC->u64Min, 1u);
        EXPECT_EQ(sLastMetricValue.u64Timestamp, 60000u);
        EXPECT_EQ(sLastHistogramData.pu8Counters, beforeCounters);
        EXPECT_EQ(sLastHistogramData.u8BucketCount, 4);
        FreeMetricValue(v);
    }
    EXPECT_NE(Trace().find("[ERROR] \"CalculateSnapshotValue\": Different histogram data.\n"),
              std::string::npos);
}

TEST_F(CalculateSnapshotValueTest, EmptyInputChangesNothing) {
    HistogramData h = MakeHistogram(100, 4, 10, 2);
    CalculateSnapshotValue(nullptr, h);  // counters stay with the caller
    free(h.pu8Counters);
    MetricValue *v = Current(60000, 31000, 62000, 800, 130);
    CalculateSnapshotValue(v, HistogramData{});
    EXPECT_EQ(v->psSystemDC->u64Avg, 31000u);
    EXPECT_EQ(sLastMetricValue.u64Timestamp, 0u);
    FreeMetricValue(v);
    EXPECT_NE(Trace().find("[ERROR] \"CalculateSnapshotValue\": Empty input buffer\n"),
              std::string::npos);
}

}  // namespace
