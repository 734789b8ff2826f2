// The daemon's output, end to end: what a user reads (qax -r, qax-aim get and
// events, the debug dump) against the ground truth of a twin emulator (same
// scenario, seed and virtual time: the model is deterministic, so both saw the
// same power), and how it finds the firmware and classifies its snapshots.
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

// The numbers of the report line "<label> Avg:.. Max:.. Min:.." (-1 when absent).
Figures Fig(const std::string &report, const std::string &label) {
    Figures f(3, -1);
    const size_t at = ("\n" + report).find("\n" + label + " Avg:");
    if (at != std::string::npos)
        sscanf(report.c_str() + at + label.size() + 5, "%lld Max:%lld Min:%lld", &f[0], &f[1], &f[2]);
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

// A rack server whose firmware is absent for ten minutes, then has failed
// fetches and a reset, then runs long enough for the ring to wrap. Absent,
// the firmware is probed at most every two seconds and the reason said; once
// it appears, its handle is published. Then one new-data cycle per firmware
// snapshot (every 30 s, the daemon polls every 10 s), and the reset handled.
// The debug dump follows new data only and restarts with the ring; the newest
// file, the published keys and the last dump agree with each other and with
// what the emulated host really drew.
TEST(DaemonOutput, FirmwareFoundFetchesClassifiedFiguresAndDebugDump) {
    qaxtest::Site site;
    std::string out;
    const std::string scenario =
        "family rack\nmodule_handle 5\nfirmware absent\nat 600 firmware present\nat 800 fault ipmi_fail on\n"
        "at 860 fault ipmi_fail off\nat 1000 reset\nat 4700 sigterm\n";
    // Known power-cap limits: the first new snapshot then has nothing to seed.
    site.Aim({"set", "pcap_max_aim_element_qax", "650", "--persistent"});
    site.Aim({"set", "pcap_min_aim_element_qax", "300", "--persistent"});
    site.Aim({"set", "pcap_soft_min_aim_element_qax", "250", "--persistent"});
    site.Run({"qax-aim", "set", "QAX_power_history_log_level", "1", "--persistent"});  // traces every tag
    ASSERT_EQ(site.RunDaemon(scenario, &out, {"-d"}), 15) << out.substr(0, 2000);
    EXPECT_EQ(site.Aim({"get", "qax_supported_0"}) + site.Aim({"get", "qax_module_handle_0"}), "1\n5\n");
    const int probes = Count(out, "[QAX_FindFirmwareInstance] Failed to call IPMI Command");
    EXPECT_TRUE(probes >= 1 && probes <= 600 / 2 + 1) << probes;
    EXPECT_NE(out.find("Failed to call QAX_GetModuleHandle()"), std::string::npos);
    const std::string trace = site.Trace();
    const int absent = Count(trace, "[ERROR] \"main\": Get Snapshot buffer from QAX is fail when get first data");
    const int failed = Count(trace, "Get Snapshot buffer from QAX is fail.");
    EXPECT_GE(absent, 600 / 10 - 1);
    EXPECT_GE(failed, 5);
    EXPECT_EQ(Count(trace, "[ERROR]") + Count(trace, "[WARNING]"), absent + failed) << trace;
    const auto [newData, same, resets] = site.Fetches();
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(Count(trace, "\"main\": Reset the QAX."), 1);
    // 4100 s with the firmware: 136 snapshots, the first of them the
    // reference, and 410 polls, six of them in the failed minute.
    EXPECT_NEAR(newData, 136 - 1, 2);
    EXPECT_NEAR(same, 410 - 6 - 136, 6);

    // One dump per new-data cycle; counts grow by one, start again once
    // after the reset and stay at 120 when the ring is full.
    std::vector<int> counts;
    const std::regex dump("\\[QAX_DEBUG\\] Get (\\d+) MetricValues\\.\n The last one is:\n");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), dump); it != std::sregex_iterator(); ++it)
        counts.push_back(std::stoi((*it)[1]));
    EXPECT_EQ(static_cast<int>(counts.size()), newData);
    for (size_t i = 1; i < counts.size(); i++)
        ASSERT_TRUE(counts[i] == 1 || counts[i] == std::min(counts[i - 1] + 1, 120)) << i << ": " << counts[i];
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 1), 2);  // the first dump and the one after the reset
    ASSERT_EQ(counts.back(), 120);

    // Keys and file: the histogram range for system DC, max = min = average for the other sums.
    // The truth of the newest snapshot's period, from a twin emulator just after it. "qax -r"
    // asks the firmware whether it supports performance: there it is present from the start.
    std::ofstream(site.At("scenario.scn"), std::ios::trunc) << "family rack\n";
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
    const qaxsim::Truth t = qaxsim::EmulatorModel(*emulator).TruthBetweenSnapshots(stamp - kPeriodMs, stamp);
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
    EXPECT_EQ(Count(report, "InletSensorName:"), 0);
    // The last dump shows the newest record.
    EXPECT_EQ(ReportLines(out.substr(out.rfind(" The last one is:\n"))), ReportLines(report));
}

// "-r" on a file written by hand from the format: the whole report, byte for
// byte, with and without performance support; damaged and missing files give
// the error line and status 1 (a missing file: tests/daemon). (The one independent check of the metric log's
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
    };
    // The firmware layer's own lines of the support test are not the report.
    const std::regex firmwareLine("\n\\d+: \\d+|\n\\[\\w+\\] [^\n]*");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out.substr(0, 60));
        std::ofstream(site.At("scenario.scn")) << c.scenario;
        std::ofstream(site.At("known.log"), std::ios::binary | std::ios::trunc) << c.bytes;
        std::string out;
        EXPECT_EQ(site.Run({"qax", "-r", site.At("known.log")}, &out), c.status);
        EXPECT_EQ(std::regex_replace(out, firmwareLine, ""), c.out);
    }
}

// Status bits and cap changes of the scenario show up in "qax-aim events",
// each once, the caps with their old and new values.
TEST(DaemonWithEmulator, StatusBitsAndCapChangesAreEachReportedOnce) {
    qaxtest::Site site;
    std::string out;
    // Capping mode 2 puts the limits in force. Snapshots come every 30 s; each
    // change lands in the next one and lasts. At 430 the gate is not met.
    site.env["QAX_SIM_SEED"] = "3";
    ASSERT_EQ(site.RunDaemon("register 0 9 2\nat 100 status_byte 0x12\nat 200 status_byte 0x32\n"
                             "at 300 status_word 0x000C\nat 400 status_byte 0x02\nat 400 status_word 0x0000\n"
                             "at 430 status_byte 0x14\nat 430 status_word 0x0008\n"
                             "at 500 status_byte 0x02\nat 500 status_word 0x0000\n"
                             "at 560 cap max 700\nat 650 cap min 280\nat 740 cap soft_min 240\nat 1200 sigterm\n",
                             &out),
              15)
        << out;
    // "TIME ID[ old=.. new=..]" per event, oldest first.
    std::istringstream lines(site.Aim({"events"}));
    std::vector<std::string> events;
    for (std::string line; std::getline(lines, line);) events.push_back(line.substr(line.find(' ') + 1));
    EXPECT_EQ(events, (std::vector<std::string>{"127", "126", "125", "117", "118", "130", "131", "115 old=650 new=700",
                                                "114 old=300 new=280", "116 old=250 new=240"}))
        << site.Trace();  // (the old values of the caps are those the first snapshot seeded)
    EXPECT_EQ(site.Trace().find("Pcap can not be read"), std::string::npos);
}

}  // namespace
