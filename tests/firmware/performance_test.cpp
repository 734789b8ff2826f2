// Performance requests: the request bytes, what is rejected, the retries on
// completion codes, the support test, the per-cycle and per-log readers with
// their publication, and the expansion-unit readers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fake_firmware.h"
#include "firmware/element_method.h"
#include "firmware/performance.h"
#include "platform/platform.h"
#include "sim/model.h"
#include "sim/sim.h"
#include "test_root.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes PerfAnswer(uint8_t percent, uint32_t timestamp = 0x01020304, uint8_t length = 7, uint8_t zero = 0) {
    return {0x00, 0x4D, 0x4F, 0x00, static_cast<uint8_t>(timestamp >> 24), static_cast<uint8_t>(timestamp >> 16),
            static_cast<uint8_t>(timestamp >> 8), static_cast<uint8_t>(timestamp), length, zero, percent};
}

class Performance : public ::testing::Test {
  protected:
    void SetUp() override { QAX_ResetSupportCacheForTest(); }
    void TearDown() override { QAX_ResetSupportCacheForTest(); }
    static bool Published(const char *key, int64_t *value) { return aim_config_get_int64(key, value) != 0; }
    qaxtest::TestRoot root_;
    fwtest::FakeFirmware fw_;
};

TEST_F(Performance, RequestBytesAndTheBufferHandedBack) {
    fw_.Script({0, PerfAnswer(42, 0xA1B2C3D4, 7)});
    uint8_t buffer[7] = {};
    EXPECT_EQ(QAX_ReadPerformanceBuffer(5, 0, 2, 7, buffer), 0u);
    EXPECT_EQ(Bytes(buffer, buffer + 7), (Bytes{0xA1, 0xB2, 0xC3, 0xD4, 7, 0, 42}));
    ASSERT_EQ(fw_.sent.size(), 1u);
    EXPECT_EQ(fw_.sent[0].netFn, 0x2E);
    EXPECT_EQ(fw_.sent[0].cmd, 0x84);
    EXPECT_EQ(fw_.sent[0].bytes, (Bytes{0x4D, 0x4F, 0x00, 0x04, 5, 0, 0x01, 2, 0x01, 0x00, 0x01}));
    EXPECT_EQ(fw_.sent[0].capacity, 11);
}

TEST_F(Performance, ImplausibleAnswersAreRejected) {
    const struct {
        const char *name;
        Bytes answer;
        unsigned status;
    } cases[] = {
        {"100 percent", PerfAnswer(100), 0},
        {"101 percent", PerfAnswer(101), 255},
        {"255 percent", PerfAnswer(255), 255},
        {"byte 9 not zero", PerfAnswer(50, 0, 7, 1), 255},
        {"length above the maximum", PerfAnswer(50, 0, 8), 255},
        {"length below the maximum", PerfAnswer(50, 0, 1), 0},
        {"ten bytes", Bytes{0x00, 0x4D, 0x4F, 0x00, 0, 0, 0, 0, 7, 0}, 255},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fw_.Script({0, c.answer});
        uint8_t buffer[7] = {};
        EXPECT_EQ(QAX_ReadPerformanceBuffer(0, 0, 0, 7, buffer), c.status);
    }
}

TEST_F(Performance, CompletionCodesAreRetriedThreeTimesOneMillisecondApart) {
    const struct {
        const char *name;
        std::vector<fwtest::Answer> answers;
        unsigned status;
        size_t requests;
        uint64_t pausedMs;
        int supported;  // NM_Performance_IsSupported on the same answers
    } cases[] = {
        {"0xC1 three times", {{0, {0xC1}}, {0, {0xC1}}, {0, {0xC1}}}, 0xC1, 3, 2, 0},
        {"0x87 three times", {{0, {0x87}}, {0, {0x87}}, {0, {0x87}}}, 0x87, 3, 2, 0},
        {"0xC0 three times", {{0, {0xC0}}, {0, {0xC0}}, {0, {0xC0}}}, 0xC0, 3, 2, 1},
        {"0xC1 then an answer", {{0, {0xC1}}, {0, PerfAnswer(3)}}, 0, 2, 1, 1},
        {"failed call, not retried", {{-1, {}}}, 255, 1, 0, 1},
        {"an answer", {{0, PerfAnswer(3)}}, 0, 1, 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto &a : c.answers) fw_.Script(a);
        fw_.sent.clear();
        const uint64_t before = QaxClockMonotonicMs();
        uint8_t buffer[7] = {};
        EXPECT_EQ(QAX_ReadPerformanceBuffer(0, 0, 0, 7, buffer), c.status);
        EXPECT_EQ(fw_.sent.size(), c.requests);
        EXPECT_EQ(QaxClockMonotonicMs() - before, c.pausedMs);

        for (const auto &a : c.answers) fw_.Script(a);
        EXPECT_EQ(NM_Performance_IsSupported(), c.supported);
        // The support test reads domain 0, statistic 0.
        EXPECT_EQ(fw_.sent.back().bytes.at(4), 0);
        EXPECT_EQ(fw_.sent.back().bytes.at(7), 0);
    }
}

TEST_F(Performance, PerCycleReadingFillsTheRecordAndPublishes) {
    const uint8_t percents[4] = {10, 0, 100, 40};
    fw_.Script({0, PerfAnswer(percents[0], 0x00ABCDEF)});
    for (int i = 1; i < 4; i++) fw_.Script({0, PerfAnswer(percents[i], 0x99999999)});
    PerformanceRecord record = {1, 1, 1, 1, 1};
    EXPECT_EQ(GetPerformanceFromNM(&record), 0u);
    EXPECT_EQ(record.u64System, 10u);
    EXPECT_EQ(record.u64CPU, 0u);
    EXPECT_EQ(record.u64Memory, 100u);
    EXPECT_EQ(record.u64IO, 40u);
    EXPECT_EQ(record.u64Timestamp, 0x00ABCDEFu);  // the system reading's time

    const std::pair<const char *, int64_t> keys[] = {{"QAX_performanceSystem", 10},
                                                     {"QAX_performanceCPU", 0},
                                                     {"QAX_performanceMem", 100},
                                                     {"QAX_performanceIO", 40}};
    for (const auto &k : keys) {
        int64_t value = -1;
        EXPECT_TRUE(Published(k.first, &value)) << k.first;
        EXPECT_EQ(value, k.second) << k.first;
    }
    ASSERT_EQ(fw_.sent.size(), 4u);
    const uint8_t domains[4] = {0, 4, 5, 6};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(fw_.sent[i].bytes.at(4), domains[i]);
        EXPECT_EQ(fw_.sent[i].bytes.at(7), 0);
    }
}

TEST_F(Performance, PerCycleReadingPublishesNothingWhenAReadFails) {
    fw_.Script({0, PerfAnswer(10)});
    fw_.Script({0, PerfAnswer(200)});  // CPU answer rejected
    PerformanceRecord record = {1, 2, 3, 4, 5};
    EXPECT_EQ(GetPerformanceFromNM(&record), 255u);
    EXPECT_EQ(record.u64System, 1u);
    EXPECT_EQ(record.u64Timestamp, 5u);
    EXPECT_EQ(fw_.sent.size(), 2u);
    int64_t value = 0;
    EXPECT_FALSE(Published("QAX_performanceSystem", &value));
    EXPECT_FALSE(Published("QAX_performanceIO", &value));
}

TEST_F(Performance, PerLogReadingFillsFourEntriesInOrder) {
    for (uint8_t i = 0; i < 12; i++) fw_.Script({0, PerfAnswer(static_cast<uint8_t>(50 + i))});
    MetricEntry entries[4];
    EXPECT_EQ(ReadPerformanceDataFromXPM(entries), 0u);
    for (int e = 0; e < 4; e++) {
        EXPECT_EQ(entries[e].u64Avg, 50u + 3 * e) << e;
        EXPECT_EQ(entries[e].u64Max, 51u + 3 * e) << e;
        EXPECT_EQ(entries[e].u64Min, 52u + 3 * e) << e;
    }
    ASSERT_EQ(fw_.sent.size(), 12u);
    const uint8_t domains[4] = {0, 4, 5, 6};
    for (int i = 0; i < 12; i++) {
        EXPECT_EQ(fw_.sent[i].bytes.at(4), domains[i / 3]) << i;
        EXPECT_EQ(fw_.sent[i].bytes.at(7), i % 3) << i;
    }
}

TEST_F(Performance, PerLogReadingFailingOnTheFifthPairLeavesZeros) {
    for (int i = 0; i < 4; i++) fw_.Script({0, PerfAnswer(77)});
    fw_.Script({-1, {}});
    MetricEntry entries[4];
    for (auto &e : entries) e = {9, 9, 9};
    EXPECT_EQ(ReadPerformanceDataFromXPM(entries), 255u);
    for (const auto &e : entries) {
        EXPECT_EQ(e.u64Avg, 0u);
        EXPECT_EQ(e.u64Max, 0u);
        EXPECT_EQ(e.u64Min, 0u);
    }
    EXPECT_EQ(fw_.sent.size(), 5u);
}

TEST_F(Performance, ExpansionReadersUseTheExpansionInstance) {
    fw_.handles = {{1, 9}};
    fw_.SetRegister(0x07, 9, {0x03, 0xE8});
    fw_.SetRegister(0x0D, 1, {0x00, 0x00, 0x05, 0x00, 0x4B, 0x00, 0x00, 0x00});
    uint32_t value = 1;
    EXPECT_EQ(GetTotalInputPowerForExpansion(&value), 0u);
    EXPECT_EQ(value, 1000u);
    EXPECT_EQ(fw_.sent.back().bytes, (Bytes{0x4D, 0x4F, 0x00, 9, 0x07, 0x82, 9, 2}));
    value = 1;
    EXPECT_EQ(GetStandbyPowerForExpansion(&value), 0u);
    EXPECT_EQ(value, 75u);
    EXPECT_EQ(fw_.sent.back().bytes, (Bytes{0x4D, 0x4F, 0x00, 9, 0x0D, 0x82, 1, 8}));

    fw_.registers.clear();
    value = 1;
    EXPECT_EQ(GetTotalInputPowerForExpansion(&value), 0xCBu);
    EXPECT_EQ(value, 0u);
}

TEST_F(Performance, ExpansionReadersWithoutTheExpansionInstance) {
    fw_.handles = {{0, 3}};
    uint32_t value = 1;
    EXPECT_EQ(GetTotalInputPowerForExpansion(&value), 255u);
    EXPECT_EQ(value, 0u);
    value = 1;
    EXPECT_EQ(GetStandbyPowerForExpansion(&value), 255u);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(fw_.CountCommand(0x81), 0);
}


// The emulator's utilisation figures arrive unchanged.
TEST(PerformanceAgainstEmulator, ReadsWhatTheModelReports) {
    qaxtest::TestRoot root;
    qaxsim::Host host;
    host.wallMs = [] { return QaxClockWallMs(); };
    host.monotonicMs = [] { return QaxClockMonotonicMs(); };
    std::string error;
    std::shared_ptr<qaxsim::Emulator> emu = qaxsim::MakeEmulator("snapshot_period 30\n", 1, host, &error);
    ASSERT_NE(emu, nullptr) << error;
    QaxIpmiSetTransportOverride(
        [](void *ctx, int netFn, int cmd, const uint8_t *rq, int rqLen, uint8_t *rs, int *rsLen) {
            return qaxsim::HandleRequest(*static_cast<qaxsim::Emulator *>(ctx), netFn, cmd, rq, rqLen, rs, rsLen);
        },
        emu.get());
    QaxClockSleepUs(95u * 1000000u);  // a few closed periods

    EXPECT_EQ(NM_Performance_IsSupported(), 1);
    PerformanceRecord record = {};
    EXPECT_EQ(GetPerformanceFromNM(&record), 0u);
    MetricEntry entries[4];
    EXPECT_EQ(ReadPerformanceDataFromXPM(entries), 0u);
    const qaxsim::Model &model = qaxsim::EmulatorModel(*emu);
    const uint64_t cycle[4] = {record.u64System, record.u64CPU, record.u64Memory, record.u64IO};
    const uint8_t domains[4] = {0, 4, 5, 6};
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(static_cast<int>(cycle[i]), model.Utilisation(domains[i], 0));
        EXPECT_EQ(static_cast<int>(entries[i].u64Avg), model.Utilisation(domains[i], 0));
        EXPECT_EQ(static_cast<int>(entries[i].u64Max), model.Utilisation(domains[i], 1));
        EXPECT_EQ(static_cast<int>(entries[i].u64Min), model.Utilisation(domains[i], 2));
    }
    QaxIpmiSetTransportOverride(nullptr, nullptr);

    // A firmware without the interface.
    emu = qaxsim::MakeEmulator("performance off\n", 1, host, &error);
    ASSERT_NE(emu, nullptr) << error;
    QaxIpmiSetTransportOverride(
        [](void *ctx, int netFn, int cmd, const uint8_t *rq, int rqLen, uint8_t *rs, int *rsLen) {
            return qaxsim::HandleRequest(*static_cast<qaxsim::Emulator *>(ctx), netFn, cmd, rq, rqLen, rs, rsLen);
        },
        emu.get());
    EXPECT_EQ(NM_Performance_IsSupported(), 0);
    QaxIpmiSetTransportOverride(nullptr, nullptr);
}

}  // namespace
