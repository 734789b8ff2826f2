// Performance requests: the request bytes, rejected answers, the retries on completion codes and the
// support test, the per-cycle reader with its publication (the per-log one runs in the metric log test).
#include "fake_firmware.h"
#include "firmware/performance.h"

namespace {

using fwtest::Answer;
using fwtest::Bytes;

Answer Perf(uint8_t percent, uint32_t stamp = 0x01020304, uint8_t size = 7, uint8_t zero = 0) {
    return {0, fwtest::Ok({uint8_t(stamp >> 24), uint8_t(stamp >> 16), uint8_t(stamp >> 8), uint8_t(stamp), size, zero,
                           percent})};
}

const uint8_t kDomains[4] = {0, 4, 5, 6};  // system, CPU, memory, IO

using Performance = fwtest::FirmwareTest;

TEST_F(Performance, RequestAnswersAndRetries) {
    fw_.script = {Perf(42, 0xA1B2C3D4)};
    uint8_t buffer[7] = {};
    EXPECT_EQ(QAX_ReadPerformanceBuffer(5, 0, 2, 7, buffer), 0u);
    EXPECT_EQ(Bytes(buffer, buffer + 7), (Bytes{0xA1, 0xB2, 0xC3, 0xD4, 7, 0, 42}));
    ASSERT_EQ(fw_.sent.size(), 1u);
    EXPECT_EQ(std::make_tuple(fw_.sent[0].netFn, fw_.sent[0].cmd, fw_.sent[0].bytes, fw_.sent[0].capacity),
              std::make_tuple(0x2E, 0x84, Bytes{0x4D, 0x4F, 0x00, 0x04, 5, 0, 0x01, 2, 0x01, 0x00, 0x01}, 11));
    // The answers in turn, then the status, requests, ms paused, and what the support test makes of them:
    // completion codes are retried three times 1 ms apart, rejected answers are not.
    const struct {
        std::deque<Answer> answers;
        unsigned status, requests, pausedMs;
        int supported;
    } cases[] = {
        {{{0, {0xC1}}, {0, {0xC1}}, {0, {0xC1}}}, 0xC1, 3, 2, 0},
        {{{0, {0x87}}, {0, {0x87}}, {0, {0x87}}}, 0x87, 3, 2, 0},
        {{{0, {0xC0}}, {0, {0xC0}}, {0, {0xC0}}}, 0xC0, 3, 2, 1},
        {{{0, {0xC1}}, Perf(3)}, 0, 2, 1, 1},
        {{{-1, {}}}, 255, 1, 0, 1},  // a failed call is not retried
        // percent 100 and above, byte 9 set, size above 7, ten bytes
        {{Perf(100)}, 0, 1, 0, 1},
        {{Perf(101)}, 255, 1, 0, 1},
        {{Perf(50, 0, 7, 1)}, 255, 1, 0, 1},
        {{Perf(50, 0, 8)}, 255, 1, 0, 1},
        {{{0, fwtest::Ok({0, 0, 0, 0, 7, 0})}}, 255, 1, 0, 1},
    };
    for (const auto &c : cases) {
        fw_.script = c.answers;
        fw_.sent.clear();
        const uint64_t before = QaxClockMonotonicMs();
        SCOPED_TRACE(&c - cases);
        EXPECT_EQ(QAX_ReadPerformanceBuffer(0, 0, 0, 7, buffer), c.status);
        EXPECT_EQ(fw_.sent.size(), size_t{c.requests});
        EXPECT_EQ(QaxClockMonotonicMs() - before, uint64_t{c.pausedMs});
        fw_.script = c.answers;
        EXPECT_EQ(NM_Performance_IsSupported(), c.supported);
        EXPECT_EQ(fw_.sent.back().bytes.at(4) + fw_.sent.back().bytes.at(7), 0);  // domain 0, statistic 0
    }
}

TEST_F(Performance, PerCycleReadingFillsTheRecordAndPublishes) {
    fw_.script = {Perf(10), Perf(200)};  // a rejected CPU answer: nothing published, the record kept
    PerformanceRecord record = {1, 2, 3, 4, 5};
    EXPECT_EQ(GetPerformanceFromNM(&record), 255u);
    EXPECT_EQ(record.u64System + record.u64Timestamp, 6u);
    int64_t value = -1;
    EXPECT_EQ(aim_config_get_int64("QAX_performanceSystem", &value), 0);

    fw_.script = {Perf(10, 0x00ABCDEF), Perf(0), Perf(100), Perf(40)};
    fw_.sent.clear();
    EXPECT_EQ(GetPerformanceFromNM(&record), 0u);
    EXPECT_EQ(record.u64Timestamp, 0x00ABCDEFu);  // the system reading's time
    const std::pair<const char *, uint64_t> keys[] = {{"QAX_performanceSystem", 10},
                                                      {"QAX_performanceCPU", 0},
                                                      {"QAX_performanceMem", 100},
                                                      {"QAX_performanceIO", 40}};
    const uint64_t fields[4] = {record.u64System, record.u64CPU, record.u64Memory, record.u64IO};
    for (int i = 0; i < 4; i++) {
        EXPECT_NE(aim_config_get_int64(keys[i].first, &value), 0) << keys[i].first;
        EXPECT_EQ(uint64_t(value), keys[i].second) << keys[i].first;
        EXPECT_EQ(fields[i], keys[i].second) << keys[i].first;
        EXPECT_EQ(fw_.sent.at(i).bytes.at(4), kDomains[i]);
    }
}

}  // namespace
