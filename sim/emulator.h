// The emulator behind sim.h: one firmware (and optionally its expansion
// instance) answering IPMI requests byte for byte, driven by a scenario and
// the host's clock.
#ifndef QAX_SIM_EMULATOR_H
#define QAX_SIM_EMULATOR_H

#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/model.h"
#include "sim/registers.h"
#include "sim/rng.h"
#include "sim/scenario.h"
#include "sim/sim.h"

namespace qaxsim {

// Completion codes the firmware answers with.
enum : uint8_t {
    kCcOk = 0x00,
    kCcInvalidCommand =
        0xC1,                 // other net function or command; firmware absent; no performance data
    kCcRequestLength = 0xC7,  // request shorter or longer than its layout
    kCcOutOfRange = 0xC9,     // register length, snapshot offset, buffer index or length
    kCcResponseTooLong = 0xCA,  // the answer does not fit the caller's buffer
    kCcNotPresent = 0xCB,       // unknown module handle
    kCcInvalidField = 0xCC,     // enterprise number, element, method, register, selector
    kCcAccessDenied = 0xD4,     // write to a read-only register, read of a write-only one
};

constexpr int kFailedCall = -1;  // HandleRequest result when no answer is given

class Emulator {
  public:
    Emulator(const Scenario &scenario, const Host &host);

    int Handle(int netFn, int cmd, const uint8_t *request, int requestLen, uint8_t *response,
               int *responseLen);
    int Sensors(uint8_t sensorType, uint8_t *buffer, uint32_t bufferSize, uint32_t *written);

    // Fires due timeline actions and advances the model to the host's clock.
    void Advance();
    const Model &GetModel() const { return model_; }
    // The tag the firmware currently reports for its snapshot.
    uint16_t Tag() const;
    const Scenario &GetScenario() const { return sc_; }

  private:
    struct Reply {
        uint8_t *buf;
        int capacity;
        int length;
    };

    void AdvanceLocked(std::vector<int> *signals);
    void Fire(const Action &a, uint64_t monoMs, std::vector<int> *signals);
    bool Draw(FaultKind kind);

    int Dispatch(int netFn, int cmd, const uint8_t *rq, int rqLen, Reply *r);
    int Instance(const uint8_t *rq, int rqLen, Reply *r);
    int ElementMethod(const uint8_t *rq, int rqLen, Reply *r);
    int Performance(const uint8_t *rq, int rqLen, Reply *r);
    int RegisterRead(RegisterFile &regs, const uint8_t *rq, int rqLen, Reply *r);
    int RegisterWrite(RegisterFile &regs, const uint8_t *rq, int rqLen, Reply *r);
    int Configuration(uint8_t element, int rqLen, Reply *r);
    int SnapshotRead(const uint8_t *rq, int rqLen, Reply *r);
    int IndexedRead(const uint8_t *rq, int rqLen, Reply *r);
    uint64_t LiveRegister(RegisterSource source) const;
    uint16_t TagLocked() const;

    static int Error(Reply *r, uint8_t code);
    static bool Begin(Reply *r, int length);  // cc 0 and the enterprise number

    mutable std::mutex mu_;
    Scenario sc_;
    Host host_;
    Model model_;
    RegisterFile regs_;
    RegisterFile expansionRegs_;
    SplitMix64 rng_;
    uint64_t startMono_;
    uint64_t lastMono_;
    size_t nextAction_ = 0;
    uint64_t tagShift_ = 0;  // snapshots replaced mid-transfer since the last reset
    bool firmwarePresent_;
    bool performance_;
    FaultSetting faults_[kFaultKinds];
};

}  // namespace qaxsim

#endif
