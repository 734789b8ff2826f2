// The real daemon over the lan transport, against OpenIPMI's ipmi_sim serving
// the firmware emulator: it must see what it sees in process, and live
// through a controller that goes away and comes back. Both runs use the same
// accelerated clock, shared by the daemon and the simulator. Skipped, with
// the reason, where ipmi_sim cannot start.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include "ipmi_sim.h"
#include "process.h"
#include "test_root.h"

namespace {

// 10 s of the daemon's cycle in 67 ms: a run of 360 s takes 2.4 seconds,
// and a snapshot period (30 s, 200 ms) still spans three cycles even on a
// busy machine or under the sanitizers.
constexpr const char *kSpeed = "x150";

struct Tags {
    std::vector<int> seen;  // every fetched tag, in order
    int resets = 0, newData = 0, same = 0;
};

Tags ParseTags(const std::string &trace) {
    Tags t;
    const std::regex line("psBuffer->u16Tag is (\\d+) & u16LastTag is (\\d+)");
    for (auto it = std::sregex_iterator(trace.begin(), trace.end(), line);
         it != std::sregex_iterator(); ++it) {
        const int tag = std::stoi((*it)[1]), last = std::stoi((*it)[2]);
        t.seen.push_back(tag);
        if (tag == 1 && last > 1) t.resets++;
        else if (tag != last) t.newData++;
        else t.same++;
    }
    return t;
}

int Count(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

void SleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// One daemon run in its own root.
class DaemonRun {
  public:
    explicit DaemonRun(const std::string &clockStart) : root_(kSpeed), clockStart_(clockStart) {}

    std::map<std::string, std::string> Env(const std::map<std::string, std::string> &extra) const {
        std::map<std::string, std::string> env = {
            {"QAX_ROOT", root_.Path()}, {"QAX_CLOCK", kSpeed}, {"QAX_CLOCK_START", clockStart_},
            {"TZ", "UTC"},           {"ZOQ_FAMILY", ""},    {"QAX_SIM_SEED", "7"}};
        for (const auto &kv : extra) env[kv.first] = kv.second;
        return env;
    }
    std::string Aim(const std::vector<std::string> &args) const {
        std::vector<std::string> argv = {std::string(QAX_TOOLS_DIR) + "/qax-aim"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        qaxtest::Run(argv, Env({}), root_.Path() + "/aim.out", &out);
        return out;
    }
    // The daemon with `env`; its stderr goes to a file of its own.
    qaxtest::Process Start(const std::map<std::string, std::string> &env) {
        Aim({"set", "QAX_power_history_log_level", "1", "--persistent"});
        const std::string errPath = root_.Path() + "/daemon.err";
        return qaxtest::Start({"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"", QAX_BINARY, errPath},
                              Env(env), root_.Path() + "/daemon.out");
    }
    std::string Trace() const {
        return qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt") +
               qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_1.txt");
    }
    std::string Stderr() const { return qaxtest::ReadAll(root_.Path() + "/daemon.err"); }
    // Names of the published keys (values change from run to run).
    std::set<std::string> Keys() const {
        std::set<std::string> keys;
        std::string list = Aim({"list"});
        size_t at = 0;
        while (at < list.size()) {
            size_t end = list.find('\n', at);
            if (end == std::string::npos) end = list.size();
            const std::string line = list.substr(at, end - at);
            const size_t cut = line.find_first_of(" =\t");
            if (!line.empty()) keys.insert(line.substr(0, cut));
            at = end + 1;
        }
        return keys;
    }
    const std::string &Path() const { return root_.Path(); }

  private:
    qaxtest::TestRoot root_;
    std::string clockStart_;
};

// Waits (bounded, real time) until `done` holds.
template <typename F>
bool WaitFor(F done, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (done()) return true;
        SleepMs(20);
    }
    return done();
}

class LanDaemon : public ::testing::Test {
  protected:
    void SetUp() override {
        clockStart_ = std::to_string(time(nullptr));
        char tmpl[] = "/tmp/qax-lan-e2e-XXXXXX";
        const char *dir = mkdtemp(tmpl);
        ASSERT_NE(dir, nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        sim_.Stop();
        std::string out;
        qaxtest::Run({"/bin/rm", "-rf", dir_}, {}, "/dev/null", &out);
    }
    // The simulator with `scenario`, on the shared clock; `port` 0 = a new one.
    bool StartSim(const std::string &scenario, int port = 0, const std::string &emu = "") {
        const std::string path = dir_ + "/scenario.scn";
        std::ofstream(path) << scenario;
        return sim_.Start("scenario=" + path + " seed=7 signal_pidfile=" + dir_ + "/daemon.pid",
                          port, {{"QAX_CLOCK", kSpeed}, {"QAX_CLOCK_START", clockStart_}}, emu);
    }
    std::map<std::string, std::string> LanEnv(std::map<std::string, std::string> extra = {}) {
        std::map<std::string, std::string> env = sim_.ClientEnv();
        env["QAX_SIM_SCENARIO"] = "";
        for (const auto &kv : extra) env[kv.first] = kv.second;
        return env;
    }
    // Lets the scenario's "sigterm" reach the daemon over the network.
    void TellSimThePid(pid_t pid) {
        std::ofstream(dir_ + "/daemon.pid") << pid << "\n";
    }

    std::string clockStart_, dir_;
    qaxtest::IpmiSim sim_;
};

// The metric logs of a run: one report per file, ordered by timestamp; each
// is the figures ("Label Avg:a Max:b Min:c") of one snapshot interval.
std::vector<std::map<std::string, std::vector<long long>>> MetricLogs(const DaemonRun &run) {
    std::vector<std::pair<long long, std::map<std::string, std::vector<long long>>>> logs;
    const std::string dir = run.Path() + "/tmp/qax_log/";
    const std::regex entry("^(\\w+(?:\\[\\d+\\])?) Avg:(\\d+) Max:(\\d+) Min:(\\d+)\r?$");
    const std::regex stamp("^Timestamp: (\\d+)\r?$");
    for (int i = 0; i < 120; ++i) {
        const std::string path = dir + "qax_" + std::to_string(i) + ".log";
        if (qaxtest::ReadAll(path).empty()) continue;
        std::string out;
        // The reader asks the firmware's capabilities: any firmware will do.
        qaxtest::Run({QAX_BINARY, "-r", path}, run.Env({{"QAX_IPMI", "sim"}}),
                     run.Path() + "/read.out", &out);
        std::map<std::string, std::vector<long long>> figures;
        long long when = -1;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            std::smatch m;
            if (std::regex_match(line, m, entry))
                figures[m[1]] = {std::stoll(m[2]), std::stoll(m[3]), std::stoll(m[4])};
            else if (std::regex_match(line, m, stamp))
                when = std::stoll(m[1]);
        }
        if (!figures.empty()) logs.emplace_back(when, figures);
    }
    std::sort(logs.begin(), logs.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<std::map<std::string, std::vector<long long>>> out;
    for (auto &l : logs) out.push_back(l.second);
    return out;
}

// The power figures of one interval agree (the two runs' clocks may stamp a
// snapshot a millisecond apart, which can move a rounded mean by one watt).
bool SameInterval(const std::map<std::string, std::vector<long long>> &a,
                  const std::map<std::string, std::vector<long long>> &b) {
    int compared = 0;
    for (const char *label : {"SystemAC", "SystemDC", "CPUPower", "MemoryPower", "CoolingPower",
                              "PowerSupplyAC[0]", "PowerSupplyAC[1]"}) {
        auto x = a.find(label), y = b.find(label);
        if (x == a.end() || y == b.end()) continue;
        for (size_t i = 0; i < 3 && i < x->second.size() && i < y->second.size(); ++i)
            if (std::llabs(x->second[i] - y->second[i]) > 1) return false;
        compared++;
    }
    return compared >= 2;
}

// One scenario, once over the network and once in process: the same firmware
// found, the same keys published, the same tags, and metric log files with the
// same figures for the same snapshot intervals.
TEST_F(LanDaemon, PublishesWhatItPublishesInProcess) {
    // No daily swing: the power of each second depends only on the seed and
    // the second's number, so both runs see the same snapshots.
    const std::string scenario = "family rack\nmodule_handle 6\nswing_watts 0\nat 360 sigterm\n";
    if (!StartSim(scenario)) GTEST_SKIP() << "ipmi_sim cannot run: " << sim_.Error();

    DaemonRun lan(clockStart_);
    qaxtest::Process daemon = lan.Start(LanEnv());
    ASSERT_GT(daemon.pid, 0);
    TellSimThePid(daemon.pid);
    const int lanStatus = daemon.Wait(60000);
    ASSERT_TRUE(WIFEXITED(lanStatus) && WEXITSTATUS(lanStatus) == 15)
        << lanStatus << "\n" << lan.Stderr() << daemon.Output();
    sim_.Stop();

    DaemonRun local(clockStart_);
    const std::string path = local.Path() + "/scenario.scn";
    std::ofstream(path) << scenario;
    qaxtest::Process inProcess = local.Start({{"QAX_IPMI", "sim"}, {"QAX_SIM_SCENARIO", path}});
    ASSERT_GT(inProcess.pid, 0);
    const int simStatus = inProcess.Wait(60000);
    ASSERT_TRUE(WIFEXITED(simStatus) && WEXITSTATUS(simStatus) == 15)
        << simStatus << "\n" << local.Stderr() << local.Trace();

    for (const DaemonRun *run : {&lan, &local}) {
        EXPECT_EQ(run->Aim({"get", "qax_supported_0"}), "1\n");
        EXPECT_EQ(run->Aim({"get", "qax_module_handle_0"}), "6\n");
        EXPECT_EQ(Count(run->Trace(), "fail when get first data"), 0) << run->Trace();
    }
    EXPECT_EQ(lan.Keys(), local.Keys());
    // Nothing was lost on the way.
    EXPECT_EQ(Count(lan.Stderr(), "qax: IPMI"), 0) << lan.Stderr();

    // The tags: the firmware's first snapshot (121 after an hour of prior
    // uptime; 122 when the first fetch straddled a period), then one more
    // per period, never backwards.
    const Tags a = ParseTags(lan.Trace()), b = ParseTags(local.Trace());
    ASSERT_FALSE(a.seen.empty()) << lan.Trace();
    ASSERT_FALSE(b.seen.empty());
    for (const Tags *t : {&a, &b}) {
        EXPECT_GE(t->seen.front(), 121);
        EXPECT_LE(t->seen.front(), 122);
        EXPECT_EQ(t->resets, 0);
        EXPECT_NEAR(t->newData, 11, 2);  // 360 s hold 12 periods; the first is the reference
        for (size_t i = 1; i < t->seen.size(); ++i) EXPECT_GE(t->seen[i], t->seen[i - 1]);
    }

    // Every metric log of the network run has its twin in the in-process
    // run, in the same order. A cycle that came late on a busy machine may
    // span two periods and have none.
    const auto lanLogs = MetricLogs(lan), localLogs = MetricLogs(local);
    ASSERT_GE(lanLogs.size(), 8u) << lan.Trace();
    ASSERT_GE(localLogs.size(), 8u);
    size_t twins = 0, from = 0;
    for (const auto &log : lanLogs) {
        for (size_t j = from; j < localLogs.size(); ++j) {
            if (SameInterval(log, localLogs[j])) {
                twins++;
                from = j + 1;
                break;
            }
        }
    }
    EXPECT_GE(twins, lanLogs.size() - 2) << twins << " of " << lanLogs.size();
}

TEST_F(LanDaemon, ControllerGoneAndBack) {
    if (!StartSim("family rack\nmodule_handle 3\n"))
        GTEST_SKIP() << "ipmi_sim cannot run: " << sim_.Error();
    const int port = sim_.Port();
    DaemonRun lan(clockStart_);
    qaxtest::Process daemon = lan.Start(LanEnv({{"QAX_IPMI_TIMEOUT_MS", "300"}}));
    ASSERT_GT(daemon.pid, 0);
    auto tags = [&lan] { return ParseTags(lan.Trace()).seen.size(); };

    ASSERT_TRUE(WaitFor([&] { return tags() >= 3; }, 15000)) << lan.Trace() << lan.Stderr();
    sim_.Stop();
    EXPECT_TRUE(WaitFor([&] { return Count(lan.Trace(), "Get Snapshot buffer from QAX is fail") >= 2; },
                        15000))
        << lan.Trace();
    const size_t tagsWhileDown = tags();

    ASSERT_TRUE(StartSim("family rack\nmodule_handle 3\n", port)) << sim_.Error();
    EXPECT_TRUE(WaitFor([&] { return tags() >= tagsWhileDown + 3; }, 15000))
        << lan.Trace() << lan.Stderr();
    kill(daemon.pid, SIGTERM);
    const int status = daemon.Wait(10000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 15) << status;

    // One line when the controller went away, one when it was back.
    const std::string err = lan.Stderr();
    EXPECT_EQ(Count(err, "no session with 127.0.0.1:" + std::to_string(port)), 1) << err;
    EXPECT_EQ(Count(err, "is back"), 1) << err;
    EXPECT_EQ(lan.Aim({"get", "qax_module_handle_0"}), "3\n");
}

// On a blade the inlet temperatures come from the controller's sensor
// records, read over the same session: they reach the metric log.
TEST_F(LanDaemon, BladeInletSensorsFromTheControllersRepository) {
    const std::string emu = qaxtest::SdrSensor(0x30, "CPU 1 Temp", 45) +
                            qaxtest::SdrSensor(0x31, "Inlet Temp", 49, 5, -1) +
                            qaxtest::SdrSensor(0x32, "Inlet 2 Temp", 26);
    if (!StartSim("family blade\nat 120 sigterm\n", 0, emu))
        GTEST_SKIP() << "ipmi_sim cannot run: " << sim_.Error();
    DaemonRun lan(clockStart_);
    qaxtest::Process daemon = lan.Start(LanEnv({{"ZOQ_FAMILY", "blade"}}));
    ASSERT_GT(daemon.pid, 0);
    TellSimThePid(daemon.pid);
    const int status = daemon.Wait(60000);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 15) << status << lan.Stderr();

    const std::string last = qaxtest::ReadAll(lan.Path() + "/tmp/qax_log/qax_last.log");
    ASSERT_EQ(last.size(), 1u) << lan.Trace();
    std::string report;
    ASSERT_EQ(qaxtest::Run({QAX_BINARY, "-r",
                            lan.Path() + "/tmp/qax_log/qax_" +
                                std::to_string(static_cast<uint8_t>(last[0])) + ".log"},
                           lan.Env(LanEnv()), lan.Path() + "/read.out", &report),
              0);
    // The readings as the repository converts them; the CPU sensor is no
    // inlet.
    EXPECT_NE(report.find("InletSensorName:Inlet Temp  Temperature:24.5"), std::string::npos)
        << report;
    EXPECT_NE(report.find("InletSensorName:Inlet 2 Temp  Temperature:26"), std::string::npos)
        << report;
    EXPECT_EQ(report.find("CPU 1 Temp"), std::string::npos);
    EXPECT_EQ(Count(lan.Trace(), "Failed to get inlet temperature"), 0);
}

}  // namespace
