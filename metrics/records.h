// Metric records of one firmware snapshot and their copy and release
// operations: the data model shared by the firmware access (which fills the
// records), the metrics (which compute, write and read them) and the events.
#ifndef QAX_METRICS_RECORDS_H
#define QAX_METRICS_RECORDS_H

#include <stdint.h>

// One metric's statistics. Also the 24-byte little-endian unit of the metric
// log file, u64Avg first.
struct MetricEntry {
    uint64_t u64Avg;
    uint64_t u64Max;
    uint64_t u64Min;
};

// The record of one snapshot. Every pointer is owned; a count and its array
// agree (array present exactly when the count is not 0).
struct MetricValue {
    uint8_t u8PowerSupplyACCount;
    MetricEntry *psPowerSupplyAC;
    uint8_t u8PowerSupplyDCCount;
    MetricEntry *psPowerSupplyDC;
    MetricEntry *psSystemAC;
    MetricEntry *psSystemDC;
    MetricEntry *psCPUPower;
    MetricEntry *psMemoryPower;
    MetricEntry *psCoolingPower;
    MetricEntry *psEffectiveCPU;
    uint8_t u8InletTemperature;
    uint8_t u8OutletTemperature;
    uint64_t u64Timestamp;
    uint8_t u8BufferStatus;
    uint16_t u16StatusFlags;
    uint16_t u16Tag;
};

struct PerformanceValue {
    MetricEntry *psSystemPerf;
    MetricEntry *psCPUPerf;
    MetricEntry *psMemoryPerf;
    MetricEntry *psIOPerf;
};

struct InletTemperatureNode {
    uint32_t u32SensorIndex;
    char szTemperature[64];
    InletTemperatureNode *psNext;
};

struct InletTemperatureSnapshotBuffer {
    uint8_t u8Count;
    InletTemperatureNode *psFirst;
};

struct HistogramData {
    uint16_t u16Start;
    uint8_t u8BucketCount;
    uint8_t u8BucketStep;
    uint8_t u8CounterSize;
    uint8_t *pu8Counters;
};

// Process-wide instances shared by the main cycle and the calculation.
extern MetricValue sLastMetricValue;
extern HistogramData sLastHistogramData;
extern InletTemperatureSnapshotBuffer sInletTemperatureBuffer;

// Copy and release.
void CopyMetricEntries(MetricEntry **ppsDest, const MetricEntry *psSource, uint8_t u8Count);
void CopyMetricValue(MetricValue *psDest, const MetricValue *psSource);
void CopyPerformanceValue(PerformanceValue *psDest, const PerformanceValue *psSource);
void CopyInletTemperatureSnapshotBuffer(InletTemperatureSnapshotBuffer *psDest,
                                        const InletTemperatureSnapshotBuffer *psSource);
void FreeMetricValueContents(MetricValue *psValue, InletTemperatureSnapshotBuffer *psInlet,
                             PerformanceValue *psPerf);
void FreeMetricValueArrays(MetricValue *psValues, InletTemperatureSnapshotBuffer *psInlets,
                           PerformanceValue *psPerfs, uint8_t u8Count);
void FreeInletTemperatureSnapshotBuffer(InletTemperatureSnapshotBuffer *psInlet);
void FreeMetricValue(MetricValue *psValue);

#endif
