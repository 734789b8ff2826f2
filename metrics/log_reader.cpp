// Metric log reader. Not built yet: every read reports that no log file could
// be opened, and there is nothing to print.
#include "metrics/metrics.h"

void ReadMetricData(FILE *psFile, uint8_t *pu8Count, MetricEntry **ppsEntries) {
    (void)psFile;
    if (pu8Count != NULL) *pu8Count = 0;
    if (ppsEntries != NULL) *ppsEntries = NULL;
}

int ReadMeticValueFromFile(const char *szPath, MetricValue *psValue,
                           InletTemperatureSnapshotBuffer *psInlet, PerformanceValue *psPerf) {
    (void)szPath;
    (void)psValue;
    (void)psInlet;
    (void)psPerf;
    return 2;
}

int GetMetricValue(MetricValue **ppsValues, InletTemperatureSnapshotBuffer **ppsInlets,
                   PerformanceValue **ppsPerfs, uint8_t *pu8Count) {
    if (ppsValues != NULL) *ppsValues = NULL;
    if (ppsInlets != NULL) *ppsInlets = NULL;
    if (ppsPerfs != NULL) *ppsPerfs = NULL;
    if (pu8Count != NULL) *pu8Count = 0;
    return 3;
}

void PrintMetricEntries(const MetricEntry *psEntries, uint8_t u8Count, const char *szLabel) {
    (void)psEntries;
    (void)u8Count;
    (void)szLabel;
}

void PrintMetricValue(const MetricValue *psValue, const InletTemperatureSnapshotBuffer *psInlet,
                      const PerformanceValue *psPerf) {
    (void)psValue;
    (void)psInlet;
    (void)psPerf;
}
