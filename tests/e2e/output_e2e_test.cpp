// The daemon's output, end to end: what a user reads (qax -r, qax-aim get,
// the debug dump) against the ground truth of a twin emulator (same scenario,
// seed and virtual time: the model is deterministic, so both saw the same power).
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <regex>

#include "export/export_files.h"
#include "sim/model.h"
#include "sim/sim.h"
#include "test_root.h"

namespace {

using qaxtest::Count;
using Figures = std::vector<long long>;

constexpr uint64_t kStartMs = 1798761600000ULL;  // QAX_CLOCK_START in ms
constexpr uint64_t kBootMs = 100000;             // virtual monotonic clock at start
constexpr uint64_t kPeriodMs = 30000;

// The numbers of the report line "<label> Avg:.. Max:.. Min:.." or "<label>: .." (-1 when absent).
Figures Fig(const std::string &report, const std::string &label) {
    Figures f(3, -1);
    const size_t at = ("\n" + report).find("\n" + label), end = at + label.size();
    if (at != std::string::npos && report.compare(end, 5, " Avg:") == 0)
        sscanf(report.c_str() + end + 5, "%lld Max:%lld Min:%lld", &f[0], &f[1], &f[2]);
    else if (at != std::string::npos && report.compare(end, 2, ": ") == 0)
        sscanf(report.c_str() + end + 2, "%lld", &f[0]);
    return f;
}
// The report lines (ending in "\r", and the inlet lines) of some output.
std::string ReportLines(const std::string &text) {
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if ((!line.empty() && line.back() == '\r') || line.rfind("InletSensorName:", 0) == 0) out += line + "\n";
    return out;
}
// The histogram bucket (100 W + 50 W steps) that holds a power: what the
// published minimum and maximum are made of.
long long BucketLow(uint32_t watts) { return 100 + (static_cast<long long>(watts) - 100) / 50 * 50; }
long long Mean(const qaxsim::TruthStat &t) { return static_cast<long long>(t.RoundedMean()); }

// A rack server with failed fetches and a firmware reset early on, then
// long enough for the ring to wrap. The debug dump follows new data only and
// restarts with the ring; the newest file, the published keys and the last
// dump agree with each other and with what the emulated host really drew.
TEST(DaemonOutput, RackFiguresAndDebugDump) {
    qaxtest::Site site;
    std::string out;
    const std::string scenario =
        "family rack\nat 200 fault ipmi_fail on\nat 260 fault ipmi_fail off\n"
        "at 400 reset\nat 4100 sigterm\n";
    site.Run({"qax-aim", "set", "QAX_power_history_log_level", "1", "--persistent"});  // traces every tag
    ASSERT_EQ(site.RunDaemon(scenario, &out, {"-d"}), 15) << out.substr(0, 2000);
    EXPECT_GE(Count(site.Trace(), "Get Snapshot buffer from QAX is fail."), 5);

    // One dump per new-data cycle; counts grow by one, start again once
    // after the reset and stay at 120 when the ring is full.
    std::vector<int> counts;
    const std::regex dump("\\[QAX_DEBUG\\] Get (\\d+) MetricValues\\.\n The last one is:\n");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), dump); it != std::sregex_iterator(); ++it)
        counts.push_back(std::stoi((*it)[1]));
    EXPECT_EQ(static_cast<int>(counts.size()), site.Fetches()[0]);
    for (size_t i = 1; i < counts.size(); i++)
        ASSERT_TRUE(counts[i] == 1 || counts[i] == std::min(counts[i - 1] + 1, 120)) << i << ": " << counts[i];
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 1), 2);  // the first dump and the one after the reset
    ASSERT_EQ(counts.back(), 120);

    // Keys and file: the histogram range for system DC, max = min = average for the other sums.
    // The truth of the newest snapshot's period, from a twin emulator just after it.
    const std::string report = site.NewestReport();
    const long long stamp = site.AimInt("QAX_timestamp");
    uint64_t mono = kBootMs;  // the twin's clock: at the daemon's start, then just after that snapshot
    qaxsim::Host host;
    host.wallMs = [&] { return kStartMs + (mono - kBootMs); };
    host.monotonicMs = [&] { return mono; };
    std::string error;
    const std::shared_ptr<qaxsim::Emulator> emulator = qaxsim::MakeEmulator(scenario, 7, host, &error);
    ASSERT_NE(emulator, nullptr) << error;
    mono = stamp - kStartMs + kBootMs + 1000;
    const qaxsim::Model *model = &qaxsim::EmulatorModel(*emulator);
    const qaxsim::Truth t = model->TruthBetweenSnapshots(stamp - kPeriodMs, stamp);
    ASSERT_TRUE(t.valid && t.dc.ms == kPeriodMs);
    const std::pair<const char *, const char *> sums[] = {{"QAX_total_ac_power_in_use", "SystemAC"},
                                                          {"QAX_total_dc_power_in_use", "SystemDC"},
                                                          {"QAX_consumptionCPU", "CPUPower"},
                                                          {"QAX_consumptionMemory", "MemoryPower"},
                                                          {"QAX_consumptionCooling", "CoolingPower"}};
    const qaxsim::TruthStat *truths[] = {&t.ac, &t.dc, &t.cpu, &t.memory, &t.cooling};
    for (int i = 0; i < 5; i++) {
        const long long m = Mean(*truths[i]);
        const Figures want = i == 1 ? Figures{m, BucketLow(t.dc.max) + 50, BucketLow(t.dc.min)} : Figures{m, m, m};
        const std::string key = sums[i].first;
        EXPECT_EQ(Figures({site.AimInt(key + "_Avg"), site.AimInt(key + "_Max"), site.AimInt(key + "_Min")}), want)
            << key;
        EXPECT_EQ(Fig(report, sums[i].second), want) << report;
    }
    EXPECT_NEAR(Fig(report, "EffectiveCPU")[0], static_cast<double>(Mean(t.cpuRate)), 1.0);
    ASSERT_EQ(t.supplies.size(), 2u);
    for (unsigned i = 0; i < 2; i++)
        EXPECT_EQ(Fig(report, "PowerSupplyAC[" + std::to_string(i) + "]"),
                  Figures({Mean(t.supplies[i]), static_cast<long long>(t.supplies[i].max), Mean(t.supplies[i])}));
    const std::pair<const char *, uint8_t> perf[] = {
        {"SystemPerf", 0}, {"CPUPerf", 4}, {"MemoryPerf", 5}, {"IOPerf", 6}};
    for (const auto &p : perf)
        EXPECT_EQ(Fig(report, p.first), Figures({model->Utilisation(p.second, 0), model->Utilisation(p.second, 1),
                                                 model->Utilisation(p.second, 2)}))
            << p.first;
    EXPECT_NEAR(Fig(report, "InletTemperature")[0], model->InletTemperature(), 1);
    EXPECT_EQ(Count(report, "InletSensorName:"), 0);
    // The last dump shows the newest record.
    EXPECT_EQ(ReportLines(out.substr(out.rfind(" The last one is:\n"))), ReportLines(report));
}

// "-r" on a file written by hand from the format: the whole report, byte for
// byte, with and without performance support; damaged and missing files give
// the error line and status 1. (The one independent check of the metric log's
// bytes from outside: tests/metrics round-trips the writer and the reader.)
TEST(DaemonOutput, ReportOfAKnownFile) {
    qaxtest::Site site;
    const std::string record = qaxtest::KnownRecord(), performance = qaxtest::KnownPerformance();
    const std::string counted = "ReadMeticValueFromFile -- inlet sensor number is 2\n";
    const std::string report =
        "PowerSupplyAC[0] Avg:175 Max:180 Min:175\r\nPowerSupplyAC[1] Avg:174 Max:179 Min:174\r\n"
        "SystemAC Avg:350 Max:350 Min:350\r\nSystemDC Avg:322 Max:350 Min:300\r\n"
        "CPUPower Avg:145 Max:145 Min:145\r\nCoolingPower Avg:32 Max:32 Min:32\r\n"
        "EffectiveCPU Avg:42874 Max:42874 Min:42874\r\n"
        "InletTemperature: 20\r\nOutletTemperature: 31\r\nTimestamp: 1798762290000\r\n"
        "InletSensorName:Inlet 1 Temp  Temperature:Unavailable\nInletSensorName:Inlet 2 Temp  Temperature:24.500\n";
    const std::string perfReport =
        "SystemPerf Avg:23 Max:27 Min:20\r\nCPUPerf Avg:31 Max:35 Min:28\r\n"
        "MemoryPerf Avg:27 Max:28 Min:25\r\nIOPerf Avg:12 Max:13 Min:11\r\n";
    const std::string error = "[QAX ERR]: Read log file error. Error code: ";
    const struct {
        const char *scenario;
        std::string bytes, out;
        int status;
    } cases[] = {
        {"performance on\n", record + performance, counted + report + perfReport, 0},
        {"performance on\n", record, counted + report, 0},
        {"performance off\n", record + performance, counted + report, 0},
        {"performance on\n", record + performance + "x", counted + error + "-2.\n", 1},
        {"performance on\n", record.substr(0, 150),
         "ReadMeticValueFromFile -- inlet sensor number is 0\n" + error + "-1.\n", 1},
        {"", "", error + "2.\n", 1},  // no such file
    };
    // The firmware layer's own lines of the support test are not the report.
    const std::regex firmwareLine("\n\\d+: \\d+|\n\\[\\w+\\] [^\n]*");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out.substr(0, 60));
        std::ofstream(site.At("scenario.scn")) << c.scenario;
        std::ofstream(site.At("known.log"), std::ios::binary | std::ios::trunc) << c.bytes;
        std::string out;
        EXPECT_EQ(site.Run({"qax", "-r", site.At(c.bytes.empty() ? "missing.log" : "known.log")}, &out), c.status);
        EXPECT_EQ(std::regex_replace(out, firmwareLine, ""), c.out);
    }
}

}  // namespace
