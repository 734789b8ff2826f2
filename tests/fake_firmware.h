// The firmware and event tests' fake transport: it records each request and
// answers from a script of exact bytes or else from a small model of the
// firmware.
#ifndef QAX_TESTS_FAKE_FIRMWARE_H
#define QAX_TESTS_FAKE_FIRMWARE_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "firmware/element_method_testing.h"
#include "firmware/element_method.h"
#include "platform/ipmi_internal.h"
#include "platform/platform.h"
#include "test_root.h"

namespace fwtest {

using Bytes = std::vector<uint8_t>;

inline void PutBE(Bytes &out, uint64_t value, int width) {
    for (int i = width - 1; i >= 0; i--) out.push_back(i >= 8 ? 0 : static_cast<uint8_t>(value >> (8 * i)));
}

// A successful element-method answer: completion code, enterprise number, data.
inline Bytes Ok(Bytes data = {}) {
    data.insert(data.begin(), {0x00, 0x4D, 0x4F, 0x00});
    return data;
}

struct Sent {
    int netFn, cmd;
    Bytes bytes;
    int capacity;
};  // capacity: response buffer offered
struct Answer {
    int result = 0;
    Bytes bytes;
};  // result non-zero: the call fails

class FakeFirmware {
  public:
    FakeFirmware() { QaxIpmiSetTransportOverride(&FakeFirmware::Transport, this); }
    ~FakeFirmware() { QaxIpmiSetTransportOverride(nullptr, nullptr); }

    std::deque<Answer> script;                               // answered first, in order
    std::map<uint8_t, uint8_t> handles{{0, 7}};              // per instance; 0 = no firmware
    std::map<std::pair<uint8_t, uint8_t>, Bytes> registers;  // (element, id) -> data
    std::map<uint8_t, Bytes> configs;                        // element -> configuration, from byte 4
    std::map<std::pair<uint8_t, uint8_t>, Bytes> buffers;    // indexed buffers: (buffer, index) -> data
    uint8_t absent = 0xCB;                                   // completion code for anything else; 0 = the call fails
    // The snapshot buffer, and per read (index, bytes asked) its tag and the bytes the answer claims; it
    // carries as many as the buffer holds. A claim below 0 gets the `absent` answer.
    Bytes snapshot;
    std::function<uint16_t(int)> tagFor = [](int) { return uint16_t{5}; };
    std::function<int(int, int)> returnedFor = [](int, int asked) { return asked; };
    std::vector<Sent> sent;
    std::function<void(const Bytes &request, Answer *)> edit;  // sees, and may change, every answer

    void SetCapabilities(uint8_t powerThermal, uint32_t extended) {  // registers 7 and 14 of element 0
        registers[{0x00, 7}] = {powerThermal};
        registers[{0x00, 14}] = {uint8_t(extended >> 24), uint8_t(extended >> 16), uint8_t(extended >> 8),
                                 uint8_t(extended)};
    }
    int Count(int cmd) const {  // requests of a command
        return static_cast<int>(std::count_if(sent.begin(), sent.end(), [=](const Sent &s) { return s.cmd == cmd; }));
    }

  private:
    static int Transport(void *context, int netFn, int cmd, const uint8_t *request, int requestLen, uint8_t *response,
                         int *responseLen) {
        auto *self = static_cast<FakeFirmware *>(context);
        self->sent.push_back({netFn, cmd, Bytes(request, request + requestLen), *responseLen});
        Answer a = self->script.empty() ? self->Model(cmd, self->sent.back().bytes) : self->script.front();
        if (!self->script.empty()) self->script.pop_front();
        if (self->edit) self->edit(self->sent.back().bytes, &a);
        if (a.result != 0) return a.result;
        const int n = static_cast<int>(a.bytes.size());
        std::copy_n(a.bytes.begin(), std::min(n, *responseLen), response);
        *responseLen = n;  // an oversized answer is reported as such
        return 0;
    }

    Answer Model(int cmd, const Bytes &rq) {
        const Answer none = absent ? Answer{0, {absent}} : Answer{-1, {}};
        const uint8_t element = rq.size() >= 6 ? rq[4] : 0xFF, method = rq.size() >= 6 ? rq[5] : 0;
        if (cmd == 0x82 && rq.size() == 6) {
            const uint8_t handle = handles.count(rq[3]) ? handles[rq[3]] : 0;
            return {0, Ok({0, 0x11, 0x22, handle, 0, 0})};
        }
        if (cmd == 0x81 && method == 0x80 && configs.count(element)) return {0, Ok(configs[element])};
        if (cmd == 0x81 && method == 0x81 && rq.size() == 10 && reads_ < 64) {  // 64: a runaway transfer fails
            const int offset = rq[6] << 8 | rq[7], index = reads_++, claimed = returnedFor(index, rq[8] << 8 | rq[9]);
            if (claimed < 0) return none;
            const int n = std::min(claimed, std::max(0, static_cast<int>(snapshot.size()) - offset));
            Bytes d;
            PutBE(d, tagFor(index), 2);
            PutBE(d, static_cast<uint64_t>(claimed), 2);
            if (n > 0) d.insert(d.end(), snapshot.begin() + offset, snapshot.begin() + offset + n);
            return {0, Ok(d)};
        }
        if (cmd == 0x81 && method == 0x82 && rq.size() == 8 && registers.count({element, rq[6]})) {
            Bytes d = registers[{element, rq[6]}];
            d.resize(rq[7]);
            return {0, Ok(d)};
        }
        if (cmd == 0x81 && method == 0x87 && rq.size() == 9 && buffers.count({rq[6], rq[7]})) {
            Bytes d = buffers[{rq[6], rq[7]}];
            d.insert(d.begin(), {rq[6], rq[7], uint8_t(d.size())});
            return {0, Ok(d)};
        }
        return none;
    }

    int reads_ = 0;
};

// A fresh root, support cache and platform family per test; the fake behind
// the transport.
class FirmwareTest : public ::testing::Test {
  protected:
    FirmwareTest() {
        QAX_ResetSupportCacheForTest();
        unsetenv("ZOQ_FAMILY");
    }
    ~FirmwareTest() override {
        QAX_ResetSupportCacheForTest();
        unsetenv("ZOQ_FAMILY");
    }
    qaxtest::TestRoot root_;
    FakeFirmware fw_;
};

}  // namespace fwtest

#endif
