// Platform internals shared by the IPMI transports and the sensor source, and
// hooks for tests. Not part of the daemon's interface.
#ifndef QAX_PLATFORM_IPMI_INTERNAL_H
#define QAX_PLATFORM_IPMI_INTERNAL_H

#include <stdint.h>

namespace qaxsim {
class Emulator;
}

// Result codes of IPMI_DoIPMICmd and GetAllSensorInfoByType besides 0 (a
// transport's own non-zero result is passed through unchanged).
enum {
    QAX_IPMI_ERR_ARGUMENT = -1,     // invalid argument, nothing sent
    QAX_IPMI_ERR_NO_TRANSPORT = -2, // transport not available or unknown
    QAX_IPMI_ERR_BAD_ANSWER = -3,   // answer length outside 1..capacity, or malformed
    QAX_IPMI_ERR_LINK = -4,         // sent, but no answer came (time-out, session lost)
};

enum class QaxIpmiTransport { Sim, Inband, Lan, Unknown };

// The transport chosen from QAX_IPMI (read on first use).
QaxIpmiTransport QaxIpmiSelectedTransport();

// The process-wide emulator of the "sim" transport, driven by the platform
// clock; null when it cannot be built (the emulator said why).
qaxsim::Emulator *QaxIpmiSimEmulator();

// Tests: forget the chosen transport so that QAX_IPMI is read again.
void QaxIpmiResetTransport();

// Tests: answer GetAllSensorInfoByType through `fn` (null restores the
// transport's own sensor source).
typedef int (*QaxSensorSourceFn)(void *context, uint8_t sensorType, uint8_t *buffer,
                                 uint32_t bufferSize, uint32_t *written);
void QaxSensorSetSourceOverride(QaxSensorSourceFn fn, void *context);

#endif
