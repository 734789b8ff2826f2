// IPMI requests and answers as the transports get and give them, and the lan
// transport against OpenIPMI's ipmi_sim serving the firmware emulator, started
// through scripts/ipmi-sim on a fresh loopback port with every wait bounded
// (skipped, with the reason, where it cannot start).
#include "platform/ipmi_freeipmi.h"
#include "platform/ipmi_internal.h"
#include "platform/platform.h"
#include "sim/sim.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"

namespace {

using Bytes = std::vector<uint8_t>;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

const std::string kScript = QAX_SOURCE_DIR "/scripts/ipmi-sim";
const Bytes kInstance0 = {0x4D, 0x4F, 0x00, 0x00, 0x00, 0x01};  // command 0x82

int Call(Bytes request, Bytes *answer, int cmd = 0x81) {
    uint8_t response[256] = {};
    int length = sizeof response;
    const int r = IPMI_DoIPMICmd(0x2E, cmd, request.data(), static_cast<int>(request.size()), response, &length);
    answer->assign(response, response + (r == 0 ? length : 0));
    return r;
}

// Each test's simulator; UseSim makes this process its lan client until the
// test ends.
class LanTransport : public ::testing::Test {
  protected:
    void TearDown() override {
        StopSim();
        for (const char *name : {"QAX_IPMI", "QAX_IPMI_HOST", "QAX_IPMI_PORT", "QAX_IPMI_USER", "IPMI_PASSWORD",
                                 "QAX_IPMI_CIPHER", "QAX_IPMI_WORKAROUNDS", "QAX_IPMI_TIMEOUT_MS"})
            unsetenv(name);
        QaxIpmiResetTransport();
    }
    // Starts the simulator serving `scenario` (seed 5) on `port` (0 = a free
    // one), with `emu` in its command file. False with the reason in error_.
    bool StartSim(const std::string &scenario, int port = 0, const std::string &emu = "") {
        StopSim();
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
        const int rc = qaxtest::Run(argv, env, dir_ + "/start.out", &out, 30000);
        const size_t at = out.find("\nport=");
        port_ = at == std::string::npos ? 0 : atoi(out.c_str() + at + 6);
        if (rc == 0 && port_ > 0) return true;
        error_ = out.substr(out.rfind('\n', out.size() - 2) + 1);  // the last line
        StopSim();
        return false;
    }

    void StopSim() {
        if (dir_.empty()) return;
        qaxtest::Run({"/bin/bash", kScript, "stop", dir_ + "/sim"}, {}, "/dev/null", nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        dir_.clear();
    }

    // The transport is chosen again at the next request.
    // Short time-outs: the loss of the controller is timed.
    void UseSim() {
        const std::map<std::string, std::string> env = {{"QAX_IPMI", "lan"},
                                                        {"QAX_IPMI_HOST", "127.0.0.1"},
                                                        {"QAX_IPMI_PORT", std::to_string(port_)},
                                                        {"QAX_IPMI_USER", "qax"},
                                                        {"IPMI_PASSWORD", "qax-sim"},
                                                        {"QAX_IPMI_CIPHER", "3"},
                                                        {"QAX_IPMI_WORKAROUNDS", "opensesspriv"},
                                                        {"QAX_IPMI_TIMEOUT_MS", "300"}};
        for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        QaxIpmiResetTransport();
    }

    std::string dir_, error_;
    int port_ = 0;
};

#define START_SIM_OR_SKIP(...) \
    if (!StartSim(__VA_ARGS__)) GTEST_SKIP() << "ipmi_sim cannot run: " << error_

// ipmi_sim commands for a threshold sensor of `type` (1 = temperature): its full
// record in the main repository, and its raw value; it reads raw * m * 10^rexp.
std::string SdrSensor(int number, const char *name, int raw, int m = 1, int rexp = 0, int type = 1) {
    char line[300];
    int n = snprintf(line, sizeof line,
                     "main_sdr_add 0x20 0 0 0x51 1 %zu 0x20 0 %d 7 1 0x7F 0x40 %d 1 0 0 0 0 0 0 0 "
                     "1 0 0 %d 0 0 0 0 %d 0 0 0 0 0xFF 0 0 0 0 0 0 0 0 0 0 0 0 %zu",
                     43 + strlen(name), number, type, m, (rexp & 0xF) << 4, 0xC0 | strlen(name));
    for (const char *c = name; *c != '\0'; ++c) n += snprintf(line + n, sizeof line - n, " %d", *c);
    snprintf(line + n, sizeof line - n, "\nsensor_add 0x20 0 %d %d 1\nsensor_set_value 0x20 0 %d %d 0\n", number, type,
             number, raw);
    return line;
}

// The simulator and an in-process emulator held to the simulator's 36-byte
// answers answer alike, byte for byte; sensor records come from the
// controller's repository. A controller replaced on its port is then reached
// through a new session at once; one gone costs a call at most two time-outs,
// then nothing until the back-off has passed; one back on its port is reached
// again. Each change is said once.
TEST_F(LanTransport, AnswersSensorsAndAControllerReplacedGoneAndBack) {
    const std::string scenario =
        "module_handle 9\nexpansion on\nexpansion_handle 4\nregister 0x07 0 610\n"
        "psu_type 1100\npsu_config 1 0x7E 1 1 0 0\n"
        "psu_config 2 0x03 2 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
    START_SIM_OR_SKIP(scenario, 0,
                      SdrSensor(0x10, "Inlet Temp", 25) + SdrSensor(0x11, "CPU 1 Temp", 91, 5, -1) +
                          SdrSensor(0x12, "12V", 120, 1, 0, 0x02));
    UseSim();
    std::string error;
    qaxsim::Host host{[] { return uint64_t{1798761600000}; }, [] { return uint64_t{1000}; }, {}, {}};
    std::shared_ptr<qaxsim::Emulator> local = qaxsim::MakeEmulator(scenario, 5, host, &error);
    ASSERT_TRUE(local) << error;
    const struct {
        int cmd;
        Bytes bytes;
    } requests[] = {
        {0x82, kInstance0},
        {0x81, {0x4D, 0x4F, 0x00, 0x33, 0x07, 0x82, 0x00, 0x02}},              // unknown handle
        {0x81, {0x4D, 0x4F, 0x00, 0x09, 0x0A, 0x87, 0x01, 0x01, 0xFF}},        // 7+11+30 bytes: 0xCA
        {0x81, {0x4D, 0x4F, 0x00, 0x09, 0x03, 0x81, 0x00, 0x00, 0x00, 0xC8}},  // 200 asked, 28 sent
        {0x81, {0x4D, 0x4F, 0x00, 0x09, 0x07, 0x83, 0x00, 0x02, 0x02, 0x26}},  // write
        {0x81, {0x4D, 0x4F, 0x00, 0x09, 0x07, 0x82, 0x00, 0x02}},              // read back
    };
    for (const auto &rq : requests) {
        Bytes remote;
        ASSERT_EQ(Call(rq.bytes, &remote, rq.cmd), 0) << &rq - requests;
        uint8_t expected[36];
        int length = sizeof expected;
        ASSERT_EQ(qaxsim::HandleRequest(*local, 0x2E, rq.cmd, rq.bytes.data(), static_cast<int>(rq.bytes.size()),
                                        expected, &length),
                  0);
        EXPECT_EQ(remote, Bytes(expected, expected + length)) << &rq - requests;
    }
    // "byte2 type number name=reading;" for each record of `type`, as many as
    // fit in `records` of them.
    auto read = [](uint8_t type, uint32_t records) {
        std::vector<uint8_t> buffer(records * QAX_SENSOR_RECORD_SIZE + 100, 0xEE);
        uint32_t length = 1, size = static_cast<uint32_t>(buffer.size());
        EXPECT_EQ(GetAllSensorInfoByType(&length, size, &type, buffer.data()), 0);
        EXPECT_EQ(length % QAX_SENSOR_RECORD_SIZE, 0u);
        std::string out;
        char one[80];
        for (uint32_t at = 0; at + QAX_SENSOR_RECORD_SIZE <= length; at += QAX_SENSOR_RECORD_SIZE) {
            const uint8_t *r = &buffer[at];
            const char *text = reinterpret_cast<const char *>(r);
            snprintf(one, sizeof one, "%d %d %d %.40s=%.20s;", r[2], r[3], r[4], text + 6, text + 198);
            out += one;
        }
        return out;
    };
    EXPECT_EQ(read(1, 10), "0 1 16 Inlet Temp=25;0 1 17 CPU 1 Temp=45.5;");
    EXPECT_EQ(read(2, 10), "0 2 18 12V=120;");
    EXPECT_EQ(read(1, 1), "0 1 16 Inlet Temp=25;");

    const int port = port_;
    Bytes answer;
    StopSim();
    ASSERT_TRUE(StartSim("", port)) << error_;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Call(kInstance0, &answer, 0x82), 0);
    StopSim();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Call(kInstance0, &answer, 0x82), QAX_IPMI_ERR_LINK);
    EXPECT_LT(Seconds(start), 2.0);
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Call(kInstance0, &answer, 0x82), QAX_IPMI_ERR_LINK);
    EXPECT_LT(Seconds(start), 0.2);
    ASSERT_TRUE(StartSim("", port)) << error_;
    int result = -1;
    for (int i = 0; i < 30 && (result = Call(kInstance0, &answer, 0x82)) != 0; ++i) usleep(100000);
    EXPECT_TRUE(result == 0 && Call(kInstance0, &answer, 0x82) == 0);  // said back once, not per answer
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
    EXPECT_NE(err.find("re-opened"), std::string::npos) << err;
    EXPECT_NE(err.find("no session with 127.0.0.1:" + std::to_string(port)), std::string::npos) << err;
    EXPECT_NE(err.find("is back"), std::string::npos) << err;
}

// A transport that records the last call it is handed and answers from a script.
struct Recorder {
    int calls = 0, cmd = 0, capacity = 0, result = 0, claimed = -1;  // claimed >= 0: the length reported
    Bytes request, answer{0x00, 0x4D, 0x4F, 0x00};
    static int Transport(void *context, int, int cmd, const uint8_t *request, int requestLen, uint8_t *response,
                         int *responseLen) {
        Recorder &r = *static_cast<Recorder *>(context);
        r.calls++, r.cmd = cmd, r.capacity = *responseLen;
        r.request.assign(request, request + requestLen);
        const int n = std::min(static_cast<int>(r.answer.size()), *responseLen);
        std::copy(r.answer.begin(), r.answer.begin() + n, response);
        *responseLen = r.claimed >= 0 ? r.claimed : n;
        return r.result;
    }
};

class IpmiTest : public ::testing::Test {
  protected:
    void SetUp() override { QaxIpmiSetTransportOverride(&Recorder::Transport, &recorder_); }
    void TearDown() override {
        QaxIpmiSetTransportOverride(nullptr, nullptr);
        unsetenv("QAX_IPMI");
        QaxIpmiResetTransport();
    }
    int Call(uint8_t *request, int requestLen, uint8_t *response, int capacity, int netFn = 0x2E, int cmd = 0x81) {
        length_ = capacity;
        return IPMI_DoIPMICmd(netFn, cmd, request, requestLen, response, &length_);
    }
    Recorder recorder_;
    int length_ = 0;
    uint8_t request_[256] = {0x4D, 0x4F, 0x00, 0x01, 0x00, 0x01}, response_[QAX_SENSOR_RECORD_SIZE];
};

// Only well-formed calls reach the transport, which is offered at most what an
// IPMI answer can hold; only answers that fit pass, and a failure's code is passed on.
TEST_F(IpmiTest, TransportGetsExactBytesAndOnlyPlausibleAnswersPass) {
    const uint64_t before = QaxIpmiRequestCount();
    ASSERT_EQ(Call(request_, 6, response_, 10, 0x2E, 0x82), 0);
    EXPECT_EQ(QaxIpmiRequestCount(), before + 1);
    EXPECT_TRUE(recorder_.calls == 1 && recorder_.cmd == 0x82 && recorder_.capacity == 10);
    EXPECT_EQ(recorder_.request, Bytes(request_, request_ + 6));
    EXPECT_EQ(Bytes(response_, response_ + length_), recorder_.answer);
    EXPECT_EQ(Call(request_, 255, response_, 1000), 0);
    EXPECT_TRUE(recorder_.request.size() == 255 && recorder_.capacity == 255) << recorder_.capacity;
    // Null request, length, capacity, net function, command, null answer.
    const int refused[][5] = {{0, 8, 16, 0x2E, 0x81}, {1, 0, 16, 0x2E, 0x81}, {1, 256, 16, 0x2E, 0x81},
                              {1, 8, 0, 0x2E, 0x81},  {1, 8, 16, 256, 0x81},  {1, 8, 16, 0x2E, -1},
                              {2, 8, 16, 0x2E, 0x81}};
    for (const auto &c : refused)
        EXPECT_NE(Call(c[0] ? request_ : nullptr, c[1], c[0] < 2 ? response_ : nullptr, c[2], c[3], c[4]), 0)
            << &c - refused;
    EXPECT_NE(IPMI_DoIPMICmd(0x2E, 0x81, request_, 8, response_, nullptr), 0);
    EXPECT_EQ(recorder_.calls, 2);
    const int failures[][2] = {{7, -1}, {-9, -1}, {0, 0}, {0, 9}};  // failed call, empty or impossible answer
    for (const auto &f : failures) {
        recorder_.result = f[0];
        recorder_.claimed = f[1];
        const int r = Call(request_, 8, response_, 8);
        EXPECT_TRUE(r != 0 && (f[0] == 0 || r == f[0]) && length_ == 0) << f[0] << " " << f[1] << ": " << r;
    }
}

TEST_F(IpmiTest, UnknownOrUnavailableTransportFailsWithOneMessage) {
    QaxIpmiSetTransportOverride(nullptr, nullptr);
    const char *cases[][2] = {
        {nullptr, "'inband' is not available"},
        {"SIM", "unknown IPMI transport \"SIM\""},
    };
    const uint64_t before = QaxIpmiRequestCount();
    for (const auto &c : cases) {
        c[0] ? setenv("QAX_IPMI", c[0], 1) : unsetenv("QAX_IPMI");
        QaxIpmiResetTransport();
        testing::internal::CaptureStderr();
        for (int i = 0; i < 2; ++i) EXPECT_NE(Call(request_, 8, response_, 8), 0);
        uint32_t written = 99;
        uint8_t type = 1;
        EXPECT_NE(GetAllSensorInfoByType(&written, sizeof response_, &type, response_), 0);
        EXPECT_EQ(written, 0u);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(err.find(c[1]) != std::string::npos && std::count(err.begin(), err.end(), '\n') == 1) << err;
    }
    EXPECT_EQ(QaxIpmiRequestCount(), before);
}

}  // namespace
