// Shared helpers of the emulator tests: a host whose clock is a variable,
// and request builders that follow the protocol byte for byte.
#ifndef QAX_TESTS_SIM_SIM_TEST_UTIL_H
#define QAX_TESTS_SIM_SIM_TEST_UTIL_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

struct FakeClock {
    uint64_t mono = 5000000;
    uint64_t wall = 1700000000000ull;
    std::vector<int64_t> jumps;
    std::vector<int> signals;

    void Advance(uint64_t ms) {
        mono += ms;
        wall += ms;
    }
    qaxsim::Host MakeHost() {
        return qaxsim::Host{
            [this] { return wall; },
            [this] { return mono; },
            [this](int64_t s) {
                jumps.push_back(s);
                wall = static_cast<uint64_t>(static_cast<int64_t>(wall) + s * 1000);
            },
            [this](int sig) { signals.push_back(sig); },
        };
    }
};

struct Answer {
    int result = 0;
    Bytes bytes;
    uint8_t cc() const { return bytes.empty() ? 0xFF : bytes[0]; }
    unsigned U16(size_t at) const { return (unsigned{bytes.at(at)} << 8) | bytes.at(at + 1); }
};

inline Answer Send(qaxsim::Emulator &emu, int netFn, int cmd, const Bytes &rq, int capacity = 64) {
    Answer a;
    Bytes buf(static_cast<size_t>(capacity) + 16, 0xEE);  // guard bytes past the capacity
    int len = capacity;
    a.result = qaxsim::HandleRequest(emu, netFn, cmd, rq.data(), static_cast<int>(rq.size()),
                                     buf.data(), &len);
    for (size_t i = static_cast<size_t>(capacity); i < buf.size(); ++i)
        if (buf[i] != 0xEE) ADD_FAILURE() << "answer written past its capacity at " << i;
    if (a.result == 0 && len >= 0 && len <= capacity) a.bytes.assign(buf.begin(), buf.begin() + len);
    if (len > capacity) ADD_FAILURE() << "answer length " << len << " above capacity " << capacity;
    return a;
}

inline Bytes Instance(uint8_t instance) { return {0x4D, 0x4F, 0x00, instance, 0x00, 0x01}; }
inline Bytes Config(uint8_t handle, uint8_t element) {
    return {0x4D, 0x4F, 0x00, handle, element, 0x80};
}
inline Bytes RegRead(uint8_t handle, uint8_t element, uint8_t id, uint8_t len) {
    return {0x4D, 0x4F, 0x00, handle, element, 0x82, id, len};
}
inline Bytes RegWrite(uint8_t handle, uint8_t element, uint8_t id, uint8_t len, uint64_t value) {
    Bytes b{0x4D, 0x4F, 0x00, handle, element, 0x83, id, len};
    for (int i = len - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return b;
}
inline Bytes SnapRead(uint8_t handle, unsigned offset, unsigned len) {
    return {0x4D, 0x4F, 0x00, handle, 0x03, 0x81, static_cast<uint8_t>(offset >> 8),
            static_cast<uint8_t>(offset), static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
}
inline Bytes Indexed(uint8_t handle, uint8_t buffer, uint8_t index, uint8_t len) {
    return {0x4D, 0x4F, 0x00, handle, 0x0A, 0x87, buffer, index, len};
}
inline Bytes Perf(uint8_t domain, uint8_t statistic) {
    return {0x4D, 0x4F, 0x00, 0x04, domain, 0x00, 0x01, statistic, 0x01, 0x00, 0x01};
}

constexpr int kOem = 0x2E;
constexpr int kElement = 0x81;
constexpr int kInstanceCmd = 0x82;
constexpr int kPerfCmd = 0x84;

}  // namespace simtest

#endif
