// Starts and stops OpenIPMI's ipmi_sim serving the firmware emulator on a
// fresh loopback port, through scripts/ipmi-sim. Every wait is bounded.
#ifndef QAX_TESTS_IPMI_SIM_H
#define QAX_TESTS_IPMI_SIM_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "process.h"

namespace qaxtest {

class IpmiSim {
  public:
    ~IpmiSim() { Stop(); }

    // Starts the simulator serving `scenario` (seed 5) on `port` (0 = a free
    // one), with `emu` in its command file. False with the reason in Error().
    bool Start(const std::string &scenario, int port = 0, const std::string &emu = "") {
        Stop();
        char tmpl[] = "/tmp/qax-ipmi-test-XXXXXX";
        dir_ = mkdtemp(tmpl) != nullptr ? tmpl : "/nonexistent";
        std::ofstream(dir_ + "/scenario.scn") << scenario;
        std::ofstream(dir_ + "/extra.emu") << emu;
        // The script's complaints join its output: the last line is the reason.
        std::vector<std::string> argv = {"/bin/sh",
                                         "-c",
                                         "exec \"$0\" \"$@\" 2>&1",
                                         "/bin/bash",
                                         kScript,
                                         "start",
                                         "--plugin",
                                         QAX_TOOLS_DIR "/../sim/plugin/qax_ipmi_sim.so",
                                         "--dir",
                                         dir_ + "/sim",
                                         "--emu",
                                         dir_ + "/extra.emu",
                                         "--options",
                                         "scenario=" + dir_ + "/scenario.scn seed=5"};
        if (port != 0) argv.insert(argv.end(), {"--port", std::to_string(port)});
        // The script's default user, the real clock; the rest is in the options.
        std::map<std::string, std::string> env;
        for (const char *name : {"QAX_IPMI_USER", "IPMI_PASSWORD", "QAX_SIM_SCENARIO", "QAX_SIM_SEED",
                                 "QAX_SIM_SIGNAL_PIDFILE", "QAX_CLOCK", "QAX_CLOCK_START", "ZOQ_FAMILY"})
            env.emplace(name, "");
        std::string out;
        const int rc = Run(argv, env, dir_ + "/start.out", &out, 30000);
        const size_t at = out.find("\nport=");
        port_ = at == std::string::npos ? 0 : atoi(out.c_str() + at + 6);
        if (rc == 0 && port_ > 0) return true;
        error_ = out.substr(out.rfind('\n', out.size() - 2) + 1);  // the last line
        Stop();
        return false;
    }

    void Stop() {
        if (dir_.empty()) return;
        Run({"/bin/bash", kScript, "stop", dir_ + "/sim"}, {}, "/dev/null", nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        dir_.clear();
    }

    int Port() const { return port_; }
    const std::string &Error() const { return error_; }
    // The environment of a lan client of this simulator.
    std::map<std::string, std::string> ClientEnv(const char *timeoutMs = "2000") const {
        return {{"QAX_IPMI", "lan"},
                {"QAX_IPMI_HOST", "127.0.0.1"},
                {"QAX_IPMI_PORT", std::to_string(port_)},
                {"QAX_IPMI_USER", "qax"},
                {"IPMI_PASSWORD", "qax-sim"},
                {"QAX_IPMI_CIPHER", "3"},
                {"QAX_IPMI_WORKAROUNDS", "opensesspriv"},
                {"QAX_IPMI_TIMEOUT_MS", timeoutMs}};
    }

  private:
    static constexpr const char *kScript = QAX_SOURCE_DIR "/scripts/ipmi-sim";
    std::string dir_, error_;
    int port_ = 0;
};

}  // namespace qaxtest

#endif
