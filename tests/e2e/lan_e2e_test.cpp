// The real daemon over lan against OpenIPMI's ipmi_sim serving the emulator, on
// a clock shared by both, sees what it sees in process (skipped, with the reason,
// where ipmi_sim cannot start). Outages are the lan transport's unit test.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <regex>
#include <set>

#include "ipmi_sim.h"
#include "test_root.h"

namespace {

using Figures = std::vector<long long>;  // Avg, Max, Min of each power figure of a metric log

// 10 s of the daemon's cycle in 67 ms: a run of 360 s takes 2.4 seconds, and a
// snapshot period (200 ms) still spans three cycles on a busy machine.
constexpr const char *kSpeed = "x150";

// One daemon run in its own root, on the shared clock.
struct DaemonRun : qaxtest::Site {
    explicit DaemonRun(const std::string &start) : Site(kSpeed) { env["QAX_CLOCK_START"] = start; }
    // Runs the daemon to the SIGTERM the simulator sends (its pid goes to the
    // signal_pidfile) with `transport` in its environment; true when that ended it.
    bool RunDaemon(const std::map<std::string, std::string> &transport) {
        Run({"qax-aim", "set", "QAX_power_history_log_level", "1", "--persistent"});
        for (const auto &kv : transport) env[kv.first] = kv.second;
        daemon = Start({"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"", QAX_BINARY, At("daemon.err")});
        std::ofstream(At("daemon.pid")) << daemon.pid << "\n";
        const int code = qaxtest::ExitCode(daemon.Wait(60000));
        env["QAX_IPMI"] = "sim";  // the reader asks the firmware's capabilities: any firmware will do
        return code == 15;
    }
    std::string Stderr() const { return qaxtest::ReadAll(At("daemon.err")); }
    // Names of the published keys (values change from run to run).
    std::set<std::string> Keys() const {
        std::string out;
        Run({"qax-aim", "list"}, &out);
        std::set<std::string> keys;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) keys.insert(line.substr(0, line.find('=')));
        return keys;
    }
    // The power figures of each metric log (one per snapshot interval) in the ring's order.
    std::vector<Figures> MetricLogs() const {
        const std::regex entry("\n[A-Za-z]+(Power|AC|DC|AC\\[\\d\\]) Avg:(\\d+) Max:(\\d+) Min:(\\d+)\r");
        std::vector<Figures> logs;
        for (int i = 0; i < 120 && !qaxtest::ReadAll(At("tmp/qax_log/qax_" + std::to_string(i) + ".log")).empty();
             ++i) {
            std::string out;
            Run({"qax", "-r", At("tmp/qax_log/qax_" + std::to_string(i) + ".log")}, &out);
            logs.emplace_back();
            out = "\n" + out;
            for (auto m = std::sregex_iterator(out.begin(), out.end(), entry); m != std::sregex_iterator(); ++m)
                for (int k = 2; k <= 4; ++k) logs.back().push_back(std::stoll((*m)[k]));
        }
        return logs;
    }
    qaxtest::Process daemon;
};

// How many logs of `a` have a twin in `b`, in the same order: the same power
// figures (the two runs' clocks may stamp a snapshot a millisecond apart,
// which can move a rounded mean by one watt).
size_t Twins(const std::vector<Figures> &a, const std::vector<Figures> &b) {
    size_t twins = 0;
    auto from = b.begin();
    for (const Figures &x : a) {
        auto twin = std::find_if(from, b.end(), [&x](const Figures &y) {
            bool same = x.size() >= 6 && x.size() == y.size();
            for (size_t i = 0; same && i < x.size(); ++i) same = llabs(x[i] - y[i]) <= 1;
            return same;
        });
        if (twin != b.end()) twins++, from = twin + 1;
    }
    return twins;
}

// One scenario, once over the network and once in process: the same keys
// published, and metric logs with the same figures for the same intervals.
TEST(LanDaemon, PublishesWhatItPublishesInProcess) {
    // No daily swing: the power of each second depends only on the seed and
    // the second's number, so both runs see the same snapshots.
    const std::string scenario = "family rack\nmodule_handle 6\nswing_watts 0\nat 360 sigterm\n";
    const std::string start = std::to_string(time(nullptr));
    DaemonRun lan(start), local(start);
    for (DaemonRun *run : {&lan, &local}) std::ofstream(run->At("scenario.scn")) << scenario;
    qaxtest::IpmiSim sim;
    if (!sim.Start(scenario, "seed=7 signal_pidfile=" + lan.At("daemon.pid"), 0,
                   {{"QAX_CLOCK", kSpeed}, {"QAX_CLOCK_START", start}}))
        GTEST_SKIP() << "ipmi_sim cannot run: " << sim.Error();
    ASSERT_TRUE(lan.RunDaemon(sim.ClientEnv())) << lan.Stderr() << lan.Trace();
    sim.Stop();
    ASSERT_TRUE(local.RunDaemon({})) << local.Stderr() << local.Trace();

    EXPECT_EQ(lan.Stderr().find("qax: IPMI"), std::string::npos) << lan.Stderr();  // nothing lost on the way
    EXPECT_EQ(lan.AimInt("qax_module_handle_0"), 6);
    EXPECT_EQ(lan.Keys(), local.Keys());
    // A cycle that came late on a busy machine may span two periods and have
    // no log of its own.
    const std::vector<Figures> lanLogs = lan.MetricLogs(), localLogs = local.MetricLogs();
    ASSERT_GE(lanLogs.size(), 8u) << lan.Trace();
    ASSERT_GE(localLogs.size(), 8u);
    EXPECT_GE(Twins(lanLogs, localLogs), lanLogs.size() - 2);
}

}  // namespace
