// Sensor records for the blade inlet temperatures. They come from the same
// source as the IPMI answers: the emulator under QAX_IPMI=sim, the
// controller's sensor data repository over the same FreeIPMI connection
// under "inband" and "lan".
#include "platform/ipmi_freeipmi.h"
#include "platform/ipmi_internal.h"
#include "platform/platform.h"
#include "sim/sim.h"

#include <mutex>

namespace {

std::mutex g_mutex;
QaxSensorSourceFn g_override = nullptr;
void *g_overrideContext = nullptr;

}  // namespace

void QaxSensorSetSourceOverride(QaxSensorSourceFn fn, void *context) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_override = fn;
    g_overrideContext = fn != nullptr ? context : nullptr;
}

// The entry value of *length is not used: the buffer size alone bounds the
// answer.
int GetAllSensorInfoByType(uint32_t *length, uint32_t bufferSize, uint8_t *sensorType,
                           uint8_t *buffer) {
    if (length == nullptr) return QAX_IPMI_ERR_ARGUMENT;
    *length = 0;
    if (sensorType == nullptr || buffer == nullptr || bufferSize == 0)
        return QAX_IPMI_ERR_ARGUMENT;

    QaxSensorSourceFn fn;
    void *context;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        fn = g_override;
        context = g_overrideContext;
    }
    uint32_t written = 0;
    int result;
    if (fn != nullptr) {
        result = fn(context, *sensorType, buffer, bufferSize, &written);
    } else {
        // An unavailable transport says so once, whichever call comes first.
        const QaxIpmiTransport transport = QaxIpmiSelectedTransport();
        if (transport == QaxIpmiTransport::Sim) {
            qaxsim::Emulator *emulator = QaxIpmiSimEmulator();
            if (emulator == nullptr) return QAX_IPMI_ERR_NO_TRANSPORT;
            result = qaxsim::SensorRecords(*emulator, *sensorType, buffer, bufferSize, &written);
        } else if (transport == QaxIpmiTransport::Lan || transport == QaxIpmiTransport::Inband) {
            result = QaxLinkSensorRecords(transport == QaxIpmiTransport::Lan ? QaxLinkKind::Lan
                                                                             : QaxLinkKind::Inband,
                                          *sensorType, buffer, bufferSize, &written);
        } else {
            return QAX_IPMI_ERR_NO_TRANSPORT;
        }
    }
    if (result != 0) return result;
    if (written > bufferSize) return QAX_IPMI_ERR_BAD_ANSWER;
    *length = written;
    return 0;
}
