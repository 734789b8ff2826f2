// Metric log writer. The ring of log files and the publication of figures are
// not built yet: a new snapshot is only taken in by the calculation, so the
// reference for the next one advances and its histogram counters are owned.
#include "metrics/metrics.h"

uint8_t u8LogFileIndex = 0;
uint8_t u8LogFileCount = 0;

void CreateDataLog(MetricValue *psBuffer, HistogramData sHistogramData) {
    CalculateSnapshotValue(psBuffer, sHistogramData);
}
