// A recording IPMI transport for the firmware tests: every request is kept,
// and answers come from a script (exact bytes) or, when the script is empty,
// from a small register model that knows the instance request, register
// reads and writes.
#ifndef QAX_TESTS_FIRMWARE_FAKE_FIRMWARE_H
#define QAX_TESTS_FIRMWARE_FAKE_FIRMWARE_H

#include <stdint.h>

#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fwtest {

struct Sent {
    int netFn;
    int cmd;
    std::vector<uint8_t> bytes;
    int capacity;  // response buffer offered
};

struct Answer {
    int result = 0;              // non-zero: the call fails
    std::vector<uint8_t> bytes;  // completion code first
};

class FakeFirmware {
  public:
    FakeFirmware() { QaxIpmiSetTransportOverride(&FakeFirmware::Transport, this); }
    ~FakeFirmware() { QaxIpmiSetTransportOverride(nullptr, nullptr); }
    FakeFirmware(const FakeFirmware &) = delete;
    FakeFirmware &operator=(const FakeFirmware &) = delete;

    // Next answers, in order, before the model is asked.
    void Script(Answer a) { script_.push_back(std::move(a)); }
    void ScriptData(const std::vector<uint8_t> &data) {
        std::vector<uint8_t> bytes = {0x00, 0x4D, 0x4F, 0x00};
        bytes.insert(bytes.end(), data.begin(), data.end());
        Script({0, bytes});
    }
    void ScriptCompletion(uint8_t code) { Script({0, {code}}); }
    void ScriptFailure() { Script({-1, {}}); }

    // Model: module handles per instance (0 = no firmware), register values.
    std::map<uint8_t, uint8_t> handles{{0, 7}};
    std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> registers;  // data bytes
    void SetRegister(uint8_t element, uint8_t id, std::vector<uint8_t> data) {
        registers[{element, id}] = std::move(data);
    }

    std::vector<Sent> sent;

    // Requests sent to one register (element-method commands only).
    int CountRegister(uint8_t element, uint8_t id) const {
        int n = 0;
        for (const Sent &s : sent)
            if (s.cmd == 0x81 && s.bytes.size() >= 8 && s.bytes[4] == element && s.bytes[6] == id)
                n++;
        return n;
    }
    int CountCommand(int cmd) const {
        int n = 0;
        for (const Sent &s : sent) n += s.cmd == cmd;
        return n;
    }

  private:
    static int Transport(void *context, int netFn, int cmd, const uint8_t *request, int requestLen,
                         uint8_t *response, int *responseLen) {
        auto *self = static_cast<FakeFirmware *>(context);
        self->sent.push_back(
            {netFn, cmd, std::vector<uint8_t>(request, request + requestLen), *responseLen});
        Answer a;
        if (!self->script_.empty()) {
            a = self->script_.front();
            self->script_.pop_front();
        } else {
            a = self->Model(cmd, self->sent.back().bytes);
        }
        if (a.result != 0) return a.result;
        const int n = static_cast<int>(a.bytes.size());
        for (int i = 0; i < n && i < *responseLen; i++) response[i] = a.bytes[i];
        *responseLen = n;  // an oversized answer is reported as such
        return 0;
    }

    Answer Model(int cmd, const std::vector<uint8_t> &rq) {
        if (cmd == 0x82 && rq.size() == 6) {
            auto it = handles.find(rq[3]);
            uint8_t handle = it == handles.end() ? 0 : it->second;
            return {0, {0x00, 0x4D, 0x4F, 0x00, 0x00, 0x11, 0x22, handle, 0x00, 0x00}};
        }
        if (cmd == 0x81 && rq.size() >= 8 && rq[5] == 0x82) {
            auto it = registers.find({rq[4], rq[6]});
            if (it == registers.end()) return {0, {0xCB}};  // no such register
            std::vector<uint8_t> bytes = {0x00, 0x4D, 0x4F, 0x00};
            for (size_t i = 0; i < rq[7]; i++) bytes.push_back(i < it->second.size() ? it->second[i] : 0);
            return {0, bytes};
        }
        if (cmd == 0x81 && rq.size() >= 8 && rq[5] == 0x83) {
            registers[{rq[4], rq[6]}] = std::vector<uint8_t>(rq.begin() + 8, rq.end());
            return {0, {0x00, 0x4D, 0x4F, 0x00}};
        }
        return {0, {0xC1}};
    }

    std::deque<Answer> script_;
};

}  // namespace fwtest

#endif
