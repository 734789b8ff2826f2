// The metric log: writer and reader round trips against an independent
// encoder of the file format, the ring of 120 files and its index files,
// the publication into the store, and the reader on damaged files.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "metrics/metrics.h"
#include "platform/ipmi_internal.h"
#include "process.h"
#include "test_root.h"

namespace {

// Performance requests (command 0x84): unsupported (0xC1), answered with
// domain * 10 + statistic * 3 + 1 per cent, or failing after the support test.
enum PerfMode { kPerfOff, kPerfOn, kPerfReadFails };
PerfMode perfMode = kPerfOff;
int perfCalls = 0;
int PerfTransport(void *, int, int cmd, const uint8_t *rq, int rqLen, uint8_t *rs, int *rsLen) {
    if (cmd != 0x84 || rqLen != 11 || perfMode == kPerfOff) {
        rs[0] = 0xC1;
        *rsLen = 1;
        return 0;
    }
    if (perfMode == kPerfReadFails && ++perfCalls > 1) return -1;
    const uint8_t answer[11] = {
        0, 0x4D, 0x4F, 0, 0x6B, 0x36, 0xEC, 0x8A, 7, 0, static_cast<uint8_t>(rq[4] * 10 + rq[7] * 3 + 1)};
    memcpy(rs, answer, sizeof(answer));
    *rsLen = sizeof(answer);
    return 0;
}

// The file format written down independently of the writer: little-endian
// numbers, 24-byte entries, presence bytes, 68-byte sensor records in list
// order, and the performance section when any performance entry exists.
std::string LE(uint64_t v, int n) {
    std::string s;
    for (int i = 0; i < n; i++) s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
}
std::string Entries(const MetricEntry *e, unsigned n) {
    std::string s;
    for (unsigned i = 0; e != nullptr && i < n; i++) s += LE(e[i].u64Avg, 8) + LE(e[i].u64Max, 8) + LE(e[i].u64Min, 8);
    return s;
}
std::string Single(const MetricEntry *e) { return std::string(1, e != nullptr) + Entries(e, 1); }
using Inlets = std::vector<std::pair<uint32_t, std::string>>;
std::string Encode(const MetricValue &v, const Inlets &inlets, const PerformanceValue &perf) {
    std::string s = char(v.u8PowerSupplyACCount) + Entries(v.psPowerSupplyAC, v.u8PowerSupplyACCount) +
                    char(v.u8PowerSupplyDCCount) + Entries(v.psPowerSupplyDC, v.u8PowerSupplyDCCount);
    for (const MetricEntry *e :
         {v.psSystemAC, v.psSystemDC, v.psCPUPower, v.psMemoryPower, v.psCoolingPower, v.psEffectiveCPU})
        s += Single(e);
    s += char(v.u8InletTemperature) + std::string(1, char(v.u8OutletTemperature)) + LE(v.u64Timestamp, 8) +
         char(v.u8BufferStatus) + char(inlets.size());
    for (const auto &in : inlets) s += LE(in.first, 4) + in.second + std::string(64 - in.second.size(), '\0');
    const MetricEntry *p[4] = {perf.psSystemPerf, perf.psCPUPerf, perf.psMemoryPerf, perf.psIOPerf};
    if (p[0] || p[1] || p[2] || p[3])
        for (const MetricEntry *e : p) s += Single(e);
    return s;
}

Inlets ListOf(const InletTemperatureSnapshotBuffer &list) {
    Inlets out;
    const InletTemperatureNode *n = list.psFirst;
    for (unsigned i = 0; n != nullptr && i < list.u8Count; i++, n = n->psNext)
        out.emplace_back(n->u32SensorIndex, n->szTemperature);
    return out;
}

// A raw record: `ac`/`dc` supplies, the six single entries by bit (file
// order), every number distinct and wider than 32 bits.
MetricValue *NewRecord(uint8_t ac, uint8_t dc, unsigned singles, uint64_t seed) {
    auto *v = static_cast<MetricValue *>(calloc(1, sizeof(MetricValue)));
    auto fill = [seed](unsigned field, unsigned n) {
        auto *e = static_cast<MetricEntry *>(malloc(sizeof(MetricEntry) * n));
        for (unsigned i = 0; i < n; i++) {
            const uint64_t base = 0x0102030405060000ULL + seed * 0x10000 + field * 0x100 + i * 4;
            e[i] = MetricEntry{base, base + 1, base + 2};
        }
        return e;
    };
    v->u8PowerSupplyACCount = ac;
    v->psPowerSupplyAC = ac ? fill(0, ac) : nullptr;
    v->u8PowerSupplyDCCount = dc;
    v->psPowerSupplyDC = dc ? fill(1, dc) : nullptr;
    MetricEntry **slots[6] = {&v->psSystemAC,    &v->psSystemDC,     &v->psCPUPower,
                              &v->psMemoryPower, &v->psCoolingPower, &v->psEffectiveCPU};
    for (unsigned f = 0; f < 6; f++) *slots[f] = singles & (1u << f) ? fill(2 + f, 1) : nullptr;
    v->u8InletTemperature = static_cast<uint8_t>(20 + seed);
    v->u8OutletTemperature = static_cast<uint8_t>(35 + seed);
    v->u64Timestamp = 0x0A0B0C0D00000000ULL + seed * 30000;
    v->u8BufferStatus = static_cast<uint8_t>(0x80 | seed);
    return v;
}

class MetricLog : public ::testing::Test {
  protected:
    // A fresh ring and no reference.
    void SetUp() override {
        mkdir((root_.Path() + "/tmp/qax_log").c_str(), 0700);
        mkdir((root_.Path() + "/tmp/qax_trace").c_str(), 0700);
        u8LogFileIndex = 0;
        u8LogFileCount = 0;
        FreeMetricValueContents(&sLastMetricValue, nullptr, nullptr);
        sLastMetricValue = MetricValue{};
        free(sLastHistogramData.pu8Counters);
        sLastHistogramData = HistogramData{};
        perfMode = kPerfOff;
        QaxIpmiSetTransportOverride(&PerfTransport, nullptr);
    }
    void TearDown() override {
        FreeMetricValueContents(&sLastMetricValue, nullptr, nullptr);
        sLastMetricValue = MetricValue{};
        QaxIpmiSetTransportOverride(nullptr, nullptr);
        QaxSensorSetSourceOverride(nullptr, nullptr);
        unsetenv("ZOQ_FAMILY");
    }
    // Writes the record, with a histogram of its own as the main cycle does,
    // and frees it unless kept. The reference is the same snapshot `earlierMs`
    // before with every accumulator at 1: 1 ms earlier, each power average is
    // the raw value less 1 and the effective CPU 0 (no whole second); the
    // reference's histogram has another layout, so no range replaces Max and Min.
    static void Write(MetricValue *record, uint64_t earlierMs = 1, bool keep = false) {
        FreeMetricValueContents(&sLastMetricValue, nullptr, nullptr);
        sLastMetricValue = MetricValue{};
        CopyMetricValue(&sLastMetricValue, record);
        sLastMetricValue.u64Timestamp = record->u64Timestamp - earlierMs;
        for (MetricEntry *e : Singles(sLastMetricValue))
            if (e != nullptr) e->u64Avg = 1;
        CreateDataLog(record, HistogramData{100, 3, 50, 1, static_cast<uint8_t *>(calloc(3, 1))});
        if (!keep) FreeMetricValue(record);
    }
    static std::vector<MetricEntry *> Singles(const MetricValue &v) {
        return {v.psSystemAC, v.psSystemDC, v.psCPUPower, v.psMemoryPower, v.psCoolingPower, v.psEffectiveCPU};
    }
    std::string Log(const std::string &name) const { return root_.Path() + "/tmp/qax_log/" + name; }
    int OneByte(const char *name) const {
        const std::string b = qaxtest::ReadAll(Log(name));
        return b.size() == 1 ? static_cast<uint8_t>(b[0]) : -1;
    }
    qaxtest::TestRoot root_;
};

// The whole ring as GetMetricValue hands it out, released at the end.
struct Ring {
    MetricValue *values = nullptr;
    InletTemperatureSnapshotBuffer *inlets = nullptr;
    PerformanceValue *perfs = nullptr;
    uint8_t count = 99;
    int result = GetMetricValue(&values, &inlets, &perfs, &count);
    ~Ring() { FreeMetricValueArrays(values, inlets, perfs, count); }
};

// Each combination goes through the writer byte for byte as the format says
// and comes back through the reader unchanged; the inlet list comes back
// reversed (the order in which the sensor query found the sensors).
TEST_F(MetricLog, RoundTrips) {
    const std::string perfLines =
        "SysPerf.Avg : 1\nSysPerf.Max : 4\nSysPerf.Min : 7\nCPUPerf.Avg: 41\nCPUPerf.Max: 44\nCPUPerf.Min : 47\n"
        "MemPerf.Avg: 51\nMemPerf.Max: 54\nMemPerf.Min : 57\nIOPerf.Avg: 61\nIOPerf.Max: 64\nIOPerf.Min : 67\n"
        "Write perf datas into /tmp/qax_*.log \n";
    // Supplies, single entries by bit, inlet list, performance, file size, printed among the rest.
    struct Case {
        uint8_t ac, dc;
        unsigned singles;
        Inlets inlets;
        PerfMode perf;
        size_t size;
        std::string out;
    };
    const std::vector<Case> cases = {
        {2, 0, 0x3F, {}, kPerfOff, 212, "CreateDataLog -- there are totally [0] inlet temperature!\n"},
        {2, 0, 0x3F, {}, kPerfOn, 312, perfLines},
        {0,
         0,
         0x00,
         {{2, "24.500"}, {1, "Unavailable"}, {4, std::string(63, 'x')}},
         kPerfOff,
         20 + 204,
         "CreateDataLog -- there are totally [3] inlet temperature!\n"},
        {1,
         3,
         0x2F,
         {{0, ""}},
         kPerfReadFails,
         20 + 4 * 24 + 5 * 24 + 68,
         "CreateDataLog - fails to read performance data from xpm"},
        {255, 255, 0x15, {{3, "22"}}, kPerfOn, 20 + 510 * 24 + 3 * 24 + 68 + 100, perfLines},
    };
    MetricEntry perfFigures[4] = {{1, 4, 7}, {41, 44, 47}, {51, 54, 57}, {61, 64, 67}};
    const PerformanceValue perfWritten{&perfFigures[0], &perfFigures[1], &perfFigures[2], &perfFigures[3]};
    for (size_t n = 0; n < cases.size(); n++) {
        const Case &c = cases[n];
        SCOPED_TRACE(n);
        perfMode = c.perf;
        perfCalls = 0;
        for (auto it = c.inlets.rbegin(); it != c.inlets.rend(); ++it) {
            auto *node = static_cast<InletTemperatureNode *>(calloc(1, sizeof(InletTemperatureNode)));
            *node = InletTemperatureNode{it->first, {}, sInletTemperatureBuffer.psFirst};
            memcpy(node->szTemperature, it->second.data(), it->second.size());
            sInletTemperatureBuffer =
                InletTemperatureSnapshotBuffer{uint8_t(sInletTemperatureBuffer.u8Count + 1), node};
        }
        // The file holds the record as the calculation left it.
        MetricValue *expected = NewRecord(c.ac, c.dc, c.singles, n);
        testing::internal::CaptureStdout();
        Write(expected, 1, true);
        EXPECT_NE(testing::internal::GetCapturedStdout().find(c.out), std::string::npos);
        FreeInletTemperatureSnapshotBuffer(&sInletTemperatureBuffer);

        const std::string path = Log("qax_" + std::to_string(n) + ".log");
        const std::string bytes = qaxtest::ReadAll(path);
        EXPECT_EQ(bytes.size(), c.size);
        EXPECT_EQ(bytes, Encode(*expected, c.inlets, c.perf == kPerfOn ? perfWritten : PerformanceValue{}));

        for (PerfMode mode : {kPerfOn, kPerfOff}) {  // the section is handed over only with support
            perfMode = mode;
            MetricValue got{};
            InletTemperatureSnapshotBuffer gotInlet{};
            PerformanceValue gotPerf{};
            ASSERT_EQ(ReadMeticValueFromFile(path.c_str(), &got, &gotInlet, &gotPerf), 0);
            const Inlets list = ListOf(gotInlet);
            EXPECT_EQ(Encode(got, Inlets(list.rbegin(), list.rend()), gotPerf),
                      mode == kPerfOn ? bytes : Encode(*expected, c.inlets, PerformanceValue{}));
            FreeMetricValueContents(&got, &gotInlet, &gotPerf);
        }
        FreeMetricValue(expected);
    }
}

// The count file saturates at 120, the last-file file names the newest;
// after the wrap the reader starts at the oldest.
TEST_F(MetricLog, RingWrapsAt120) {
    for (unsigned k = 1; k <= 122; k++) {
        Write(NewRecord(0, 0, 0, k));
        ASSERT_EQ(OneByte("qax_num.log"), static_cast<int>(k < 120 ? k : 120)) << k;
        ASSERT_EQ(OneByte("qax_last.log"), static_cast<int>((k - 1) % 120)) << k;
    }
    Ring ring;
    ASSERT_EQ(ring.result, 0);
    ASSERT_EQ(ring.count, 120);
    for (unsigned i = 0; i < 120; i++)
        ASSERT_EQ(ring.values[i].u64Timestamp, 0x0A0B0C0D00000000ULL + (i + 3) * 30000) << i;
}

// A snapshot that gives no averages (its timestamp not after the
// reference's) would only carry raw accumulators: it is dropped without
// touching the ring or the published figures.
TEST_F(MetricLog, DropsASnapshotWithoutAverages) {
    Write(NewRecord(0, 0, 0x02, 1));
    int64_t published = 0;
    ASSERT_NE(aim_config_get_int64("QAX_total_dc_power_in_use_Avg", &published), 0);
    for (uint64_t earlier : {uint64_t{0}, UINT64_MAX}) {  // same timestamp; reference 1 ms newer
        SCOPED_TRACE(earlier);
        Write(NewRecord(0, 0, 0x02, 2), earlier);
        EXPECT_FALSE(std::ifstream(Log("qax_1.log")).good());
        EXPECT_EQ(OneByte("qax_num.log"), 1);
        EXPECT_EQ(OneByte("qax_last.log"), 0);
        EXPECT_EQ(u8LogFileIndex, 1);
        int64_t now = 0;
        EXPECT_NE(aim_config_get_int64("QAX_total_dc_power_in_use_Avg", &now), 0);
        EXPECT_EQ(now, published);
    }
    EXPECT_NE(qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt").find("Time stamp is not right."),
              std::string::npos);
    // The figures are volatile: the persistent store holds none of them.
    const std::string persistent = qaxtest::ReadAll(root_.Path() + "/pstorage/aim/aim.db") +
                                   qaxtest::ReadAll(root_.Path() + "/pstorage/aim/aim.db-wal");
    EXPECT_EQ(persistent.find("QAX_"), std::string::npos);
}

// Damaged index and log files: clamped into the ring, or rejected whole
// with the reason in the trace while the rest of the ring is read.
TEST_F(MetricLog, ReaderSurvivesDamagedFiles) {
    MetricValue *good = NewRecord(1, 0, 0x3F, 1);
    const std::string file = Encode(*good, {{2, "24.5"}}, PerformanceValue{});
    const std::string head = file.substr(0, file.size() - 69);  // up to the inlet count
    FreeMetricValue(good);
    const std::string perf = std::string(1, 1) + std::string(24, 'p');
    struct Case {
        std::string count, second;
        int last;
        unsigned records;
        std::string why;
    };  // count, qax_1.log, last
    const std::vector<Case> cases = {
        {"\xC8", file, 1, 2, "Log file count 200 above 120, read as 120"},
        {"\2", file, 250, 2, "Newest log file 250 outside the 2 files, read as 1"},
        {"", file, 1, 0, ""},
        {"\2", file.substr(0, 10), 1, 1, "ends inside the metric entries"},
        {"\2", file.substr(0, 26 + 6 * 25 + 5), 1, 1, "ends inside the temperatures and timestamp"},
        {"\2", head, 1, 1, "ends before the inlet sensor count"},
        {"\2", head + '\2' + file.substr(file.size() - 68), 1, 1, "ends inside the inlet sensor records"},
        {"\2", head + '\1' + LE(5, 4) + std::string(64, '1'), 1, 1, "inlet sensor index outside 0-4"},
        {"\2", head + '\1' + LE(0xFFFFFFFF, 4) + std::string(64, '1'), 1, 1, "inlet sensor index outside 0-4"},
        {"\2", file + perf + perf + perf + perf.substr(0, 20), 1, 1, "ends inside the performance section"},
        {"\2", file + '\2' + std::string(48, 'p'), 1, 1, "presence byte above 1"},
        {"\2", file + perf + perf + perf + perf + "x", 1, 1, "bytes after the record"},
        {"\2", file + std::string(4, '\0'), 1, 2, ""},  // absent performance entries are no damage
    };
    perfMode = kPerfOn;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        std::ofstream(Log("qax_num.log"), std::ios::binary) << c.count;
        std::ofstream(Log("qax_last.log"), std::ios::binary) << char(c.last);
        std::ofstream(Log("qax_0.log"), std::ios::binary) << file;
        std::ofstream(Log("qax_1.log"), std::ios::binary) << c.second;
        Ring ring;
        EXPECT_EQ(ring.result, 0);
        EXPECT_EQ(ring.count, c.records);
        for (unsigned i = 0; i < ring.count; i++) EXPECT_EQ(ListOf(ring.inlets[i]), Inlets({{2, "24.5"}}));
        const std::string trace = qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt");
        EXPECT_NE(trace.find(c.why + "\n"), std::string::npos) << trace;
    }
}

}  // namespace
