// Shared plumbing of the register accessors (not part of the folder's public
// face).
#ifndef QAX_FIRMWARE_REGISTERS_INTERNAL_H
#define QAX_FIRMWARE_REGISTERS_INTERNAL_H

#include <stdint.h>

// Where a message goes.
enum QaxMessageSink {
    QAX_SINK_STDOUT,             // standard output only
    QAX_SINK_SYSLOG_ERROR,       // system log only, error priority
    QAX_SINK_SYSLOG_WARNING,     // system log only, warning priority
    QAX_SINK_BOTH_WARNING,       // standard output and system log, warning
    QAX_SINK_BOTH_ERROR,         // standard output and system log, error
};

// Formats into a 256-byte buffer and sends it to `iSink`.
void QaxReport(int iSink, const char *pszFormat, ...) __attribute__((format(printf, 2, 3)));

// Reads `u8Length` (1-8) data bytes of a register into `pu8Data`, only on
// status 0. `pszAllocFailure` is printed (with the function name) to
// `iAllocSink` when the request cannot be allocated.
unsigned int QaxReadRegisterData(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                                 uint8_t u8RegisterId, uint8_t u8Length,
                                 const char *pszAllocFailure, int iAllocSink, uint8_t *pu8Data);

// The same, decoded big-endian into `*pu64Value` (cleared first).
unsigned int QaxReadRegisterValue(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                                  uint8_t u8RegisterId, uint8_t u8Length,
                                  const char *pszAllocFailure, int iAllocSink,
                                  uint64_t *pu64Value);

// Writes `u8Length` (1-8) bytes of `u64Value`, big-endian; the allocation
// failure message goes to standard output.
unsigned int QaxWriteRegisterValue(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                                   uint8_t u8RegisterId, uint8_t u8Length, uint64_t u64Value,
                                   const char *pszAllocFailure);

#endif
