// Metrics: the value calculation (averages from accumulators at their
// boundaries, the histogram range, a histogram of another layout), the blade
// inlet list, and the metric log: writer and reader round trips against an
// independent encoder of the file format, the ring of 120 files and its index
// files, the publication into the store, and the reader on damaged files.
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
// The six single entries, in file order.
std::vector<MetricEntry **> Singles(MetricValue &v) {
    return {&v.psSystemAC, &v.psSystemDC, &v.psCPUPower, &v.psMemoryPower, &v.psCoolingPower, &v.psEffectiveCPU};
}
using Inlets = std::vector<std::pair<uint32_t, std::string>>;
std::string Encode(MetricValue v, const Inlets &inlets, const PerformanceValue &perf) {
    std::string s = char(v.u8PowerSupplyACCount) + Entries(v.psPowerSupplyAC, v.u8PowerSupplyACCount) +
                    char(v.u8PowerSupplyDCCount) + Entries(v.psPowerSupplyDC, v.u8PowerSupplyDCCount);
    for (MetricEntry **e : Singles(v)) s += Single(*e);
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
    for (unsigned f = 0; f < 6; f++) *Singles(*v)[f] = singles & (1u << f) ? fill(2 + f, 1) : nullptr;
    v->u8InletTemperature = static_cast<uint8_t>(20 + seed);
    v->u8OutletTemperature = static_cast<uint8_t>(35 + seed);
    v->u64Timestamp = 0x0A0B0C0D00000000ULL + seed * 30000;
    v->u8BufferStatus = static_cast<uint8_t>(0x80 | seed);
    return v;
}

MetricEntry *NewEntry(uint64_t avg) {
    auto *e = static_cast<MetricEntry *>(malloc(sizeof(MetricEntry)));
    *e = MetricEntry{avg, 0, 0};
    return e;
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

// 1492-byte records: valid byte at 2, name at 6, reading at 198, written raw
// so that they may fill their field without a terminator.
struct Sensor {
    std::string name, reading;
    uint8_t valid = 0;
};

std::string Encode(const std::vector<Sensor> &sensors) {
    std::string bytes;
    for (const Sensor &s : sensors) {
        std::string r(1492, '\0');
        r[2] = static_cast<char>(s.valid);
        r.replace(6, s.name.size(), s.name);
        r.replace(198, s.reading.size(), s.reading);
        bytes += r;
    }
    return bytes;
}

// The platform's sensor query, answered from `answer` or failing with `result`.
std::string answer;
int result = 0;
int Query(void *, uint8_t type, uint8_t *buffer, uint32_t size, uint32_t *written) {
    if (type != 1 || result != 0) return type != 1 ? 99 : result;
    *written = static_cast<uint32_t>(std::min<size_t>(answer.size(), size));
    memcpy(buffer, answer.data(), *written);
    return 0;
}

// The list, front first: "index=text ...".
std::string List() {
    std::string out;
    const InletTemperatureNode *n = sInletTemperatureBuffer.psFirst;
    for (unsigned i = 0; n != nullptr && i < sInletTemperatureBuffer.u8Count; i++, n = n->psNext)
        out += (i ? " " : "") + std::to_string(n->u32SensorIndex) + "=" +
               std::string(n->szTemperature, strnlen(n->szTemperature, 64));
    return out;
}

// One fixture for the folder: a private root with the trace and metric log
// directories, a fresh ring, no reference snapshot; the overrides undone.
class Metrics : public ::testing::Test {
  protected:
    void SetUp() override {
        mkdir((root_.Path() + "/tmp/qax_log").c_str(), 0700);
        mkdir((root_.Path() + "/tmp/qax_trace").c_str(), 0700);
        u8LogFileIndex = 0;
        u8LogFileCount = 0;
        Reset(HistogramData{});
        perfMode = kPerfOff;
        QaxIpmiSetTransportOverride(&PerfTransport, nullptr);
    }
    void TearDown() override {
        Reset(HistogramData{});
        QaxIpmiSetTransportOverride(nullptr, nullptr);
        QaxSensorSetSourceOverride(nullptr, nullptr);
        unsetenv("ZOQ_FAMILY");
    }
    // The reference snapshot: none, or raw values at 30 s and the histogram
    // `before`; a fresh current record.
    void Reset(HistogramData before) {
        FreeMetricValueContents(&sLastMetricValue, nullptr, nullptr);
        free(sLastHistogramData.pu8Counters);
        FreeMetricValueContents(&v_, nullptr, nullptr);
        sLastMetricValue = v_ = MetricValue{};
        sLastHistogramData = before;
        if (before.pu8Counters != nullptr) Fill(sLastMetricValue, 0, 0);
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
        for (MetricEntry **e : Singles(sLastMetricValue))
            if (*e != nullptr) (*e)->u64Avg = 1;
        CreateDataLog(record, HistogramData{100, 3, 50, 1, static_cast<uint8_t *>(calloc(3, 1))});
        if (!keep) FreeMetricValue(record);
    }
    std::string Log(const std::string &name) const { return root_.Path() + "/tmp/qax_log/" + name; }
    int OneByte(const char *name) const {
        const std::string b = qaxtest::ReadAll(Log(name));
        return b.size() == 1 ? static_cast<uint8_t>(b[0]) : -1;
    }
    std::string Trace() const { return qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt"); }
    qaxtest::TestRoot root_;
    MetricValue v_{};
};

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

// b = 100, s = 10, n = 7: bucket i (1..5) covers [90 + 10 i, 100 + 10 i). A reference histogram of another
// layout (`before` buckets) gives no range and stays the reference.
TEST_F(Metrics, HistogramRange) {
    struct Case {
        std::vector<int> changed;
        uint64_t min, max;
        uint8_t size;
        bool blade;
        uint8_t n = 7, before = 0;
    };
    const Case cases[] = {
        {{2, 4}, 110, 140, 2, false}, {{6}, 150, 150, 2, false},
        {{0, 3}, 0, 130, 2, false},   {{}, 0, 0, 2, false},
        {{1}, 100, 110, 1, false},    {{5}, 140, 150, 8, false},
        {{2, 4}, 110, 140, 4, true},  {{1}, 3, 3, 2, false, 5, 4},
        {{0}, 0, 100, 2, false, 1},  // a lone counter is no top bucket: nothing below the start
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.changed.size() << " changed, from " << c.min << " to " << c.max);
        c.blade ? setenv("ZOQ_FAMILY", "blade", 1) : unsetenv("ZOQ_FAMILY");
        Reset(Histogram(c.before ? c.before : c.n, c.size));
        HistogramData now = Histogram(c.n, c.size, c.changed);
        CalculateSnapshotValue(&Fill(v_, 30000), now);
        // The range goes to system AC on blades, else to system DC; the other has max = min = average.
        const MetricEntry &ranged = c.blade ? *v_.psSystemAC : *v_.psSystemDC;
        const MetricEntry &filled = c.blade ? *v_.psSystemDC : *v_.psSystemAC;
        EXPECT_EQ(ranged.u64Min, c.min);
        EXPECT_EQ(ranged.u64Max, c.max);
        EXPECT_EQ(filled.u64Max, filled.u64Avg);
        EXPECT_EQ(filled.u64Min, filled.u64Avg);
        EXPECT_EQ(sLastHistogramData.pu8Counters == now.pu8Counters, c.before == 0) << "counters taken over";
    }
    EXPECT_NE(Trace().find("[ERROR] \"CalculateSnapshotValue\": Different histogram data.\n"), std::string::npos);
}

TEST_F(Metrics, BladeInletList) {
    QaxSensorSetSourceOverride(&Query, nullptr);
    const std::string nonBlade =
        "WriteBladeInletTemperatureFromInletSensor -- non-blade platform does not need read inlet "
        "temperature from ipmi sensor at all\n";
    const std::string one = "totally there are 1 sensor info for type 1\n";
    const std::string two = "totally there are 2 sensor info for type 1\n";
    // The list, and the exact standard output.
    struct Case {
        const char *name, *family;
        std::string bytes;
        int queryResult, result;
        std::string list, out;
    };
    const std::string single = Encode({{"Inlet Temp", "20"}}), ones(62, '1');
    std::string many = "0=20";
    for (int i = 1; i < 255; i++) many += " 0=20";
    const std::vector<Case> cases = {
        {"two sensors, prepended", "blade", Encode({{"Inlet 1 Temp", "22.375"}, {"Inlet 2 Temp", "22.875"}}), 0, 0,
         "2=22.875 1=22.375", two},
        {"invalid record skipped", "iteblade", Encode({{"Inlet Temp", "99", 1}, {"SEN Inlet Temp", "30"}}), 0, 0,
         "4=30", two},
        {"names must match exactly", "blade", Encode({{"inlet temp", "1"}, {"Inlet Temp ", "2"}}), 0, 0, "", two},
        {"reading cut to 63", "blade", Encode({{"PEN Inlet Temp", ones + "xyz"}}), 0, 0, "3=" + ones + "x", one},
        // Name and reading fill their fields up to the record's end: no overread.
        {"unterminated fields", "blade", Encode({{std::string(192, 'N'), "1"}, {"Inlet Temp", std::string(1294, '7')}}),
         0, 0, "0=" + std::string(63, '7'), two},
        {"unavailable kept", "blade", Encode({{"Inlet 1 Temp", "Unavailable"}}), 0, 0, "1=Unavailable", one},
        {"family unset", nullptr, single, 0, 0, "", nonBlade},
        {"query fails", "blade", single, 7, 1, "", "Unable to get sensor info (type 1), AIM returned 7\n"},
        {"one byte short", "blade", single.substr(0, 1491), 0, 1, "", "No sensor info for type 1\n"},
        {"partial record behind", "blade", single + single.substr(0, 700), 0, 0, "0=20", one},
        {"more matches than the 8-bit count holds", "blade", Encode(std::vector<Sensor>(768, {"Inlet Temp", "20"})), 0,
         0, many, "totally there are 768 sensor info for type 1\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.family != nullptr ? setenv("ZOQ_FAMILY", c.family, 1) : unsetenv("ZOQ_FAMILY");
        answer = c.bytes;
        result = c.queryResult;
        testing::internal::CaptureStdout();
        EXPECT_EQ(WriteBladeInletTemperatureFromInletSensor(), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(List(), c.list);
        FreeInletTemperatureSnapshotBuffer(&sInletTemperatureBuffer);
    }
    EXPECT_NE(Trace().find("[WARN] \"WriteBladeInletTemperatureFromInletSensor\": Sensor[Inlet 1 Temp] 's "
                           "inlet temp is Unavailable\n"),
              std::string::npos);
}

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
TEST_F(Metrics, RoundTrips) {
    const std::string perfLines =
        "SysPerf.Avg : 1\nSysPerf.Max : 4\nSysPerf.Min : 7\nCPUPerf.Avg: 41\nCPUPerf.Max: 44\nCPUPerf.Min : 47\n"
        "MemPerf.Avg: 51\nMemPerf.Max: 54\nMemPerf.Min : 57\nIOPerf.Avg: 61\nIOPerf.Max: 64\nIOPerf.Min : 67\n"
        "Write perf datas into /tmp/qax_*.log \n";
    // Supplies, single entries by bit, inlet list, performance, printed among the rest.
    struct Case {
        uint8_t ac, dc;
        unsigned singles;
        Inlets inlets;
        PerfMode perf;
        std::string out;
    };
    const std::vector<Case> cases = {
        {0, 0, 0x00, {{2, "24.500"}, {1, "Unavailable"}, {4, std::string(63, 'x')}}, kPerfOff, "totally [3] inlet"},
        {1, 3, 0x3F, {{0, ""}}, kPerfReadFails, "CreateDataLog - fails to read performance data from xpm"},
        {255, 255, 0x15, {{3, "22"}}, kPerfOn, perfLines},
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
TEST_F(Metrics, RingWrapsAt120) {
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
TEST_F(Metrics, DropsASnapshotWithoutAverages) {
    MetricValue *first = NewRecord(0, 0, 0x02, 1);
    Write(first, 1, true);
    int64_t published = 0;
    ASSERT_NE(aim_config_get_int64("QAX_total_dc_power_in_use_Avg", &published), 0);
    EXPECT_EQ(published, static_cast<int64_t>(first->psSystemDC->u64Avg));
    FreeMetricValue(first);
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
    EXPECT_NE(Trace().find("Time stamp is not right."), std::string::npos);
    // The figures are volatile: the persistent store holds none of them.
    const std::string persistent = qaxtest::ReadAll(root_.Path() + "/pstorage/aim/aim.db") +
                                   qaxtest::ReadAll(root_.Path() + "/pstorage/aim/aim.db-wal");
    EXPECT_EQ(persistent.find("QAX_"), std::string::npos);
}

// Damaged index and log files: clamped into the ring, or rejected whole
// with the reason in the trace while the rest of the ring is read.
TEST_F(Metrics, ReaderSurvivesDamagedFiles) {
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
        {"\2", head, 1, 1, "ends before the inlet sensor count"},
        {"\2", head + '\2' + file.substr(file.size() - 68), 1, 1, "ends inside the inlet sensor records"},
        {"\2", head + '\1' + LE(5, 4) + std::string(64, '1'), 1, 1, "inlet sensor index outside 0-4"},
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
        EXPECT_NE(Trace().find(c.why + "\n"), std::string::npos) << Trace();
    }
}

}  // namespace
