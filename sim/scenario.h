// Scenario text: the emulated platform, its firmware settings, and a timeline
// of things that happen to it. The language is described in docs/emulator.md.
#ifndef QAX_SIM_SCENARIO_H
#define QAX_SIM_SCENARIO_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/model.h"

namespace qaxsim {

enum class FaultKind : uint8_t {
    IpmiFail,            // the call fails: no answer at all
    Completion,          // the firmware answers with a chosen completion code
    ReplaceMidTransfer,  // a new snapshot appears between two chunk reads
    Oversized,           // a chunk claims more bytes than were asked for
    Short,               // a chunk carries fewer bytes than were asked for
    NoFirmware,          // the instance request reports no module handle
    SensorFail,          // the sensor-record query fails
};
constexpr int kFaultKinds = 7;

enum class FaultMode : uint8_t { Off, On, Once, Rate };

struct FaultSetting {
    FaultMode mode = FaultMode::Off;
    double rate = 0;   // FaultMode::Rate: probability per eligible request
    uint8_t code = 0;  // FaultKind::Completion: the completion code
};

enum class ActionKind : uint8_t {
    Reset,
    SetRegister,  // also "cap ..."
    StatusByte,
    StatusWord,
    ClockJump,
    Firmware,
    Performance,
    Fault,
    PowerStep,
    Sigterm,
};

struct Action {
    uint64_t atMs = 0;  // since the emulator was created, monotonic
    int line = 0;
    ActionKind kind = ActionKind::Reset;
    bool expansion = false;  // SetRegister: the expansion instance's registers
    uint8_t element = 0;     // SetRegister
    uint8_t id = 0;          // SetRegister
    uint64_t value = 0;      // SetRegister, StatusByte, StatusWord
    int64_t seconds = 0;     // ClockJump
    double watts = 0;        // PowerStep
    bool on = false;         // Firmware (present), Performance (supported)
    FaultKind fault = FaultKind::IpmiFail;
    FaultSetting setting;  // Fault
};

struct SensorSpec {
    std::string name;
    std::string reading;     // ignored when fromModel
    bool fromModel = false;  // reading = the model's inlet temperature
    bool skipped = false;    // the record is marked as one to skip
};

struct RegisterOverride {
    int line = 0;
    bool expansion = false;
    uint8_t element = 0;
    uint8_t id = 0;
    uint64_t value = 0;
};

struct PsuConfigSpec {
    uint8_t id = 0;
    uint16_t properties = 0;
    uint8_t needed = 0;     // N
    uint8_t redundant = 0;  // M
    std::vector<uint8_t> typeIndexes;
};

struct Scenario {
    ModelConfig model;
    bool seedSet = false;
    uint8_t moduleHandle = 1;
    bool expansion = false;
    uint8_t expansionHandle = 2;
    bool firmwarePresent = true;
    uint16_t chunkSize = 28;
    bool performance = true;
    std::vector<RegisterOverride> registers;
    std::vector<SensorSpec> sensors;  // filled with the platform's defaults
    std::vector<uint16_t> psuTypes;   // rated watts per supply type
    std::vector<PsuConfigSpec> psuConfigs;
    FaultSetting faults[kFaultKinds];
    std::vector<Action> timeline;  // ordered by time, then by line
};

// Parses scenario text. `defaultBlade` is the platform family when the text
// names none. False with "line N: why" in *error on the first bad line.
bool ParseScenario(const std::string &text, bool defaultBlade, Scenario *out, std::string *error);

// "blade" and "iteblade" are blade platforms (exact, case-sensitive).
bool IsBladeFamily(const char *family);

const char *FaultName(FaultKind kind);

}  // namespace qaxsim

#endif
