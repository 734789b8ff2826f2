// Metric records of one firmware snapshot, their copy and release
// operations, the value calculation, the metric log ring and its reader, and
// blade inlet temperatures.
#ifndef QAX_METRICS_METRICS_H
#define QAX_METRICS_METRICS_H

#include <stdint.h>
#include <stdio.h>

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

// Metric log ring state: the next file number and the number written.
extern uint8_t u8LogFileIndex;
extern uint8_t u8LogFileCount;

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

// Value calculation against sLastMetricValue / sLastHistogramData. Takes over
// the histogram counters.
void CalculateSnapshotValue(MetricValue *psBuffer, HistogramData sHistogramData);
// 1 when CalculateSnapshotValue will form averages (record and counters
// present, timestamp later than the reference's), else 0.
int IsSnapshotValueCalculable(const MetricValue *psBuffer, const HistogramData *psHistogramData);
void CalculateAverageFromAccumulator(const MetricEntry *psLast, MetricEntry *psCurrent,
                                     uint64_t u64Elapsed);
void FillMissingMaxMin(MetricEntry *psEntries, uint8_t u8Count);

// Metric log writer and publication.
void CreateDataLog(MetricValue *psBuffer, HistogramData sHistogramData);

// Metric log reader and report.
void ReadMetricData(FILE *psFile, uint8_t *pu8Count, MetricEntry **ppsEntries);
int ReadMeticValueFromFile(const char *szPath, MetricValue *psValue,
                           InletTemperatureSnapshotBuffer *psInlet, PerformanceValue *psPerf);
int GetMetricValue(MetricValue **ppsValues, InletTemperatureSnapshotBuffer **ppsInlets,
                   PerformanceValue **ppsPerfs, uint8_t *pu8Count);
void PrintMetricEntries(const MetricEntry *psEntries, uint8_t u8Count, const char *szLabel);
void PrintMetricValue(const MetricValue *psValue, const InletTemperatureSnapshotBuffer *psInlet,
                      const PerformanceValue *psPerf);

// Blade inlet temperature. The names of the inlet sensors in index order;
// the index is what the metric log stores.
extern const char *const InletSensorNameTable[];
int WriteBladeInletTemperatureFromInletSensor(void);
uint32_t GetInletSensorIndex(const char *szName);

#endif
