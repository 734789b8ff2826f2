// Snapshot value calculation: turns the raw accumulators, counter and
// histogram of a new snapshot into averages, maxima and minima by comparing
// them with the previous raw snapshot (sLastMetricValue, sLastHistogramData).
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "daemon/trace.h"
#include "firmware/element_method.h"
#include "metrics/metrics.h"

static const char *const kCalculateFunction = "CalculateSnapshotValue";

void CalculateAverageFromAccumulator(const MetricEntry *psLast, MetricEntry *psCurrent,
                                     uint64_t u64Elapsed) {
    if (psLast == NULL || psCurrent == NULL) return;
    if (psCurrent->u64Avg == 0) return;
    // A wrapped or reset accumulator, or no elapsed time, gives no average for
    // this interval.
    if (u64Elapsed == 0 || psLast->u64Avg == 0 || psLast->u64Avg >= psCurrent->u64Avg) {
        psCurrent->u64Avg = 0;
        return;
    }
    double dAverage = round((double)(psCurrent->u64Avg - psLast->u64Avg) / (double)u64Elapsed);
    // A difference near 2^64 over 1 ms rounds up to 2^64 in double precision,
    // which does not convert back.
    psCurrent->u64Avg = dAverage >= 18446744073709551616.0 ? UINT64_MAX : (uint64_t)dAverage;
}

void FillMissingMaxMin(MetricEntry *psEntries, uint8_t u8Count) {
    if (psEntries == NULL) return;
    for (uint8_t i = 0; i < u8Count; i++) {
        if (psEntries[i].u64Min == 0) psEntries[i].u64Min = psEntries[i].u64Avg;
        if (psEntries[i].u64Max == 0) psEntries[i].u64Max = psEntries[i].u64Avg;
    }
}

// Average of one accumulator slot. When the previous snapshot lacks the slot
// (its subsystem appeared only now) there is no starting point: the average
// is 0, as for every other interval without a usable starting value, rather
// than the raw accumulator, which would be published as a huge power.
static void AverageSlot(const MetricEntry *psLast, MetricEntry *psCurrent, uint64_t u64Elapsed) {
    if (psCurrent == NULL) return;
    if (psLast == NULL) {
        psCurrent->u64Avg = 0;
        return;
    }
    CalculateAverageFromAccumulator(psLast, psCurrent, u64Elapsed);
}

// Bounds of the lowest and highest buckets whose counters changed since the
// previous histogram. Counters are compared byte for byte: equal big-endian
// numbers of the same width are equal byte strings. A missing previous
// counter array counts as all zero.
static void HistogramRange(const HistogramData *psCurrent, const HistogramData *psLast,
                           uint32_t *pu32Max, uint32_t *pu32Min) {
    uint32_t u32Max = 0;
    uint32_t u32Min = 0;
    int bFound = 0;
    const uint32_t n = psCurrent->u8BucketCount;
    const uint32_t s = psCurrent->u8BucketStep;
    const uint32_t b = psCurrent->u16Start;
    const uint32_t u32Size = psCurrent->u8CounterSize;
    static const uint8_t au8Zero[256] = {0};

    for (uint32_t i = 0; i < n; i++) {
        const uint8_t *pu8Now = psCurrent->pu8Counters + i * u32Size;
        const uint8_t *pu8Before =
            psLast->pu8Counters != NULL ? psLast->pu8Counters + i * u32Size : au8Zero;
        if (memcmp(pu8Now, pu8Before, u32Size) == 0) continue;
        if (!bFound && i != 0) u32Min = b + (i - 1) * s;
        // A single counter (a damaged layout) is no top bucket: n - 2 would
        // wrap and put the maximum near 2^32.
        u32Max = (i == n - 1 && n >= 2) ? b + (n - 2) * s : b + i * s;
        bFound = 1;
    }
    *pu32Max = u32Max;
    *pu32Min = u32Min;
}

int IsSnapshotValueCalculable(const MetricValue *psBuffer, const HistogramData *psHistogramData) {
    return psBuffer != NULL && psHistogramData != NULL && psHistogramData->pu8Counters != NULL &&
           sLastMetricValue.u64Timestamp < psBuffer->u64Timestamp;
}

void CalculateSnapshotValue(MetricValue *psBuffer, HistogramData sHistogramData) {
    if (psBuffer == NULL || sHistogramData.pu8Counters == NULL) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kCalculateFunction, "ERROR", "Empty input buffer");
        return;
    }
    if (sLastMetricValue.u64Timestamp >= psBuffer->u64Timestamp) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kCalculateFunction, "WARNING",
               "Time stamp is not right.");
        free(sHistogramData.pu8Counters);
        return;
    }

    // The raw values become the next reference; keep them before they are
    // turned into averages.
    MetricValue sRaw;
    memset(&sRaw, 0, sizeof(sRaw));
    CopyMetricValue(&sRaw, psBuffer);

    const uint64_t u64Elapsed = psBuffer->u64Timestamp - sLastMetricValue.u64Timestamp;
    AverageSlot(sLastMetricValue.psSystemAC, psBuffer->psSystemAC, u64Elapsed);
    AverageSlot(sLastMetricValue.psSystemDC, psBuffer->psSystemDC, u64Elapsed);
    AverageSlot(sLastMetricValue.psCPUPower, psBuffer->psCPUPower, u64Elapsed);
    AverageSlot(sLastMetricValue.psMemoryPower, psBuffer->psMemoryPower, u64Elapsed);
    AverageSlot(sLastMetricValue.psCoolingPower, psBuffer->psCoolingPower, u64Elapsed);
    AverageSlot(sLastMetricValue.psEffectiveCPU, psBuffer->psEffectiveCPU, u64Elapsed / 1000);

    // Hand the raw copy over to the reference record instead of copying it a
    // second time; tag and status word of the reference stay as they are,
    // exactly as a copy would leave them.
    FreeMetricValueContents(&sLastMetricValue, NULL, NULL);
    sLastMetricValue.u8PowerSupplyACCount = sRaw.u8PowerSupplyACCount;
    sLastMetricValue.psPowerSupplyAC = sRaw.psPowerSupplyAC;
    sLastMetricValue.u8PowerSupplyDCCount = sRaw.u8PowerSupplyDCCount;
    sLastMetricValue.psPowerSupplyDC = sRaw.psPowerSupplyDC;
    sLastMetricValue.psSystemAC = sRaw.psSystemAC;
    sLastMetricValue.psSystemDC = sRaw.psSystemDC;
    sLastMetricValue.psCPUPower = sRaw.psCPUPower;
    sLastMetricValue.psMemoryPower = sRaw.psMemoryPower;
    sLastMetricValue.psCoolingPower = sRaw.psCoolingPower;
    sLastMetricValue.psEffectiveCPU = sRaw.psEffectiveCPU;
    sLastMetricValue.u8InletTemperature = sRaw.u8InletTemperature;
    sLastMetricValue.u8OutletTemperature = sRaw.u8OutletTemperature;
    sLastMetricValue.u64Timestamp = sRaw.u64Timestamp;
    sLastMetricValue.u8BufferStatus = sRaw.u8BufferStatus;

    if (psBuffer->psPowerSupplyAC != NULL)
        FillMissingMaxMin(psBuffer->psPowerSupplyAC, psBuffer->u8PowerSupplyACCount);
    if (psBuffer->psPowerSupplyDC != NULL)
        FillMissingMaxMin(psBuffer->psPowerSupplyDC, psBuffer->u8PowerSupplyDCCount);
    FillMissingMaxMin(psBuffer->psSystemAC, 1);
    FillMissingMaxMin(psBuffer->psSystemDC, 1);
    FillMissingMaxMin(psBuffer->psCPUPower, 1);
    FillMissingMaxMin(psBuffer->psMemoryPower, 1);
    FillMissingMaxMin(psBuffer->psCoolingPower, 1);
    FillMissingMaxMin(psBuffer->psEffectiveCPU, 1);

    if (sLastHistogramData.u8BucketCount != sHistogramData.u8BucketCount ||
        sLastHistogramData.u8CounterSize != sHistogramData.u8CounterSize) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kCalculateFunction, "ERROR",
               "Different histogram data.");
        free(sHistogramData.pu8Counters);
        return;
    }

    MetricEntry *psHistogrammed = IsBladePlatform() ? psBuffer->psSystemAC : psBuffer->psSystemDC;
    if (psHistogrammed != NULL) {
        uint32_t u32Max = 0;
        uint32_t u32Min = 0;
        HistogramRange(&sHistogramData, &sLastHistogramData, &u32Max, &u32Min);
        psHistogrammed->u64Max = u32Max;
        psHistogrammed->u64Min = u32Min;
    }

    free(sLastHistogramData.pu8Counters);
    sLastHistogramData = sHistogramData;
}
