// Software events raised from snapshot status bits and power-cap changes.
#ifndef QAX_EVENTS_EVENTS_H
#define QAX_EVENTS_EVENTS_H

#include <stdint.h>

#include "metrics/metrics.h"

struct PowerCapChangeRecord {
    char szOldValue[64];
    char szNewValue[64];
};

void CheckBufForSendSWEvent(const MetricValue *psBuffer);
void CheckPowercapRelatedSettingForSendSWEvent(void);
void SendPowerCapsChangedEvent(uint8_t u8StoreMask, uint8_t u8FirmwareMask, uint16_t u16StoreValue,
                               uint32_t u32FirmwareValue, uint8_t u8Bit, uint16_t u16EventId,
                               const char *szStoreKey);

#endif
