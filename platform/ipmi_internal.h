// The IPMI backend table shared by the platform and the backends linked into
// an executable, and the hooks for tests. Not part of the daemon's interface.
#ifndef QAX_PLATFORM_IPMI_INTERNAL_H
#define QAX_PLATFORM_IPMI_INTERNAL_H

#include <stdint.h>

// Result codes of IPMI_DoIPMICmd and GetAllSensorInfoByType besides 0 (a
// backend's own non-zero result is passed through unchanged).
enum {
    QAX_IPMI_ERR_ARGUMENT = -1,      // invalid argument, nothing sent
    QAX_IPMI_ERR_NO_TRANSPORT = -2,  // transport not available or unknown
    QAX_IPMI_ERR_BAD_ANSWER = -3,    // answer length outside 1..capacity, or malformed
    QAX_IPMI_ERR_LINK = -4,          // sent, but no answer came (time-out, session lost)
};

// One request, its arguments already checked: `*responseLen` holds the
// capacity (1..255) on entry and the answer's length on return, the
// completion code first. QAX_IPMI_ERR_NO_TRANSPORT means the request was
// handed to nothing (it is not counted).
typedef int (*QaxIpmiTransportFn)(void *context, int netFn, int cmd, const uint8_t *request,
                                  int requestLen, uint8_t *response, int *responseLen);
// The 1492-byte sensor records of `sensorType`, whole records only, at most
// `bufferSize` bytes; `*written` receives the number of bytes.
typedef int (*QaxSensorSourceFn)(void *context, uint8_t sensorType, uint8_t *buffer,
                                 uint32_t bufferSize, uint32_t *written);

// What stands behind IPMI_DoIPMICmd and GetAllSensorInfoByType. The platform
// has "inband" and "lan"; other backends (the emulator's "sim") register
// themselves from their own link unit. `context` is null for a backend.
struct QaxIpmiBackend {
    const char *name;  // the QAX_IPMI value that selects it
    QaxIpmiTransportFn request;
    QaxSensorSourceFn sensorRecords;  // null: no sensor records
    void (*reset)(void);              // forgets connections (tests); may be null
};

// Adds a backend that QAX_IPMI can name (at most four; the first of a name
// wins). Safe from a static constructor.
void QaxIpmiRegisterBackend(const QaxIpmiBackend *backend);

// The "sim" backend as a loadable module (qax-sim.so, the default build):
// the platform loads it with dlopen when QAX_IPMI=sim names no linked-in
// backend, hands it its clock and receives the backend. The entry point's
// name carries the version of this structure, so a module of another
// version is refused, not called.
struct QaxSimModuleHost {
    uint64_t (*wallMs)(void);           // QaxClockWallMs
    uint64_t (*monotonicMs)(void);      // QaxClockMonotonicMs
    void (*jumpWall)(int64_t seconds);  // QaxClockJumpWall
};
#define QAX_SIM_MODULE_ENTRY "qax_sim_module_backend_v1"
typedef const QaxIpmiBackend *(*QaxSimModuleEntryFn)(const QaxSimModuleHost *host);

// Tests: forget the chosen backend (QAX_IPMI is read again at the next call)
// and reset every backend's connection.
void QaxIpmiResetTransport(void);

// Tests: send every IPMI_DoIPMICmd to `fn`, or answer every
// GetAllSensorInfoByType through `fn`, instead of the chosen backend (null
// restores it). Either function can be replaced alone.
void QaxIpmiSetTransportOverride(QaxIpmiTransportFn fn, void *context);
void QaxSensorSetSourceOverride(QaxSensorSourceFn fn, void *context);

#endif
