// Power-cap change events: the firmware's three capping limits compared with
// the values published in the configuration store. The store is both the
// published value and the memory of what was last reported; a changed limit
// raises one event with the old and the new value and is written back.
#include <stdio.h>
#include <string.h>

#include "daemon/trace.h"
#include "events/events.h"
#include "firmware/element_method.h"
#include "firmware/registers.h"
#include "platform/platform.h"

#define QAX_CAPPING_MODE_MASK 0x07
#define QAX_CAPPING_MODE_ENABLED_A 2
#define QAX_CAPPING_MODE_ENABLED_B 5

static const char kCheckFunction[] = "CheckPowercapRelatedSettingForSendSWEvent";
static const char kSendFunction[] = "SendPowerCapsChangedEvent";

static const char kPcapMaxKey[] = "pcap_max_aim_element_qax";
static const char kPcapMinKey[] = "pcap_min_aim_element_qax";
static const char kPcapSoftMinKey[] = "pcap_soft_min_aim_element_qax";

// Seeding and updating the store share this; a refused write is only traced
// (the next call sees the old value and reports the change again).
static void StorePowerCap(uint32_t u32FirmwareValue, const char *szStoreKey) {
    if (aim_config_set_int(szStoreKey, (int32_t)u32FirmwareValue, 1) == 0) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kSendFunction, "ERROR",
               "write pcaps [%d] to aim failed!", (int)u32FirmwareValue);
    }
}

void SendPowerCapsChangedEvent(uint8_t u8StoreMask, uint8_t u8FirmwareMask, uint16_t u16StoreValue,
                               uint32_t u32FirmwareValue, uint8_t u8Bit, uint16_t u16EventId,
                               const char *szStoreKey) {
    if (szStoreKey == NULL) {
        return;
    }
    int nInStore = (u8StoreMask & u8Bit) != 0;
    int nInFirmware = (u8FirmwareMask & u8Bit) != 0;

    if (!nInStore) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kSendFunction, "ERROR",
               "%s: failed to get [%s] from aim", kSendFunction, szStoreKey);
        // Seeded even without a firmware value, so the key exists from now on.
        StorePowerCap(u32FirmwareValue, szStoreKey);
        if (nInFirmware) {
            QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kSendFunction, "DBG",
                   "%s: succeeds to get [%s] from qax and value:[%d]", kSendFunction, szStoreKey,
                   (int)u32FirmwareValue);
        } else {
            QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kSendFunction, "ERROR",
                   "%s: failed to get %s from qax", kSendFunction, szStoreKey);
        }
        return;
    }

    if (!nInFirmware) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kSendFunction, "DBG",
               "%s: succeeds to get [%s] from aim and value:[%d]", kSendFunction, szStoreKey,
               (int)u16StoreValue);
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kSendFunction, "ERROR",
               "%s: failed to get %s from qax", kSendFunction, szStoreKey);
        return;
    }

    if ((uint32_t)u16StoreValue == u32FirmwareValue) {
        return;
    }

    if (u16EventId < QAX_EVENT_PCAP_MIN_CHANGED || u16EventId > QAX_EVENT_PCAP_SOFT_MIN_CHANGED) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kSendFunction, "ERROR", "%d unexpected event id !!",
               (int)u16EventId);
    } else {
        PowerCapChangeRecord sRecord;
        memset(&sRecord, 0, sizeof(sRecord));
        snprintf(sRecord.szOldValue, sizeof(sRecord.szOldValue), "%u", (unsigned)u16StoreValue);
        snprintf(sRecord.szNewValue, sizeof(sRecord.szNewValue), "%u", (unsigned)u32FirmwareValue);
        if (sw_msg_dispatcher(u16EventId, &sRecord) != 0) {
            QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kSendFunction, "ERROR",
                   "Generate sw message %d failed!!", (int)u16EventId);
        }
    }
    // Written even after a refused event: a change is reported once.
    StorePowerCap(u32FirmwareValue, szStoreKey);
}

// Reads one limit's store key; on success sets its bit and keeps the low 16
// bits of the value.
static void ReadStoredPowerCap(const char *szStoreKey, uint8_t u8Bit, uint8_t *pu8StoreMask,
                               uint16_t *pu16Value) {
    int32_t i32Value = 0;
    if (aim_config_get_int(szStoreKey, &i32Value) != 0) {
        *pu8StoreMask |= u8Bit;
        *pu16Value = (uint16_t)((uint32_t)i32Value & 0xFFFFu);
        return;
    }
    QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kCheckFunction, "ERROR",
           "[%s]:Failed to get aim element %s.", kCheckFunction, szStoreKey);
}

void CheckPowercapRelatedSettingForSendSWEvent(void) {
    if (QAX_IsPowerCappingActive() == 0) {
        return;
    }

    uint8_t u8StoreMask = 0;
    uint8_t u8FirmwareMask = 0;
    uint16_t u16StoreMax = 0;
    uint16_t u16StoreMin = 0;
    uint16_t u16StoreSoftMin = 0;
    uint16_t u16FirmwareMax = 0;
    uint16_t u16FirmwareMin = 0;
    uint16_t u16FirmwareSoftMin = 0;

    ReadStoredPowerCap(kPcapMaxKey, QAX_PCAP_MAX_BIT, &u8StoreMask, &u16StoreMax);
    ReadStoredPowerCap(kPcapMinKey, QAX_PCAP_MIN_BIT, &u8StoreMask, &u16StoreMin);
    ReadStoredPowerCap(kPcapSoftMinKey, QAX_PCAP_SOFT_MIN_BIT, &u8StoreMask, &u16StoreSoftMin);

    uint8_t u8Handle = QAX_GetSupportedModuleHandle(QAX_MAIN_INSTANCE);
    if (u8Handle == 0) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kCheckFunction, "ERROR",
               "[%s]:Failed to call QAX_GetModuleHandle().", kCheckFunction);
    } else {
        // The limits are read whatever the mode says; the line only tells
        // why they may not be in force.
        uint8_t u8Settings = 0;
        if (QAX_ReadServerPowerSettingsRegister(u8Handle, &u8Settings) == QAX_STATUS_SUCCESS) {
            uint8_t u8Mode = (uint8_t)(u8Settings & QAX_CAPPING_MODE_MASK);
            if (u8Mode != QAX_CAPPING_MODE_ENABLED_A && u8Mode != QAX_CAPPING_MODE_ENABLED_B) {
                QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kCheckFunction, "WARN",
                       "%s: Pcap can not be read as power capping is not enabled[%d]",
                       kCheckFunction, (int)u8Mode);
            }
        }
        if (QAX_ReadPcapMaxRegister(u8Handle, &u16FirmwareMax) == QAX_STATUS_SUCCESS) {
            u8FirmwareMask |= QAX_PCAP_MAX_BIT;
        } else {
            u16FirmwareMax = 0;
        }
        if (QAX_ReadPcapMinRegister(u8Handle, &u16FirmwareMin) == QAX_STATUS_SUCCESS) {
            u8FirmwareMask |= QAX_PCAP_MIN_BIT;
        } else {
            u16FirmwareMin = 0;
        }
        if (QAX_ReadPcapSoftMinRegister(u8Handle, &u16FirmwareSoftMin) == QAX_STATUS_SUCCESS) {
            u8FirmwareMask |= QAX_PCAP_SOFT_MIN_BIT;
        } else {
            u16FirmwareSoftMin = 0;
        }
    }

    SendPowerCapsChangedEvent(u8StoreMask, u8FirmwareMask, u16StoreMax, u16FirmwareMax,
                              QAX_PCAP_MAX_BIT, QAX_EVENT_PCAP_MAX_CHANGED, kPcapMaxKey);
    SendPowerCapsChangedEvent(u8StoreMask, u8FirmwareMask, u16StoreMin, u16FirmwareMin,
                              QAX_PCAP_MIN_BIT, QAX_EVENT_PCAP_MIN_CHANGED, kPcapMinKey);
    SendPowerCapsChangedEvent(u8StoreMask, u8FirmwareMask, u16StoreSoftMin, u16FirmwareSoftMin,
                              QAX_PCAP_SOFT_MIN_BIT, QAX_EVENT_PCAP_SOFT_MIN_CHANGED,
                              kPcapSoftMinKey);
}
