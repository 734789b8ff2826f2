// Power-cap change events. Not built yet: no event is raised.
#include "events/events.h"

void CheckPowercapRelatedSettingForSendSWEvent(void) {}

void SendPowerCapsChangedEvent(uint8_t u8StoreMask, uint8_t u8FirmwareMask, uint16_t u16StoreValue,
                               uint32_t u32FirmwareValue, uint8_t u8Bit, uint16_t u16EventId,
                               const char *szStoreKey) {
    (void)u8StoreMask;
    (void)u8FirmwareMask;
    (void)u16StoreValue;
    (void)u32FirmwareValue;
    (void)u8Bit;
    (void)u16EventId;
    (void)szStoreKey;
}
