// IPMI_DoIPMICmd and its transports. The transport is chosen once from
// QAX_IPMI: "sim" answers from the in-process firmware emulator; "inband"
// (the default) is the local system interface and "lan" a remote controller,
// both through FreeIPMI (ipmi_freeipmi.cpp). A transport never makes up an
// answer.
#include "platform/ipmi_freeipmi.h"
#include "platform/ipmi_internal.h"
#include "platform/platform.h"
#include "sim/sim.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>

namespace {

// An IPMI message carries at most this many data bytes either way.
constexpr int kMaxIpmiLength = 255;

std::mutex g_mutex;
bool g_selected = false;
QaxIpmiTransport g_transport = QaxIpmiTransport::Inband;
QaxIpmiTransportFn g_override = nullptr;
void *g_overrideContext = nullptr;
bool g_emulatorTried = false;
qaxsim::Emulator *g_emulator = nullptr;
std::atomic<uint64_t> g_requestCount{0};

// Caller holds g_mutex.
QaxIpmiTransport SelectLocked() {
    if (g_selected) return g_transport;
    g_selected = true;
    const char *name = getenv("QAX_IPMI");
    if (name == nullptr || *name == '\0' || strcmp(name, "inband") == 0) {
        g_transport = QaxIpmiTransport::Inband;
    } else if (strcmp(name, "sim") == 0) {
        g_transport = QaxIpmiTransport::Sim;
    } else if (strcmp(name, "lan") == 0) {
        g_transport = QaxIpmiTransport::Lan;
    } else {
        g_transport = QaxIpmiTransport::Unknown;
        fprintf(stderr,
                "qax: unknown IPMI transport \"%.64s\" in QAX_IPMI (expected sim, inband or lan); "
                "every IPMI request fails\n",
                name);
        return g_transport;
    }
    return g_transport;
}

// Caller holds g_mutex.
qaxsim::Emulator *EmulatorLocked() {
    if (!g_emulatorTried) {
        g_emulatorTried = true;
        static const qaxsim::Host host{
            [] { return QaxClockWallMs(); },
            [] { return QaxClockMonotonicMs(); },
            [](int64_t seconds) { QaxClockJumpWall(seconds); },
            [](int sig) { raise(sig); },
        };
        g_emulator = qaxsim::ProcessEmulator(host);
    }
    return g_emulator;
}

}  // namespace

QaxIpmiTransport QaxIpmiSelectedTransport() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return SelectLocked();
}

qaxsim::Emulator *QaxIpmiSimEmulator() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return EmulatorLocked();
}

void QaxIpmiResetTransport() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_selected = false;
    }
    QaxLinkReset();
}

void QaxIpmiSetTransportOverride(QaxIpmiTransportFn fn, void *context) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_override = fn;
    g_overrideContext = fn != nullptr ? context : nullptr;
}

uint64_t QaxIpmiRequestCount(void) { return g_requestCount.load(std::memory_order_relaxed); }

int IPMI_DoIPMICmd(int netFn, int cmd, uint8_t *request, int requestLen, uint8_t *response,
                   int *responseLen) {
    if (responseLen == nullptr) return QAX_IPMI_ERR_ARGUMENT;
    const int capacity = *responseLen;
    *responseLen = 0;
    if (netFn < 0 || netFn > 0xFF || cmd < 0 || cmd > 0xFF || request == nullptr ||
        response == nullptr || requestLen <= 0 || requestLen > kMaxIpmiLength || capacity <= 0)
        return QAX_IPMI_ERR_ARGUMENT;
    // No answer can be longer than an IPMI message, so a larger buffer is
    // fine but the transport is never offered more than that.
    const int offered = capacity < kMaxIpmiLength ? capacity : kMaxIpmiLength;

    QaxIpmiTransportFn fn;
    void *context;
    qaxsim::Emulator *emulator = nullptr;
    QaxIpmiTransport transport = QaxIpmiTransport::Sim;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        fn = g_override;
        context = g_overrideContext;
        if (fn == nullptr) {
            transport = SelectLocked();
            if (transport == QaxIpmiTransport::Unknown) return QAX_IPMI_ERR_NO_TRANSPORT;
            if (transport == QaxIpmiTransport::Sim) {
                emulator = EmulatorLocked();
                if (emulator == nullptr) return QAX_IPMI_ERR_NO_TRANSPORT;
            }
        }
    }

    int length = offered;
    int result;
    if (fn != nullptr) {
        g_requestCount.fetch_add(1, std::memory_order_relaxed);
        result = fn(context, netFn, cmd, request, requestLen, response, &length);
    } else if (transport == QaxIpmiTransport::Sim) {
        g_requestCount.fetch_add(1, std::memory_order_relaxed);
        result = qaxsim::HandleRequest(*emulator, netFn, cmd, request, requestLen, response,
                                       &length);
    } else {
        result = QaxLinkRequest(
            transport == QaxIpmiTransport::Lan ? QaxLinkKind::Lan : QaxLinkKind::Inband, netFn,
            cmd, request, requestLen, response, &length);
        // A connection that is not configured or does not exist was not
        // handed the request.
        if (result != QAX_IPMI_ERR_NO_TRANSPORT)
            g_requestCount.fetch_add(1, std::memory_order_relaxed);
    }
    if (result != 0) return result;
    // An answer holds at least its completion code and fits the buffer.
    if (length < 1 || length > offered) return QAX_IPMI_ERR_BAD_ANSWER;
    *responseLen = length;
    return 0;
}
