// The firmware's register table: which registers exist, their widths, who may
// write them, and the values a freshly started firmware holds.
#ifndef QAX_SIM_REGISTERS_H
#define QAX_SIM_REGISTERS_H

#include <cstdint>
#include <vector>

namespace qaxsim {

struct ModelConfig;

enum class RegisterSource : uint8_t {
    Stored,    // holds what was last written (or its default)
    DcEnergy,  // live values of the power model, until a scenario pins them
    AcEnergy,
    ClockAccumulator,
    ExhaustHeatIndex,
    InletTemperature,
};

struct RegisterInfo {
    uint8_t element;
    uint8_t id;
    uint8_t length;  // bytes, 1..8
    bool readable;
    bool writable;  // over IPMI; scenarios may set any register
    RegisterSource source;
};

// The entry for (element, id), or null when the firmware has no such register.
// Registers whose presence depends on capability bits are looked up with the
// capabilities the firmware starts with.
const RegisterInfo *FindRegister(uint8_t element, uint8_t id, const ModelConfig &cfg);

// Largest value a register of `length` bytes holds.
inline uint64_t RegisterMax(uint8_t length) {
    return length >= 8 ? ~0ull : (1ull << (8 * length)) - 1;
}

// One firmware instance's registers.
class RegisterFile {
  public:
    enum class Access { Ok, Missing, BadLength, Denied };

    explicit RegisterFile(const ModelConfig &cfg);

    // IPMI access: checks existence, length and direction. A read of a live
    // register that is not pinned answers Ok with *source set so the caller
    // asks the model; otherwise *value holds the stored value.
    Access Read(uint8_t element, uint8_t id, uint8_t length, uint64_t *value,
                RegisterSource *source) const;
    Access Write(uint8_t element, uint8_t id, uint8_t length, uint64_t value);

    // Scenario and timeline: sets any existing register (pinning live ones).
    // False when there is no such register or the value does not fit.
    bool Set(uint8_t element, uint8_t id, uint64_t value);

  private:
    struct Slot {
        const RegisterInfo *info;
        uint64_t value;
        bool pinned;
    };
    Slot *Find(uint8_t element, uint8_t id);
    const Slot *Find(uint8_t element, uint8_t id) const;

    std::vector<Slot> slots_;
};

}  // namespace qaxsim

#endif
