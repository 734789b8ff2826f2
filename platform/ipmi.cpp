// IPMI_DoIPMICmd and GetAllSensorInfoByType, and the table of backends behind
// them. The backend is chosen once from QAX_IPMI: "inband" (the default) is
// the local system interface and "lan" a remote controller, both through
// FreeIPMI (ipmi_freeipmi_*.cpp); "sim", the firmware emulator, is there when
// its link unit is (sim_backend/, the static build) and is otherwise loaded
// as a module (ipmi_sim_module.cpp). The wrappers check arguments and
// answers and count requests; a backend never makes up an answer.
#include "platform/ipmi_freeipmi.h"
#include "platform/ipmi_internal.h"
#include "platform/ipmi_sim_module.h"
#include "platform/platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <string>

namespace {

// An IPMI message carries at most this many data bytes either way.
constexpr int kMaxIpmiLength = 255;
constexpr size_t kMaxRegistered = 4;
constexpr char kSimName[] = "sim";  // the emulator: linked in or loaded

// Everything here is constant-initialized, so a backend may register from a
// static constructor of another unit.
std::mutex g_mutex;  // guards the table, the choice and the override
const QaxIpmiBackend *const kBuiltIn[] = {&kQaxIpmiInband, &kQaxIpmiLan};
const QaxIpmiBackend *g_registered[kMaxRegistered] = {};
size_t g_registeredCount = 0;
bool g_selected = false;
const QaxIpmiBackend *g_chosen = nullptr;  // null: QAX_IPMI names no backend
// The tests' override: either function may be set alone.
QaxIpmiBackend g_override = {"override", nullptr, nullptr, nullptr};
void *g_requestContext = nullptr;
void *g_sensorContext = nullptr;
std::atomic<uint64_t> g_requestCount{0};

// Caller holds g_mutex.
const QaxIpmiBackend *ChosenLocked() {
    if (g_selected) return g_chosen;
    g_selected = true;
    g_chosen = nullptr;
    const char *name = getenv("QAX_IPMI");
    if (name == nullptr || *name == '\0') name = kQaxIpmiInband.name;
    for (size_t i = 0; i < g_registeredCount && g_chosen == nullptr; ++i)
        if (strcmp(name, g_registered[i]->name) == 0) g_chosen = g_registered[i];
    for (const QaxIpmiBackend *b : kBuiltIn)
        if (g_chosen == nullptr && strcmp(name, b->name) == 0) g_chosen = b;
    if (g_chosen == nullptr && strcmp(name, kSimName) == 0) {
        // No emulator linked in: the module's, or none (said once).
        std::string why;
        g_chosen = QaxIpmiLoadSimModule(&why);
        if (g_chosen == nullptr)
            fprintf(stderr,
                    "qax: QAX_IPMI=sim: cannot load the firmware emulator: %s; "
                    "every IPMI request fails\n",
                    why.c_str());
        return g_chosen;
    }
    if (g_chosen == nullptr) {
        // "sim, inband or lan": the registered ones first.
        std::string expected;
        bool sim = false;
        for (size_t i = 0; i < g_registeredCount; ++i) {
            expected += std::string(g_registered[i]->name) + ", ";
            sim = sim || strcmp(g_registered[i]->name, kSimName) == 0;
        }
        if (!sim) expected = std::string(kSimName) + ", " + expected;
        expected += std::string(kBuiltIn[0]->name) + " or " + kBuiltIn[1]->name;
        fprintf(stderr,
                "qax: unknown IPMI transport \"%.64s\" in QAX_IPMI (expected %s); "
                "every IPMI request fails\n",
                name, expected.c_str());
    }
    return g_chosen;
}

}  // namespace

void QaxIpmiRegisterBackend(const QaxIpmiBackend *backend) {
    if (backend == nullptr || backend->name == nullptr || backend->request == nullptr) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_registeredCount < kMaxRegistered) g_registered[g_registeredCount++] = backend;
}

void QaxIpmiResetTransport(void) {
    void (*resets[kMaxRegistered + 2])(void) = {};
    size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_selected = false;
        g_chosen = nullptr;
        for (size_t i = 0; i < g_registeredCount; ++i) resets[count++] = g_registered[i]->reset;
        for (const QaxIpmiBackend *b : kBuiltIn) resets[count++] = b->reset;
    }
    // Each reset once (inband and lan share one connection).
    for (size_t i = 0; i < count; ++i) {
        bool seen = resets[i] == nullptr;
        for (size_t j = 0; j < i && !seen; ++j) seen = resets[j] == resets[i];
        if (!seen) resets[i]();
    }
}

void QaxIpmiSetTransportOverride(QaxIpmiTransportFn fn, void *context) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_override.request = fn;
    g_requestContext = fn != nullptr ? context : nullptr;
}

void QaxSensorSetSourceOverride(QaxSensorSourceFn fn, void *context) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_override.sensorRecords = fn;
    g_sensorContext = fn != nullptr ? context : nullptr;
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
    // fine but the backend is never offered more than that.
    const int offered = capacity < kMaxIpmiLength ? capacity : kMaxIpmiLength;

    QaxIpmiTransportFn fn = nullptr;
    void *context = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_override.request != nullptr) {
            fn = g_override.request;
            context = g_requestContext;
        } else if (const QaxIpmiBackend *backend = ChosenLocked()) {
            fn = backend->request;
        }
    }
    if (fn == nullptr) return QAX_IPMI_ERR_NO_TRANSPORT;

    int length = offered;
    const int result = fn(context, netFn, cmd, request, requestLen, response, &length);
    if (result != QAX_IPMI_ERR_NO_TRANSPORT) g_requestCount.fetch_add(1, std::memory_order_relaxed);
    if (result != 0) return result;
    // An answer holds at least its completion code and fits the buffer.
    if (length < 1 || length > offered) return QAX_IPMI_ERR_BAD_ANSWER;
    *responseLen = length;
    return 0;
}

// The entry value of *length is not used: the buffer size alone bounds the
// answer.
int GetAllSensorInfoByType(uint32_t *length, uint32_t bufferSize, uint8_t *sensorType,
                           uint8_t *buffer) {
    if (length == nullptr) return QAX_IPMI_ERR_ARGUMENT;
    *length = 0;
    if (sensorType == nullptr || buffer == nullptr || bufferSize == 0) return QAX_IPMI_ERR_ARGUMENT;

    QaxSensorSourceFn fn = nullptr;
    void *context = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_override.sensorRecords != nullptr) {
            fn = g_override.sensorRecords;
            context = g_sensorContext;
        } else if (const QaxIpmiBackend *backend = ChosenLocked()) {
            // An unavailable backend says so once, whichever call comes first.
            fn = backend->sensorRecords;
        }
    }
    if (fn == nullptr) return QAX_IPMI_ERR_NO_TRANSPORT;

    uint32_t written = 0;
    const int result = fn(context, *sensorType, buffer, bufferSize, &written);
    if (result != 0) return result;
    if (written > bufferSize) return QAX_IPMI_ERR_BAD_ANSWER;
    *length = written;
    return 0;
}
