// The daemon's output, end to end: the real qax against the emulator, then
// what a user reads (qax -r on the newest metric log file, qax-aim get, the
// debug dump) compared with the emulator's ground truth. The truth comes from
// a second emulator built from the same scenario and seed and stepped to the
// same virtual time: the model is deterministic, so both saw the same power.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "process.h"
#include "sim/model.h"
#include "sim/sim.h"
#include "test_root.h"

namespace {

constexpr uint64_t kStartMs = 1798761600000ULL;  // QAX_CLOCK_START in ms
constexpr uint64_t kBootMs = 100000;             // virtual monotonic clock at start
constexpr uint64_t kSeed = 7;
constexpr uint64_t kPeriodMs = 30000;

struct Figure {
    long long avg = -1, max = -1, min = -1;
};

// The "-r" report: label -> figure (supplies as "PowerSupplyAC[i]"), the
// numbered lines, the inlet sensor lines.
struct Report {
    std::map<std::string, Figure> figures;
    std::map<std::string, long long> numbers;  // InletTemperature, OutletTemperature, Timestamp
    std::vector<std::pair<std::string, std::string>> inlets;
};

Report ParseReport(const std::string &text) {
    Report r;
    std::regex entry("^(\\w+(?:\\[\\d+\\])?) Avg:(\\d+) Max:(\\d+) Min:(\\d+)\r$");
    std::regex number("^(InletTemperature|OutletTemperature|Timestamp): (\\d+)\r$");
    std::regex inlet("^InletSensorName:(.*)  Temperature:(.*)$");
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, entry)) {
            r.figures[m[1]] = Figure{std::stoll(m[2]), std::stoll(m[3]), std::stoll(m[4])};
        } else if (std::regex_match(line, m, number)) {
            r.numbers[m[1]] = std::stoll(m[2]);
        } else if (std::regex_match(line, m, inlet)) {
            r.inlets.emplace_back(m[1], m[2]);
        }
    }
    return r;
}

// The lines of a report (those ending in "\r\n", and the inlet lines) of a
// stretch of standard output, without the firmware layer's own lines.
std::string ReportLines(const std::string &text) {
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if ((!line.empty() && line.back() == '\r') || line.rfind("InletSensorName:", 0) == 0) out += line + "\n";
    }
    return out;
}

// Mirror of the daemon's emulator on the same virtual clock.
class Mirror {
  public:
    explicit Mirror(const std::string &scenario) {
        qaxsim::Host host;
        host.wallMs = [this] { return kStartMs + (mono_ - kBootMs); };
        host.monotonicMs = [this] { return mono_; };
        std::string error;
        emu_ = qaxsim::MakeEmulator(scenario, kSeed, host, &error);
        EXPECT_NE(emu_, nullptr) << error;
    }
    // The model just after the snapshot stamped `wallMs`.
    const qaxsim::Model &After(uint64_t wallMs) {
        mono_ = wallMs - kStartMs + kBootMs + 1000;
        return qaxsim::EmulatorModel(*emu_);
    }

  private:
    uint64_t mono_ = kBootMs;
    std::shared_ptr<qaxsim::Emulator> emu_;
};

class DaemonOutput : public ::testing::Test {
  protected:
    int RunDaemon(const std::vector<std::string> &args, const std::string &family = "") {
        std::ofstream(ScenarioPath()) << scenario_;
        // Level 1 adds the tag comparison of every fetch.
        Aim({"set", "QAX_power_history_log_level", "1", "--persistent"});
        std::vector<std::string> argv = {QAX_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        family_ = family;
        return qaxtest::Run(argv, Env(), root_.Path() + "/daemon.out", &stdout_, 180000);
    }
    std::string ScenarioPath() const { return root_.Path() + "/scenario.scn"; }
    std::map<std::string, std::string> Env() const {
        return {{"QAX_ROOT", root_.Path()},     {"QAX_CLOCK", "virtual"},
                {"QAX_CLOCK_START", "1798761600"}, {"QAX_IPMI", "sim"},
                {"QAX_SIM_SEED", std::to_string(kSeed)}, {"TZ", "UTC"},
                {"QAX_SIM_SCENARIO", ScenarioPath()}, {"ZOQ_FAMILY", family_}};
    }
    std::string Aim(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {std::string(QAX_TOOLS_DIR) + "/qax-aim"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        qaxtest::Run(argv, Env(), root_.Path() + "/aim.out", &out);
        return out;
    }
    long long AimValue(const std::string &key) {
        std::string out = Aim({"get", key});
        return out.empty() ? -999999 : std::stoll(out);
    }
    // Runs "qax -r"; returns the exit code.
    int ReadLog(const std::string &path, std::string *out) {
        return qaxtest::Run({QAX_BINARY, "-r", path}, Env(), root_.Path() + "/read.out", out);
    }
    int OneByte(const char *name) const {
        std::string b = qaxtest::ReadAll(root_.Path() + "/tmp/qax_log/" + name);
        return b.size() == 1 ? static_cast<uint8_t>(b[0]) : -1;
    }
    std::string Trace() const {
        return qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt") +
               qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_1.txt");
    }
    static int Count(const std::string &text, const std::string &what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
        return n;
    }
    // Error lines of the writer, the reader and the inlet sensors.
    int OwnErrors() const {
        const std::string trace = Trace();
        int n = 0;
        for (const char *function : {"CreateDataLog", "GetMetricValue", "ReadMeticValueFromFile",
                                     "ReadMetricData", "WriteBladeInletTemperatureFromInletSensor"})
            n += Count(trace, std::string("[ERROR] \"") + function + "\"");
        return n;
    }
    // New-data cycles according to the trace's tag comparisons.
    int NewDataCycles() const {
        const std::string trace = Trace();
        std::regex tagLine("psBuffer->u16Tag is (\\d+) & u16LastTag is (\\d+)");
        int n = 0;
        for (auto it = std::sregex_iterator(trace.begin(), trace.end(), tagLine); it != std::sregex_iterator(); ++it) {
            int tag = std::stoi((*it)[1]), last = std::stoi((*it)[2]);
            if (!(tag == 1 && last > 1) && tag != last) n++;
        }
        return n;
    }
    // The counts of every debug dump, in order.
    std::vector<int> DumpCounts() const {
        std::vector<int> counts;
        std::regex dump("\\[QAX_DEBUG\\] Get (\\d+) MetricValues\\.\n The last one is:\n");
        for (auto it = std::sregex_iterator(stdout_.begin(), stdout_.end(), dump); it != std::sregex_iterator(); ++it)
            counts.push_back(std::stoi((*it)[1]));
        return counts;
    }

    qaxtest::TestRoot root_;
    std::string scenario_;
    std::string family_;
    std::string stdout_;
};

// Lower and upper bound of the histogram bucket (100 W + 50 W steps) that
// holds a power: what the published minimum and maximum are made of.
long long BucketLow(uint32_t watts) { return 100 + (static_cast<long long>(watts) - 100) / 50 * 50; }
long long BucketHigh(uint32_t watts) { return BucketLow(watts) + 50; }

// A rack server for a little over an hour (the ring wraps), with the debug
// dump: the newest log file, the published keys and the dump agree with each
// other and with what the emulated host really drew.
TEST_F(DaemonOutput, RackFiguresMatchTheEmulatorsTruth) {
    scenario_ = "family rack\nat 3700 sigterm\n";
    ASSERT_EQ(RunDaemon({"-d"}), 15) << stdout_.substr(0, 2000);

    // The ring has wrapped: 120 files, the newest named by qax_last.log.
    ASSERT_EQ(OneByte("qax_num.log"), 120);
    const int last = OneByte("qax_last.log");
    ASSERT_GE(last, 0);
    ASSERT_LT(last, 120);
    std::string readOut;
    ASSERT_EQ(ReadLog(root_.Path() + "/tmp/qax_log/qax_" + std::to_string(last) + ".log", &readOut), 0);
    const Report report = ParseReport(readOut);

    // Publication and file describe the same, newest snapshot.
    const long long stamp = AimValue("QAX_timestamp");
    ASSERT_EQ(report.numbers.at("Timestamp"), stamp);
    ASSERT_GT(stamp, static_cast<long long>(kStartMs + 3600000));
    ASSERT_EQ((stamp - static_cast<long long>(kStartMs)) % kPeriodMs, 0);

    Mirror mirror(scenario_);
    const qaxsim::Model &model = mirror.After(stamp);
    const qaxsim::Truth truth = model.TruthBetweenSnapshots(stamp - kPeriodMs, stamp);
    ASSERT_TRUE(truth.valid);
    ASSERT_EQ(truth.dc.ms, kPeriodMs);

    struct Key {
        const char *name;
        long long want;
    };
    const long long ac = static_cast<long long>(truth.ac.RoundedMean());
    const long long dc = static_cast<long long>(truth.dc.RoundedMean());
    const long long cpu = static_cast<long long>(truth.cpu.RoundedMean());
    const long long mem = static_cast<long long>(truth.memory.RoundedMean());
    const long long cool = static_cast<long long>(truth.cooling.RoundedMean());
    const Key keys[] = {
        {"QAX_total_ac_power_in_use_Avg", ac},  {"QAX_total_ac_power_in_use_Min", ac},
        {"QAX_total_ac_power_in_use_Max", ac},  {"QAX_total_dc_power_in_use_Avg", dc},
        {"QAX_total_dc_power_in_use_Min", BucketLow(truth.dc.min)},
        {"QAX_total_dc_power_in_use_Max", BucketHigh(truth.dc.max)},
        {"QAX_consumptionCPU_Avg", cpu},        {"QAX_consumptionCPU_Min", cpu},
        {"QAX_consumptionCPU_Max", cpu},        {"QAX_consumptionMemory_Avg", mem},
        {"QAX_consumptionMemory_Min", mem},     {"QAX_consumptionMemory_Max", mem},
        {"QAX_consumptionCooling_Avg", cool},   {"QAX_consumptionCooling_Min", cool},
        {"QAX_consumptionCooling_Max", cool},
    };
    for (const Key &k : keys) EXPECT_EQ(AimValue(k.name), k.want) << k.name;

    // The file holds the same figures, and the per-supply and utilisation
    // figures of the same period.
    auto figure = [&](const std::string &label) {
        auto it = report.figures.find(label);
        EXPECT_NE(it, report.figures.end()) << label << "\n" << readOut;
        return it != report.figures.end() ? it->second : Figure{};
    };
    EXPECT_EQ(figure("SystemAC").avg, ac);
    EXPECT_EQ(figure("SystemDC").avg, dc);
    EXPECT_EQ(figure("SystemDC").max, BucketHigh(truth.dc.max));
    EXPECT_EQ(figure("CoolingPower").avg, cool);
    EXPECT_NEAR(figure("EffectiveCPU").avg, static_cast<double>(truth.cpuRate.RoundedMean()), 1.0);
    ASSERT_EQ(truth.supplies.size(), 2u);
    for (unsigned i = 0; i < 2; i++) {
        const Figure f = figure("PowerSupplyAC[" + std::to_string(i) + "]");
        EXPECT_EQ(f.avg, static_cast<long long>(truth.supplies[i].RoundedMean())) << i;
        EXPECT_EQ(f.max, static_cast<long long>(truth.supplies[i].max)) << i;
        EXPECT_EQ(f.min, f.avg) << i;
    }
    const std::pair<const char *, uint8_t> perf[] = {
        {"SystemPerf", 0}, {"CPUPerf", 4}, {"MemoryPerf", 5}, {"IOPerf", 6}};
    for (const auto &p : perf) {
        const Figure f = figure(p.first);
        EXPECT_EQ(f.avg, model.Utilisation(p.second, 0)) << p.first;
        EXPECT_EQ(f.max, model.Utilisation(p.second, 1)) << p.first;
        EXPECT_EQ(f.min, model.Utilisation(p.second, 2)) << p.first;
    }
    EXPECT_TRUE(report.inlets.empty());
    EXPECT_NEAR(report.numbers.at("InletTemperature"), model.InletTemperature(), 1);
    EXPECT_EQ(qaxtest::ReadAll(root_.Path() + "/tmp/qax_log/qax_" + std::to_string(last) + ".log").size(), 312u);

    // One dump per new-data cycle, each with every file of the ring, and the
    // last one shows the newest file.
    const std::vector<int> counts = DumpCounts();
    EXPECT_EQ(static_cast<int>(counts.size()), NewDataCycles());
    ASSERT_GT(counts.size(), 120u);
    for (size_t i = 0; i < counts.size(); i++) ASSERT_EQ(counts[i], std::min<int>(static_cast<int>(i) + 1, 120)) << i;
    const size_t lastDump = stdout_.rfind(" The last one is:\n");
    EXPECT_EQ(ReportLines(stdout_.substr(lastDump)), ReportLines(readOut));
    EXPECT_EQ(OwnErrors(), 0) << Trace();
}

// A blade: the system DC power travels in the AC slot and is published under
// the DC keys, the AC keys are 0, and the inlet sensors of the controller's
// records come back in record order with the model's readings.
TEST_F(DaemonOutput, BladeMapsPowerAndCarriesInletSensors) {
    scenario_ =
        "family blade\n"
        "sensor \"Inlet 1 Temp\" model\n"
        "sensor \"Inlet 2 Temp\" model\n"
        "sensor \"Inlet Temp\" 99 skip\n"
        "sensor \"CPU 1 Temp\" 47\n"
        "at 900 sigterm\n";
    ASSERT_EQ(RunDaemon({}, "blade"), 15) << stdout_.substr(0, 2000);
    const int last = OneByte("qax_last.log");
    ASSERT_GE(last, 0);
    const std::string path = root_.Path() + "/tmp/qax_log/qax_" + std::to_string(last) + ".log";
    std::string readOut;
    ASSERT_EQ(ReadLog(path, &readOut), 0);
    const Report report = ParseReport(readOut);

    const long long stamp = AimValue("QAX_timestamp");
    ASSERT_EQ(report.numbers.at("Timestamp"), stamp);
    Mirror mirror(scenario_);
    const qaxsim::Model &model = mirror.After(stamp);
    const qaxsim::Truth truth = model.TruthBetweenSnapshots(stamp - kPeriodMs, stamp);
    ASSERT_TRUE(truth.valid);

    const long long dc = static_cast<long long>(truth.dc.RoundedMean());
    EXPECT_EQ(AimValue("QAX_total_dc_power_in_use_Avg"), dc);
    EXPECT_EQ(AimValue("QAX_total_dc_power_in_use_Min"), BucketLow(truth.dc.min));
    EXPECT_EQ(AimValue("QAX_total_dc_power_in_use_Max"), BucketHigh(truth.dc.max));
    for (const char *key : {"QAX_total_ac_power_in_use_Avg", "QAX_total_ac_power_in_use_Min",
                            "QAX_total_ac_power_in_use_Max"})
        EXPECT_EQ(AimValue(key), 0) << key;
    ASSERT_EQ(report.figures.count("SystemAC"), 1u) << readOut;
    EXPECT_EQ(report.figures.at("SystemAC").avg, dc);
    EXPECT_EQ(report.figures.count("SystemDC"), 0u);
    EXPECT_EQ(report.numbers.at("InletTemperature"), 0);
    EXPECT_EQ(report.numbers.at("OutletTemperature"), 0);

    // Record order, the skipped record and the other sensor left out.
    ASSERT_EQ(report.inlets.size(), 2u) << readOut;
    EXPECT_EQ(report.inlets[0].first, "Inlet 1 Temp");
    EXPECT_EQ(report.inlets[1].first, "Inlet 2 Temp");
    const double first = std::stod(report.inlets[0].second);
    const double second = std::stod(report.inlets[1].second);
    EXPECT_DOUBLE_EQ(second - first, 0.5);
    EXPECT_NEAR(first, std::stod(model.InletTemperatureText(1)), 0.125);
    EXPECT_EQ(OwnErrors(), 0) << Trace();
    EXPECT_EQ(Count(stdout_, "CreateDataLog -- there are totally [2] inlet temperature!\n"), NewDataCycles());
}

// "-r" on files written by hand from the format: the whole report, byte for
// byte, with and without performance support; damaged and missing files
// give the error line and status 1; nothing is created.
TEST_F(DaemonOutput, ReportOfAKnownFile) {
    auto le = [](uint64_t v, int n) {
        std::string s;
        for (int i = 0; i < n; i++) s.push_back(static_cast<char>(v >> (8 * i)));
        return s;
    };
    auto entry = [&](uint64_t a, uint64_t m, uint64_t n) { return le(a, 8) + le(m, 8) + le(n, 8); };
    auto sensor = [&](uint32_t index, std::string text) {
        text.resize(64, '\0');
        return le(index, 4) + text;
    };
    const std::string record =
        std::string(1, '\2') + entry(175, 180, 175) + entry(174, 179, 174) +  // two supplies
        std::string(1, '\0') +                                                // no DC supplies
        '\1' + entry(350, 350, 350) + '\1' + entry(322, 350, 300) +           // SystemAC, SystemDC
        '\1' + entry(145, 145, 145) + '\0' +                                  // CPU, no memory
        '\1' + entry(32, 32, 32) + '\1' + entry(42874, 42874, 42874) +        // cooling, effective CPU
        std::string("\24\37") + le(1798762290000ULL, 8) + '\x81' +            // 20, 31 degrees, stamp, status
        '\2' + sensor(2, "24.500") + sensor(1, "Unavailable");
    const std::string performance = '\1' + entry(23, 27, 20) + '\1' + entry(31, 35, 28) + '\1' +
                                    entry(27, 28, 25) + '\1' + entry(12, 13, 11);
    const std::string report =
        "PowerSupplyAC[0] Avg:175 Max:180 Min:175\r\n"
        "PowerSupplyAC[1] Avg:174 Max:179 Min:174\r\n"
        "SystemAC Avg:350 Max:350 Min:350\r\n"
        "SystemDC Avg:322 Max:350 Min:300\r\n"
        "CPUPower Avg:145 Max:145 Min:145\r\n"
        "CoolingPower Avg:32 Max:32 Min:32\r\n"
        "EffectiveCPU Avg:42874 Max:42874 Min:42874\r\n"
        "InletTemperature: 20\r\n"
        "OutletTemperature: 31\r\n"
        "Timestamp: 1798762290000\r\n"
        "InletSensorName:Inlet 1 Temp  Temperature:Unavailable\n"
        "InletSensorName:Inlet 2 Temp  Temperature:24.500\n";
    const std::string perfReport =
        "SystemPerf Avg:23 Max:27 Min:20\r\n"
        "CPUPerf Avg:31 Max:35 Min:28\r\n"
        "MemoryPerf Avg:27 Max:28 Min:25\r\n"
        "IOPerf Avg:12 Max:13 Min:11\r\n";
    // The firmware layer prints request details of its own during the
    // support test; they are not the report.
    auto withoutFirmware = [](const std::string &out) {
        std::regex firmwareLine("\\d+: \\d+|\\[\\w+\\] .*");
        std::string kept;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (!std::regex_match(line, firmwareLine)) kept += line + "\n";
        return kept;
    };
    struct Case {
        const char *name;
        std::string scenario;
        std::string bytes;
        int status;
        std::string out;
    };
    const std::string counted = "ReadMeticValueFromFile -- inlet sensor number is 2\n";
    const std::vector<Case> cases = {
        {"with performance", "performance on\n", record + performance, 0, counted + report + perfReport},
        {"written without performance", "performance on\n", record, 0, counted + report},
        {"performance not supported", "performance off\n", record + performance, 0, counted + report},
        {"trailing garbage", "performance on\n", record + performance + "x", 1,
         counted + "[QAX ERR]: Read log file error. Error code: -2.\n"},
        {"cut before the inlet count", "performance on\n", record.substr(0, 150), 1,
         "ReadMeticValueFromFile -- inlet sensor number is 0\n"
         "[QAX ERR]: Read log file error. Error code: -1.\n"},
    };
    const std::string file = root_.Path() + "/known.log";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(ScenarioPath()) << c.scenario;
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.bytes;
        std::string out;
        EXPECT_EQ(ReadLog(file, &out), c.status);
        EXPECT_EQ(withoutFirmware(out), c.out);
    }
    std::string out;
    EXPECT_EQ(ReadLog(root_.Path() + "/missing.log", &out), 1);
    EXPECT_EQ(out, "[QAX ERR]: Read log file error. Error code: 2.\n");
    struct stat st;
    EXPECT_NE(stat((root_.Path() + "/tmp/qax_log").c_str(), &st), 0) << "-r creates no directory";
    EXPECT_NE(stat((root_.Path() + "/tmp/qax_trace").c_str(), &st), 0);
}

// The dump follows new data only: not after failed fetches, cycles without
// a new snapshot or a firmware reset, which starts the ring afresh.
TEST_F(DaemonOutput, DebugDumpOnlyAfterNewData) {
    scenario_ =
        "family rack\n"
        "at 200 fault ipmi_fail on\n"
        "at 260 fault ipmi_fail off\n"
        "at 400 reset\n"
        "at 700 sigterm\n";
    ASSERT_EQ(RunDaemon({"-d"}), 15) << stdout_.substr(0, 2000);
    const std::vector<int> counts = DumpCounts();
    const int newData = NewDataCycles();
    EXPECT_EQ(static_cast<int>(counts.size()), newData);
    EXPECT_GE(Count(Trace(), "Get Snapshot buffer from QAX is fail."), 5);
    EXPECT_EQ(Count(Trace(), "\"main\": Reset the QAX."), 1);
    // Counts grow by one per new snapshot and start again after the reset.
    int restarts = 0;
    for (size_t i = 1; i < counts.size(); i++) {
        if (counts[i] == 1) {
            restarts++;
        } else {
            EXPECT_EQ(counts[i], counts[i - 1] + 1) << i;
        }
    }
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(OwnErrors(), 0) << Trace();
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(OneByte("qax_num.log"), counts.back());
    EXPECT_EQ(OneByte("qax_last.log"), counts.back() - 1);
}

}  // namespace
