// Copy and release of the metric records. Run under QAX_SANITIZE=ON these
// tests also prove that every release frees exactly what a copy allocated.
#include <stdlib.h>
#include <string.h>

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

MetricEntry *NewArray(uint8_t count, uint64_t base) {
    MetricEntry *a = static_cast<MetricEntry *>(malloc(sizeof(MetricEntry) * count));
    for (uint8_t i = 0; i < count; i++) a[i] = MetricEntry{base + i, base + 100 + i, base + 200 + i};
    return a;
}

void ExpectSameEntry(const MetricEntry *a, const MetricEntry *b, const char *what) {
    SCOPED_TRACE(what);
    if (a == nullptr || b == nullptr) {
        EXPECT_EQ(a, b);
        return;
    }
    EXPECT_NE(a, b) << "a copy must not share an entry";
    EXPECT_EQ(a->u64Avg, b->u64Avg);
    EXPECT_EQ(a->u64Max, b->u64Max);
    EXPECT_EQ(a->u64Min, b->u64Min);
}

InletTemperatureNode *NewNode(uint32_t index, const char *text) {
    InletTemperatureNode *n =
        static_cast<InletTemperatureNode *>(calloc(1, sizeof(InletTemperatureNode)));
    n->u32SensorIndex = index;
    snprintf(n->szTemperature, sizeof(n->szTemperature), "%s", text);
    return n;
}

// The performance entries are released only while the firmware offers
// performance data; a transport that fails every call makes the support test
// answer "supported".
int FailEveryCall(void *, int, int, const uint8_t *, int, uint8_t *, int *) { return 1; }

struct FailingTransport {
    FailingTransport() { QaxIpmiSetTransportOverride(FailEveryCall, nullptr); }
    ~FailingTransport() { QaxIpmiSetTransportOverride(nullptr, nullptr); }
};

TEST(MetricRecords, CopyMetricValueIsDeepAndLeavesTagAndFlags) {
    MetricValue src{};
    src.u8PowerSupplyACCount = 3;
    src.psPowerSupplyAC = NewArray(3, 10);
    src.u8PowerSupplyDCCount = 2;
    src.psPowerSupplyDC = NewArray(2, 50);
    src.psSystemAC = NewEntry(1, 2, 3);
    src.psSystemDC = NewEntry(4, 5, 6);
    src.psCPUPower = NewEntry(7);
    src.psMemoryPower = NewEntry(8);
    src.psCoolingPower = NewEntry(9);
    src.psEffectiveCPU = NewEntry(10);
    src.u8InletTemperature = 21;
    src.u8OutletTemperature = 35;
    src.u64Timestamp = 1234567890123ULL;
    src.u8BufferStatus = 0x5A;
    src.u16StatusFlags = 0x000C;
    src.u16Tag = 9;

    MetricValue dst{};
    dst.u16Tag = 77;
    dst.u16StatusFlags = 0x8001;
    CopyMetricValue(&dst, &src);

    EXPECT_EQ(dst.u16Tag, 77);
    EXPECT_EQ(dst.u16StatusFlags, 0x8001);
    EXPECT_EQ(dst.u8InletTemperature, 21);
    EXPECT_EQ(dst.u8OutletTemperature, 35);
    EXPECT_EQ(dst.u64Timestamp, 1234567890123ULL);
    EXPECT_EQ(dst.u8BufferStatus, 0x5A);
    ASSERT_EQ(dst.u8PowerSupplyACCount, 3);
    ASSERT_EQ(dst.u8PowerSupplyDCCount, 2);
    ASSERT_NE(dst.psPowerSupplyAC, src.psPowerSupplyAC);
    for (int i = 0; i < 3; i++) ExpectSameEntry(&src.psPowerSupplyAC[i], &dst.psPowerSupplyAC[i], "AC");
    for (int i = 0; i < 2; i++) ExpectSameEntry(&src.psPowerSupplyDC[i], &dst.psPowerSupplyDC[i], "DC");
    ExpectSameEntry(src.psSystemAC, dst.psSystemAC, "SystemAC");
    ExpectSameEntry(src.psSystemDC, dst.psSystemDC, "SystemDC");
    ExpectSameEntry(src.psCPUPower, dst.psCPUPower, "CPU");
    ExpectSameEntry(src.psMemoryPower, dst.psMemoryPower, "Memory");
    ExpectSameEntry(src.psCoolingPower, dst.psCoolingPower, "Cooling");
    ExpectSameEntry(src.psEffectiveCPU, dst.psEffectiveCPU, "EffectiveCPU");

    // Releasing the source must leave the copy intact (the sanitizer build
    // catches any shared pointer here).
    FreeMetricValueContents(&src, nullptr, nullptr);
    EXPECT_EQ(dst.psPowerSupplyAC[2].u64Avg, 12u);
    EXPECT_EQ(dst.psEffectiveCPU->u64Avg, 10u);

    MetricValue *heap = static_cast<MetricValue *>(calloc(1, sizeof(MetricValue)));
    CopyMetricValue(heap, &dst);
    FreeMetricValueContents(&dst, nullptr, nullptr);
    FreeMetricValue(heap);
}

TEST(MetricRecords, CopyKeepsCountsConsistentWithArrays) {
    struct Case {
        const char *name;
        uint8_t acCount;
        bool acArray;
        uint8_t expectedCount;
    };
    const Case cases[] = {
        {"count 0 gives no array", 0, false, 0},
        {"count without array is dropped", 4, false, 0},
        {"full count", 255, true, 255},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MetricValue src{};
        src.u8PowerSupplyACCount = c.acCount;
        src.psPowerSupplyAC = c.acArray ? NewArray(c.acCount, 0) : nullptr;
        MetricValue dst{};
        CopyMetricValue(&dst, &src);
        EXPECT_EQ(dst.u8PowerSupplyACCount, c.expectedCount);
        EXPECT_EQ(dst.psPowerSupplyAC != nullptr, c.expectedCount != 0);
        EXPECT_EQ(dst.psPowerSupplyDC, nullptr);
        EXPECT_EQ(dst.u8PowerSupplyDCCount, 0);
        EXPECT_EQ(dst.psSystemAC, nullptr);
        EXPECT_EQ(dst.psCPUPower, nullptr);
        if (c.expectedCount != 0) {
            EXPECT_EQ(dst.psPowerSupplyAC[254].u64Avg, 254u);
        }
        FreeMetricValueContents(&src, nullptr, nullptr);
        FreeMetricValueContents(&dst, nullptr, nullptr);
    }
}

TEST(MetricRecords, CopyMetricEntriesEmptyClearsSlot) {
    MetricEntry sentinel{};
    MetricEntry *slot = &sentinel;  // overwritten, never released
    CopyMetricEntries(&slot, nullptr, 3);
    EXPECT_EQ(slot, nullptr);
    slot = &sentinel;
    CopyMetricEntries(&slot, &sentinel, 0);
    EXPECT_EQ(slot, nullptr);
    CopyMetricEntries(nullptr, &sentinel, 1);  // no slot: nothing happens
}

TEST(MetricRecords, NullArgumentsAreIgnored) {
    MetricValue v{};
    InletTemperatureSnapshotBuffer inlet{};
    PerformanceValue perf{};
    CopyMetricValue(nullptr, &v);
    CopyMetricValue(&v, nullptr);
    CopyPerformanceValue(nullptr, &perf);
    CopyPerformanceValue(&perf, nullptr);
    CopyInletTemperatureSnapshotBuffer(nullptr, &inlet);
    CopyInletTemperatureSnapshotBuffer(&inlet, nullptr);
    FreeMetricValueContents(nullptr, nullptr, nullptr);
    FreeMetricValueArrays(nullptr, nullptr, nullptr, 5);
    FreeInletTemperatureSnapshotBuffer(nullptr);
    FreeMetricValue(nullptr);
    EXPECT_EQ(inlet.u8Count, 0);
    EXPECT_EQ(perf.psSystemPerf, nullptr);
}

TEST(MetricRecords, InletListCopyKeepsOrderAndPrintsCounts) {
    struct Case {
        const char *name;
        uint8_t count;
        int nodes;
        uint8_t expectedCount;
        const char *message;
    };
    const Case cases[] = {
        {"two nodes", 2, 2, 2,
         "CopyInletTemperatureSnapshotBuffer --source len [2] --dest len [2]\n"},
        {"empty", 0, 0, 0, "CopyInletTemperatureSnapshotBuffer --source len [0] --dest len [0]\n"},
        {"count beyond the list stops at its end", 3, 2, 2,
         "CopyInletTemperatureSnapshotBuffer --source len [3] --dest len [3]\n"},
        {"count below the list copies count nodes", 1, 3, 1,
         "CopyInletTemperatureSnapshotBuffer --source len [1] --dest len [1]\n"},
    };
    const char *texts[] = {"23.5", "24", "25.25"};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<InletTemperatureNode *> nodes;
        for (int i = 0; i < c.nodes; i++) {
            nodes.push_back(NewNode(static_cast<uint32_t>(i + 1), texts[i]));
            if (i > 0) nodes[i - 1]->psNext = nodes[i];
        }
        InletTemperatureSnapshotBuffer src{c.count, nodes.empty() ? nullptr : nodes[0]};
        InletTemperatureSnapshotBuffer dst{};

        testing::internal::CaptureStdout();
        CopyInletTemperatureSnapshotBuffer(&dst, &src);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);

        ASSERT_EQ(dst.u8Count, c.expectedCount);
        const InletTemperatureNode *n = dst.psFirst;
        for (int i = 0; i < c.expectedCount; i++) {
            ASSERT_NE(n, nullptr);
            EXPECT_NE(n, nodes[i]);
            EXPECT_EQ(n->u32SensorIndex, static_cast<uint32_t>(i + 1));
            EXPECT_STREQ(n->szTemperature, texts[i]);
            n = n->psNext;
        }
        EXPECT_EQ(n, nullptr) << "the last copy has no successor";

        FreeInletTemperatureSnapshotBuffer(&dst);
        for (InletTemperatureNode *node : nodes) free(node);
    }
}

TEST(MetricRecords, InletReleaseStopsAtCountAndEmptiesList) {
    InletTemperatureNode *a = NewNode(0, "20");
    InletTemperatureNode *b = NewNode(1, "21");
    InletTemperatureNode *c = NewNode(2, "22");
    a->psNext = b;
    b->psNext = c;
    InletTemperatureSnapshotBuffer list{2, a};
    FreeInletTemperatureSnapshotBuffer(&list);
    EXPECT_EQ(list.u8Count, 0);
    EXPECT_EQ(list.psFirst, nullptr);
    EXPECT_STREQ(c->szTemperature, "22") << "the node beyond the count stays alive";
    free(c);

    // A count larger than the list stops at the list's end.
    InletTemperatureSnapshotBuffer shortList{5, NewNode(3, "30")};
    FreeMetricValueContents(nullptr, &shortList, nullptr);
    EXPECT_EQ(shortList.u8Count, 5) << "FreeMetricValueContents clears nothing";
}

TEST(MetricRecords, PerformanceCopyAndArraysRelease) {
    qaxtest::TestRoot root;
    FailingTransport transport;

    PerformanceValue src{NewEntry(11), nullptr, NewEntry(33), NewEntry(44)};
    PerformanceValue dst{};
    CopyPerformanceValue(&dst, &src);
    ExpectSameEntry(src.psSystemPerf, dst.psSystemPerf, "SystemPerf");
    EXPECT_EQ(dst.psCPUPerf, nullptr);
    ExpectSameEntry(src.psMemoryPerf, dst.psMemoryPerf, "MemoryPerf");
    ExpectSameEntry(src.psIOPerf, dst.psIOPerf, "IOPerf");
    FreeMetricValueContents(nullptr, nullptr, &src);

    // Parallel arrays as the metric log reader hands them out.
    const uint8_t count = 2;
    MetricValue *values = static_cast<MetricValue *>(calloc(count, sizeof(MetricValue)));
    InletTemperatureSnapshotBuffer *inlets =
        static_cast<InletTemperatureSnapshotBuffer *>(calloc(count, sizeof(*inlets)));
    PerformanceValue *perfs = static_cast<PerformanceValue *>(calloc(count, sizeof(*perfs)));
    for (uint8_t i = 0; i < count; i++) {
        values[i].u8PowerSupplyACCount = 2;
        values[i].psPowerSupplyAC = NewArray(2, i);
        values[i].psSystemDC = NewEntry(i);
        inlets[i].u8Count = 1;
        inlets[i].psFirst = NewNode(i, "19");
    }
    CopyPerformanceValue(&perfs[1], &dst);
    FreeMetricValueContents(nullptr, nullptr, &dst);
    FreeMetricValueArrays(values, inlets, perfs, count);
    // Arrays may be absent independently.
    MetricValue *only = static_cast<MetricValue *>(calloc(1, sizeof(MetricValue)));
    only->psCPUPower = NewEntry(5);
    FreeMetricValueArrays(only, nullptr, nullptr, 1);
}

}  // namespace
