// Starts and stops OpenIPMI's ipmi_sim serving the firmware emulator on a
// fresh loopback port, through scripts/ipmi-sim, for tests of the lan
// transport. Every wait is bounded.
#ifndef QAX_TESTS_IPMI_SIM_H
#define QAX_TESTS_IPMI_SIM_H

#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "process.h"

namespace qaxtest {

// The plugin built beside the tools of this build tree.
inline std::string IpmiSimPlugin() {
    std::string tools = QAX_TOOLS_DIR;
    return tools.substr(0, tools.rfind('/')) + "/sim/plugin/qax_ipmi_sim.so";
}

class IpmiSim {
  public:
    static constexpr const char *kUser = "qax";
    static constexpr const char *kPassword = "qax-sim";

    IpmiSim() = default;
    IpmiSim(const IpmiSim &) = delete;
    IpmiSim &operator=(const IpmiSim &) = delete;
    ~IpmiSim() { Stop(); }

    // Starts the simulator with the plugin's `options`, on `port` (0 = a free
    // one), with `env` added to its environment and `emu` (simulator
    // commands) added to its command file. False with the reason in Error().
    bool Start(const std::string &options, int port = 0,
               const std::map<std::string, std::string> &env = {}, const std::string &emu = "") {
        Stop();
        if (access(IpmiSimPlugin().c_str(), R_OK) != 0) {
            error_ = "plugin not built: " + IpmiSimPlugin();
            return false;
        }
        char tmpl[] = "/tmp/qax-ipmi-test-XXXXXX";
        const char *scratch = mkdtemp(tmpl);
        if (scratch == nullptr) {
            error_ = "mkdtemp failed";
            return false;
        }
        scratch_ = scratch;
        std::vector<std::string> argv = {"/bin/bash", std::string(QAX_SOURCE_DIR) + "/scripts/ipmi-sim",
                                         "start", "--plugin", IpmiSimPlugin(), "--options", options};
        if (port != 0) {
            argv.push_back("--port");
            argv.push_back(std::to_string(port));
        }
        if (!emu.empty()) {
            const std::string path = scratch_ + "/extra.emu";
            std::ofstream(path) << emu;
            argv.push_back("--emu");
            argv.push_back(path);
        }
        std::map<std::string, std::string> all = env;
        all["QAX_IPMI_USER"] = kUser;
        all["IPMI_PASSWORD"] = kPassword;
        // Only what the caller gives: the plugin takes its scenario from
        // `options`, and the clock is real unless `env` says otherwise.
        for (const char *name : {"QAX_SIM_SCENARIO", "QAX_SIM_SEED", "QAX_SIM_SIGNAL_PIDFILE",
                                 "QAX_CLOCK", "QAX_CLOCK_START", "ZOQ_FAMILY"})
            all.emplace(name, "");
        std::string out;
        const int rc = Run(argv, all, scratch_ + "/start.out", &out, 30000);
        dir_ = Field(out, "dir");
        port_ = atoi(Field(out, "port").c_str());
        pid_ = atoi(Field(out, "pid").c_str());
        if (rc != 0 || dir_.empty() || port_ <= 0 || pid_ <= 0) {
            error_ = "scripts/ipmi-sim start failed (status " + std::to_string(rc) +
                     "; see stderr)";
            Stop();
            return false;
        }
        return true;
    }

    void Stop() {
        if (!dir_.empty()) {
            std::string out;
            Run({"/bin/bash", std::string(QAX_SOURCE_DIR) + "/scripts/ipmi-sim", "stop", dir_}, {},
                scratch_ + "/stop.out", &out, 10000);
            dir_.clear();
        }
        if (!scratch_.empty()) {
            std::string out;
            Run({"/bin/rm", "-rf", scratch_}, {}, "/dev/null", &out, 10000);
            scratch_.clear();
        }
    }

    bool Running() const { return !dir_.empty(); }
    int Port() const { return port_; }
    int Pid() const { return pid_; }
    const std::string &Error() const { return error_; }
    std::string Log() const { return ReadAll(dir_ + "/ipmi_sim.log"); }

    // The environment of a lan client of this simulator.
    std::map<std::string, std::string> ClientEnv() const {
        return {{"QAX_IPMI", "lan"},
                {"QAX_IPMI_HOST", "127.0.0.1"},
                {"QAX_IPMI_PORT", std::to_string(port_)},
                {"QAX_IPMI_USER", kUser},
                {"IPMI_PASSWORD", kPassword},
                {"QAX_IPMI_CIPHER", "3"},
                {"QAX_IPMI_WORKAROUNDS", "opensesspriv"}};
    }

    // `ipmitool raw` against the simulator: its exit status, and its
    // standard output in *out.
    int IpmitoolRaw(const std::vector<std::string> &bytes, std::string *out) const {
        std::vector<std::string> argv = {"/usr/bin/ipmitool", "-I", "lanplus", "-H", "127.0.0.1",
                                         "-p", std::to_string(port_), "-U", kUser, "-E", "-C", "3",
                                         "-N", "1", "-R", "2", "raw"};
        argv.insert(argv.end(), bytes.begin(), bytes.end());
        return Run(argv, {{"IPMI_PASSWORD", kPassword}}, scratch_ + "/ipmitool.out", out, 20000);
    }

  private:
    static std::string Field(const std::string &text, const std::string &key) {
        const std::string prefix = key + "=";
        size_t at = text.rfind("\n" + prefix);
        at = at == std::string::npos ? (text.compare(0, prefix.size(), prefix) == 0 ? 0 : at)
                                     : at + 1;
        if (at == std::string::npos) return "";
        const size_t end = text.find('\n', at);
        return text.substr(at + prefix.size(), end == std::string::npos ? std::string::npos
                                                                        : end - at - prefix.size());
    }

    std::string scratch_, dir_, error_;
    int port_ = 0, pid_ = 0;
};

}  // namespace qaxtest

#endif
