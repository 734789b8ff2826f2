// The metric log writer: the file layout, round trips through the reader,
// the ring of 120 files and its index files, and the publication into the
// store (order, platform mapping, durability) and to the power history.
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/daemon.h"
#include "history/history_internal.h"
#include "metrics/metrics.h"
#include "platform/ipmi_internal.h"
#include "platform/platform.h"
#include "test_root.h"

namespace {

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// An IPMI transport that knows only performance requests (command 0x84):
// unsupported (completion code 0xC1), supported with a fixed figure per
// domain and statistic, or supported for the support test and failing
// afterwards.
class PerfFirmware {
  public:
    enum Mode { kUnsupported, kSupported, kReadFails };
    explicit PerfFirmware(Mode mode) : mode_(mode) { QaxIpmiSetTransportOverride(&Transport, this); }
    ~PerfFirmware() { QaxIpmiSetTransportOverride(nullptr, nullptr); }
    PerfFirmware(const PerfFirmware &) = delete;
    PerfFirmware &operator=(const PerfFirmware &) = delete;

    // Domain 0 system, 4 CPU, 5 memory, 6 IO; statistic 0 avg, 1 max, 2 min.
    static uint8_t Percent(uint8_t domain, uint8_t statistic) {
        return static_cast<uint8_t>(domain * 10 + statistic * 3 + 1);
    }
    static MetricEntry Expected(uint8_t domain) {
        return MetricEntry{Percent(domain, 0), Percent(domain, 1), Percent(domain, 2)};
    }

  private:
    static int Transport(void *context, int, int cmd, const uint8_t *rq, int rqLen, uint8_t *rs,
                         int *rsLen) {
        auto *self = static_cast<PerfFirmware *>(context);
        self->calls_++;
        if (cmd != 0x84 || rqLen != 11 || self->mode_ == kUnsupported) {
            rs[0] = 0xC1;
            *rsLen = 1;
            return 0;
        }
        if (self->mode_ == kReadFails && self->calls_ > 1) return -1;
        const uint8_t answer[11] = {0, 0x4D, 0x4F, 0, 0x6B, 0x36, 0xEC, 0x8A, 7, 0,
                                    Percent(rq[4], rq[7])};
        memcpy(rs, answer, sizeof(answer));
        *rsLen = sizeof(answer);
        return 0;
    }
    Mode mode_;
    int calls_ = 0;
};

class MetricLogWriter : public ::testing::Test {
  protected:
    void SetUp() override {
        mkdir((root_.Path() + "/tmp/qax_log").c_str(), 0700);
        mkdir((root_.Path() + "/tmp/qax_trace").c_str(), 0700);
        u8LogFileIndex = 0;
        u8LogFileCount = 0;
        g_traceLevel = 0;
        unsetenv("ZOQ_FAMILY");
        // A reference newer than every record: the calculation stops at its
        // timestamp check and every record is written as built.
        memset(&sLastMetricValue, 0, sizeof(sLastMetricValue));
        sLastMetricValue.u64Timestamp = UINT64_MAX;
        memset(&sInletTemperatureBuffer, 0, sizeof(sInletTemperatureBuffer));
    }
    void TearDown() override {
        FreeInletTemperatureSnapshotBuffer(&sInletTemperatureBuffer);
        FreeMetricValueContents(&sLastMetricValue, nullptr, nullptr);
        memset(&sLastMetricValue, 0, sizeof(sLastMetricValue));
        free(sLastHistogramData.pu8Counters);
        memset(&sLastHistogramData, 0, sizeof(sLastHistogramData));
        unsetenv("ZOQ_FAMILY");
        g_traceLevel = 0;
    }

    std::string LogPath(unsigned n) const {
        return root_.Path() + "/tmp/qax_log/qax_" + std::to_string(n) + ".log";
    }
    int OneByteFile(const char *name) const {
        std::string bytes = ReadFile(root_.Path() + "/tmp/qax_log/" + name);
        return bytes.size() == 1 ? static_cast<uint8_t>(bytes[0]) : -1;
    }
    std::string Trace() const {
        return ReadFile(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt") +
               ReadFile(root_.Path() + "/tmp/qax_trace/qax_trace_log_1.txt");
    }

    // Hands the record to the writer with a histogram of its own, as the
    // main cycle does; the writer takes over the counters.
    static void Write(MetricValue *record) {
        HistogramData histogram{100, 3, 50, 1, static_cast<uint8_t *>(calloc(3, 1))};
        CreateDataLog(record, histogram);
    }

    qaxtest::TestRoot root_;
};

// What a record holds: supplies, the six single entries (bit i = slot i in
// file order), values derived from a seed so that every field differs.
struct RecordShape {
    uint8_t ac = 0;
    uint8_t dc = 0;
    unsigned singles = 0;
};

MetricEntry EntryFor(uint64_t seed, unsigned field, unsigned i) {
    // Above 32 bits and with distinct bytes: byte order and width show.
    const uint64_t base = 0x0102030405060000ULL + seed * 0x10000 + field * 0x100 + i * 4;
    return MetricEntry{base, base + 1, base + 2};
}

MetricValue *NewRecord(const RecordShape &shape, uint64_t seed) {
    MetricValue *v = static_cast<MetricValue *>(calloc(1, sizeof(MetricValue)));
    v->u8PowerSupplyACCount = shape.ac;
    if (shape.ac) {
        v->psPowerSupplyAC = static_cast<MetricEntry *>(malloc(sizeof(MetricEntry) * shape.ac));
        for (unsigned i = 0; i < shape.ac; i++) v->psPowerSupplyAC[i] = EntryFor(seed, 0, i);
    }
    v->u8PowerSupplyDCCount = shape.dc;
    if (shape.dc) {
        v->psPowerSupplyDC = static_cast<MetricEntry *>(malloc(sizeof(MetricEntry) * shape.dc));
        for (unsigned i = 0; i < shape.dc; i++) v->psPowerSupplyDC[i] = EntryFor(seed, 1, i);
    }
    MetricEntry **singles[6] = {&v->psSystemAC,    &v->psSystemDC,     &v->psCPUPower,
                                &v->psMemoryPower, &v->psCoolingPower, &v->psEffectiveCPU};
    for (unsigned f = 0; f < 6; f++) {
        if (!(shape.singles & (1u << f))) continue;
        *singles[f] = static_cast<MetricEntry *>(malloc(sizeof(MetricEntry)));
        **singles[f] = EntryFor(seed, 2 + f, 0);
    }
    v->u8InletTemperature = static_cast<uint8_t>(20 + seed);
    v->u8OutletTemperature = static_cast<uint8_t>(35 + seed);
    v->u64Timestamp = 1798761600000ULL + seed * 30000 + 0x0A0B0C0D00000000ULL;
    v->u8BufferStatus = static_cast<uint8_t>(0x80 | seed);
    v->u16StatusFlags = 0x000C;
    v->u16Tag = static_cast<uint16_t>(seed + 2);
    return v;
}

// Prepends, as the sensor query does: the list holds the sensors in the
// reverse of the order they are added.
void AddInlet(uint32_t index, const std::string &text) {
    auto *node = static_cast<InletTemperatureNode *>(calloc(1, sizeof(InletTemperatureNode)));
    node->u32SensorIndex = index;
    snprintf(node->szTemperature, sizeof(node->szTemperature), "%s", text.c_str());
    node->psNext = sInletTemperatureBuffer.psFirst;
    sInletTemperatureBuffer.psFirst = node;
    sInletTemperatureBuffer.u8Count++;
}

void ExpectEntries(const MetricEntry *got, uint8_t gotCount, const MetricEntry *want, uint8_t wantCount,
                   const char *what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(gotCount, wantCount);
    ASSERT_EQ(got == nullptr, want == nullptr);
    for (unsigned i = 0; i < wantCount; i++) {
        EXPECT_EQ(got[i].u64Avg, want[i].u64Avg) << i;
        EXPECT_EQ(got[i].u64Max, want[i].u64Max) << i;
        EXPECT_EQ(got[i].u64Min, want[i].u64Min) << i;
    }
}

void ExpectSingle(const MetricEntry *got, const MetricEntry *want, const char *what) {
    ExpectEntries(got, got != nullptr ? 1 : 0, want, want != nullptr ? 1 : 0, what);
}

std::vector<std::pair<uint32_t, std::string>> ListOf(const InletTemperatureSnapshotBuffer &list) {
    std::vector<std::pair<uint32_t, std::string>> out;
    const InletTemperatureNode *n = list.psFirst;
    for (unsigned i = 0; n != nullptr && i < list.u8Count; i++, n = n->psNext)
        out.emplace_back(n->u32SensorIndex, n->szTemperature);
    return out;
}

// Every combination of supplies, present and absent entries, inlet sensors
// and performance section goes through the file and comes back the same.
TEST_F(MetricLogWriter, RoundTripsEveryFieldCombination) {
    const uint8_t acCounts[] = {0, 1, 2, 255};
    const unsigned singleMasks[] = {0x3F, 0x00, 0x15, 0x2A};
    const PerfFirmware::Mode perfModes[] = {PerfFirmware::kUnsupported, PerfFirmware::kSupported,
                                            PerfFirmware::kReadFails};
    const std::vector<std::vector<std::pair<uint32_t, std::string>>> inletSets = {
        {},
        {{1, "23.125"}, {2, "Unavailable"}},
        {{0, "1"}, {1, "22"}, {2, std::string(63, 'x')}, {3, ""}, {4, "30.5"}, {0, "-4"}, {4, "99"}},
    };
    unsigned n = 0;
    for (uint8_t ac : acCounts) {
        for (unsigned mask : singleMasks) {
            for (PerfFirmware::Mode perf : perfModes) {
                n++;
                SCOPED_TRACE("ac " + std::to_string(ac) + " singles " + std::to_string(mask) +
                             " perf " + std::to_string(perf));
                PerfFirmware firmware(perf);
                const RecordShape shape{ac, static_cast<uint8_t>(n % 2 ? 0 : 3), mask};
                const auto &inlets = inletSets[n % inletSets.size()];
                for (const auto &s : inlets) AddInlet(s.first, s.second);
                const auto listWritten = ListOf(sInletTemperatureBuffer);

                MetricValue *record = NewRecord(shape, n);
                MetricValue *expected = NewRecord(shape, n);
                const unsigned fileIndex = u8LogFileIndex;
                Write(record);
                FreeInletTemperatureSnapshotBuffer(&sInletTemperatureBuffer);

                const bool perfWritten = perf == PerfFirmware::kSupported;
                unsigned singles = 0;
                for (unsigned f = 0; f < 6; f++) singles += (mask >> f) & 1;
                const size_t size = 1 + 24u * shape.ac + 1 + 24u * shape.dc + 6 + 24u * singles + 11 + 1 +
                                    68u * inlets.size() + (perfWritten ? 100 : 0);
                EXPECT_EQ(ReadFile(LogPath(fileIndex)).size(), size);

                MetricValue got{};
                InletTemperatureSnapshotBuffer gotInlet{};
                PerformanceValue gotPerf{};
                ASSERT_EQ(ReadMeticValueFromFile(LogPath(fileIndex).c_str(), &got, &gotInlet, &gotPerf), 0);
                ExpectEntries(got.psPowerSupplyAC, got.u8PowerSupplyACCount, expected->psPowerSupplyAC,
                              expected->u8PowerSupplyACCount, "PowerSupplyAC");
                ExpectEntries(got.psPowerSupplyDC, got.u8PowerSupplyDCCount, expected->psPowerSupplyDC,
                              expected->u8PowerSupplyDCCount, "PowerSupplyDC");
                ExpectSingle(got.psSystemAC, expected->psSystemAC, "SystemAC");
                ExpectSingle(got.psSystemDC, expected->psSystemDC, "SystemDC");
                ExpectSingle(got.psCPUPower, expected->psCPUPower, "CPUPower");
                ExpectSingle(got.psMemoryPower, expected->psMemoryPower, "MemoryPower");
                ExpectSingle(got.psCoolingPower, expected->psCoolingPower, "CoolingPower");
                ExpectSingle(got.psEffectiveCPU, expected->psEffectiveCPU, "EffectiveCPU");
                EXPECT_EQ(got.u8InletTemperature, expected->u8InletTemperature);
                EXPECT_EQ(got.u8OutletTemperature, expected->u8OutletTemperature);
                EXPECT_EQ(got.u64Timestamp, expected->u64Timestamp);
                EXPECT_EQ(got.u8BufferStatus, expected->u8BufferStatus);
                EXPECT_EQ(got.u16StatusFlags, 0) << "not stored";
                EXPECT_EQ(got.u16Tag, 0) << "not stored";

                // The file holds the list in list order; reading it back
                // prepends each node, so the list comes back reversed.
                auto listRead = ListOf(gotInlet);
                std::vector<std::pair<uint32_t, std::string>> reversed(listWritten.rbegin(),
                                                                       listWritten.rend());
                EXPECT_EQ(listRead, reversed);

                if (perfWritten) {
                    const uint8_t domains[4] = {0, 4, 5, 6};
                    const MetricEntry *perfGot[4] = {gotPerf.psSystemPerf, gotPerf.psCPUPerf,
                                                     gotPerf.psMemoryPerf, gotPerf.psIOPerf};
                    for (int i = 0; i < 4; i++) {
                        MetricEntry want = PerfFirmware::Expected(domains[i]);
                        ExpectSingle(perfGot[i], &want, "performance");
                    }
                } else {
                    EXPECT_EQ(gotPerf.psSystemPerf, nullptr);
                    EXPECT_EQ(gotPerf.psIOPerf, nullptr);
                }
                FreeMetricValueContents(&got, &gotInlet, &gotPerf);
                FreeMetricValue(record);
                FreeMetricValue(expected);
            }
        }
    }
}

// Byte layout against the format: sizes of the documented records, the
// presence bytes, little-endian numbers and the NUL-padded sensor texts.
TEST_F(MetricLogWriter, WritesTheDocumentedBytes) {
    struct Case {
        const char *name;
        RecordShape shape;
        PerfFirmware::Mode perf;
        unsigned inlets;
        size_t size;
    };
    const Case cases[] = {
        {"two supplies, all six entries", {2, 0, 0x3F}, PerfFirmware::kUnsupported, 0, 212},
        {"the same with performance", {2, 0, 0x3F}, PerfFirmware::kSupported, 0, 312},
        {"three inlet sensors", {2, 0, 0x3F}, PerfFirmware::kUnsupported, 3, 212 + 204},
        {"nothing at all", {0, 0, 0}, PerfFirmware::kUnsupported, 0, 20},
        {"cooling absent", {0, 0, 0x2F}, PerfFirmware::kUnsupported, 0, 20 + 5 * 24},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PerfFirmware firmware(c.perf);
        for (unsigned i = 0; i < c.inlets; i++) AddInlet(i, "2" + std::to_string(i) + ".5");
        MetricValue *record = NewRecord(c.shape, 1);
        const unsigned fileIndex = u8LogFileIndex;
        Write(record);
        FreeInletTemperatureSnapshotBuffer(&sInletTemperatureBuffer);
        const std::string bytes = ReadFile(LogPath(fileIndex));
        ASSERT_EQ(bytes.size(), c.size);
        const auto *b = reinterpret_cast<const uint8_t *>(bytes.data());

        size_t at = 0;
        EXPECT_EQ(b[at], c.shape.ac);
        at += 1 + 24u * c.shape.ac;
        if (c.shape.ac) {
            // First supply's Avg, little-endian, right after the count.
            uint64_t avg = 0;
            for (int k = 7; k >= 0; k--) avg = (avg << 8) | b[1 + k];
            EXPECT_EQ(avg, record->psPowerSupplyAC[0].u64Avg);
        }
        EXPECT_EQ(b[at], 0) << "no DC supplies";
        at += 1;
        for (unsigned f = 0; f < 6; f++) {
            const bool present = c.shape.singles & (1u << f);
            EXPECT_EQ(b[at], present ? 1 : 0) << "presence byte of slot " << f;
            at += 1 + (present ? 24 : 0);
        }
        EXPECT_EQ(b[at], record->u8InletTemperature);
        EXPECT_EQ(b[at + 1], record->u8OutletTemperature);
        EXPECT_EQ(b[at + 2], 0x30) << "timestamp low byte first";  // 0x0A0B0DAFCE8C4930
        EXPECT_EQ(b[at + 9], 0x0A) << "timestamp high byte last";
        EXPECT_EQ(b[at + 10], record->u8BufferStatus);
        at += 11;
        EXPECT_EQ(b[at], c.inlets);
        at += 1;
        for (unsigned i = 0; i < c.inlets; i++, at += 68) {
            // List order: the last one added comes first.
            const uint32_t index = c.inlets - 1 - i;
            EXPECT_EQ(b[at], index);
            EXPECT_EQ(b[at + 1] | b[at + 2] | b[at + 3], 0);
            EXPECT_EQ(std::string(bytes, at + 4, 64),
                      "2" + std::to_string(index) + ".5" + std::string(60, '\0'));
        }
        if (c.perf == PerfFirmware::kSupported) {
            for (int g = 0; g < 4; g++, at += 25) EXPECT_EQ(b[at], 1) << "performance group " << g;
        }
        EXPECT_EQ(at, bytes.size());
        FreeMetricValue(record);
    }
}

// Standard output without the firmware layer's own lines (request dumps,
// failed calls), which are not the writer's.
std::string WithoutFirmwareLines(const std::string &out) {
    static const std::regex firmwareLine("\\d+: \\d+|Perf Data .*|\\[\\w+\\] .*");
    std::string kept;
    for (size_t pos = 0; pos < out.size();) {
        size_t end = out.find('\n', pos);
        const bool newline = end != std::string::npos;
        const std::string line = out.substr(pos, newline ? end - pos : std::string::npos);
        pos = newline ? end + 1 : out.size();
        if (!std::regex_match(line, firmwareLine)) kept += line + (newline ? "\n" : "");
    }
    return kept;
}

// Standard output of one cycle: the inlet count line, the twelve
// performance lines with their uneven blanks, and the failure line without
// a line end.
TEST_F(MetricLogWriter, PrintsItsLinesByteForByte) {
    struct Case {
        PerfFirmware::Mode perf;
        const char *expected;
    };
#define QAX_INLET_LINES                                                                            \
    "WriteBladeInletTemperatureFromInletSensor -- non-blade platform does not need read inlet "    \
    "temperature from ipmi sensor at all\n"                                                        \
    "CreateDataLog -- there are totally [0] inlet temperature!\n"
    const Case cases[] = {
        {PerfFirmware::kUnsupported, QAX_INLET_LINES},
        {PerfFirmware::kReadFails, QAX_INLET_LINES "CreateDataLog - fails to read performance data from xpm"},
        {PerfFirmware::kSupported,
         QAX_INLET_LINES
         "SysPerf.Avg : 1\nSysPerf.Max : 4\nSysPerf.Min : 7\n"
         "CPUPerf.Avg: 41\nCPUPerf.Max: 44\nCPUPerf.Min : 47\n"
         "MemPerf.Avg: 51\nMemPerf.Max: 54\nMemPerf.Min : 57\n"
         "IOPerf.Avg: 61\nIOPerf.Max: 64\nIOPerf.Min : 67\n"
         "Write perf datas into /tmp/qax_*.log \n"},
    };
#undef QAX_INLET_LINES
    for (const Case &c : cases) {
        PerfFirmware firmware(c.perf);
        MetricValue *record = NewRecord({0, 0, 0x3F}, 2);
        testing::internal::CaptureStdout();
        Write(record);
        EXPECT_EQ(WithoutFirmwareLines(testing::internal::GetCapturedStdout()), c.expected);
        FreeMetricValue(record);
    }
}

// The ring: files 0..119, the count file saturating at 120, the last-file
// file naming the newest, and the 121st record replacing file 0.
TEST_F(MetricLogWriter, RingWrapsAt120WithItsIndexFiles) {
    PerfFirmware firmware(PerfFirmware::kUnsupported);
    for (unsigned k = 1; k <= 122; k++) {
        MetricValue *record = NewRecord({0, 0, 0}, k);
        Write(record);
        FreeMetricValue(record);
        ASSERT_EQ(OneByteFile("qax_num.log"), static_cast<int>(k < 120 ? k : 120)) << k;
        ASSERT_EQ(OneByteFile("qax_last.log"), static_cast<int>((k - 1) % 120)) << k;
        ASSERT_EQ(u8LogFileIndex, k % 120) << k;
    }
    EXPECT_FALSE(Exists(LogPath(120)));
    // Files 0 and 1 now hold records 121 and 122; file 2 still record 3.
    const unsigned fileRecord[][2] = {{0, 121}, {1, 122}, {2, 3}, {119, 120}};
    for (const auto &fr : fileRecord) {
        MetricValue got{};
        InletTemperatureSnapshotBuffer inlet{};
        ASSERT_EQ(ReadMeticValueFromFile(LogPath(fr[0]).c_str(), &got, &inlet, nullptr), 0);
        EXPECT_EQ(got.u64Timestamp, 1798761600000ULL + fr[1] * 30000 + 0x0A0B0C0D00000000ULL) << fr[0];
        FreeMetricValueContents(&got, &inlet, nullptr);
    }
}

TEST_F(MetricLogWriter, IndexOutsideTheRingRestartsAtZero) {
    PerfFirmware firmware(PerfFirmware::kUnsupported);
    const uint8_t starts[] = {119, 120, 255};
    const int written[] = {119, 0, 0};
    for (size_t i = 0; i < 3; i++) {
        u8LogFileIndex = starts[i];
        MetricValue *record = NewRecord({0, 0, 0}, 1);
        Write(record);
        FreeMetricValue(record);
        EXPECT_EQ(OneByteFile("qax_last.log"), written[i]) << int(starts[i]);
        EXPECT_EQ(u8LogFileIndex, (written[i] + 1) % 120);
    }
}

// A file that cannot be created drops the snapshot: no calculation, no ring
// change, no publication; the histogram counters are released (the sanitizer
// build sees a leak otherwise).
TEST_F(MetricLogWriter, FileThatCannotBeCreatedDropsTheSnapshot) {
    PerfFirmware firmware(PerfFirmware::kUnsupported);
    rmdir((root_.Path() + "/tmp/qax_log").c_str());
    u8LogFileIndex = 7;
    u8LogFileCount = 7;
    MetricValue *record = NewRecord({1, 0, 0x3F}, 1);
    Write(record);
    EXPECT_EQ(u8LogFileIndex, 7);
    EXPECT_EQ(u8LogFileCount, 7);
    int64_t value = 0;
    EXPECT_EQ(aim_config_get_int64("QAX_timestamp", &value), 0);
    EXPECT_NE(Trace().find("[ERROR] \"CreateDataLog\": Can't create file: /tmp/qax_log/qax_7.log\n"),
              std::string::npos)
        << Trace();
    FreeMetricValue(record);

    CreateDataLog(nullptr, HistogramData{0, 1, 1, 1, static_cast<uint8_t *>(malloc(1))});
    EXPECT_NE(Trace().find("[ERROR] \"CreateDataLog\": Empty input buffer.\n"), std::string::npos);
}

// The store's volatile database with a trigger that notes every key written,
// in order: the order of publication as the store saw it.
class KeyOrderRecorder {
  public:
    explicit KeyOrderRecorder(const std::string &root) {
        mkdir((root + "/tmp/aim").c_str(), 0700);
        path_ = root + "/tmp/aim/aim.db";
        sqlite3 *db = nullptr;
        sqlite3_open(path_.c_str(), &db);
        Exec(db,
             "PRAGMA journal_mode=WAL;"
             "CREATE TABLE IF NOT EXISTS kv(key TEXT PRIMARY KEY NOT NULL, value INTEGER NOT NULL) "
             "WITHOUT ROWID;"
             "CREATE TABLE written(seq INTEGER PRIMARY KEY, key TEXT);"
             "CREATE TRIGGER on_insert AFTER INSERT ON kv BEGIN INSERT INTO written(key) VALUES(new.key); END;"
             "CREATE TRIGGER on_update AFTER UPDATE ON kv BEGIN INSERT INTO written(key) VALUES(new.key); END;");
        sqlite3_close(db);
    }
    void Clear() const {
        sqlite3 *db = nullptr;
        sqlite3_open(path_.c_str(), &db);
        Exec(db, "DELETE FROM written");
        sqlite3_close(db);
    }
    std::vector<std::string> Keys() const {
        std::vector<std::string> keys;
        sqlite3 *db = nullptr;
        sqlite3_open(path_.c_str(), &db);
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT key FROM written ORDER BY seq", -1, &stmt, nullptr);
        while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW)
            keys.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return keys;
    }

  private:
    static void Exec(sqlite3 *db, const char *sql) {
        char *error = nullptr;
        ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << error;
    }
    std::string path_;
};

// Keys in the documented order with the platform's AC/DC mapping, values
// read back from the store, none of them in the persistent database, and
// the AC and DC averages handed to the power history.
TEST_F(MetricLogWriter, PublishesInOrderWithThePlatformMapping) {
    const std::vector<std::string> ac = {"QAX_total_ac_power_in_use_Avg", "QAX_total_ac_power_in_use_Min",
                                         "QAX_total_ac_power_in_use_Max"};
    const std::vector<std::string> dc = {"QAX_total_dc_power_in_use_Avg", "QAX_total_dc_power_in_use_Min",
                                         "QAX_total_dc_power_in_use_Max"};
    const std::vector<std::string> rest = {
        "QAX_consumptionCPU_Avg",     "QAX_consumptionCPU_Min",     "QAX_consumptionCPU_Max",
        "QAX_consumptionMemory_Avg",  "QAX_consumptionMemory_Min",  "QAX_consumptionMemory_Max",
        "QAX_consumptionCooling_Avg", "QAX_consumptionCooling_Min", "QAX_consumptionCooling_Max",
        "QAX_timestamp"};
    struct Case {
        const char *family;
        bool blade;
        bool coolingPresent;
    };
    const Case cases[] = {{nullptr, false, true}, {"rack", false, false}, {"blade", true, true},
                          {"iteblade", true, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.family != nullptr ? c.family : "(unset)");
        qaxtest::TestRoot root;  // a store of its own for each case
        mkdir((root.Path() + "/tmp/qax_log").c_str(), 0700);
        mkdir((root.Path() + "/tmp/qax_trace").c_str(), 0700);
        KeyOrderRecorder recorder(root.Path());
        if (c.family != nullptr) setenv("ZOQ_FAMILY", c.family, 1);
        else unsetenv("ZOQ_FAMILY");
        PerfFirmware firmware(PerfFirmware::kUnsupported);
        QaxSensorSetSourceOverride([](void *, uint8_t, uint8_t *, uint32_t, uint32_t *) { return 5; },
                                   nullptr);

        // The blade record as the parser leaves it: system DC in the AC
        // slot, no DC slot.
        MetricValue *record = NewRecord({0, 0, c.blade ? 0x3Du : 0x3Fu}, 3);
        record->psSystemAC->u64Avg = 400;
        record->psSystemAC->u64Max = 450;
        record->psSystemAC->u64Min = 380;
        if (!c.blade) *record->psSystemDC = MetricEntry{370, 420, 350};
        record->u64Timestamp = 1798761630000ULL;  // one the power history takes
        if (!c.coolingPresent) {
            free(record->psCoolingPower);
            record->psCoolingPower = nullptr;
        }
        resetPowerHistoryState();
        g_traceLevel = 1;
        trackPowerHistory(0, 0, 0);
        recorder.Clear();  // the history's start-up publishes keys of its own
        Write(record);
        QaxSensorSetSourceOverride(nullptr, nullptr);

        std::vector<std::string> order = c.blade ? dc : ac;
        const auto &second = c.blade ? ac : dc;
        order.insert(order.end(), second.begin(), second.end());
        order.insert(order.end(), rest.begin(), rest.end());
        EXPECT_EQ(recorder.Keys(), order);

        auto get = [](const std::string &key) {
            int64_t v = -12345;
            EXPECT_NE(aim_config_get_int64(key.c_str(), &v), 0) << key;
            return v;
        };
        const int64_t acWant[3] = {c.blade ? 0 : 400, c.blade ? 0 : 380, c.blade ? 0 : 450};
        const int64_t dcWant[3] = {c.blade ? 400 : 370, c.blade ? 380 : 350, c.blade ? 450 : 420};
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(get(ac[i]), acWant[i]) << ac[i];
            EXPECT_EQ(get(dc[i]), dcWant[i]) << dc[i];
        }
        const MetricEntry cpu = *record->psCPUPower;
        EXPECT_EQ(get("QAX_consumptionCPU_Avg"), static_cast<int64_t>(cpu.u64Avg));
        EXPECT_EQ(get("QAX_consumptionCPU_Min"), static_cast<int64_t>(cpu.u64Min));
        EXPECT_EQ(get("QAX_consumptionCPU_Max"), static_cast<int64_t>(cpu.u64Max));
        const MetricEntry cool = c.coolingPresent ? *record->psCoolingPower : MetricEntry{0, 0, 0};
        EXPECT_EQ(get("QAX_consumptionCooling_Avg"), static_cast<int64_t>(cool.u64Avg));
        EXPECT_EQ(get("QAX_consumptionCooling_Max"), static_cast<int64_t>(cool.u64Max));
        EXPECT_EQ(get("QAX_timestamp"), static_cast<int64_t>(record->u64Timestamp));

        // Volatile only: the persistent database, if any, holds none of them.
        std::string persistent = ReadFile(root.Path() + "/pstorage/aim/aim.db") +
                                 ReadFile(root.Path() + "/pstorage/aim/aim.db-wal");
        EXPECT_EQ(persistent.find("QAX_"), std::string::npos);

        // The power history got the AC and DC averages of the mapped slots.
        const std::string trace = ReadFile(root.Path() + "/tmp/qax_trace/qax_trace_log_0.txt") +
                                  ReadFile(root.Path() + "/tmp/qax_trace/qax_trace_log_1.txt");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(trace, m, std::regex("powerAC=(\\d+),.* powerDC=(\\d+),")))
            << trace;
        EXPECT_EQ(m[1].str(), c.blade ? "0" : "400");
        EXPECT_EQ(m[2].str(), c.blade ? "400" : "370");
        if (c.blade) {
            EXPECT_NE(trace.find("[ERROR] \"CreateDataLog\":  -- Failed to get inlet temperature!\n"),
                      std::string::npos)
                << trace;
        }
        g_traceLevel = 0;
        FreeMetricValue(record);
        aim_config_close();
    }
    resetPowerHistoryState();
}

}  // namespace
