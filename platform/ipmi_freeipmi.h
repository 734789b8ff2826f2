// The "inband" and "lan" IPMI backends, through FreeIPMI. Internal to
// platform/ (ipmi.cpp lists the backends; tests and the benchmark use the
// configuration parser and the requests).
#ifndef QAX_PLATFORM_IPMI_FREEIPMI_H
#define QAX_PLATFORM_IPMI_FREEIPMI_H

#include <stdint.h>

#include <string>

enum class QaxLinkKind { Inband, Lan };

// What the environment says about the connection.
struct QaxLinkConfig {
    QaxLinkKind kind = QaxLinkKind::Inband;
    std::string host;                    // QAX_IPMI_HOST (lan)
    unsigned port = 623;                 // QAX_IPMI_PORT
    std::string user;                    // QAX_IPMI_USER; empty = the anonymous user
    std::string password;                // IPMI_PASSWORD; never from a command line
    unsigned cipherSuite = 3;            // QAX_IPMI_CIPHER
    unsigned privilege = 4;              // QAX_IPMI_PRIVILEGE: 2 user, 3 operator, 4 admin
    unsigned workarounds = 0;            // QAX_IPMI_WORKAROUNDS: FreeIPMI workaround flags
    unsigned sessionTimeoutMs = 2000;    // QAX_IPMI_TIMEOUT_MS
    unsigned retransmitTimeoutMs = 500;  // QAX_IPMI_RETRANSMIT_MS
    std::string device;  // QAX_IPMI_DEVICE (inband): driver device path, empty = probe
};

// Reads the configuration of `kind` through `lookup` (getenv in the daemon).
// False with a one-line reason in *error when a value is missing or invalid.
typedef const char *(*QaxEnvLookup)(const char *name);
bool QaxLinkParseConfig(QaxLinkKind kind, QaxEnvLookup lookup, QaxLinkConfig *config,
                        std::string *error);

// Workaround flags from names separated by commas (FreeIPMI's names for the
// kind) or one number (decimal or 0x hexadecimal).
bool QaxLinkParseWorkarounds(QaxLinkKind kind, const char *text, unsigned *flags,
                             std::string *error);

// One request over the process's connection of `kind`, opened on first use
// and re-opened after a failure (at most once per call). `response` receives
// the completion code first; `*responseLen` holds the capacity on entry and
// the answer's length on return. 0, or QAX_IPMI_ERR_NO_TRANSPORT (not
// configured, no interface: said once on stderr), QAX_IPMI_ERR_LINK (no
// answer) or QAX_IPMI_ERR_BAD_ANSWER (an answer that cannot be right).
int QaxLinkRequest(QaxLinkKind kind, int netFn, int cmd, const uint8_t *request, int requestLen,
                   uint8_t *response, int *responseLen);

// The controller's sensor records of `sensorType` from its sensor data
// repository, as 1492-byte records (number, 0, type, sensor number, name at 6,
// reading text at 198), as many whole records as fit in `bufferSize`.
int QaxLinkSensorRecords(QaxLinkKind kind, uint8_t sensorType, uint8_t *buffer, uint32_t bufferSize,
                         uint32_t *written);

// Closes the connection and forgets the configuration (tests, and the reset of
// the chosen transport).
void QaxLinkReset();

// The two backends over the process's connection (reset: QaxLinkReset).
struct QaxIpmiBackend;
extern const QaxIpmiBackend kQaxIpmiInband;
extern const QaxIpmiBackend kQaxIpmiLan;

#endif
