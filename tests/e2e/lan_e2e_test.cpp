// The real daemon over the lan transport, against OpenIPMI's ipmi_sim serving
// the firmware emulator: it must see what it sees in process, and live
// through a controller that goes away and comes back. Both runs use the same
// accelerated clock, shared by the daemon and the simulator. Skipped, with
// the reason, where ipmi_sim cannot start.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "ipmi_sim.h"
#include "process.h"
#include "test_root.h"

namespace {

// 10 s of the daemon's cycle in 20 ms: a run of ten minutes takes two
// seconds, and a snapshot period (30 s) still spans several cycles.
constexpr const char *kSpeed = "x300";

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
    bool StartSim(const std::string &scenario, int port = 0) {
        const std::string path = dir_ + "/scenario.scn";
        std::ofstream(path) << scenario;
        return sim_.Start("scenario=" + path + " seed=7 signal_pidfile=" + dir_ + "/daemon.pid",
                          port, {{"QAX_CLOCK", kSpeed}, {"QAX_CLOCK_START", clockStart_}});
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

TEST_F(LanDaemon, SeesWhatItSeesInProcess) {
    const std::string scenario =
        "family rack\nmodule_handle 6\nswing_watts 0\nat 300 reset\nat 600 sigterm\n";
    if (!StartSim(scenario)) GTEST_SKIP() << "ipmi_sim cannot run: " << sim_.Error();

    DaemonRun lan(clockStart_);
    qaxtest::Process daemon = lan.Start(LanEnv());
    ASSERT_GT(daemon.pid, 0);
    TellSimThePid(daemon.pid);
    const int lanStatus = daemon.Wait(30000);
    ASSERT_TRUE(WIFSIGNALED(lanStatus) || WIFEXITED(lanStatus)) << "daemon did not end";
    ASSERT_TRUE(WIFEXITED(lanStatus) && WEXITSTATUS(lanStatus) == 15)
        << lanStatus << "\n" << lan.Stderr() << daemon.Output();

    DaemonRun local(clockStart_);
    const std::string path = local.Path() + "/scenario.scn";
    std::ofstream(path) << scenario;
    qaxtest::Process inProcess = local.Start({{"QAX_IPMI", "sim"}, {"QAX_SIM_SCENARIO", path}});
    ASSERT_GT(inProcess.pid, 0);
    const int simStatus = inProcess.Wait(30000);
    ASSERT_TRUE(WIFEXITED(simStatus) && WEXITSTATUS(simStatus) == 15) << simStatus;

    // The firmware found, its handle published, the first data fetched.
    for (const DaemonRun *run : {&lan, &local}) {
        EXPECT_EQ(run->Aim({"get", "qax_supported_0"}), "1\n");
        EXPECT_EQ(run->Aim({"get", "qax_module_handle_0"}), "6\n");
        EXPECT_EQ(Count(run->Trace(), "fail when get first data"), 0) << run->Trace();
        EXPECT_EQ(Count(run->Trace(), "Get Snapshot buffer from QAX is fail"), 0);
    }
    EXPECT_EQ(lan.Keys(), local.Keys());

    // The same tag sequence: the first snapshot, one new tag per period, the
    // reset where the scenario puts it. Timing differs a little between two
    // real-time runs, so the counts may too.
    const Tags a = ParseTags(lan.Trace()), b = ParseTags(local.Trace());
    ASSERT_FALSE(a.seen.empty()) << lan.Trace();
    ASSERT_FALSE(b.seen.empty());
    EXPECT_EQ(a.seen.front(), b.seen.front());
    EXPECT_EQ(a.resets, 1);
    EXPECT_EQ(b.resets, 1);
    EXPECT_NEAR(a.newData, b.newData, 2);
    // 600 s hold 20 periods; one is the reference, one the reset's.
    EXPECT_NEAR(a.newData, 18, 3);
    int before = a.seen.front();
    for (size_t i = 1; i < a.seen.size(); ++i) {
        const int tag = a.seen[i];
        EXPECT_TRUE(tag == before || tag == before + 1 || tag == 1) << before << " -> " << tag;
        before = tag;
    }
    // Nothing was lost on the way.
    EXPECT_EQ(Count(lan.Stderr(), "qax: IPMI"), 0) << lan.Stderr() << lan.Trace();
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

}  // namespace
