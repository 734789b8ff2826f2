// The value calculation, the metric log ring and its reader, and blade inlet
// temperatures. The records themselves are metrics/records.h.
#ifndef QAX_METRICS_METRICS_H
#define QAX_METRICS_METRICS_H

#include <stdint.h>
#include <stdio.h>

#include "metrics/records.h"

// Metric log ring state: the next file number and the number written.
extern uint8_t u8LogFileIndex;
extern uint8_t u8LogFileCount;

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
enum { QAX_INLET_SENSOR_NAMES = 5 };
extern const char *const InletSensorNameTable[QAX_INLET_SENSOR_NAMES];
int WriteBladeInletTemperatureFromInletSensor(void);
uint32_t GetInletSensorIndex(const char *szName);

#endif
