// Snapshot parser. The snapshot carries no header of its own: its layout
// follows from the histogram configuration, the two capability registers,
// the input power configuration and the platform family. Every offset is
// checked against the transferred length before it is read, because all of
// those answers come from outside.
#include <stdlib.h>
#include <string.h>

#include "daemon/trace.h"
#include "firmware/element_method.h"
#include "firmware/registers.h"
#include "firmware/snapshot.h"

#define QAX_RESERVED_SECTION_SIZE 16
#define QAX_SUBSYSTEM_RECORD_SIZE 9

// Subsystem types of the subsystem list.
#define QAX_SUBSYSTEM_CPU 1
#define QAX_SUBSYSTEM_MEMORY 2
#define QAX_SUBSYSTEM_COOLING 4

static const char kParseFunction[] = "ParseSnapshotBuffer";

namespace {

// 1 when the layout needs at most the transferred bytes; otherwise says so.
// Offsets are 64-bit: configurations from outside may describe sections far
// larger than any snapshot.
int Fits(uint64_t u64Needed, uint32_t u32Length) {
    if (u64Needed <= u32Length) return 1;
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
           "[%s] The snapshot buffer (%u bytes) is shorter than its layout (%llu bytes).\n",
           kParseFunction, u32Length, (unsigned long long)u64Needed);
    return 0;
}

// A new entry holding only an average; null when out of memory.
MetricEntry *NewEntry(uint64_t u64Avg) {
    MetricEntry *psEntry = (MetricEntry *)calloc(1, sizeof(MetricEntry));
    if (psEntry != NULL) psEntry->u64Avg = u64Avg;
    return psEntry;
}

// Widths from the configuration may be anything from 0 to 255; 0 reads as 0.
uint64_t ReadValue(const uint8_t *pu8Snapshot, uint64_t u64Offset, uint8_t u8Width) {
    if (u8Width == 0) return 0;
    return ReadBigEndianField((uint32_t)u64Offset, pu8Snapshot, u8Width);
}

unsigned int ParsePowerSupplySection(uint8_t u8Handle, const uint8_t *pu8Snapshot,
                                     uint32_t u32Length, uint64_t *pu64Position,
                                     MetricValue *psBuffer) {
    uint8_t au8Config[8];
    unsigned int u32Status = QAX_ReadInputPowerBufferConfiguration(u8Handle, au8Config);
    if (u32Status != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "Failed to call QAX_ReadInputPowerBufferConfiguration() and the result code is "
               "%d.\n",
               u32Status);
        return u32Status;
    }
    const uint8_t u8Entries = au8Config[1];
    const uint64_t u64Records = au8Config[2];
    const uint64_t u64Header = au8Config[3];
    const uint8_t u8Width1 = au8Config[4];
    const uint8_t u8Width2 = au8Config[5];
    const uint64_t u64Stride = u64Records * (u64Header + u8Width1 + u8Width2);
    const uint64_t u64Position = *pu64Position;
    if (u8Entries == 0) return QAX_STATUS_SUCCESS;

    // Only the first record of each entry is read. With zero records per
    // entry the stride is 0 and every entry reads the same bytes, which may
    // reach past the (empty) section: check the reads as well as the section.
    uint64_t u64Section = (uint64_t)u8Entries * u64Stride;
    uint64_t u64LastRead = (uint64_t)(u8Entries - 1) * u64Stride + u64Header + u8Width1 + u8Width2;
    if (!Fits(u64Position + (u64Section > u64LastRead ? u64Section : u64LastRead), u32Length)) {
        return QAX_STATUS_FAILED;
    }

    MetricEntry *psEntries = (MetricEntry *)calloc(u8Entries, sizeof(MetricEntry));
    if (psEntries == NULL) return QAX_STATUS_NO_MEMORY;
    psBuffer->psPowerSupplyAC = psEntries;
    psBuffer->u8PowerSupplyACCount = u8Entries;
    for (uint32_t i = 0; i < u8Entries; i++) {
        uint64_t u64Value = u64Position + u64Header + i * u64Stride;
        psEntries[i].u64Avg = ReadValue(pu8Snapshot, u64Value, u8Width1);
        psEntries[i].u64Max = ReadValue(pu8Snapshot, u64Value + u8Width1, u8Width2);
    }
    *pu64Position = u64Position + u64Section;
    return QAX_STATUS_SUCCESS;
}

unsigned int ParseSubsystemList(const uint8_t *pu8Snapshot, uint32_t u32Length,
                                uint64_t u64Position, MetricValue *psBuffer) {
    if (!Fits(u64Position + 1, u32Length)) return QAX_STATUS_FAILED;
    const uint8_t u8Count = pu8Snapshot[u64Position];
    if (u8Count == 0) return QAX_STATUS_SUCCESS;
    if (!Fits(u64Position + 1 + (uint64_t)u8Count * QAX_SUBSYSTEM_RECORD_SIZE, u32Length)) {
        return QAX_STATUS_FAILED;
    }

    uint64_t u64Record = u64Position + 1;
    for (uint32_t i = 0; i < u8Count; i++, u64Record += QAX_SUBSYSTEM_RECORD_SIZE) {
        const uint8_t u8Type = pu8Snapshot[u64Record];
        MetricEntry **ppsSlot = NULL;
        const char *szDuplicate = NULL;
        switch (u8Type) {
        case QAX_SUBSYSTEM_CPU:
            ppsSlot = &psBuffer->psCPUPower;
            szDuplicate = "CPU Subsystems already existed.";
            break;
        case QAX_SUBSYSTEM_MEMORY:
            ppsSlot = &psBuffer->psMemoryPower;
            szDuplicate = "Memory Subsystems already existed.";
            break;
        case QAX_SUBSYSTEM_COOLING:
            ppsSlot = &psBuffer->psCoolingPower;
            szDuplicate = "Cooling Subsystems already existed.";
            break;
        default:
            QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
                   "Type(%d) of subsystem is not supported!\n", u8Type);
            return QAX_STATUS_FAILED;
        }
        if (*ppsSlot != NULL) {
            QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "%s\n", szDuplicate);
            return QAX_STATUS_FAILED;
        }
        *ppsSlot = NewEntry(ReadBigEndianField((uint32_t)u64Record + 1, pu8Snapshot, 8));
        if (*ppsSlot == NULL) return QAX_STATUS_NO_MEMORY;
    }
    return QAX_STATUS_SUCCESS;
}

}  // namespace

unsigned int ParseSnapshotBuffer(uint8_t u8Handle, const uint8_t *pu8Snapshot, uint32_t u32Length,
                                 MetricValue *psBuffer, HistogramData *psHistogramData) {
    if (pu8Snapshot == NULL || psBuffer == NULL || psHistogramData == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }

    // Buffer status and the system energy accumulator.
    if (!Fits(9, u32Length)) return QAX_STATUS_FAILED;
    psBuffer->u8BufferStatus = pu8Snapshot[0];
    MetricEntry *psSystem = NewEntry(ReadBigEndianField(1, pu8Snapshot, 8));
    if (psSystem == NULL) return QAX_STATUS_NO_MEMORY;
    if (IsBladePlatform()) {
        psBuffer->psSystemAC = psSystem;
    } else {
        psBuffer->psSystemDC = psSystem;
    }

    uint16_t u16Start = 0;
    uint16_t u16Second = 0;
    uint8_t u8Buckets = 0;
    uint8_t u8Step = 0;
    uint8_t u8Width = 0;
    uint8_t u8Last = 0;
    unsigned int u32Status = QAX_ReadPowerHistogramConfiguration(
        u8Handle, &u16Start, &u16Second, &u8Buckets, &u8Step, &u8Width, &u8Last);
    if (u32Status != QAX_STATUS_SUCCESS) return u32Status;

    // H is taken before the counter count is narrowed to its 8-bit field.
    const uint32_t u32Histogram = ((uint32_t)u8Buckets + 2) * u8Width;
    // Histogram counters, status word and effective CPU counter.
    if (!Fits((uint64_t)u32Histogram + 15, u32Length)) return QAX_STATUS_FAILED;
    psHistogramData->u16Start = u16Start;
    psHistogramData->u8BucketCount = (uint8_t)(u8Buckets + 2);
    psHistogramData->u8BucketStep = u8Step;
    psHistogramData->u8CounterSize = u8Width;
    psHistogramData->pu8Counters = NULL;
    // Never a zero-byte request: an empty histogram still owns a buffer.
    uint8_t *pu8Counters = (uint8_t *)calloc(1, u32Histogram != 0 ? u32Histogram : 1);
    if (pu8Counters == NULL) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to allocate memory for power histogram data.\n", kParseFunction);
        return QAX_STATUS_NO_MEMORY;
    }
    memcpy(pu8Counters, pu8Snapshot + 9, u32Histogram);
    psHistogramData->pu8Counters = pu8Counters;

    psBuffer->u16StatusFlags = (uint16_t)ReadBigEndianField(9 + u32Histogram, pu8Snapshot, 2);
    psBuffer->psEffectiveCPU = NewEntry(ReadBigEndianField(11 + u32Histogram, pu8Snapshot, 4));
    if (psBuffer->psEffectiveCPU == NULL) return QAX_STATUS_NO_MEMORY;

    uint64_t u64Position = 15 + (uint64_t)u32Histogram;
    if (!IsBladePlatform()) {
        if (!Fits(25 + (uint64_t)u32Histogram, u32Length)) return QAX_STATUS_FAILED;
        psBuffer->psSystemAC = NewEntry(ReadBigEndianField(15 + u32Histogram, pu8Snapshot, 8));
        if (psBuffer->psSystemAC == NULL) return QAX_STATUS_NO_MEMORY;
        psBuffer->u8OutletTemperature = pu8Snapshot[23 + u32Histogram];
        psBuffer->u8InletTemperature = pu8Snapshot[24 + u32Histogram];
        u64Position = 25 + (uint64_t)u32Histogram;
    }

    uint8_t u8PowerThermal = 0;
    u32Status = QAX_ReadFirmwarePowerThermalCapabilitiesRegister(u8Handle, &u8PowerThermal);
    if (u32Status != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "Failed to call QAX_ReadFirmwarePowerThermalCapabilitiesRegister() and the result "
               "code is %d.\n",
               u32Status);
        return u32Status;
    }
    if ((u8PowerThermal & QAX_FW_CAP_EXTENDED_REGISTER) == 0) return QAX_STATUS_SUCCESS;

    uint32_t u32Extended = 0;
    u32Status = QAX_ReadExtendedFirmwareCapabilitiesRegister(u8Handle, &u32Extended);
    if (u32Status != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "Failed to call QAX_ReadExtendedFirmwareCapabilitiesRegister() and the result code "
               "is %d.\n",
               u32Status);
        return u32Status;
    }

    if (u32Extended & QAX_EXT_CAP_RESERVED_SECTION) {
        u64Position += QAX_RESERVED_SECTION_SIZE;
        if (!Fits(u64Position, u32Length)) return QAX_STATUS_FAILED;
    }
    // Blade firmware has no power-supply section, whatever the bit says.
    if (!IsBladePlatform() && (u32Extended & QAX_EXT_CAP_POWER_SUPPLY_SECTION)) {
        u32Status =
            ParsePowerSupplySection(u8Handle, pu8Snapshot, u32Length, &u64Position, psBuffer);
        if (u32Status != QAX_STATUS_SUCCESS) return u32Status;
    }
    if (u32Extended & QAX_EXT_CAP_TIMESTAMP) {
        if (!Fits(u64Position + 8, u32Length)) return QAX_STATUS_FAILED;
        psBuffer->u64Timestamp = ReadBigEndianField((uint32_t)u64Position, pu8Snapshot, 8);
        u64Position += 8;
    }
    if ((u32Extended & QAX_EXT_CAP_SUBSYSTEM_LIST) == 0) return QAX_STATUS_SUCCESS;
    return ParseSubsystemList(pu8Snapshot, u32Length, u64Position, psBuffer);
}
