// The FreeIPMI transports: configuration from the environment, and the lan
// transport against OpenIPMI's ipmi_sim serving the firmware emulator
// (skipped, with the reason, where the simulator cannot start).
#include "platform/ipmi_freeipmi.h"
#include "platform/ipmi_internal.h"
#include "platform/platform.h"
#include "sim/sim.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipmi_sim.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::map<std::string, std::string> *g_env = nullptr;
const char *FakeEnv(const char *name) {
    auto it = g_env->find(name);
    return it == g_env->end() ? nullptr : it->second.c_str();
}

struct ConfigCase {
    std::map<std::string, std::string> env;
    const char *error;  // substring of the complaint, null = valid
};

TEST(LinkConfig, LanSettingsAreCheckedOneByOne) {
    const std::map<std::string, std::string> base = {{"QAX_IPMI_HOST", "10.0.0.7"}};
    auto with = [&base](std::map<std::string, std::string> more) {
        more.insert(base.begin(), base.end());
        return more;
    };
    const ConfigCase cases[] = {
        {{}, "QAX_IPMI_HOST is not set"},
        {{{"QAX_IPMI_HOST", ""}}, "QAX_IPMI_HOST is not set"},
        {{{"QAX_IPMI_HOST", "bmc one"}}, "not a host name"},
        {{{"QAX_IPMI_HOST", std::string(256, 'a')}}, "not a host name"},
        {base, nullptr},
        {with({{"QAX_IPMI_PORT", "0"}}), "QAX_IPMI_PORT"},
        {with({{"QAX_IPMI_PORT", "65536"}}), "QAX_IPMI_PORT"},
        {with({{"QAX_IPMI_PORT", "623x"}}), "QAX_IPMI_PORT"},
        {with({{"QAX_IPMI_PORT", "0623"}}), "QAX_IPMI_PORT"},
        {with({{"QAX_IPMI_USER", "seventeen-chars-x"}}), "QAX_IPMI_USER"},
        {with({{"QAX_IPMI_USER", "sixteen-chars-xx"}}), nullptr},
        {with({{"IPMI_PASSWORD", std::string(21, 'p')}}), "IPMI_PASSWORD"},
        {with({{"IPMI_PASSWORD", std::string(20, 'p')}}), nullptr},
        {with({{"QAX_IPMI_CIPHER", "4"}}), "cipher suite"},
        {with({{"QAX_IPMI_CIPHER", "17"}}), nullptr},
        {with({{"QAX_IPMI_CIPHER", "-3"}}), "cipher suite"},
        {with({{"QAX_IPMI_PRIVILEGE", "root"}}), "QAX_IPMI_PRIVILEGE"},
        {with({{"QAX_IPMI_TIMEOUT_MS", "99"}}), "QAX_IPMI_TIMEOUT_MS"},
        {with({{"QAX_IPMI_TIMEOUT_MS", "60001"}}), "QAX_IPMI_TIMEOUT_MS"},
        {with({{"QAX_IPMI_TIMEOUT_MS", "1000"}, {"QAX_IPMI_RETRANSMIT_MS", "1000"}}),
         "below the session time-out"},
        {with({{"QAX_IPMI_WORKAROUNDS", "spinpoll"}}), "unknown lan workaround"},
    };
    for (const ConfigCase &c : cases) {
        std::map<std::string, std::string> env = c.env;
        g_env = &env;
        QaxLinkConfig config;
        std::string error;
        const bool ok = QaxLinkParseConfig(QaxLinkKind::Lan, FakeEnv, &config, &error);
        EXPECT_EQ(ok, c.error == nullptr) << error;
        if (c.error != nullptr) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }

    std::map<std::string, std::string> env = with({{"QAX_IPMI_PORT", "9623"},
                                                   {"QAX_IPMI_USER", "ops"},
                                                   {"IPMI_PASSWORD", "s3cret"},
                                                   {"QAX_IPMI_CIPHER", "17"},
                                                   {"QAX_IPMI_PRIVILEGE", "operator"},
                                                   {"QAX_IPMI_TIMEOUT_MS", "800"},
                                                   {"QAX_IPMI_WORKAROUNDS", "opensesspriv,authcap"}});
    g_env = &env;
    QaxLinkConfig c;
    std::string error;
    ASSERT_TRUE(QaxLinkParseConfig(QaxLinkKind::Lan, FakeEnv, &c, &error)) << error;
    EXPECT_EQ(c.host, "10.0.0.7");
    EXPECT_EQ(c.port, 9623u);
    EXPECT_EQ(c.user, "ops");
    EXPECT_EQ(c.password, "s3cret");
    EXPECT_EQ(c.cipherSuite, 17u);
    EXPECT_EQ(c.privilege, 3u);
    EXPECT_EQ(c.sessionTimeoutMs, 800u);
    EXPECT_EQ(c.retransmitTimeoutMs, 400u);  // half the session time-out, at most 500
    EXPECT_EQ(c.workarounds, 0x11u);

    // In-band needs no host; its workarounds have their own names.
    env = {{"QAX_IPMI_WORKAROUNDS", "spinpoll"}, {"QAX_IPMI_DEVICE", "/dev/ipmi0"}};
    ASSERT_TRUE(QaxLinkParseConfig(QaxLinkKind::Inband, FakeEnv, &c, &error)) << error;
    EXPECT_EQ(c.workarounds, 0x02u);
    EXPECT_EQ(c.device, "/dev/ipmi0");
    env = {{"QAX_IPMI_DEVICE", "ipmi0"}};
    EXPECT_FALSE(QaxLinkParseConfig(QaxLinkKind::Inband, FakeEnv, &c, &error));
    g_env = nullptr;
}

TEST(LinkConfig, WorkaroundsByNameOrNumber) {
    struct Case {
        QaxLinkKind kind;
        const char *text;
        bool ok;
        unsigned flags;
    } cases[] = {
        {QaxLinkKind::Lan, "", true, 0},
        {QaxLinkKind::Lan, "opensesspriv", true, 0x10},
        {QaxLinkKind::Lan, "authcap,intel20,supermicro20,sun20", true, 0x0F},
        {QaxLinkKind::Lan, "integritycheckvalue,nochecksumcheck", true, 0x60},
        {QaxLinkKind::Lan, "16", true, 0x10},
        {QaxLinkKind::Lan, "0x50", true, 0x50},
        {QaxLinkKind::Lan, "0x", false, 0},
        {QaxLinkKind::Lan, "opensesspriv,", false, 0},
        {QaxLinkKind::Lan, "OpenSessPriv", false, 0},
        {QaxLinkKind::Lan, "0x100000000", false, 0},
        {QaxLinkKind::Inband, "assumeio,spinpoll", true, 0x03},
        {QaxLinkKind::Inband, "opensesspriv", false, 0},
    };
    for (const Case &c : cases) {
        unsigned flags = 99;
        std::string error;
        EXPECT_EQ(QaxLinkParseWorkarounds(c.kind, c.text, &flags, &error), c.ok) << c.text;
        EXPECT_EQ(flags, c.flags) << c.text;
    }
}

// ---------------------------------------------------------------------------

class ScopedEnv {
  public:
    explicit ScopedEnv(const std::map<std::string, std::string> &values) {
        for (const auto &kv : values) {
            const char *old = getenv(kv.first.c_str());
            saved_.push_back({kv.first, old != nullptr, old != nullptr ? old : ""});
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
    }
    ~ScopedEnv() {
        for (const Saved &s : saved_) {
            if (s.had) setenv(s.name.c_str(), s.value.c_str(), 1);
            else unsetenv(s.name.c_str());
        }
    }

  private:
    struct Saved {
        std::string name;
        bool had;
        std::string value;
    };
    std::vector<Saved> saved_;
};

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The simulator's answer buffer for the plugin's handler, enterprise number
// included.
constexpr int kSimCapacity = 36;

class LanTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qax-lan-test-XXXXXX";
        const char *dir = mkdtemp(tmpl);
        ASSERT_NE(dir, nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        env_.reset();
        QaxIpmiResetTransport();
        sim_.Stop();
        std::string out;
        qaxtest::Run({"/bin/rm", "-rf", dir_}, {}, "/dev/null", &out);
    }

    // Starts the simulator with `scenario`; false (the test skips) when it
    // cannot run here.
    bool StartSim(const std::string &scenario, const std::string &emu = "", int port = 0) {
        const std::string path = dir_ + "/scenario.scn";
        std::ofstream(path) << scenario;
        if (!sim_.Start("scenario=" + path + " seed=5", port, {}, emu)) return false;
        return true;
    }
    // Points this process's lan transport at the simulator.
    void UseSim(std::map<std::string, std::string> extra = {}) {
        std::map<std::string, std::string> env = sim_.ClientEnv();
        for (const auto &kv : extra) env[kv.first] = kv.second;
        env_.reset();
        env_.reset(new ScopedEnv(env));
        QaxIpmiResetTransport();
    }
    static int Call(const Bytes &request, Bytes *answer, int cmd = 0x81, int netFn = 0x2E) {
        uint8_t response[256] = {};
        int length = sizeof response;
        Bytes rq = request;
        const int r = IPMI_DoIPMICmd(netFn, cmd, rq.data(), static_cast<int>(rq.size()), response,
                                     &length);
        answer->assign(response, response + (r == 0 ? length : 0));
        return r;
    }

    std::string dir_;
    qaxtest::IpmiSim sim_;
    std::unique_ptr<ScopedEnv> env_;
};

#define START_SIM_OR_SKIP(...)                                                              \
    do {                                                                                    \
        if (!StartSim(__VA_ARGS__)) GTEST_SKIP() << "ipmi_sim cannot run: " << sim_.Error(); \
    } while (0)

struct Request {
    const char *what;
    int cmd;
    Bytes bytes;
};

// The scenario served by the simulator and an in-process emulator given the
// simulator's answer capacity answer alike, byte for byte, through the lan
// transport and through ipmitool.
TEST_F(LanTransport, AnswersAreTheInProcessEmulatorsByteForByte) {
    const std::string scenario =
        "module_handle 9\nexpansion on\nexpansion_handle 4\nregister 0x07 0 610\n"
        "psu_type 1100\npsu_config 1 0x7E 1 1 0 0\n"
        "psu_config 2 0x03 2 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
    START_SIM_OR_SKIP(scenario);
    UseSim();

    std::string error;
    qaxsim::Host host{[] { return uint64_t{1798761600000}; }, [] { return uint64_t{1000}; }, {}, {}};
    std::shared_ptr<qaxsim::Emulator> local = qaxsim::MakeEmulator(scenario, 5, host, &error);
    ASSERT_TRUE(local) << error;

    const Request requests[] = {
        {"instance 0", 0x82, {0x4D, 0x4F, 0x00, 0x00, 0x00, 0x01}},
        {"instance 1 (expansion)", 0x82, {0x4D, 0x4F, 0x00, 0x01, 0x00, 0x01}},
        {"instance 2", 0x82, {0x4D, 0x4F, 0x00, 0x02, 0x00, 0x01}},
        {"power cap", 0x81, {0x4D, 0x4F, 0x00, 0x09, 0x07, 0x82, 0x00, 0x02}},
        {"nameplate", 0x81, {0x4D, 0x4F, 0x00, 0x09, 0x07, 0x82, 0x09, 0x02}},
        {"register width", 0x81, {0x4D, 0x4F, 0x00, 0x09, 0x07, 0x82, 0x00, 0x04}},
        {"unknown handle", 0x81, {0x4D, 0x4F, 0x00, 0x33, 0x07, 0x82, 0x00, 0x02}},
        {"histogram layout", 0x81, {0x4D, 0x4F, 0x00, 0x09, 0x02, 0x80}},
        {"snapshot layout", 0x81, {0x4D, 0x4F, 0x00, 0x09, 0x03, 0x80}},
        {"supply types", 0x81, {0x4D, 0x4F, 0x00, 0x09, 0x0A, 0x87, 0x00, 0x00, 0x10}},
        {"supply configuration", 0x81, {0x4D, 0x4F, 0x00, 0x09, 0x0A, 0x87, 0x01, 0x00, 0xFF}},
        // 7 + 11 + 30 bytes: more than the simulator's answer holds.
        {"configuration too long", 0x81, {0x4D, 0x4F, 0x00, 0x09, 0x0A, 0x87, 0x01, 0x01, 0xFF}},
        {"short request", 0x81, {0x4D, 0x4F, 0x00, 0x09, 0x07, 0x82, 0x00}},
        {"write then read", 0x81, {0x4D, 0x4F, 0x00, 0x09, 0x07, 0x83, 0x00, 0x02, 0x02, 0x26}},
        {"read back", 0x81, {0x4D, 0x4F, 0x00, 0x09, 0x07, 0x82, 0x00, 0x02}},
    };
    for (const Request &rq : requests) {
        Bytes remote;
        ASSERT_EQ(Call(rq.bytes, &remote, rq.cmd), 0) << rq.what;
        uint8_t expected[kSimCapacity];
        int length = kSimCapacity;
        ASSERT_EQ(qaxsim::HandleRequest(*local, 0x2E, rq.cmd, rq.bytes.data(),
                                        static_cast<int>(rq.bytes.size()), expected, &length),
                  0);
        EXPECT_EQ(remote, Bytes(expected, expected + length)) << rq.what;
    }
    Bytes answer;
    ASSERT_EQ(Call(requests[11].bytes, &answer), 0);
    EXPECT_EQ(answer, (Bytes{0xCA, 0x4D, 0x4F, 0x00}));

    // A snapshot chunk never carries more than 28 data bytes.
    ASSERT_EQ(Call({0x4D, 0x4F, 0x00, 0x09, 0x03, 0x81, 0x00, 0x00, 0x00, 0xC8}, &answer), 0);
    ASSERT_GE(answer.size(), 8u);
    EXPECT_EQ(answer[0], 0);
    EXPECT_EQ(answer[6] << 8 | answer[7], 28);
    EXPECT_EQ(answer.size(), 8u + 28);

    // ipmitool, an independent client, reads the same bytes: it prints the
    // answer without its completion code; a failing code is its exit status.
    std::string out;
    ASSERT_EQ(sim_.IpmitoolRaw({"0x2e", "0x82", "0x4d", "0x4f", "0x00", "0x00", "0x00", "0x01"}, &out), 0);
    EXPECT_EQ(out, " 4d 4f 00 00 02 06 09 00 00\n");
    ASSERT_EQ(sim_.IpmitoolRaw({"0x2e", "0x81", "0x4d", "0x4f", "0x00", "0x09", "0x07", "0x82",
                                "0x00", "0x02"},
                               &out),
              0);
    EXPECT_EQ(out, " 4d 4f 00 02 26\n");  // the value written above
    EXPECT_EQ(sim_.IpmitoolRaw({"0x2e", "0x81", "0x4d", "0x4f", "0x00", "0x33", "0x07", "0x82",
                                "0x00", "0x02"},
                               &out),
              1);
    EXPECT_EQ(out, "");
}

TEST_F(LanTransport, PluginRefusesScenariosItCannotServe) {
    START_SIM_OR_SKIP("chunk_size 28\n");
    sim_.Stop();
    // The simulator's answers hold 28 snapshot bytes at most.
    EXPECT_FALSE(StartSim("chunk_size 29\n"));
    EXPECT_FALSE(StartSim("no_such_setting 1\n"));
}

struct SensorRecord {
    std::string name, reading;
    int type, number;
};

std::vector<SensorRecord> ReadSensors(uint8_t type, uint32_t records, int *result) {
    std::vector<uint8_t> buffer(records * QAX_SENSOR_RECORD_SIZE + 100, 0xEE);
    uint32_t length = 1;
    *result = GetAllSensorInfoByType(&length, static_cast<uint32_t>(buffer.size()), &type,
                                     buffer.data());
    std::vector<SensorRecord> out;
    for (uint32_t at = 0; at + QAX_SENSOR_RECORD_SIZE <= length; at += QAX_SENSOR_RECORD_SIZE) {
        const uint8_t *r = buffer.data() + at;
        EXPECT_EQ(r[2], 0);
        out.push_back({std::string(reinterpret_cast<const char *>(r + 6)),
                       std::string(reinterpret_cast<const char *>(r + 198)), r[3], r[4]});
    }
    EXPECT_EQ(length % QAX_SENSOR_RECORD_SIZE, 0u);
    return out;
}

TEST_F(LanTransport, SensorRecordsComeFromTheControllersRepository) {
    const std::string emu = qaxtest::SdrSensor(0x10, "Inlet Temp", 25) +
                            qaxtest::SdrSensor(0x11, "CPU 1 Temp", 91, 5, -1) +
                            qaxtest::SdrSensor(0x12, "12V", 120, 1, 0, 0x02);
    START_SIM_OR_SKIP("", emu);
    UseSim();
    int result = -9;
    std::vector<SensorRecord> temps = ReadSensors(1, 10, &result);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(temps.size(), 2u);
    EXPECT_EQ(temps[0].name, "Inlet Temp");
    EXPECT_EQ(temps[0].reading, "25");
    EXPECT_EQ(temps[0].type, 1);
    EXPECT_EQ(temps[0].number, 0x10);
    EXPECT_EQ(temps[1].name, "CPU 1 Temp");
    EXPECT_EQ(temps[1].reading, "45.5");

    std::vector<SensorRecord> volts = ReadSensors(2, 10, &result);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(volts.size(), 1u);
    EXPECT_EQ(volts[0].name, "12V");

    // Only whole records, as many as fit.
    EXPECT_EQ(ReadSensors(1, 1, &result).size(), 1u);
    EXPECT_EQ(result, 0);

    // The same connection carries the firmware's requests.
    Bytes answer;
    EXPECT_EQ(Call({0x4D, 0x4F, 0x00, 0x00, 0x00, 0x01}, &answer, 0x82), 0);
}

TEST_F(LanTransport, NoSensorRepositoryGivesNoRecords) {
    START_SIM_OR_SKIP("");
    UseSim();
    int result = -9;
    EXPECT_TRUE(ReadSensors(1, 4, &result).empty());
    EXPECT_EQ(result, 0);
}

// The controller goes away and comes back on the same port: calls fail
// within the time-outs, one message says so, later calls fail at once until
// the back-off has passed, and the session is re-established.
TEST_F(LanTransport, ControllerThatGoesAwayAndReturns) {
    START_SIM_OR_SKIP("");
    UseSim({{"QAX_IPMI_TIMEOUT_MS", "300"}});
    const Bytes instance = {0x4D, 0x4F, 0x00, 0x00, 0x00, 0x01};
    Bytes answer;
    ASSERT_EQ(Call(instance, &answer, 0x82), 0);
    const int port = sim_.Port();

    // Gone and back before the client noticed: the old session is unknown to
    // the new simulator, and the call itself opens a new one.
    sim_.Stop();
    ASSERT_TRUE(StartSim("", "", port)) << sim_.Error();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Call(instance, &answer, 0x82), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("re-opened"), std::string::npos) << err;

    sim_.Stop();
    testing::internal::CaptureStderr();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Call(instance, &answer, 0x82), QAX_IPMI_ERR_LINK);
    // A time-out for the request and one for the new session, no more.
    EXPECT_LT(Seconds(start), 2.0);
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Call(instance, &answer, 0x82), QAX_IPMI_ERR_LINK);
    EXPECT_LT(Seconds(start), 0.2);  // within the back-off: no waiting
    uint8_t type = 1;
    uint32_t written = 1;
    std::vector<uint8_t> records(QAX_SENSOR_RECORD_SIZE);
    EXPECT_NE(GetAllSensorInfoByType(&written, QAX_SENSOR_RECORD_SIZE, &type, records.data()), 0);
    EXPECT_EQ(written, 0u);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("no session with 127.0.0.1:" + std::to_string(port)), std::string::npos)
        << err;

    ASSERT_TRUE(StartSim("", "", port)) << sim_.Error();
    testing::internal::CaptureStderr();
    int r = -1;
    start = std::chrono::steady_clock::now();
    while (r != 0 && Seconds(start) < 10) {
        r = Call(instance, &answer, 0x82);
        if (r != 0) {
            struct timespec ts = {0, 50 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
    }
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, 0);
    EXPECT_NE(err.find("is back"), std::string::npos) << err;
}

TEST_F(LanTransport, NobodyListeningFailsQuicklyWithOneMessage) {
    START_SIM_OR_SKIP("");
    const int port = sim_.Port();
    sim_.Stop();
    UseSim({{"QAX_IPMI_PORT", std::to_string(port)}, {"QAX_IPMI_TIMEOUT_MS", "200"}});
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    Bytes answer;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Call({0x4D, 0x4F, 0x00, 0x00, 0x00, 0x01}, &answer, 0x82), QAX_IPMI_ERR_LINK);
    EXPECT_LT(Seconds(start), 1.0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("cannot open a session with 127.0.0.1:" + std::to_string(port)),
              std::string::npos)
        << err;
}

TEST(InbandTransport, WithoutAnInterfaceFailsAtOnceWithOneMessage) {
    struct stat st;
    if (stat("/dev/ipmi0", &st) == 0 || stat("/dev/ipmi/0", &st) == 0)
        GTEST_SKIP() << "this machine has an IPMI interface";
    ScopedEnv env(std::map<std::string, std::string>{{"QAX_IPMI", "inband"}});
    QaxIpmiResetTransport();
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    uint8_t request[6] = {0x4D, 0x4F, 0x00, 0x00, 0x00, 0x01};
    for (int i = 0; i < 20; ++i) {
        uint8_t response[16];
        int length = sizeof response;
        EXPECT_EQ(IPMI_DoIPMICmd(0x2E, 0x82, request, sizeof request, response, &length),
                  QAX_IPMI_ERR_NO_TRANSPORT);
    }
    EXPECT_LT(Seconds(start), 1.0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("'inband' is not available: no local IPMI interface"), std::string::npos)
        << err;
    QaxIpmiResetTransport();
}

}  // namespace
