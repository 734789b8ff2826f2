// Shared plumbing of the register accessors (not part of the folder's public
// face).
#ifndef QAX_FIRMWARE_REGISTERS_INTERNAL_H
#define QAX_FIRMWARE_REGISTERS_INTERNAL_H

#include <stdint.h>

#include "daemon/trace.h"

// Reads `u8Length` (1-8) data bytes of a register into `pu8Data`, only on
// status 0. `pszAllocFailure` is reported (with the function name) to the
// QaxLog sinks `uAllocSinks` when the request cannot be allocated.
unsigned int QaxReadRegisterData(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                                 uint8_t u8RegisterId, uint8_t u8Length,
                                 const char *pszAllocFailure, unsigned uAllocSinks,
                                 uint8_t *pu8Data);

// The same, decoded big-endian into `*pu64Value` (cleared first).
unsigned int QaxReadRegisterValue(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                                  uint8_t u8RegisterId, uint8_t u8Length,
                                  const char *pszAllocFailure, unsigned uAllocSinks,
                                  uint64_t *pu64Value);

// Writes `u8Length` (1-8) bytes of `u64Value`, big-endian; the allocation
// failure message goes to standard output.
unsigned int QaxWriteRegisterValue(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                                   uint8_t u8RegisterId, uint8_t u8Length, uint64_t u64Value,
                                   const char *pszAllocFailure);

#endif
