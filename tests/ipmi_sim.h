// Starts and stops OpenIPMI's ipmi_sim serving the firmware emulator on a
// fresh loopback port, through scripts/ipmi-sim, for tests of the lan
// transport. Every wait is bounded.
#ifndef QAX_TESTS_IPMI_SIM_H
#define QAX_TESTS_IPMI_SIM_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

namespace qaxtest {

// The plugin built beside the tools of this build tree.
inline std::string IpmiSimPlugin() {
    std::string tools = QAX_TOOLS_DIR;
    return tools.substr(0, tools.rfind('/')) + "/sim/plugin/qax_ipmi_sim.so";
}

// ipmi_sim commands for one threshold sensor (temperature unless `type` says
// otherwise): its full sensor record in the main repository, the sensor, and
// its raw value. It reads raw * m * 10^rexp.
inline std::string SdrSensor(int number, const std::string &name, int raw, int m = 1,
                              int rexp = 0, int type = 0x01) {
    std::vector<uint8_t> body = {0x20, 0x00, static_cast<uint8_t>(number), 0x07, 0x01, 0x7F, 0x40,
                  static_cast<uint8_t>(type), 0x01, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00,
                  static_cast<uint8_t>(m & 0xFF), static_cast<uint8_t>(((m >> 8) & 3) << 6), 0, 0,
                  0, static_cast<uint8_t>((rexp & 0xF) << 4), 0, 0, 0, 0, 0xFF, 0x00,
                  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                  static_cast<uint8_t>(0xC0 | name.size())};
    body.insert(body.end(), name.begin(), name.end());
    std::vector<uint8_t> record = {0x00, 0x00, 0x51, 0x01, static_cast<uint8_t>(body.size())};
    record.insert(record.end(), body.begin(), body.end());
    std::string line = "main_sdr_add 0x20";
    char hex[8];
    for (uint8_t b : record) {
        snprintf(hex, sizeof hex, " 0x%02x", b);
        line += hex;
    }
    snprintf(hex, sizeof hex, "0x%02x", number);
    return line + "\nsensor_add 0x20 0 " + hex + " " + std::to_string(type) + " 0x01\n" +
           "sensor_set_value 0x20 0 " + hex + " " + std::to_string(raw) + " 0\n";
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
        // The script's complaints go to a file: the last one is the reason.
        const std::string errPath = scratch_ + "/start.err";
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>\"$0\"", errPath,
                                         "/bin/bash", std::string(QAX_SOURCE_DIR) + "/scripts/ipmi-sim",
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
            std::string why = ReadAll(errPath);
            while (!why.empty() && why.back() == '\n') why.pop_back();
            fprintf(stderr, "%s\n", why.c_str());
            why = why.substr(why.rfind('\n') == std::string::npos ? 0 : why.rfind('\n') + 1);
            error_ = "scripts/ipmi-sim start failed (status " + std::to_string(rc) + "): " + why;
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
    // The value of a "key=value" line of the script's output.
    static std::string Field(const std::string &text, const std::string &key) {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
        return "";
    }

    std::string scratch_, dir_, error_;
    int port_ = 0, pid_ = 0;
};

}  // namespace qaxtest

#endif
