// Register accessors of the status/control, energy, clock, power-control,
// exhaust-heat, power-down and maximizer elements, and the capability tests.
// The power-supply element lives in registers_power_supply.cpp.
#include "firmware/registers.h"

#include <string.h>

#include "firmware/element_method.h"
#include "firmware/registers_internal.h"

static const char kStatusReadAlloc[] =
    "[%s] Failed to call GetReadStatusRegisterRequestBuffer().\n";
static const char kEnergyReadAlloc[] =
    "[%s] Failed to call GetReadEnergyAccumulatorRegisterRequestBuffer().\n";
static const char kClockReadAlloc[] =
    "[%s] Failed to call GetReadClockAccumulationRegisterRequestBuffer().\n";
static const char kPowerControlReadAlloc[] =
    "[%s] Failed to call GetReadPowerControlRegisterRequestBuffer().\n";
static const char kHotplugReadAlloc[] =
    "[%s] Failed to call GetReadPowerControlRegisterRequestBuffer()\n";
static const char kExhaustReadAlloc[] =
    "[%s] Failed to call GetReadExhaustHeatIndexRegisterRequestBuffer().\n";
static const char kPowerDownReadAlloc[] =
    "[%s] Failed to call GetReadServerPowerDownRegisterRequestBuffer().\n";
static const char kMaximizerReadAlloc[] =
    "[%s] Failed to call GetReadPowerMaximizerRegisterRequestBuffer().\n";
static const char kStatusWriteAlloc[] =
    "[%s] Failed to call GetWriteStatusControlRegisterRequestBuffer().\n";
static const char kPowerControlWriteAlloc[] =
    "[%s] Failed to call GetWritePowerControlRegisterRequestBuffer().\n";

// ---------------------------------------------------------------------------
// Shared plumbing

unsigned int QaxReadRegisterData(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                                 uint8_t u8RegisterId, uint8_t u8Length,
                                 const char *pszAllocFailure, unsigned uAllocSinks,
                                 uint8_t *pu8Data) {
    uint8_t *pu8Request = NULL;
    if (GetReadRegisterRequestBuffer(u8Handle, u8Element, &pu8Request) != QAX_STATUS_SUCCESS) {
        QaxLog(uAllocSinks, QAX_LOG_ALWAYS, NULL, NULL, pszAllocFailure, pszFunction);
        return QAX_STATUS_NO_MEMORY;
    }
    uint8_t *pu8Response = NULL;
    unsigned int u32Status = ReadRegister(pu8Request, u8RegisterId, u8Length, &pu8Response);
    // Status 0 guarantees that the answer really holds the data bytes.
    if (u32Status == QAX_STATUS_SUCCESS) {
        memcpy(pu8Data, pu8Response + QAX_REGISTER_RESPONSE_HEADER, u8Length);
    }
    FreeRequestResponseBuffers(pu8Request, pu8Response);
    return u32Status;
}

unsigned int QaxReadRegisterValue(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                                  uint8_t u8RegisterId, uint8_t u8Length,
                                  const char *pszAllocFailure, unsigned uAllocSinks,
                                  uint64_t *pu64Value) {
    *pu64Value = 0;
    uint8_t au8Data[8];
    if (u8Length > sizeof(au8Data)) {
        return QAX_STATUS_FAILED;
    }
    unsigned int u32Status = QaxReadRegisterData(pszFunction, u8Handle, u8Element, u8RegisterId,
                                                 u8Length, pszAllocFailure, uAllocSinks, au8Data);
    if (u32Status == QAX_STATUS_SUCCESS) {
        *pu64Value = ReadBigEndianField(0, au8Data, u8Length);
    }
    return u32Status;
}

unsigned int QaxWriteRegisterValue(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                                   uint8_t u8RegisterId, uint8_t u8Length, uint64_t u64Value,
                                   const char *pszAllocFailure) {
    if (u8Length == 0 || u8Length > 8) {
        return QAX_STATUS_FAILED;
    }
    uint8_t *pu8Request = NULL;
    uint32_t u32RequestSize = 0;
    if (GetWriteRegisterRequestBuffer(u8Handle, u8Element, u8RegisterId, u8Length, &pu8Request,
                                      &u32RequestSize) != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, pszAllocFailure, pszFunction);
        return QAX_STATUS_NO_MEMORY;
    }
    for (uint8_t i = 0; i < u8Length; i++) {
        pu8Request[QAX_REGISTER_REQUEST_SIZE + i] =
            (uint8_t)(u64Value >> (8u * (unsigned)(u8Length - 1 - i)));
    }
    unsigned int u32Status = WriteRegister(pu8Request, u32RequestSize);
    FreeRequestResponseBuffers(pu8Request, NULL);
    return u32Status;
}

// Typed front ends: clear the output, read, narrow.
static unsigned int ReadU8(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                           uint8_t u8RegisterId, const char *pszAllocFailure, uint8_t *pu8Value) {
    if (pu8Value == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    uint64_t u64Value = 0;
    unsigned int u32Status = QaxReadRegisterValue(pszFunction, u8Handle, u8Element, u8RegisterId, 1,
                                                  pszAllocFailure, QAX_LOG_STDOUT, &u64Value);
    *pu8Value = (uint8_t)u64Value;
    return u32Status;
}

static unsigned int ReadU16(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                            uint8_t u8RegisterId, const char *pszAllocFailure, unsigned uAllocSinks,
                            uint16_t *pu16Value) {
    if (pu16Value == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    uint64_t u64Value = 0;
    unsigned int u32Status = QaxReadRegisterValue(pszFunction, u8Handle, u8Element, u8RegisterId, 2,
                                                  pszAllocFailure, uAllocSinks, &u64Value);
    *pu16Value = (uint16_t)u64Value;
    return u32Status;
}

static unsigned int ReadU32(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                            uint8_t u8RegisterId, const char *pszAllocFailure,
                            uint32_t *pu32Value) {
    if (pu32Value == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    uint64_t u64Value = 0;
    unsigned int u32Status = QaxReadRegisterValue(pszFunction, u8Handle, u8Element, u8RegisterId, 4,
                                                  pszAllocFailure, QAX_LOG_STDOUT, &u64Value);
    *pu32Value = (uint32_t)u64Value;
    return u32Status;
}

static unsigned int ReadU64(const char *pszFunction, uint8_t u8Handle, uint8_t u8Element,
                            uint8_t u8RegisterId, const char *pszAllocFailure,
                            uint64_t *pu64Value) {
    if (pu64Value == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    return QaxReadRegisterValue(pszFunction, u8Handle, u8Element, u8RegisterId, 8, pszAllocFailure,
                                QAX_LOG_STDOUT, pu64Value);
}

// ---------------------------------------------------------------------------
// Element 0x00: status and control

unsigned int QAX_ReadPowerStatusRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    return ReadU8(__func__, u8Handle, QAX_ELEMENT_STATUS_CONTROL, QAX_REG_POWER_STATUS,
                  kStatusReadAlloc, pu8Value);
}

unsigned int QAX_2_6_ReadPowerEventRegister(uint8_t u8Handle, uint16_t *pu16Value) {
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_STATUS_CONTROL, QAX_REG_POWER_EVENT,
                   kStatusReadAlloc, QAX_LOG_STDOUT, pu16Value);
}

unsigned int QAX_ReadPowerHardwareErrorRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    return ReadU8(__func__, u8Handle, QAX_ELEMENT_STATUS_CONTROL, QAX_REG_POWER_HARDWARE_ERROR,
                  kStatusReadAlloc, pu8Value);
}

unsigned int QAX_ReadSMSPowerControlPolicyRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    return ReadU8(__func__, u8Handle, QAX_ELEMENT_STATUS_CONTROL, QAX_REG_SMS_POWER_CONTROL_POLICY,
                  kStatusReadAlloc, pu8Value);
}

unsigned int QAX_WriteSMSPowerControlPolicyRegister(uint8_t u8Handle, uint8_t u8Value) {
    return QaxWriteRegisterValue(__func__, u8Handle, QAX_ELEMENT_STATUS_CONTROL,
                                 QAX_REG_SMS_POWER_CONTROL_POLICY, 1, u8Value, kStatusWriteAlloc);
}

unsigned int QAX_ReadPOSTPowerSettingsRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    if (pu8Value == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    *pu8Value = 0;
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "[%s] read POST Power Settings Register\n",
           __func__);
    unsigned int u32Status = ReadU8(__func__, u8Handle, QAX_ELEMENT_STATUS_CONTROL,
                                    QAX_REG_POST_POWER_SETTINGS, kStatusReadAlloc, pu8Value);
    if (u32Status == QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "Post Power Settings register value is %d\n", *pu8Value);
    }
    return u32Status;
}

unsigned int QAX_ReadFirmwarePowerThermalCapabilitiesRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    return ReadU8(__func__, u8Handle, QAX_ELEMENT_STATUS_CONTROL,
                  QAX_REG_FW_POWER_THERMAL_CAPABILITIES, kStatusReadAlloc, pu8Value);
}

unsigned int QAX_ReadServerPowerCapabilitiesRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    return ReadU8(__func__, u8Handle, QAX_ELEMENT_STATUS_CONTROL, QAX_REG_SERVER_POWER_CAPABILITIES,
                  kStatusReadAlloc, pu8Value);
}

unsigned int QAX_ReadServerPowerSettingsRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    return ReadU8(__func__, u8Handle, QAX_ELEMENT_STATUS_CONTROL, QAX_REG_SERVER_POWER_SETTINGS,
                  kStatusReadAlloc, pu8Value);
}

unsigned int QAX_ReadExtendedFirmwareCapabilitiesRegister(uint8_t u8Handle, uint32_t *pu32Value) {
    return ReadU32(__func__, u8Handle, QAX_ELEMENT_STATUS_CONTROL, QAX_REG_EXTENDED_FW_CAPABILITIES,
                   kStatusReadAlloc, pu32Value);
}

unsigned int QAX_ReadCFFPowerControlPolicyRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    return ReadU8(__func__, u8Handle, QAX_ELEMENT_STATUS_CONTROL, QAX_REG_CFF_POWER_CONTROL_POLICY,
                  kStatusReadAlloc, pu8Value);
}

unsigned int QAX_WriteCFFPowerControlPolicyRegister(uint8_t u8Handle, uint8_t u8Value) {
    return QaxWriteRegisterValue(__func__, u8Handle, QAX_ELEMENT_STATUS_CONTROL,
                                 QAX_REG_CFF_POWER_CONTROL_POLICY, 1, u8Value, kStatusWriteAlloc);
}

// ---------------------------------------------------------------------------
// Element 0x01: energy accumulators

unsigned int QAX_ReadEARDCRegister(uint8_t u8Handle, uint64_t *pu64Value) {
    return ReadU64(__func__, u8Handle, QAX_ELEMENT_ENERGY_ACCUMULATOR, QAX_REG_EAR_DC,
                   kEnergyReadAlloc, pu64Value);
}

unsigned int QAX_ReadEARACRegister(uint8_t u8Handle, uint64_t *pu64Value) {
    return ReadU64(__func__, u8Handle, QAX_ELEMENT_ENERGY_ACCUMULATOR, QAX_REG_EAR_AC,
                   kEnergyReadAlloc, pu64Value);
}

// ---------------------------------------------------------------------------
// Element 0x04: clock accumulation

unsigned int QAX_ReadCARRegister(uint8_t u8Handle, uint32_t *pu32Value) {
    return ReadU32(__func__, u8Handle, QAX_ELEMENT_CLOCK_ACCUMULATION, QAX_REG_CAR, kClockReadAlloc,
                   pu32Value);
}

unsigned int QAX_ReadClockRateRegister(uint8_t u8Handle, uint16_t *pu16Value) {
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_CLOCK_ACCUMULATION, QAX_REG_CLOCK_RATE,
                   kClockReadAlloc, QAX_LOG_STDOUT, pu16Value);
}

// ---------------------------------------------------------------------------
// Element 0x07: power control

unsigned int QAX_ReadPcapRegister(uint8_t u8Handle, uint16_t *pu16Value) {
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_POWER_CONTROL, QAX_REG_PCAP,
                   kPowerControlReadAlloc, QAX_LOG_STDOUT, pu16Value);
}

unsigned int QAX_WritePcapRegister(uint8_t u8Handle, uint16_t u16Value) {
    return QaxWriteRegisterValue(__func__, u8Handle, QAX_ELEMENT_POWER_CONTROL, QAX_REG_PCAP, 2,
                                 u16Value, kPowerControlWriteAlloc);
}

unsigned int QAX_ReadPcapMaxHotplugRegister(uint8_t u8Handle, uint16_t *pu16Value) {
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_POWER_CONTROL, QAX_REG_PCAP_MAX_HOTPLUG,
                   kHotplugReadAlloc, QAX_LOG_SYSLOG_ERROR, pu16Value);
}

unsigned int QAX_ReadPcapMaxRegister(uint8_t u8Handle, uint16_t *pu16Value) {
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_POWER_CONTROL, QAX_REG_PCAP_MAX,
                   kPowerControlReadAlloc, QAX_LOG_STDOUT, pu16Value);
}

unsigned int QAX_ReadPcapMinRegister(uint8_t u8Handle, uint16_t *pu16Value) {
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_POWER_CONTROL, QAX_REG_PCAP_MIN,
                   kPowerControlReadAlloc, QAX_LOG_STDOUT, pu16Value);
}

unsigned int QAX_ReadPauxMaxRegister(uint8_t u8Handle, uint16_t *pu16Value) {
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_POWER_CONTROL, QAX_REG_PAUX_MAX,
                   kPowerControlReadAlloc, QAX_LOG_STDOUT, pu16Value);
}

unsigned int QAX_ReadPcapSoftMinRegister(uint8_t u8Handle, uint16_t *pu16Value) {
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_POWER_CONTROL, QAX_REG_PCAP_SOFT_MIN,
                   kPowerControlReadAlloc, QAX_LOG_STDOUT, pu16Value);
}

unsigned int QAX_ReadPnameplateRegister(uint8_t u8Handle, uint16_t *pu16Value) {
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_POWER_CONTROL, QAX_REG_PNAMEPLATE,
                   kPowerControlReadAlloc, QAX_LOG_STDOUT, pu16Value);
}

unsigned int QAX_ReadPcapModeRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    return ReadU8(__func__, u8Handle, QAX_ELEMENT_POWER_CONTROL, QAX_REG_PCAP_MODE,
                  kPowerControlReadAlloc, pu8Value);
}

unsigned int QAX_WritePcapModeRegister(uint8_t u8Handle, uint8_t u8Value) {
    return QaxWriteRegisterValue(__func__, u8Handle, QAX_ELEMENT_POWER_CONTROL, QAX_REG_PCAP_MODE,
                                 1, u8Value, kPowerControlWriteAlloc);
}

unsigned int QAX_ReadPcapMinHotplugRegister(uint8_t u8Handle, uint16_t *pu16Value) {
    if (pu16Value == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    *pu16Value = 0;
    if (!QAX_IsSupportPowerCapMinHotplugRegister()) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "%s: Pcap Min hotplug is not supported!!!\n ", __func__);
        return QAX_STATUS_FAILED;
    }
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_POWER_CONTROL, QAX_REG_PCAP_MIN_HOTPLUG,
                   kHotplugReadAlloc, QAX_LOG_SYSLOG_ERROR, pu16Value);
}

// ---------------------------------------------------------------------------
// Element 0x09: exhaust heat index and inlet temperature

unsigned int QAX_ReadEHIRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    return ReadU8(__func__, u8Handle, QAX_ELEMENT_EXHAUST_HEAT_INDEX, QAX_REG_EHI,
                  kExhaustReadAlloc, pu8Value);
}

unsigned int QAX_ReadInletTemperatureRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    return ReadU8(__func__, u8Handle, QAX_ELEMENT_EXHAUST_HEAT_INDEX, QAX_REG_INLET_TEMPERATURE,
                  kExhaustReadAlloc, pu8Value);
}

// ---------------------------------------------------------------------------
// Element 0x0D: server power-down

unsigned int QAX_ReadServerPowerDownSupportRegister(uint8_t u8Handle, uint16_t *pu16Value) {
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_SERVER_POWER_DOWN,
                   QAX_REG_SERVER_POWER_DOWN_SUPPORT, kPowerDownReadAlloc, QAX_LOG_STDOUT,
                   pu16Value);
}

unsigned int QAX_ReadStandbyPowerRegister(uint8_t u8Handle, uint8_t *pu8Value,
                                          uint16_t *pu16StandbyPower) {
    if (pu8Value == NULL || pu16StandbyPower == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    *pu8Value = 0;
    *pu16StandbyPower = 0;
    uint8_t au8Data[8];
    unsigned int u32Status = QaxReadRegisterData(__func__, u8Handle, QAX_ELEMENT_SERVER_POWER_DOWN,
                                                 QAX_REG_STANDBY_POWER, sizeof(au8Data),
                                                 kPowerDownReadAlloc, QAX_LOG_STDOUT, au8Data);
    if (u32Status == QAX_STATUS_SUCCESS) {
        *pu8Value = au8Data[2];
        *pu16StandbyPower = (uint16_t)ReadBigEndianField(3, au8Data, 2);
    }
    return u32Status;
}

unsigned int QAX_ReadIPLTimeRegister(uint8_t u8Handle, uint16_t *pu16Value) {
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_SERVER_POWER_DOWN, QAX_REG_IPL_TIME,
                   kPowerDownReadAlloc, QAX_LOG_STDOUT, pu16Value);
}

unsigned int QAX_ReadNumberOfPowerCyclesRegister(uint8_t u8Handle, uint16_t *pu16First,
                                                 uint16_t *pu16Second) {
    if (pu16First == NULL || pu16Second == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    *pu16First = 0;
    *pu16Second = 0;
    uint8_t au8Data[4];
    unsigned int u32Status = QaxReadRegisterData(__func__, u8Handle, QAX_ELEMENT_SERVER_POWER_DOWN,
                                                 QAX_REG_NUMBER_OF_POWER_CYCLES, sizeof(au8Data),
                                                 kPowerDownReadAlloc, QAX_LOG_STDOUT, au8Data);
    if (u32Status == QAX_STATUS_SUCCESS) {
        *pu16First = (uint16_t)ReadBigEndianField(0, au8Data, 2);
        *pu16Second = (uint16_t)ReadBigEndianField(2, au8Data, 2);
    }
    return u32Status;
}

unsigned int QAX_ReadNumberOWakesFromS3Register(uint8_t u8Handle, uint16_t *pu16Value) {
    return ReadU16(__func__, u8Handle, QAX_ELEMENT_SERVER_POWER_DOWN,
                   QAX_REG_NUMBER_OF_WAKES_FROM_S3, kPowerDownReadAlloc, QAX_LOG_STDOUT, pu16Value);
}

// ---------------------------------------------------------------------------
// Element 0x0E: power maximizer

unsigned int QAX_ReadMaximizerStatusRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    return ReadU8(__func__, u8Handle, QAX_ELEMENT_POWER_MAXIMIZER, QAX_REG_MAXIMIZER_STATUS,
                  kMaximizerReadAlloc, pu8Value);
}

// ---------------------------------------------------------------------------
// Capability tests

int QAX_IsPowerCappingEnabled(void) {
    uint8_t u8Handle = 0;
    if (QAX_IsSupported(QAX_MAIN_INSTANCE)) {
        u8Handle = QAX_GetModuleHandle(QAX_MAIN_INSTANCE);
    }
    if (u8Handle == 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s]Failed to call QAX_GetModuleHandle().\n", __func__);
        return 0;
    }
    uint8_t u8Settings = 0;
    if (QAX_ReadPOSTPowerSettingsRegister(u8Handle, &u8Settings) != QAX_STATUS_SUCCESS) {
        return 0;
    }
    return (u8Settings & QAX_POST_POWER_CAPPING_ENABLED) ? 1 : 0;
}

int QAX_IsPowerCappingActive(void) {
    if (!QAX_IsSupported(QAX_MAIN_INSTANCE) || IsBladePlatform()) {
        return 0;
    }
    return QAX_IsPowerCappingEnabled();
}

// What the tests of the extended capabilities register share: the module
// handle, the two capability registers, and a system-log message for what
// went wrong. Status 0 with the register value.
static unsigned int ReadExtendedCapabilities(const char *pszFunction, const char *pszNoHandle,
                                             uint32_t *pu32Capabilities) {
    *pu32Capabilities = 0;
    uint8_t u8Handle = 0;
    if (QAX_IsSupported(QAX_MAIN_INSTANCE)) {
        u8Handle = QAX_GetModuleHandle(QAX_MAIN_INSTANCE);
    }
    if (u8Handle == 0) {
        QaxLog(QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL, pszNoHandle, pszFunction);
        return QAX_STATUS_FAILED;
    }
    uint8_t u8PowerThermal = 0;
    if (QAX_ReadFirmwarePowerThermalCapabilitiesRegister(u8Handle, &u8PowerThermal) !=
        QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to read Power/Thermal Capabilities Register\n", pszFunction);
        return QAX_STATUS_FAILED;
    }
    if ((u8PowerThermal & QAX_FW_CAP_EXTENDED_REGISTER) == 0) {
        QaxLog(QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Extended f/w capabilites REG not supported\n", pszFunction);
        return QAX_STATUS_FAILED;
    }
    if (QAX_ReadExtendedFirmwareCapabilitiesRegister(u8Handle, pu32Capabilities) !=
        QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to read Extended Firmware Capabilities Register\n", pszFunction);
        return QAX_STATUS_FAILED;
    }
    return QAX_STATUS_SUCCESS;
}

static const char kNoHandleSyslog[] = "[%s] Failed to call QAX_GetModuleHandle().\n";

int QAX_IsStaticPowerSavingsModeSupported(void) {
    uint32_t u32Capabilities = 0;
    if (ReadExtendedCapabilities(__func__, kNoHandleSyslog, &u32Capabilities) !=
        QAX_STATUS_SUCCESS) {
        return 0;
    }
    return (u32Capabilities & QAX_EXT_CAP_STATIC_POWER_SAVINGS) ? 1 : 0;
}

int QAX_IsSupportPowerCapMinHotplugRegister(void) {
    uint32_t u32Capabilities = 0;
    if (ReadExtendedCapabilities(__func__, kNoHandleSyslog, &u32Capabilities) !=
        QAX_STATUS_SUCCESS) {
        return 0;
    }
    return (u32Capabilities & (QAX_EXT_CAP_PCAP_MIN_HOTPLUG | QAX_EXT_CAP_PSU_REDUNDANCY_INFO)) ? 1
                                                                                                : 0;
}

int QAX_IsPowerSupplyRedundancyExposeInfoSupported(void) {
    uint32_t u32Capabilities = 0;
    if (ReadExtendedCapabilities(__func__, "[%s]Failed to call QAX_GetModuleHandle()\n",
                                 &u32Capabilities) != QAX_STATUS_SUCCESS) {
        return 0;
    }
    return (u32Capabilities & QAX_EXT_CAP_PSU_REDUNDANCY_INFO) ? 1 : 0;
}

int QAX_IsPowerCappingModeSupported(void) {
    uint8_t u8Handle = 0;
    if (QAX_IsSupported(QAX_MAIN_INSTANCE)) {
        u8Handle = QAX_GetModuleHandle(QAX_MAIN_INSTANCE);
    }
    if (u8Handle == 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s]Failed to call QAX_GetModuleHandle().\n", __func__);
        return 0;
    }
    uint8_t u8Mode = 0;
    unsigned int u32Status = QAX_ReadPcapModeRegister(u8Handle, &u8Mode);
    if (u32Status != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s]QAX_ReadPcapModeRegister() returns [%d].\n", __func__, (int)u32Status);
        return 0;
    }
    return 1;
}
