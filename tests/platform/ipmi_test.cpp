#include "platform/ipmi_internal.h"
#include "platform/platform.h"
#include "sim/sim.h"

#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        const char *old = getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (hadOld_) setenv(name_.c_str(), old_.c_str(), 1);
        else unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool hadOld_ = false;
};

struct Call {
    int netFn, cmd, capacity;
    std::vector<uint8_t> request;
};

// A transport that records what it is handed and answers from a script.
struct Recorder {
    std::vector<Call> calls;
    std::vector<uint8_t> answer{0x00, 0x4D, 0x4F, 0x00};
    int result = 0;
    int claimedLength = -1;  // >= 0: report this length whatever was written

    static int Transport(void *context, int netFn, int cmd, const uint8_t *request, int requestLen,
                         uint8_t *response, int *responseLen) {
        Recorder *self = static_cast<Recorder *>(context);
        self->calls.push_back({netFn, cmd, *responseLen,
                               std::vector<uint8_t>(request, request + requestLen)});
        if (self->result != 0) return self->result;
        int n = static_cast<int>(self->answer.size());
        if (n > *responseLen) n = *responseLen;
        std::copy(self->answer.begin(), self->answer.begin() + n, response);
        *responseLen = self->claimedLength >= 0 ? self->claimedLength : n;
        return 0;
    }
};

class IpmiTest : public ::testing::Test {
protected:
    void SetUp() override { QaxIpmiSetTransportOverride(&Recorder::Transport, &recorder_); }
    void TearDown() override {
        QaxIpmiSetTransportOverride(nullptr, nullptr);
        QaxSensorSetSourceOverride(nullptr, nullptr);
        QaxIpmiResetTransport();
        QaxClockReset();  // tests may have changed QAX_CLOCK in between
    }
    Recorder recorder_;
};

TEST_F(IpmiTest, OverrideGetsExactBytesAndAnswerComesBack) {
    uint8_t request[] = {0x4D, 0x4F, 0x00, 0x01, 0x00, 0x01};
    uint8_t response[10] = {};
    int length = sizeof response;
    uint64_t before = QaxIpmiRequestCount();
    ASSERT_EQ(IPMI_DoIPMICmd(0x2E, 0x82, request, sizeof request, response, &length), 0);
    EXPECT_EQ(QaxIpmiRequestCount(), before + 1);
    ASSERT_EQ(recorder_.calls.size(), 1u);
    const Call &call = recorder_.calls[0];
    EXPECT_EQ(call.netFn, 0x2E);
    EXPECT_EQ(call.cmd, 0x82);
    EXPECT_EQ(call.capacity, 10);
    EXPECT_EQ(call.request, std::vector<uint8_t>(request, request + sizeof request));
    EXPECT_EQ(length, 4);
    EXPECT_EQ(std::vector<uint8_t>(response, response + 4), recorder_.answer);
}

TEST_F(IpmiTest, InvalidArgumentsSendNothing) {
    uint8_t request[256] = {};
    uint8_t response[16];
    struct Case {
        const char *what;
        int netFn, cmd;
        uint8_t *req;
        int reqLen;
        uint8_t *resp;
        int capacity;
        bool nullLength;
    } cases[] = {
        {"null request", 0x2E, 0x81, nullptr, 8, response, 16, false},
        {"null response", 0x2E, 0x81, request, 8, nullptr, 16, false},
        {"null length", 0x2E, 0x81, request, 8, response, 16, true},
        {"empty request", 0x2E, 0x81, request, 0, response, 16, false},
        {"negative request", 0x2E, 0x81, request, -1, response, 16, false},
        {"oversized request", 0x2E, 0x81, request, 256, response, 16, false},
        {"no capacity", 0x2E, 0x81, request, 8, response, 0, false},
        {"negative capacity", 0x2E, 0x81, request, 8, response, -4, false},
        {"netfn range", 256, 0x81, request, 8, response, 16, false},
        {"cmd range", 0x2E, -1, request, 8, response, 16, false},
    };
    uint64_t before = QaxIpmiRequestCount();
    for (const Case &c : cases) {
        int length = c.capacity;
        EXPECT_NE(IPMI_DoIPMICmd(c.netFn, c.cmd, c.req, c.reqLen, c.resp,
                                 c.nullLength ? nullptr : &length),
                  0)
            << c.what;
    }
    EXPECT_TRUE(recorder_.calls.empty());
    EXPECT_EQ(QaxIpmiRequestCount(), before);

    // The largest request is fine; a large buffer is offered only what an
    // IPMI answer can hold.
    std::vector<uint8_t> big(1000);
    int length = static_cast<int>(big.size());
    EXPECT_EQ(IPMI_DoIPMICmd(0x2E, 0x81, request, 255, big.data(), &length), 0);
    ASSERT_EQ(recorder_.calls.size(), 1u);
    EXPECT_EQ(recorder_.calls[0].request.size(), 255u);
    EXPECT_EQ(recorder_.calls[0].capacity, 255);
}

TEST_F(IpmiTest, FailedOrImpossibleAnswersFail) {
    uint8_t request[8] = {};
    uint8_t response[8];
    struct Case {
        int result, claimed;
        bool ok;
    } cases[] = {{0, -1, true}, {7, -1, false}, {-9, -1, false}, {0, 0, false}, {0, 9, false}};
    for (const Case &c : cases) {
        recorder_.result = c.result;
        recorder_.claimedLength = c.claimed;
        int length = sizeof response;
        int r = IPMI_DoIPMICmd(0x2E, 0x81, request, sizeof request, response, &length);
        EXPECT_EQ(r == 0, c.ok) << c.result << " " << c.claimed;
        if (c.result != 0) {
            EXPECT_EQ(r, c.result);  // the transport's code is passed on
        }
        if (!c.ok) {
            EXPECT_EQ(length, 0);
        }
    }
    EXPECT_EQ(recorder_.calls.size(), 5u);
}

TEST_F(IpmiTest, UnavailableTransportsFailWithOneMessage) {
    QaxIpmiSetTransportOverride(nullptr, nullptr);
    struct Case {
        const char *value, *message;
    } cases[] = {
        {nullptr, "'inband' is not available"},
        {"", "'inband' is not available"},
        {"inband", "'inband' is not available"},
        {"lan", "'lan' is not available"},
        {"bogus", "unknown IPMI transport \"bogus\""},
        {"SIM", "unknown IPMI transport"},
    };
    uint8_t request[8] = {};
    uint8_t response[8];
    uint64_t before = QaxIpmiRequestCount();
    for (const Case &c : cases) {
        ScopedEnv env("QAX_IPMI", c.value);
        QaxIpmiResetTransport();
        testing::internal::CaptureStderr();
        for (int i = 0; i < 3; ++i) {
            int length = sizeof response;
            EXPECT_NE(IPMI_DoIPMICmd(0x2E, 0x81, request, sizeof request, response, &length), 0);
        }
        uint32_t written = 99;
        uint8_t type = 1;
        uint8_t records[QAX_SENSOR_RECORD_SIZE];
        EXPECT_NE(GetAllSensorInfoByType(&written, sizeof records, &type, records), 0);
        EXPECT_EQ(written, 0u);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    EXPECT_EQ(QaxIpmiRequestCount(), before);
}

struct SensorSource {
    std::vector<uint8_t> records;
    uint32_t claimed = 0;
    int calls = 0;
    static int Fn(void *context, uint8_t type, uint8_t *buffer, uint32_t size, uint32_t *written) {
        SensorSource *self = static_cast<SensorSource *>(context);
        self->calls++;
        if (type != 1) return 5;
        uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(self->records.size()));
        std::copy(self->records.begin(), self->records.begin() + n, buffer);
        *written = self->claimed ? self->claimed : n;
        return 0;
    }
};

TEST_F(IpmiTest, SensorQueryValidatesAndBoundsTheAnswer) {
    SensorSource source;
    source.records.assign(2 * QAX_SENSOR_RECORD_SIZE, 0xAB);
    QaxSensorSetSourceOverride(&SensorSource::Fn, &source);
    std::vector<uint8_t> buffer(3 * QAX_SENSOR_RECORD_SIZE);
    uint8_t type = 1;
    uint32_t length = 1;
    ASSERT_EQ(GetAllSensorInfoByType(&length, static_cast<uint32_t>(buffer.size()), &type,
                                     buffer.data()),
              0);
    EXPECT_EQ(length, 2u * QAX_SENSOR_RECORD_SIZE);
    EXPECT_EQ(buffer[length - 1], 0xAB);

    type = 2;
    length = 1;
    EXPECT_EQ(GetAllSensorInfoByType(&length, 100, &type, buffer.data()), 5);
    EXPECT_EQ(length, 0u);

    type = 1;
    source.claimed = 101;  // more than the buffer holds
    EXPECT_NE(GetAllSensorInfoByType(&length, 100, &type, buffer.data()), 0);
    EXPECT_EQ(length, 0u);

    int callsBefore = source.calls;
    EXPECT_NE(GetAllSensorInfoByType(nullptr, 100, &type, buffer.data()), 0);
    EXPECT_NE(GetAllSensorInfoByType(&length, 100, nullptr, buffer.data()), 0);
    EXPECT_NE(GetAllSensorInfoByType(&length, 100, &type, nullptr), 0);
    EXPECT_NE(GetAllSensorInfoByType(&length, 0, &type, buffer.data()), 0);
    EXPECT_EQ(source.calls, callsBefore);
}

// The in-process emulator answers through the "sim" transport. Skipped while
// the emulator is not part of the build.
TEST_F(IpmiTest, SimTransportAnswersFromEmulator) {
    std::string error;
    qaxsim::Host host{QaxClockWallMs, QaxClockMonotonicMs, QaxClockJumpWall, [](int) {}};
    if (!qaxsim::MakeEmulator("", 1, host, &error))
        GTEST_SKIP() << "emulator not available: " << error;
    QaxIpmiSetTransportOverride(nullptr, nullptr);
    ScopedEnv ipmi("QAX_IPMI", "sim");
    ScopedEnv clock("QAX_CLOCK", "virtual");
    ScopedEnv scenario("QAX_SIM_SCENARIO", nullptr);
    QaxClockReset();
    QaxIpmiResetTransport();
    uint8_t request[] = {0x4D, 0x4F, 0x00, 0x00, 0x00, 0x01};
    uint8_t response[10] = {};
    int length = sizeof response;
    uint64_t before = QaxIpmiRequestCount();
    ASSERT_EQ(IPMI_DoIPMICmd(0x2E, 0x82, request, sizeof request, response, &length), 0);
    EXPECT_EQ(length, 10);
    EXPECT_EQ(response[0], 0);     // completion code
    EXPECT_NE(response[7], 0);     // firmware instance 0 has a module handle
    EXPECT_EQ(QaxIpmiRequestCount(), before + 1);

    std::vector<uint8_t> records(4 * QAX_SENSOR_RECORD_SIZE);
    uint8_t type = 1;
    uint32_t written = 1;
    ASSERT_EQ(GetAllSensorInfoByType(&written, static_cast<uint32_t>(records.size()), &type,
                                     records.data()),
              0);
    EXPECT_EQ(written % QAX_SENSOR_RECORD_SIZE, 0u);
}

}  // namespace
