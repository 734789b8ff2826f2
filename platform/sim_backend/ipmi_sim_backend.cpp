// The "sim" IPMI backend: requests and sensor records answered by the
// firmware emulator of sim/, in this process, on the platform clock
// (QAX_SIM_SCENARIO, QAX_SIM_SEED). Built two ways from this one file:
// - the OBJECT library qax_sim_backend, linked into an executable (the
//   static build, tests and tools that want the emulator in the executable):
//   a static constructor registers the backend, and an OBJECT library's
//   object is always linked, so the registration cannot be dropped;
// - the module qax-sim.so (QAX_SIM_AS_MODULE, the default build), which the
//   platform loads with dlopen when QAX_IPMI=sim and which reaches the
//   platform's clock only through the functions handed to its entry point,
//   so that the daemon's executable carries no emulator.
#include "platform/ipmi_internal.h"
#include "sim/sim.h"

#include <signal.h>

#ifndef QAX_SIM_AS_MODULE
#include "platform/platform.h"
#endif

namespace {

#ifdef QAX_SIM_AS_MODULE
// Set by the entry point before the first request.
QaxSimModuleHost g_host = {nullptr, nullptr, nullptr};
uint64_t WallMs() { return g_host.wallMs(); }
uint64_t MonotonicMs() { return g_host.monotonicMs(); }
void JumpWall(int64_t seconds) { g_host.jumpWall(seconds); }
#else
uint64_t WallMs() { return QaxClockWallMs(); }
uint64_t MonotonicMs() { return QaxClockMonotonicMs(); }
void JumpWall(int64_t seconds) { QaxClockJumpWall(seconds); }
#endif

// Built at the first call; null when the scenario is bad (the emulator says
// why, once).
qaxsim::Emulator *ProcessEmulator() {
    static const qaxsim::Host host{
        [] { return WallMs(); },
        [] { return MonotonicMs(); },
        [](int64_t seconds) { JumpWall(seconds); },
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

#ifndef QAX_SIM_AS_MODULE
struct Registration {
    Registration() { QaxIpmiRegisterBackend(&kSim); }
} g_registration;
#endif

}  // namespace

#ifdef QAX_SIM_AS_MODULE
// The module's one exported symbol (the others are hidden).
extern "C" __attribute__((visibility("default"))) const QaxIpmiBackend *qax_sim_module_backend_v1(
    const QaxSimModuleHost *host) {
    if (host == nullptr || host->wallMs == nullptr || host->monotonicMs == nullptr ||
        host->jumpWall == nullptr)
        return nullptr;
    g_host = *host;
    return &kSim;
}
#endif
