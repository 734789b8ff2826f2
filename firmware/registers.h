// Register accessors of the QAX firmware (one reader or writer per register)
// and the capability tests built on them.
//
// Readers take the module handle and out-parameters; single-value outputs
// are cleared first, so every failure leaves 0. The indexed power-supply
// readers write their arrays only on success. Status: 0, the firmware's
// completion code, 254 (allocation) or 255 (IPMI failure, rejected answer or
// register id, feature not supported).
#ifndef QAX_FIRMWARE_REGISTERS_H
#define QAX_FIRMWARE_REGISTERS_H

#include <stdint.h>

// Register ids.
#define QAX_REG_POWER_STATUS 0
#define QAX_REG_POWER_EVENT 1
#define QAX_REG_POWER_HARDWARE_ERROR 2
#define QAX_REG_SMS_POWER_CONTROL_POLICY 3
#define QAX_REG_POST_POWER_SETTINGS 5
#define QAX_REG_FW_POWER_THERMAL_CAPABILITIES 7
#define QAX_REG_SERVER_POWER_CAPABILITIES 8
#define QAX_REG_SERVER_POWER_SETTINGS 9
#define QAX_REG_EXTENDED_FW_CAPABILITIES 14
#define QAX_REG_CFF_POWER_CONTROL_POLICY 16

#define QAX_REG_EAR_DC 0
#define QAX_REG_EAR_AC 1

#define QAX_REG_CAR 0
#define QAX_REG_CLOCK_RATE 1

#define QAX_REG_PCAP 0
#define QAX_REG_PCAP_MAX_HOTPLUG 1
#define QAX_REG_PCAP_MAX 2
#define QAX_REG_PCAP_MIN 4
#define QAX_REG_PAUX_MAX 5
#define QAX_REG_PCAP_SOFT_MIN 6
#define QAX_REG_PNAMEPLATE 9
#define QAX_REG_PCAP_MODE 10
#define QAX_REG_PCAP_MIN_HOTPLUG 12

#define QAX_REG_EHI 0
#define QAX_REG_INLET_TEMPERATURE 1

#define QAX_REG_MAX_NUMBER_OF_POWER_SUPPLIES 0
#define QAX_REG_OUTPUT_LABEL_POWER_BASE 1     // 1, 9, 17, 25
#define QAX_REG_POWER_SUPPLY_PRESENCE_BASE 2  // 2, 10, 18, 26
#define QAX_REG_INPUT_VOLTAGE_BASE 4          // 4, 12, 20, 28
#define QAX_REG_POWER_SUPPLY_GROUP_MASK 0xE7  // bits 3-4 select the group of four
#define QAX_REG_REDUNDANCY_TARGET 30
#define QAX_REG_TARGET_REDUNDANCY_CONFIGURATION 31

#define QAX_REG_SERVER_POWER_DOWN_SUPPORT 0
#define QAX_REG_STANDBY_POWER 1
#define QAX_REG_IPL_TIME 2
#define QAX_REG_NUMBER_OF_POWER_CYCLES 3
#define QAX_REG_NUMBER_OF_WAKES_FROM_S3 4

#define QAX_REG_MAXIMIZER_STATUS 6

// Power supplies per indexed register group.
#define QAX_POWER_SUPPLIES_PER_GROUP 4

// Capability bits.
#define QAX_POST_POWER_CAPPING_ENABLED 0x02
#define QAX_FW_CAP_EXTENDED_REGISTER 0x80
#define QAX_EXT_CAP_POWER_SUPPLY_SECTION 0x04
#define QAX_EXT_CAP_RESERVED_SECTION 0x08
#define QAX_EXT_CAP_TIMESTAMP 0x10
#define QAX_EXT_CAP_SUBSYSTEM_LIST 0x20
#define QAX_EXT_CAP_PCAP_MIN_HOTPLUG 0x40
#define QAX_EXT_CAP_STATIC_POWER_SAVINGS 0x100
#define QAX_EXT_CAP_PSU_REDUNDANCY_INFO 0x200

// Input voltages (volts) for the 2-bit codes of the input voltage register.
#define QAX_INPUT_VOLTAGE_CODE0 110
#define QAX_INPUT_VOLTAGE_CODE1 220
#define QAX_INPUT_VOLTAGE_CODE2 208
#define QAX_INPUT_VOLTAGE_CODE3 0

// --- Element 0x00: status and control --------------------------------------
unsigned int QAX_ReadPowerStatusRegister(uint8_t u8Handle, uint8_t *pu8Value);
unsigned int QAX_2_6_ReadPowerEventRegister(uint8_t u8Handle, uint16_t *pu16Value);
unsigned int QAX_ReadPowerHardwareErrorRegister(uint8_t u8Handle, uint8_t *pu8Value);
unsigned int QAX_ReadSMSPowerControlPolicyRegister(uint8_t u8Handle, uint8_t *pu8Value);
unsigned int QAX_WriteSMSPowerControlPolicyRegister(uint8_t u8Handle, uint8_t u8Value);
unsigned int QAX_ReadPOSTPowerSettingsRegister(uint8_t u8Handle, uint8_t *pu8Value);
unsigned int QAX_ReadFirmwarePowerThermalCapabilitiesRegister(uint8_t u8Handle, uint8_t *pu8Value);
unsigned int QAX_ReadServerPowerCapabilitiesRegister(uint8_t u8Handle, uint8_t *pu8Value);
unsigned int QAX_ReadServerPowerSettingsRegister(uint8_t u8Handle, uint8_t *pu8Value);
unsigned int QAX_ReadExtendedFirmwareCapabilitiesRegister(uint8_t u8Handle, uint32_t *pu32Value);
unsigned int QAX_ReadCFFPowerControlPolicyRegister(uint8_t u8Handle, uint8_t *pu8Value);
unsigned int QAX_WriteCFFPowerControlPolicyRegister(uint8_t u8Handle, uint8_t u8Value);

// --- Element 0x01: energy accumulators -------------------------------------
unsigned int QAX_ReadEARDCRegister(uint8_t u8Handle, uint64_t *pu64Value);
unsigned int QAX_ReadEARACRegister(uint8_t u8Handle, uint64_t *pu64Value);

// --- Element 0x04: clock accumulation --------------------------------------
unsigned int QAX_ReadCARRegister(uint8_t u8Handle, uint32_t *pu32Value);
unsigned int QAX_ReadClockRateRegister(uint8_t u8Handle, uint16_t *pu16Value);

// --- Element 0x07: power control --------------------------------------------
unsigned int QAX_ReadPcapRegister(uint8_t u8Handle, uint16_t *pu16Value);
unsigned int QAX_WritePcapRegister(uint8_t u8Handle, uint16_t u16Value);
unsigned int QAX_ReadPcapMaxHotplugRegister(uint8_t u8Handle, uint16_t *pu16Value);
unsigned int QAX_ReadPcapMaxRegister(uint8_t u8Handle, uint16_t *pu16Value);
unsigned int QAX_ReadPcapMinRegister(uint8_t u8Handle, uint16_t *pu16Value);
unsigned int QAX_ReadPauxMaxRegister(uint8_t u8Handle, uint16_t *pu16Value);
unsigned int QAX_ReadPcapSoftMinRegister(uint8_t u8Handle, uint16_t *pu16Value);
unsigned int QAX_ReadPnameplateRegister(uint8_t u8Handle, uint16_t *pu16Value);
unsigned int QAX_ReadPcapModeRegister(uint8_t u8Handle, uint8_t *pu8Value);
unsigned int QAX_WritePcapModeRegister(uint8_t u8Handle, uint8_t u8Value);
// Only when QAX_IsSupportPowerCapMinHotplugRegister; 255 without a request
// otherwise.
unsigned int QAX_ReadPcapMinHotplugRegister(uint8_t u8Handle, uint16_t *pu16Value);

// --- Element 0x09: exhaust heat index and inlet temperature ----------------
unsigned int QAX_ReadEHIRegister(uint8_t u8Handle, uint8_t *pu8Value);
unsigned int QAX_ReadInletTemperatureRegister(uint8_t u8Handle, uint8_t *pu8Value);

// --- Element 0x0A: power supplies -------------------------------------------
// Data byte + 1. A data byte of 0xFF cannot be represented and is rejected
// (255).
unsigned int QAX_ReadMaxNumberOfPowerSuppliesRegister(uint8_t u8Handle, uint8_t *pu8Value);
// Indexed readers: `u8RegisterId` names a group of up to four supplies
// (accepted when (id & 0xE7) equals the kind's base); values for the first
// min(count, 4) supplies are stored.
unsigned int QAX_ReadOutputLabelPowerRegister(uint8_t u8Handle, uint8_t u8RegisterId,
                                              uint8_t u8Count, uint32_t *pu32LabelPower);
unsigned int QAX_ReadPowerSupplyPresenceRegister(uint8_t u8Handle, uint8_t u8RegisterId,
                                                 uint8_t u8Count, uint8_t *pu8Present);
// Volts per supply: 0 when the supply has no reading, else 110, 220, 208 or
// 0 for the codes 0-3.
unsigned int QAX_ReadPowerSupplyInputVoltageRegister(uint8_t u8Handle, uint8_t u8RegisterId,
                                                     uint8_t u8Count, uint32_t *pu32Voltage);
unsigned int QAX_ReadRedundancyTargetRegister(uint8_t u8Handle, uint8_t *pu8Value);
unsigned int QAX_WriteRedundancyTargetRegister(uint8_t u8Handle, uint8_t u8Value);
// Only when QAX_IsPowerSupplyRedundancyExposeInfoSupported; 255 otherwise.
unsigned int QAX_WriteTargetRedundancyConfigurationRegister(uint8_t u8Handle, uint8_t u8Value);

// --- Element 0x0D: server power-down -----------------------------------------
unsigned int QAX_ReadServerPowerDownSupportRegister(uint8_t u8Handle, uint16_t *pu16Value);
// `*pu8Value` is data byte 2, `*pu16StandbyPower` data bytes 3-4.
unsigned int QAX_ReadStandbyPowerRegister(uint8_t u8Handle, uint8_t *pu8Value,
                                          uint16_t *pu16StandbyPower);
unsigned int QAX_ReadIPLTimeRegister(uint8_t u8Handle, uint16_t *pu16Value);
// Data bytes 0-1 and 2-3.
unsigned int QAX_ReadNumberOfPowerCyclesRegister(uint8_t u8Handle, uint16_t *pu16First,
                                                 uint16_t *pu16Second);
unsigned int QAX_ReadNumberOWakesFromS3Register(uint8_t u8Handle, uint16_t *pu16Value);

// --- Element 0x0E: power maximizer -------------------------------------------
unsigned int QAX_ReadMaximizerStatusRegister(uint8_t u8Handle, uint8_t *pu8Value);

// --- Capability tests (firmware instance 0): 1 or 0 -------------------------
int QAX_IsPowerCappingEnabled(void);
int QAX_IsPowerCappingActive(void);
int QAX_IsStaticPowerSavingsModeSupported(void);
int QAX_IsSupportPowerCapMinHotplugRegister(void);
int QAX_IsPowerSupplyRedundancyExposeInfoSupported(void);
int QAX_IsPowerCappingModeSupported(void);

#endif
