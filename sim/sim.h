// The QAX firmware emulator: a model of the firmware that answers IPMI
// requests byte for byte, advanced by a clock it is given. It shares no code
// with the daemon.
#ifndef QAX_SIM_SIM_H
#define QAX_SIM_SIM_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qaxsim {

// What the emulator needs from its host process.
struct Host {
    std::function<uint64_t()> wallMs;       // wall clock, ms since the epoch
    std::function<uint64_t()> monotonicMs;  // monotonic clock, ms
    std::function<void(int64_t)> jumpWall;  // timeline: set the wall clock by +/- seconds
    std::function<void(int)> raiseSignal;   // timeline: deliver a signal to this process
};

class Emulator;
class Model;

// The process-wide emulator behind the in-process "sim" transport, built on
// first use from QAX_SIM_SCENARIO (a scenario file; unset = defaults),
// QAX_SIM_SEED (overrides the scenario's seed) and ZOQ_FAMILY (the platform
// when the scenario names none). Returns null (after printing why to stderr)
// when the scenario cannot be read; later calls return the same result.
Emulator *ProcessEmulator(const Host &host);

// An emulator built from scenario text (tests and tools that want their own
// instance). A non-zero `seed` overrides the scenario's seed (default 1).
// The platform is the scenario's "family", else ZOQ_FAMILY. The host must
// provide both clocks. Null with `*error` set ("line N: ...") when the
// scenario is invalid.
std::shared_ptr<Emulator> MakeEmulator(const std::string &scenarioText, uint64_t seed,
                                       const Host &host, std::string *error);

// What ProcessEmulator builds, as a fresh instance (a standalone emulator
// process or an IPMI server plugin): reads QAX_SIM_SCENARIO, QAX_SIM_SEED and
// ZOQ_FAMILY. Null with `*error` set ("FILE: line N: ...") when invalid.
// `historySeconds`, when not 0, is the ground truth kept unless the scenario
// says otherwise.
std::shared_ptr<Emulator> MakeEmulatorFromEnvironment(const Host &host, std::string *error,
                                                      uint32_t historySeconds = 0);

// Answers one IPMI request. `response` receives the completion code first;
// `*responseLen` holds the capacity on entry and the answer's length on
// return. Returns 0 when answered, non-zero for a failed call (no answer).
int HandleRequest(Emulator &emu, int netFn, int cmd, const uint8_t *request, int requestLen,
                  uint8_t *response, int *responseLen);

// Sensor records of `sensorType` (1492 bytes each) into `buffer`; `*written`
// receives the number of bytes. Returns 0 on success.
int SensorRecords(Emulator &emu, uint8_t sensorType, uint8_t *buffer, uint32_t bufferSize,
                  uint32_t *written);

// The power model behind an emulator, first brought up to the host's clock
// (due timeline actions fired): the ground truth tests compare with. Do not
// hold the reference across requests made from another thread.
const Model &EmulatorModel(Emulator &emu);

// The snapshot tag the emulator reports now (after bringing it up to date).
uint16_t EmulatorTag(Emulator &emu);

}  // namespace qaxsim

#endif
