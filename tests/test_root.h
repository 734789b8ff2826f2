// A fresh installation root for one test: QAX_ROOT points at a new temporary
// directory, the clock is virtual, and everything is removed afterwards.
#ifndef QAX_TESTS_TEST_ROOT_H
#define QAX_TESTS_TEST_ROOT_H

#include <stdlib.h>

#include <array>
#include <filesystem>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "process.h"

namespace qaxtest {

class TestRoot {
  public:
    explicit TestRoot(const char *clock = "virtual") {
        char tmpl[] = "/tmp/qax-test-XXXXXX";
        const char *dir = mkdtemp(tmpl);
        path_ = dir != nullptr ? dir : "/tmp/qax-test-failed";
        setenv("QAX_ROOT", path_.c_str(), 1);
        setenv("QAX_CLOCK", clock, 1);
        setenv("QAX_CLOCK_START", "1798761600", 1);
        setenv("TZ", "UTC", 1);
        aim_config_close();
        QaxClockReset();
        char buf[4096];
        QaxPath("/", buf, sizeof(buf));  // creates tmp/ and pstorage/
    }
    ~TestRoot() {
        aim_config_close();
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
        unsetenv("QAX_ROOT");
    }
    TestRoot(const TestRoot &) = delete;
    TestRoot &operator=(const TestRoot &) = delete;

    const std::string &Path() const { return path_; }

  private:
    std::string path_;
};

// A root for the real programs: their environment (the emulator as firmware,
// seed 7, scenario file "scenario.scn", the virtual clock from 2027-01-01 UTC;
// tests change `env`), how to run them, and what they leave there.
class Site : public TestRoot {
  public:
    explicit Site(const char *clock = "virtual")
        : TestRoot(clock), env{{"QAX_ROOT", Path()}, {"QAX_CLOCK", clock},  {"QAX_CLOCK_START", "1798761600"},
                               {"QAX_IPMI", "sim"},  {"QAX_SIM_SEED", "7"}, {"QAX_SIM_SCENARIO", At("scenario.scn")},
                               {"TZ", "UTC"},        {"ZOQ_FAMILY", ""}} {}
    std::string At(const std::string &rel) const { return Path() + "/" + rel; }

    // "qax" and "qax-aim" as the first word name the built programs.
    Process Start(std::vector<std::string> argv, const std::string &outName = "daemon.out") const {
        if (argv[0] == "qax" || argv[0] == "qax-aim")
            argv[0] = argv[0] == "qax" ? QAX_BINARY : QAX_TOOLS_DIR "/qax-aim";
        return qaxtest::Start(argv, env, At(outName));
    }
    // Runs to the end: the exit code (-1 on time-out), the output in `out`.
    int Run(const std::vector<std::string> &argv, std::string *out = nullptr, int timeoutMs = 120000) const {
        const int code = ExitCode(Start(argv, "run.out").Wait(timeoutMs));
        if (out != nullptr) *out = ReadAll(At("run.out"));
        return code;
    }
    // The daemon on `scenario` until the scenario's own SIGTERM: its exit code.
    int RunDaemon(const std::string &scenario, std::string *out = nullptr, std::vector<std::string> args = {}) {
        std::ofstream(At("scenario.scn"), std::ios::trunc) << scenario;
        args.insert(args.begin(), "qax");
        return Run(args, out);
    }
    // What "qax-aim ARGS" prints.
    std::string Aim(std::vector<std::string> args) const {
        std::string out;
        args.insert(args.begin(), "qax-aim");
        Run(args, &out);
        return out;
    }
    // A stored key's value; -1 when it has none.
    long long AimInt(const std::string &key) const {
        const std::string out = Aim({"get", key});
        return out.empty() ? -1 : std::strtoll(out.c_str(), nullptr, 10);
    }
    std::string Trace() const {
        return ReadAll(At("tmp/qax_trace/qax_trace_log_0.txt")) + ReadAll(At("tmp/qax_trace/qax_trace_log_1.txt"));
    }
    // The fetches the trace's tag comparisons show (at trace level 1): new
    // data, nothing new, and firmware resets.
    std::array<int, 3> Fetches() const {
        const std::string trace = Trace();
        const std::regex tagLine("psBuffer->u16Tag is (\\d+) & u16LastTag is (\\d+)");
        std::array<int, 3> n = {0, 0, 0};
        for (auto it = std::sregex_iterator(trace.begin(), trace.end(), tagLine); it != std::sregex_iterator(); ++it) {
            const int tag = std::stoi((*it)[1]), last = std::stoi((*it)[2]);
            n[tag == 1 && last > 1 ? 2 : tag == last ? 1 : 0]++;
        }
        return n;
    }
    // "qax -r" on the newest file of the ring, which must hold the published snapshot.
    std::string NewestReport() const {
        const std::string last = ReadAll(At("tmp/qax_log/qax_last.log"));
        std::string out;
        EXPECT_EQ(last.size(), 1u) << "no qax_last.log";
        if (last.size() != 1) return out;
        EXPECT_EQ(Run({"qax", "-r", At("tmp/qax_log/qax_" + std::to_string(uint8_t(last[0])) + ".log")}, &out), 0);
        const long long stamp = AimInt("QAX_timestamp");
        EXPECT_NE(out.find("\nTimestamp: " + std::to_string(stamp) + "\r\n"), std::string::npos) << out;
        return out;
    }

    std::map<std::string, std::string> env;
};

}  // namespace qaxtest

#endif
