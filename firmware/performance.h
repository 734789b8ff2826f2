// Performance (utilisation) data from the firmware.
#ifndef QAX_FIRMWARE_PERFORMANCE_H
#define QAX_FIRMWARE_PERFORMANCE_H

#include <stdint.h>

#include "metrics/records.h"

// The main cycle's performance record: utilisation in percent and the
// sample's timestamp.
struct PerformanceRecord {
    uint64_t u64System;
    uint64_t u64CPU;
    uint64_t u64Memory;
    uint64_t u64IO;
    uint64_t u64Timestamp;
};

unsigned int QAX_ReadPerformanceBuffer(uint8_t u8Domain, uint8_t u8Selector2, uint8_t u8Statistic,
                                       uint8_t u8MaxLength, uint8_t *pu8Buffer);
int NM_Performance_IsSupported(void);
unsigned int GetPerformanceFromNM(PerformanceRecord *psRecord);
unsigned int ReadPerformanceDataFromXPM(MetricEntry *psEntries);
unsigned int GetTotalInputPowerForExpansion(uint32_t *pu32Value);
unsigned int GetStandbyPowerForExpansion(uint32_t *pu32Value);

#endif
