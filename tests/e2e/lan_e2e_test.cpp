// The real daemon over lan against OpenIPMI's ipmi_sim serving the emulator, on
// a clock shared by both, sees what it sees in process (skipped, with the reason,
// where ipmi_sim cannot start). Outages are the lan transport's unit test.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <regex>
#include <set>

#include "ipmi_sim.h"
#include "process.h"
#include "test_root.h"

namespace {

using Env = std::map<std::string, std::string>;
using Figures = std::vector<long long>;  // Avg, Max, Min of each power figure of a metric log

// 10 s of the daemon's cycle in 67 ms: a run of 360 s takes 2.4 seconds, and a
// snapshot period (200 ms) still spans three cycles on a busy machine.
constexpr const char *kSpeed = "x150";

// One daemon run in its own root, on the shared clock.
struct DaemonRun {
    explicit DaemonRun(std::string start) : clockStart(std::move(start)) {}
    std::string At(const std::string &path) const { return root.Path() + path; }
    Env With(Env env) const {
        env.insert({{"QAX_ROOT", root.Path()},
                    {"QAX_CLOCK", kSpeed},
                    {"QAX_CLOCK_START", clockStart},
                    {"TZ", "UTC"},
                    {"ZOQ_FAMILY", ""},
                    {"QAX_SIM_SEED", "7"}});
        return env;
    }
    // Runs `argv` (first word "aim": the tool) to the end: its output.
    std::string Run(std::vector<std::string> argv, const Env &env = {}) const {
        if (argv[0] == "aim") argv[0] = QAX_TOOLS_DIR "/qax-aim";
        std::string out;
        qaxtest::Run(argv, With(env), At("/run.out"), &out);
        return out;
    }
    // The daemon, in the background; its stderr goes to a file of its own, its
    // pid to the simulator's signal_pidfile.
    bool Start(const Env &env) {
        Run({"aim", "set", "QAX_power_history_log_level", "1", "--persistent"});
        daemon = qaxtest::Start({"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"", QAX_BINARY, At("/daemon.err")}, With(env),
                                At("/daemon.out"));
        std::ofstream(At("/daemon.pid")) << daemon.pid << "\n";
        return daemon.pid > 0;
    }
    // Waits (bounded, real time) for the daemon's end: true when SIGTERM ended it.
    bool Stopped() {
        const int status = daemon.Wait(60000);
        daemon.pid = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 15;
    }
    std::string Trace() const {
        return qaxtest::ReadAll(At("/tmp/qax_trace/qax_trace_log_0.txt")) +
               qaxtest::ReadAll(At("/tmp/qax_trace/qax_trace_log_1.txt"));
    }
    std::string Stderr() const { return qaxtest::ReadAll(At("/daemon.err")); }
    // Names of the published keys (values change from run to run).
    std::set<std::string> Keys() const {
        std::set<std::string> keys;
        std::istringstream lines(Run({"aim", "list"}));
        for (std::string line; std::getline(lines, line);)
            if (!line.empty()) keys.insert(line.substr(0, line.find_first_of(" =\t")));
        return keys;
    }
    // The figures of each metric log (one per snapshot interval) in the ring's order.
    std::vector<Figures> MetricLogs() const {
        const std::regex entry(
            "^(SystemAC|SystemDC|CPUPower|MemoryPower|CoolingPower|PowerSupplyAC"
            "\\[\\d\\]) Avg:(\\d+) Max:(\\d+) Min:(\\d+)\r?$");
        std::vector<Figures> logs;
        std::smatch m;
        for (int i = 0; i < 120; ++i) {
            const std::string path = At("/tmp/qax_log/qax_" + std::to_string(i) + ".log");
            if (qaxtest::ReadAll(path).empty()) break;
            // The reader asks the firmware's capabilities: any firmware will do.
            std::istringstream lines(Run({QAX_BINARY, "-r", path}, {{"QAX_IPMI", "sim"}}));
            logs.emplace_back();
            for (std::string line; std::getline(lines, line);)
                if (std::regex_match(line, m, entry))
                    for (int k = 2; k <= 4; ++k) logs.back().push_back(std::stoll(m[k]));
        }
        return logs;
    }

    qaxtest::TestRoot root{kSpeed};
    std::string clockStart;
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

class LanDaemon : public ::testing::Test {
  protected:
    void TearDown() override {
        if (run_.daemon.pid > 0) run_.daemon.Wait(0);  // a test that gave up: killed
    }
    // The simulator with `scenario`, on the shared clock; its "sigterm" reaches the daemon of run_.
    bool StartSim(const std::string &scenario) {
        return sim_.Start(scenario, "seed=7 signal_pidfile=" + run_.At("/daemon.pid"), 0,
                          {{"QAX_CLOCK", kSpeed}, {"QAX_CLOCK_START", clockStart_}});
    }

    std::string clockStart_ = std::to_string(time(nullptr));
    DaemonRun run_{clockStart_};
    qaxtest::IpmiSim sim_;
};

// One scenario, once over the network and once in process: the same keys
// published, and metric logs with the same figures for the same intervals.
TEST_F(LanDaemon, PublishesWhatItPublishesInProcess) {
    // No daily swing: the power of each second depends only on the seed and
    // the second's number, so both runs see the same snapshots.
    const std::string scenario = "family rack\nmodule_handle 6\nswing_watts 0\nat 360 sigterm\n";
    if (!StartSim(scenario)) GTEST_SKIP() << "ipmi_sim cannot run: " << sim_.Error();
    ASSERT_TRUE(run_.Start(sim_.ClientEnv()));
    ASSERT_TRUE(run_.Stopped()) << run_.Stderr() << run_.Trace();
    sim_.Stop();
    DaemonRun local(clockStart_);
    std::ofstream(local.At("/scenario.scn")) << scenario;
    ASSERT_TRUE(local.Start({{"QAX_IPMI", "sim"}, {"QAX_SIM_SCENARIO", local.At("/scenario.scn")}}));
    ASSERT_TRUE(local.Stopped()) << local.Stderr() << local.Trace();

    EXPECT_EQ(run_.Stderr().find("qax: IPMI"), std::string::npos) << run_.Stderr();  // nothing lost on the way
    EXPECT_EQ(run_.Run({"aim", "get", "qax_module_handle_0"}), "6\n");
    EXPECT_EQ(run_.Keys(), local.Keys());
    // A cycle that came late on a busy machine may span two periods and have
    // no log of its own.
    const std::vector<Figures> lanLogs = run_.MetricLogs(), localLogs = local.MetricLogs();
    ASSERT_GE(lanLogs.size(), 8u) << run_.Trace();
    ASSERT_GE(localLogs.size(), 8u);
    EXPECT_GE(Twins(lanLogs, localLogs), lanLogs.size() - 2);
}

}  // namespace
