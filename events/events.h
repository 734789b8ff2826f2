// Software events raised from snapshot status bits and power-cap changes.
#ifndef QAX_EVENTS_EVENTS_H
#define QAX_EVENTS_EVENTS_H

#include <stdint.h>

#include "metrics/records.h"

// Event ids handed to sw_msg_dispatcher.
#define QAX_EVENT_PCAP_MIN_CHANGED 114
#define QAX_EVENT_PCAP_MAX_CHANGED 115
#define QAX_EVENT_PCAP_SOFT_MIN_CHANGED 116
#define QAX_EVENT_FLAG_BIT3_SET 117
#define QAX_EVENT_FLAG_BIT2_SET 118
#define QAX_EVENT_STATUS_BOTH 125
#define QAX_EVENT_STATUS_BIT5 126
#define QAX_EVENT_STATUS_BIT4 127
#define QAX_EVENT_FLAG_BIT3_CLEAR 130
#define QAX_EVENT_FLAG_BIT2_CLEAR 131

// Availability-mask bits of the three power-cap limits.
#define QAX_PCAP_MAX_BIT 0x02
#define QAX_PCAP_MIN_BIT 0x04
#define QAX_PCAP_SOFT_MIN_BIT 0x08

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
