// The real daemon against the emulator: finding the firmware, waiting for it
// when it is absent, and the cycle's classification of snapshots.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <string>

#include "process.h"
#include "test_root.h"

namespace {

class DaemonWithEmulator : public ::testing::Test {
  protected:
    // Runs `qax` (plus `args`) on `scenario` until the scenario's own SIGTERM;
    // returns the exit code.
    int RunDaemon(const std::string &scenario, const std::vector<std::string> &args = {},
                  const std::string &family = "") {
        const std::string path = root_.Path() + "/scenario.scn";
        std::ofstream(path) << scenario;
        // Level 1 adds the tag comparison of every fetch.
        Aim({"set", "QAX_power_history_log_level", "1", "--persistent"});
        std::vector<std::string> argv = {QAX_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        std::map<std::string, std::string> env = Env();
        env["QAX_SIM_SCENARIO"] = path;
        env["ZOQ_FAMILY"] = family;
        return qaxtest::Run(argv, env, root_.Path() + "/daemon.out", &stdout_, 120000);
    }
    std::map<std::string, std::string> Env() const {
        return {{"QAX_ROOT", root_.Path()}, {"QAX_CLOCK", "virtual"}, {"QAX_CLOCK_START", "1798761600"},
                {"QAX_IPMI", "sim"},        {"QAX_SIM_SEED", "7"},    {"TZ", "UTC"}};
    }
    std::string Aim(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {std::string(QAX_TOOLS_DIR) + "/qax-aim"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        qaxtest::Run(argv, Env(), root_.Path() + "/aim.out", &out);
        return out;
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
    qaxtest::TestRoot root_;
    std::string stdout_;
};

TEST_F(DaemonWithEmulator, FindsTheFirmwareAndPublishesItsHandle) {
    // Everything the daemon writes stays under QAX_ROOT.
    const char *outside[] = {"/pstorage",
                             "/tmp/qax_log",
                             "/tmp/qax_trace",
                             "/tmp/aim",
                             "/tmp/PowerHistoryLast1Hour",
                             "/tmp/PowerPerformanceLast1Hour"};
    std::vector<bool> existed;
    struct stat st;
    for (const char *path : outside) existed.push_back(stat(path, &st) == 0);

    ASSERT_EQ(RunDaemon("module_handle 5\nat 600 sigterm\n"), 15) << stdout_;
    for (size_t i = 0; i < existed.size(); i++) {
        if (!existed[i]) {
            EXPECT_NE(stat(outside[i], &st), 0) << outside[i] << " written outside QAX_ROOT";
        }
    }
    EXPECT_EQ(Aim({"get", "qax_supported_0"}), "1\n");
    EXPECT_EQ(Aim({"get", "qax_module_handle_0"}), "5\n");
    EXPECT_EQ(Count(Trace(), "fail when get first data"), 0) << Trace();
}

TEST_F(DaemonWithEmulator, WithoutFirmwareProbesAtMostEveryTwoSecondsAndSaysWhy) {
    const int seconds = 600;
    ASSERT_EQ(RunDaemon("firmware absent\nat " + std::to_string(seconds) + " sigterm\n"), 15);
    const int probes = Count(stdout_, "[QAX_FindFirmwareInstance] Failed to call IPMI Command");
    EXPECT_GE(probes, 1);
    EXPECT_LE(probes, seconds / 2 + 1);
    EXPECT_NE(stdout_.find("Failed to call QAX_GetModuleHandle()"), std::string::npos);
    EXPECT_GE(Count(Trace(), "Get Snapshot buffer from QAX is fail when get first data"), seconds / 10 - 1);
    EXPECT_EQ(Aim({"get", "qax_supported_0"}), "0\n");
}

TEST_F(DaemonWithEmulator, FirmwareThatAppearsLaterIsFound) {
    ASSERT_EQ(RunDaemon("firmware absent\nat 120 firmware present\nat 600 sigterm\n"), 15);
    EXPECT_EQ(Aim({"get", "qax_supported_0"}), "1\n");
    const std::string trace = Trace();
    EXPECT_GE(Count(trace, "fail when get first data"), 1);
    EXPECT_GE(Count(trace, "psBuffer->u16Tag is"), 1) << trace;
}

// One new-data cycle per firmware snapshot (every 30 s, the daemon polls every
// 10 s), and a reset handled where the scenario resets the firmware.
TEST_F(DaemonWithEmulator, ClassifiesNewDataNothingNewAndReset) {
    // Known power-cap limits: the first new snapshot then has nothing to seed.
    Aim({"set", "pcap_max_aim_element_qax", "650", "--persistent"});
    Aim({"set", "pcap_min_aim_element_qax", "300", "--persistent"});
    Aim({"set", "pcap_soft_min_aim_element_qax", "250", "--persistent"});
    ASSERT_EQ(RunDaemon("at 1800 reset\nat 3600 sigterm\n"), 15) << stdout_;
    const std::string trace = Trace();
    std::regex tagLine("psBuffer->u16Tag is (\\d+) & u16LastTag is (\\d+)");
    int newData = 0, same = 0, resets = 0;
    for (auto it = std::sregex_iterator(trace.begin(), trace.end(), tagLine); it != std::sregex_iterator(); ++it) {
        int tag = std::stoi((*it)[1]), last = std::stoi((*it)[2]);
        if (tag == 1 && last > 1)
            resets++;
        else if (tag != last)
            newData++;
        else
            same++;
    }
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(Count(trace, "\"main\": Reset the QAX."), 1);
    // An hour holds 120 snapshots; the first is the reference and the reset's
    // snapshot starts afresh.
    EXPECT_NEAR(newData, 118, 2);
    EXPECT_NEAR(same, 360 - 120, 6);
    EXPECT_EQ(Count(trace, "[ERROR]"), 0) << trace;
    EXPECT_EQ(Count(trace, "[WARNING]"), 0) << trace;
}

}  // namespace
