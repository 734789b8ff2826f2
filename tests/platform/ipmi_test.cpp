#include "platform/ipmi_internal.h"
#include "platform/platform.h"

#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

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
        {"lan", "'lan' is not available"},
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
