// The "sim" IPMI backend: requests and sensor records answered by the
// firmware emulator of sim/, in this process, on the platform clock
// (QAX_SIM_SCENARIO, QAX_SIM_SEED). It is its own link unit, an OBJECT
// library (qax_sim_backend) so that the linker keeps the registration below:
// an executable that links it offers QAX_IPMI=sim, one that does not carries
// no emulator.
#include "platform/ipmi_internal.h"
#include "platform/platform.h"
#include "sim/sim.h"

#include <signal.h>

namespace {

// Built at the first call; null when the scenario is bad (the emulator says
// why, once).
qaxsim::Emulator *ProcessEmulator() {
    static const qaxsim::Host host{
        [] { return QaxClockWallMs(); },
        [] { return QaxClockMonotonicMs(); },
        [](int64_t seconds) { QaxClockJumpWall(seconds); },
        [](int sig) { raise(sig); },
    };
    return qaxsim::ProcessEmulator(host);
}

int Request(void *, int netFn, int cmd, const uint8_t *request, int requestLen, uint8_t *response,
            int *responseLen) {
    qaxsim::Emulator *emulator = ProcessEmulator();
    if (emulator == nullptr) return QAX_IPMI_ERR_NO_TRANSPORT;
    return qaxsim::HandleRequest(*emulator, netFn, cmd, request, requestLen, response, responseLen);
}

int SensorRecords(void *, uint8_t sensorType, uint8_t *buffer, uint32_t bufferSize,
                  uint32_t *written) {
    qaxsim::Emulator *emulator = ProcessEmulator();
    if (emulator == nullptr) return QAX_IPMI_ERR_NO_TRANSPORT;
    return qaxsim::SensorRecords(*emulator, sensorType, buffer, bufferSize, written);
}

const QaxIpmiBackend kSim = {"sim", Request, SensorRecords, nullptr};

struct Registration {
    Registration() { QaxIpmiRegisterBackend(&kSim); }
} g_registration;

}  // namespace
