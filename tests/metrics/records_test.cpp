// Copy and release of the metric records. Under QAX_SANITIZE=ON these also
// prove that copies share nothing and every release frees what was copied.
#include <stdlib.h>

#include <gtest/gtest.h>

#include "metrics/metrics.h"

namespace {

MetricEntry *NewEntries(unsigned count, uint64_t base) {
    auto *a = static_cast<MetricEntry *>(malloc(sizeof(MetricEntry) * count));
    for (unsigned i = 0; i < count; i++) a[i] = MetricEntry{base + i, base + 10 + i, base + 20 + i};
    return a;
}

InletTemperatureNode *NewNode(uint32_t index, const char *text, InletTemperatureNode *next) {
    auto *n = static_cast<InletTemperatureNode *>(calloc(1, sizeof(InletTemperatureNode)));
    *n = InletTemperatureNode{index, {}, next};
    snprintf(n->szTemperature, sizeof(n->szTemperature), "%s", text);
    return n;
}

TEST(MetricRecords, CopyIsDeepAndKeepsTheTag) {
    MetricValue src{};
    src.u8PowerSupplyACCount = 2;
    src.psPowerSupplyAC = NewEntries(2, 100);
    src.u8PowerSupplyDCCount = 3;  // count without an array: the copy must not claim entries
    src.psSystemDC = NewEntries(1, 200);
    src.u64Timestamp = 1234567890123ULL;
    src.u16Tag = 9;
    PerformanceValue srcPerf{NewEntries(1, 11), nullptr, NewEntries(1, 33), nullptr};
    MetricValue dst{};
    dst.u16Tag = 77;
    PerformanceValue dstPerf{};
    CopyMetricValue(&dst, &src);
    CopyPerformanceValue(&dstPerf, &srcPerf);
    FreeMetricValueContents(&src, nullptr, &srcPerf);  // the copies must survive this

    EXPECT_EQ(dst.u16Tag, 77);
    EXPECT_EQ(dst.u64Timestamp, 1234567890123ULL);
    ASSERT_EQ(dst.u8PowerSupplyACCount, 2);
    EXPECT_EQ(dst.psPowerSupplyAC[1].u64Min, 121u);
    EXPECT_EQ(dst.u8PowerSupplyDCCount, 0);
    EXPECT_EQ(dst.psPowerSupplyDC, nullptr);
    EXPECT_EQ(dst.psSystemAC, nullptr);
    EXPECT_EQ(dst.psSystemDC->u64Max, 210u);
    EXPECT_EQ(dstPerf.psSystemPerf->u64Avg, 11u);
    EXPECT_EQ(dstPerf.psCPUPerf, nullptr);
    EXPECT_EQ(dstPerf.psMemoryPerf->u64Min, 53u);
    FreeMetricValueContents(&dst, nullptr, &dstPerf);
    MetricEntry entry{1, 2, 3}, *none = &entry;  // a count of 0 copies to absent
    CopyMetricEntries(&none, &entry, 0);
    EXPECT_EQ(none, nullptr);
}

TEST(MetricRecords, InletListCopyAndRelease) {
    InletTemperatureNode *third = NewNode(3, "25.25", nullptr);
    InletTemperatureSnapshotBuffer src{2, NewNode(1, "23.5", NewNode(2, "24", third))};
    InletTemperatureSnapshotBuffer dst{};
    testing::internal::CaptureStdout();
    CopyInletTemperatureSnapshotBuffer(&dst, &src);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "CopyInletTemperatureSnapshotBuffer --source len [2] --dest len [2]\n");
    // Only the counted nodes, in the same order, the last without successor.
    ASSERT_EQ(dst.u8Count, 2);
    EXPECT_NE(dst.psFirst, src.psFirst);
    EXPECT_EQ(dst.psFirst->u32SensorIndex, 1u);
    EXPECT_STREQ(dst.psFirst->psNext->szTemperature, "24");
    EXPECT_EQ(dst.psFirst->psNext->psNext, nullptr);
    // Release stops at the count and leaves the list empty.
    FreeInletTemperatureSnapshotBuffer(&src);
    EXPECT_EQ(src.u8Count, 0);
    EXPECT_EQ(src.psFirst, nullptr);
    EXPECT_STREQ(third->szTemperature, "25.25");
    free(third);
    FreeInletTemperatureSnapshotBuffer(&dst);
}

}  // namespace
