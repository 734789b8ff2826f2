// Register accessors of the power-supply element (0x0A). Their messages go to
// standard output and to the system log.
#include <stddef.h>

#include "firmware/element_method.h"
#include "firmware/registers.h"
#include "firmware/registers_internal.h"

static const char kPowerSupplyReadAlloc[] =
    "[%s] Failed to call GetReadStatusRegisterRequestBuffer().\n";
static const char kPowerSupplyWriteAlloc[] =
    "[%s] Failed to call GetWritePowerSupplyRegisterRequestBuffer().\n";

// Register ids of one kind differ only in bits 3-4 (the group of four).
static int IsPowerSupplyRegisterOfKind(uint8_t u8RegisterId, uint8_t u8Base) {
    return (u8RegisterId & QAX_REG_POWER_SUPPLY_GROUP_MASK) == u8Base;
}

static uint8_t SuppliesInGroup(uint8_t u8Count) {
    return u8Count < QAX_POWER_SUPPLIES_PER_GROUP ? u8Count : QAX_POWER_SUPPLIES_PER_GROUP;
}

unsigned int QAX_ReadMaxNumberOfPowerSuppliesRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    if (pu8Value == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    uint64_t u64Value = 0;
    unsigned int u32Status = QaxReadRegisterValue(
        __func__, u8Handle, QAX_ELEMENT_POWER_SUPPLY, QAX_REG_MAX_NUMBER_OF_POWER_SUPPLIES, 1,
        kPowerSupplyReadAlloc, QAX_LOG_STDOUT | QAX_LOG_SYSLOG_ERROR, &u64Value);
    *pu8Value = 0;
    if (u32Status != QAX_STATUS_SUCCESS) {
        return u32Status;
    }
    // The register holds the count minus one; 0xFF would wrap to 0.
    if (u64Value >= 0xFF) {
        return QAX_STATUS_FAILED;
    }
    *pu8Value = (uint8_t)(u64Value + 1);
    return QAX_STATUS_SUCCESS;
}

unsigned int QAX_ReadOutputLabelPowerRegister(uint8_t u8Handle, uint8_t u8RegisterId,
                                              uint8_t u8Count, uint32_t *pu32LabelPower) {
    if (!IsPowerSupplyRegisterOfKind(u8RegisterId, QAX_REG_OUTPUT_LABEL_POWER_BASE)) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Unexpected Power Supply Output Label power register ID [%d]\n", __func__,
               u8RegisterId);
        return QAX_STATUS_FAILED;
    }
    if (pu32LabelPower == NULL && u8Count != 0) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    uint8_t au8Data[2 * QAX_POWER_SUPPLIES_PER_GROUP];
    unsigned int u32Status = QaxReadRegisterData(
        __func__, u8Handle, QAX_ELEMENT_POWER_SUPPLY, u8RegisterId, sizeof(au8Data),
        kPowerSupplyReadAlloc, QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, au8Data);
    if (u32Status != QAX_STATUS_SUCCESS) {
        return u32Status;
    }
    uint8_t u8Supplies = SuppliesInGroup(u8Count);
    for (uint8_t i = 0; i < u8Supplies; i++) {
        pu32LabelPower[i] = (uint32_t)ReadBigEndianField(2u * i, au8Data, 2);
    }
    return QAX_STATUS_SUCCESS;
}

unsigned int QAX_ReadPowerSupplyPresenceRegister(uint8_t u8Handle, uint8_t u8RegisterId,
                                                 uint8_t u8Count, uint8_t *pu8Present) {
    if (!IsPowerSupplyRegisterOfKind(u8RegisterId, QAX_REG_POWER_SUPPLY_PRESENCE_BASE)) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Unexpected Power Supply Presence register ID [%d]\n", __func__, u8RegisterId);
        return QAX_STATUS_FAILED;
    }
    if (pu8Present == NULL && u8Count != 0) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    uint8_t u8Presence = 0;
    unsigned int u32Status = QaxReadRegisterData(
        __func__, u8Handle, QAX_ELEMENT_POWER_SUPPLY, u8RegisterId, 1, kPowerSupplyReadAlloc,
        QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, &u8Presence);
    if (u32Status != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to read Power Supply Presence info", __func__);
        return u32Status;
    }
    QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL,
           "[%s] Power Supply Presence info is [%d]\n", __func__, u8Presence);
    uint8_t u8Supplies = SuppliesInGroup(u8Count);
    for (uint8_t i = 0; i < u8Supplies; i++) {
        pu8Present[i] = (uint8_t)((u8Presence >> i) & 1u);
    }
    return QAX_STATUS_SUCCESS;
}

unsigned int QAX_ReadPowerSupplyInputVoltageRegister(uint8_t u8Handle, uint8_t u8RegisterId,
                                                     uint8_t u8Count, uint32_t *pu32Voltage) {
    if (!IsPowerSupplyRegisterOfKind(u8RegisterId, QAX_REG_INPUT_VOLTAGE_BASE)) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Unexpected Power Supply Input Voltage register ID [%d]\n", __func__,
               u8RegisterId);
        return QAX_STATUS_FAILED;
    }
    if (pu32Voltage == NULL && u8Count != 0) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    uint8_t au8Data[2];
    unsigned int u32Status = QaxReadRegisterData(
        __func__, u8Handle, QAX_ELEMENT_POWER_SUPPLY, u8RegisterId, sizeof(au8Data),
        kPowerSupplyReadAlloc, QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, au8Data);
    if (u32Status != QAX_STATUS_SUCCESS) {
        return u32Status;
    }
    // Code 2 stands for 208 V (0xD0); it is kept unsigned rather than widened
    // as a signed byte, which would turn it into a negative voltage.
    static const uint32_t au32VoltageOfCode[4] = {QAX_INPUT_VOLTAGE_CODE0, QAX_INPUT_VOLTAGE_CODE1,
                                                  QAX_INPUT_VOLTAGE_CODE2, QAX_INPUT_VOLTAGE_CODE3};
    uint8_t u8Supplies = SuppliesInGroup(u8Count);
    for (uint8_t i = 0; i < u8Supplies; i++) {
        if ((au8Data[0] & (1u << i)) == 0) {
            pu32Voltage[i] = 0;
            continue;
        }
        pu32Voltage[i] = au32VoltageOfCode[(au8Data[1] >> (2u * i)) & 0x03u];
    }
    return QAX_STATUS_SUCCESS;
}

unsigned int QAX_ReadRedundancyTargetRegister(uint8_t u8Handle, uint8_t *pu8Value) {
    if (pu8Value == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    uint64_t u64Value = 0;
    unsigned int u32Status = QaxReadRegisterValue(
        __func__, u8Handle, QAX_ELEMENT_POWER_SUPPLY, QAX_REG_REDUNDANCY_TARGET, 1,
        kPowerSupplyReadAlloc, QAX_LOG_STDOUT | QAX_LOG_SYSLOG_ERROR, &u64Value);
    *pu8Value = (uint8_t)u64Value;
    return u32Status;
}

unsigned int QAX_WriteRedundancyTargetRegister(uint8_t u8Handle, uint8_t u8Value) {
    return QaxWriteRegisterValue(__func__, u8Handle, QAX_ELEMENT_POWER_SUPPLY,
                                 QAX_REG_REDUNDANCY_TARGET, 1, u8Value, kPowerSupplyWriteAlloc);
}

unsigned int QAX_WriteTargetRedundancyConfigurationRegister(uint8_t u8Handle, uint8_t u8Value) {
    if (!QAX_IsPowerSupplyRedundancyExposeInfoSupported()) {
        QaxLog(QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] target redundancy cfg register is not supported\n", __func__);
        return QAX_STATUS_FAILED;
    }
    return QaxWriteRegisterValue(__func__, u8Handle, QAX_ELEMENT_POWER_SUPPLY,
                                 QAX_REG_TARGET_REDUNDANCY_CONFIGURATION, 1, u8Value,
                                 kPowerSupplyWriteAlloc);
}
