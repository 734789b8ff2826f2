// The metric log reader: files built byte by byte from the format, damaged
// files of every kind, the ring read in age order under the lock, and the
// report text.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/daemon.h"
#include "metrics/metrics.h"
#include "platform/platform.h"
#include "test_root.h"

namespace {

// A log file assembled field by field: little-endian numbers, 24-byte
// entries, presence bytes, 68-byte sensor records.
struct LogBytes {
    std::string s;
    LogBytes &U8(unsigned v) {
        s.push_back(static_cast<char>(v & 0xFF));
        return *this;
    }
    LogBytes &LE(uint64_t v, int n) {
        for (int i = 0; i < n; i++) U8(static_cast<unsigned>(v >> (8 * i)));
        return *this;
    }
    LogBytes &Entry(uint64_t avg, uint64_t max, uint64_t min) { return LE(avg, 8).LE(max, 8).LE(min, 8); }
    LogBytes &Present(uint64_t avg, uint64_t max, uint64_t min) { return U8(1).Entry(avg, max, min); }
    LogBytes &Absent() { return U8(0); }
    LogBytes &Fixed(unsigned inlet, unsigned outlet, uint64_t stamp, unsigned status) {
        return U8(inlet).U8(outlet).LE(stamp, 8).U8(status);
    }
    LogBytes &Sensor(uint32_t index, const std::string &text) {
        LE(index, 4);
        std::string padded = text;
        padded.resize(64, '\0');
        s += padded;
        return *this;
    }
    LogBytes &Raw(const std::string &bytes) {
        s += bytes;
        return *this;
    }
};

// The smallest record (20 bytes) with a timestamp that names it.
LogBytes Minimal(uint64_t stamp) {
    LogBytes b;
    b.U8(0).U8(0);
    for (int i = 0; i < 6; i++) b.Absent();
    b.Fixed(21, 30, stamp, 0);
    return b.U8(0);
}

LogBytes WithPerformance(LogBytes b) {
    return b.Present(23, 27, 20).Present(31, 35, 28).Present(27, 28, 25).Present(12, 13, 11);
}

void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Performance requests answered as supported (any figure) or unsupported.
class PerfSupport {
  public:
    explicit PerfSupport(bool supported) : supported_(supported) {
        QaxIpmiSetTransportOverride(&Transport, this);
    }
    ~PerfSupport() { QaxIpmiSetTransportOverride(nullptr, nullptr); }
    PerfSupport(const PerfSupport &) = delete;
    PerfSupport &operator=(const PerfSupport &) = delete;

  private:
    static int Transport(void *context, int, int cmd, const uint8_t *, int rqLen, uint8_t *rs, int *rsLen) {
        auto *self = static_cast<PerfSupport *>(context);
        if (cmd != 0x84 || rqLen != 11 || !self->supported_) {
            rs[0] = 0xC1;
            *rsLen = 1;
            return 0;
        }
        const uint8_t answer[11] = {0, 0x4D, 0x4F, 0, 0, 0, 0, 1, 7, 0, 50};
        memcpy(rs, answer, sizeof(answer));
        *rsLen = sizeof(answer);
        return 0;
    }
    bool supported_;
};

class MetricLogReader : public ::testing::Test {
  protected:
    void SetUp() override {
        mkdir(LogDir().c_str(), 0700);
        mkdir((root_.Path() + "/tmp/qax_trace").c_str(), 0700);
        g_traceLevel = 0;
    }
    std::string LogDir() const { return root_.Path() + "/tmp/qax_log"; }
    std::string LogPath(unsigned n) const { return LogDir() + "/qax_" + std::to_string(n) + ".log"; }
    std::string Trace() const {
        return ReadFile(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt") +
               ReadFile(root_.Path() + "/tmp/qax_trace/qax_trace_log_1.txt");
    }
    static int Count(const std::string &text, const std::string &what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
        return n;
    }
    qaxtest::TestRoot root_;
};

// Damaged files are rejected whole, with a reason in the trace, and leave
// the caller's records as they were (the sanitizer build proves that what
// was read before the damage is released).
TEST_F(MetricLogReader, RejectsDamagedFiles) {
    PerfSupport perf(true);
    const LogBytes good = Minimal(1798761600000);
    std::string goodWithPerf = WithPerformance(good).s;
    std::string unterminated(64, 'y');
    struct Case {
        const char *name;
        std::string bytes;
        int result;
        const char *why;
    };
    const std::vector<Case> cases = {
        {"empty file", "", -1, "ends inside the metric entries"},
        {"supply count claims more entries than the file holds",
         LogBytes().U8(3).Entry(1, 2, 3).s, -1, "ends inside the metric entries"},
        {"both supply counts at 255, nothing behind", LogBytes().U8(255).s, -1,
         "ends inside the metric entries"},
        {"single entry cut in the middle", LogBytes().U8(0).U8(0).U8(1).LE(5, 8).s, -1,
         "ends inside the metric entries"},
        {"cut inside the timestamp", good.s.substr(0, 12), -1, "ends inside the temperatures and timestamp"},
        {"no inlet sensor count", good.s.substr(0, 19), -1, "ends before the inlet sensor count"},
        {"presence byte 2", LogBytes().U8(0).U8(0).U8(2).Entry(1, 1, 1).Entry(2, 2, 2).s, -2,
         "presence byte above 1"},
        {"inlet count above the records", Minimal(1).s.substr(0, 19) + LogBytes().U8(2).Sensor(0, "20").s, -2,
         "ends inside the inlet sensor records"},
        {"inlet sensor index 5", Minimal(1).s.substr(0, 19) + LogBytes().U8(1).Sensor(5, "20").s, -2,
         "inlet sensor index outside 0-4"},
        {"inlet sensor index far out", Minimal(1).s.substr(0, 19) + LogBytes().U8(1).Sensor(0xFFFFFFFF, "").s,
         -2, "inlet sensor index outside 0-4"},
        {"performance section cut short", goodWithPerf.substr(0, goodWithPerf.size() - 30), -2,
         "ends inside the performance section"},
        {"performance presence byte 3", LogBytes(good).U8(3).Entry(1, 1, 1).Entry(2, 2, 2).Entry(3, 3, 3).s, -2,
         "presence byte above 1"},
        {"one stray byte after the record", good.s + std::string(1, '\0'), -2,
         "ends inside the performance section"},
        {"garbage after the performance section", goodWithPerf + "junk", -2, "bytes after the record"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = LogPath(9);
        WriteFile(path, c.bytes);
        MetricValue value{};
        value.u16Tag = 77;
        InletTemperatureSnapshotBuffer inlet{};
        PerformanceValue perfValue{};
        EXPECT_EQ(ReadMeticValueFromFile(path.c_str(), &value, &inlet, &perfValue), c.result);
        EXPECT_EQ(value.psPowerSupplyAC, nullptr);
        EXPECT_EQ(value.psSystemAC, nullptr);
        EXPECT_EQ(value.u64Timestamp, 0u);
        EXPECT_EQ(value.u16Tag, 77);
        EXPECT_EQ(inlet.psFirst, nullptr);
        EXPECT_EQ(inlet.u8Count, 0);
        EXPECT_EQ(perfValue.psSystemPerf, nullptr);
        EXPECT_NE(Trace().find("\"ReadMeticValueFromFile\": Rejected log file " + path + ": " + c.why + "\n"),
                  std::string::npos)
            << Trace();
    }

    // Not damage: absent performance entries, and a text that fills its 64
    // characters (cut to 63).
    const std::vector<std::string> accepted = {
        good.s,
        goodWithPerf,
        LogBytes(good).Absent().Absent().Absent().Absent().s,
        Minimal(1).s.substr(0, 19) + LogBytes().U8(1).Sensor(4, unterminated).s,
    };
    for (const std::string &bytes : accepted) {
        WriteFile(LogPath(9), bytes);
        MetricValue value{};
        InletTemperatureSnapshotBuffer inlet{};
        PerformanceValue perfValue{};
        ASSERT_EQ(ReadMeticValueFromFile(LogPath(9).c_str(), &value, &inlet, &perfValue), 0);
        if (inlet.psFirst != nullptr) {
            EXPECT_EQ(std::string(inlet.psFirst->szTemperature), std::string(63, 'y'));
        }
        FreeMetricValueContents(&value, &inlet, &perfValue);
    }

    MetricValue value{};
    EXPECT_EQ(ReadMeticValueFromFile((LogDir() + "/missing.log").c_str(), &value, nullptr, nullptr), 2);
    EXPECT_EQ(ReadMeticValueFromFile(LogDir().c_str(), &value, nullptr, nullptr), -1) << "a directory";
}

// The field reader on its own: a count byte at the end of the file is 0, and
// entries cut short are not handed out.
TEST_F(MetricLogReader, ReadMetricDataReadsOneCountedSection) {
    struct Case {
        std::string bytes;
        uint8_t count;
        uint64_t firstAvg;
    };
    const Case cases[] = {
        {"", 0, 0},
        {LogBytes().U8(0).s, 0, 0},
        {LogBytes().U8(2).Entry(0x1122334455667788ULL, 2, 3).Entry(4, 5, 6).s, 2, 0x1122334455667788ULL},
        {LogBytes().U8(2).Entry(7, 8, 9).s, 0, 0},
    };
    for (const Case &c : cases) {
        WriteFile(LogPath(1), c.bytes);
        FILE *f = fopen(LogPath(1).c_str(), "rb");
        ASSERT_NE(f, nullptr);
        uint8_t count = 99;
        MetricEntry *entries = reinterpret_cast<MetricEntry *>(&count);  // must be replaced
        ReadMetricData(f, &count, &entries);
        fclose(f);
        EXPECT_EQ(count, c.count);
        if (c.count == 0) {
            EXPECT_EQ(entries, nullptr);
        } else {
            ASSERT_NE(entries, nullptr);
            EXPECT_EQ(entries[0].u64Avg, c.firstAvg);
            EXPECT_EQ(entries[1].u64Min, 6u);
        }
        free(entries);
    }
}

// The ring in age order: where reading starts, how it wraps, what a missing
// or damaged file does, and damaged index files.
TEST_F(MetricLogReader, ReadsTheRingOldestFirst) {
    struct Case {
        const char *name;
        int count;   // byte of qax_num.log, -1: no file, -2: empty file
        int last;    // byte of qax_last.log
        std::vector<unsigned> files;    // ring files present
        std::vector<unsigned> damaged;  // of those, with bytes after the record
        std::vector<unsigned> order;    // files expected, in order
        int missing;                    // "File doesn't exist" lines
        const char *traced;             // an ERROR line expected besides
    };
    std::vector<unsigned> all(120);
    for (unsigned i = 0; i < 120; i++) all[i] = i;
    std::vector<unsigned> from38;
    for (unsigned i = 0; i < 120; i++) from38.push_back((38 + i) % 120);
    const std::vector<Case> cases = {
        {"three files, not wrapped", 3, 2, {0, 1, 2}, {}, {0, 1, 2}, 0, nullptr},
        {"wrapped, newest 37", 120, 37, all, {}, from38, 0, nullptr},
        {"file 3 of 5 missing", 5, 4, {0, 1, 2, 4}, {}, {0, 1, 2, 4}, 1, nullptr},
        {"file 1 damaged", 4, 3, {0, 1, 2, 3}, {1}, {0, 2, 3}, 1, "Rejected log file"},
        {"count file above 120", 200, 2, {0, 1, 2}, {}, {0, 1, 2}, 117, "Log file count 200 above 120"},
        {"newest outside the files", 3, 250, {0, 1, 2}, {}, {0, 1, 2}, 0, "Newest log file 250 outside"},
        {"empty count file", -2, 2, {0, 1, 2}, {}, {}, 0, nullptr},
        {"no count file", -1, 2, {0, 1, 2}, {}, {}, 0, nullptr},
    };
    PerfSupport perf(false);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        qaxtest::TestRoot root;
        const std::string dir = root.Path() + "/tmp/qax_log/";
        mkdir(dir.c_str(), 0700);
        mkdir((root.Path() + "/tmp/qax_trace").c_str(), 0700);
        for (unsigned f : c.files) {
            std::string bytes = Minimal(1000 + f).s;
            for (unsigned d : c.damaged) if (d == f) bytes += "x";
            WriteFile(dir + "qax_" + std::to_string(f) + ".log", bytes);
        }
        if (c.count != -1) WriteFile(dir + "qax_num.log", c.count >= 0 ? std::string(1, char(c.count)) : "");
        WriteFile(dir + "qax_last.log", std::string(1, static_cast<char>(c.last)));

        MetricValue *values = nullptr;
        InletTemperatureSnapshotBuffer *inlets = nullptr;
        PerformanceValue *perfs = reinterpret_cast<PerformanceValue *>(&values);  // must be cleared
        uint8_t count = 99;
        ASSERT_EQ(GetMetricValue(&values, &inlets, &perfs, &count), 0);
        ASSERT_EQ(count, c.order.size());
        EXPECT_EQ(perfs, nullptr) << "no performance array without support";
        for (size_t i = 0; i < c.order.size(); i++) EXPECT_EQ(values[i].u64Timestamp, 1000 + c.order[i]) << i;
        if (count == 0) {
            EXPECT_EQ(values, nullptr);
        }
        FreeMetricValueArrays(values, inlets, perfs, count);

        const std::string trace = ReadFile(root.Path() + "/tmp/qax_trace/qax_trace_log_0.txt");
        EXPECT_EQ(Count(trace, "[ERROR] \"GetMetricValue\": File doesn't exist\n"), c.missing) << trace;
        if (c.traced != nullptr) {
            EXPECT_NE(trace.find(c.traced), std::string::npos) << trace;
        }
        EXPECT_NE(access((dir + "qax.lock").c_str(), F_OK), 0) << "the lock is released";
    }
}

// Records come back with their inlet lists and, with support, their
// performance records; a missing log directory is result 3.
TEST_F(MetricLogReader, RingRecordsCarryInletsAndPerformance) {
    PerfSupport perf(true);
    WriteFile(LogPath(0), Minimal(1).s);
    WriteFile(LogPath(1), WithPerformance(Minimal(2)).s);
    LogBytes withInlets;
    withInlets.Raw(Minimal(3).s.substr(0, 19)).U8(2).Sensor(2, "24.500").Sensor(1, "Unavailable");
    WriteFile(LogPath(2), withInlets.s);
    WriteFile(LogDir() + "/qax_num.log", std::string(1, '\3'));
    WriteFile(LogDir() + "/qax_last.log", std::string(1, '\2'));

    MetricValue *values = nullptr;
    InletTemperatureSnapshotBuffer *inlets = nullptr;
    PerformanceValue *perfs = nullptr;
    uint8_t count = 0;
    ASSERT_EQ(GetMetricValue(&values, &inlets, &perfs, &count), 0);
    ASSERT_EQ(count, 3);
    ASSERT_NE(perfs, nullptr);
    EXPECT_EQ(perfs[0].psSystemPerf, nullptr);
    ASSERT_NE(perfs[1].psIOPerf, nullptr);
    EXPECT_EQ(perfs[1].psIOPerf->u64Min, 11u);
    ASSERT_EQ(inlets[2].u8Count, 2);
    EXPECT_EQ(inlets[2].psFirst->u32SensorIndex, 1u) << "file order reversed";
    EXPECT_STREQ(inlets[2].psFirst->psNext->szTemperature, "24.500");
    EXPECT_EQ(values[2].u16Tag, 0);
    FreeMetricValueArrays(values, inlets, perfs, count);

    std::filesystem::remove_all(LogDir());
    values = reinterpret_cast<MetricValue *>(&count);
    EXPECT_EQ(GetMetricValue(&values, &inlets, &perfs, &count), 3);
    EXPECT_EQ(values, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_NE(Trace().find("[ERROR] \"GetMetricValue\": Can't access log path /tmp/qax_log/\n"),
              std::string::npos);
}

InletTemperatureNode *Node(uint32_t index, const char *text, InletTemperatureNode *next) {
    auto *n = static_cast<InletTemperatureNode *>(calloc(1, sizeof(InletTemperatureNode)));
    n->u32SensorIndex = index;
    snprintf(n->szTemperature, sizeof(n->szTemperature), "%s", text);
    n->psNext = next;
    return n;
}

// The report of records built in memory: labels with and without an index,
// absent entries, at most five sensors, an index the table does not know,
// and the performance lines only with support.
TEST_F(MetricLogReader, PrintsTheReport) {
    MetricEntry supplies[2] = {{175, 180, 175}, {174, 179, 174}};
    MetricEntry system{350, 351, 349};
    MetricEntry cooling{32, 33, 31};
    MetricEntry perfEntries[4] = {{23, 27, 20}, {31, 35, 28}, {27, 28, 25}, {12, 13, 11}};
    PerformanceValue perfValue{&perfEntries[0], &perfEntries[1], &perfEntries[2], &perfEntries[3]};

    InletTemperatureNode *seven = nullptr;
    for (int i = 6; i >= 0; i--) seven = Node(static_cast<uint32_t>(i % 5), std::to_string(20 + i).c_str(), seven);
    InletTemperatureNode *odd = Node(9, "31", Node(3, std::string(63, 'z').c_str(), nullptr));

    struct Case {
        const char *name;
        uint8_t supplies;
        InletTemperatureSnapshotBuffer inlet;
        bool perfSupported;
        std::string expected;
    };
    const std::string head2 =
        "PowerSupplyAC[0] Avg:175 Max:180 Min:175\r\nPowerSupplyAC[1] Avg:174 Max:179 Min:174\r\n";
    const std::string body =
        "SystemAC Avg:350 Max:351 Min:349\r\nCoolingPower Avg:32 Max:33 Min:31\r\n"
        "InletTemperature: 21\r\nOutletTemperature: 255\r\nTimestamp: 18446744073709551615\r\n";
    const std::string perfLines =
        "SystemPerf Avg:23 Max:27 Min:20\r\nCPUPerf Avg:31 Max:35 Min:28\r\n"
        "MemoryPerf Avg:27 Max:28 Min:25\r\nIOPerf Avg:12 Max:13 Min:11\r\n";
    const std::vector<Case> cases = {
        {"one supply, no index", 1, {0, nullptr}, false,
         "PowerSupplyAC Avg:175 Max:180 Min:175\r\n" + body},
        {"two supplies, seven sensors", 2, {7, seven}, true,
         head2 + body +
             "InletSensorName:Inlet Temp  Temperature:20\n"
             "InletSensorName:Inlet 1 Temp  Temperature:21\n"
             "InletSensorName:Inlet 2 Temp  Temperature:22\n"
             "InletSensorName:PEN Inlet Temp  Temperature:23\n"
             "InletSensorName:SEN Inlet Temp  Temperature:24\n" +
             perfLines},
        {"count below the nodes, unknown index", 0, {1, odd}, false,
         body + "InletSensorName:Unknown  Temperature:31\n"},
        {"unknown index, long text", 0, {2, odd}, false,
         body + "InletSensorName:Unknown  Temperature:31\n" + "InletSensorName:PEN Inlet Temp  Temperature:" +
             std::string(63, 'z') + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PerfSupport perf(c.perfSupported);
        MetricValue value{};
        value.u8PowerSupplyACCount = c.supplies;
        value.psPowerSupplyAC = c.supplies ? supplies : nullptr;
        value.psSystemAC = &system;
        value.psCoolingPower = &cooling;
        value.u8InletTemperature = 21;
        value.u8OutletTemperature = 255;
        value.u64Timestamp = UINT64_MAX;
        testing::internal::CaptureStdout();
        PrintMetricValue(&value, &c.inlet, &perfValue);
        std::string out = testing::internal::GetCapturedStdout();
        // Drop the firmware layer's lines of the support test.
        std::string mine;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("[QAX_", 0) == 0 || (line.size() > 2 && line[1] == ':' && line[0] >= '0' && line[0] <= '9'))
                continue;
            mine += line + "\n";
        }
        EXPECT_EQ(mine, c.expected);
    }

    testing::internal::CaptureStdout();
    PrintMetricEntries(supplies, 0, "PowerSupplyAC");
    PrintMetricEntries(nullptr, 3, "PowerSupplyAC");
    PrintMetricValue(nullptr, nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    InletTemperatureSnapshotBuffer sevenList{7, seven};
    FreeInletTemperatureSnapshotBuffer(&sevenList);
    InletTemperatureSnapshotBuffer oddList{2, odd};
    FreeInletTemperatureSnapshotBuffer(&oddList);
}

}  // namespace
