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
    int calls = 0, netFn = 0, cmd = 0, capacity = 0, result = 0, claimed = -1;  // claimed >= 0: the length reported
    Bytes request, answer{0x00, 0x4D, 0x4F, 0x00};
    static int Transport(void *context, int netFn, int cmd, const uint8_t *request, int requestLen, uint8_t *response,
                         int *responseLen) {
        Recorder &r = *static_cast<Recorder *>(context);
        r.calls++, r.netFn = netFn, r.cmd = cmd, r.capacity = *responseLen;
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
    Recorder recorder_;
    uint8_t request_[256] = {0x4D, 0x4F, 0x00, 0x01, 0x00, 0x01}, response_[QAX_SENSOR_RECORD_SIZE];
};

TEST_F(IpmiTest, TransportGetsExactBytesAndOnlyPlausibleAnswersPass) {
    int length = 10;
    const uint64_t before = QaxIpmiRequestCount();
    ASSERT_EQ(IPMI_DoIPMICmd(0x2E, 0x82, request_, 6, response_, &length), 0);
    EXPECT_EQ(QaxIpmiRequestCount(), before + 1);
    EXPECT_TRUE(recorder_.calls == 1 && recorder_.netFn == 0x2E && recorder_.cmd == 0x82 && recorder_.capacity == 10);
    EXPECT_EQ(recorder_.request, Bytes(request_, request_ + 6));
    EXPECT_EQ(Bytes(response_, response_ + length), recorder_.answer);
    length = 1000;  // the largest request passes; a large buffer is offered what an IPMI answer can hold
    EXPECT_EQ(IPMI_DoIPMICmd(0x2E, 0x81, request_, 255, response_, &length), 0);
    EXPECT_TRUE(recorder_.request.size() == 255 && recorder_.capacity == 255) << recorder_.capacity;
    const int failures[][2] = {{7, -1}, {-9, -1}, {0, 0}, {0, 9}};  // failed call, empty or impossible answer
    for (const auto &f : failures) {
        recorder_.result = f[0];
        recorder_.claimed = f[1];
        length = 8;
        const int r = IPMI_DoIPMICmd(0x2E, 0x81, request_, 8, response_, &length);
        EXPECT_TRUE(r != 0 && (f[0] == 0 || r == f[0])) << r;  // the transport's code is passed on
        EXPECT_EQ(length, 0) << f[0] << " " << f[1];
    }
}

TEST_F(IpmiTest, InvalidArgumentsSendNothing) {
    const struct {
        uint8_t *req;
        int reqLen;
        uint8_t *resp;
        int capacity, netFn, cmd;
    } cases[] = {
        {nullptr, 8, response_, 16, 0x2E, 0x81},    {request_, 8, nullptr, 16, 0x2E, 0x81},
        {request_, 0, response_, 16, 0x2E, 0x81},   {request_, -1, response_, 16, 0x2E, 0x81},
        {request_, 256, response_, 16, 0x2E, 0x81}, {request_, 8, response_, 0, 0x2E, 0x81},
        {request_, 8, response_, -4, 0x2E, 0x81},   {request_, 8, response_, 16, 256, 0x81},
        {request_, 8, response_, 16, 0x2E, -1},
    };
    for (const auto &c : cases) {
        int length = c.capacity;
        EXPECT_NE(IPMI_DoIPMICmd(c.netFn, c.cmd, c.req, c.reqLen, c.resp, &length), 0) << &c - cases;
    }
    EXPECT_NE(IPMI_DoIPMICmd(0x2E, 0x81, request_, 8, response_, nullptr), 0);
    EXPECT_EQ(recorder_.calls, 0);
}

TEST_F(IpmiTest, UnknownOrUnavailableTransportFailsWithOneMessage) {
    QaxIpmiSetTransportOverride(nullptr, nullptr);
    const char *cases[][2] = {
        {nullptr, "'inband' is not available"},
        {"lan", "'lan' is not available"},
        {"bogus", "unknown IPMI transport \"bogus\""},
        {"SIM", "unknown IPMI transport"},
    };
    const uint64_t before = QaxIpmiRequestCount();
    for (const auto &c : cases) {
        c[0] ? setenv("QAX_IPMI", c[0], 1) : unsetenv("QAX_IPMI");
        QaxIpmiResetTransport();
        testing::internal::CaptureStderr();
        for (int length : {8, 8}) EXPECT_NE(IPMI_DoIPMICmd(0x2E, 0x81, request_, 8, response_, &length), 0);
        uint32_t written = 99;
        uint8_t type = 1;
        EXPECT_NE(GetAllSensorInfoByType(&written, sizeof response_, &type, response_), 0);
        EXPECT_EQ(written, 0u);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c[1]), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    EXPECT_EQ(QaxIpmiRequestCount(), before);
}

}  // namespace
