// Metric records: the process-wide previous snapshot, histogram and inlet
// list, and the deep copy and release operations of every record type.
//
// Every record owns what its pointers designate and shares nothing, so a copy
// is always deep and each record is released on its own. The copies never
// report a failed allocation; the affected pointer stays absent instead.
#include <stdlib.h>
#include <string.h>

#include "daemon/trace.h"
#include "metrics/metrics.h"

MetricValue sLastMetricValue;
HistogramData sLastHistogramData;
InletTemperatureSnapshotBuffer sInletTemperatureBuffer;

// A new heap copy of one entry, or null when there is nothing to copy or no
// memory.
static MetricEntry *CopySingleEntry(const MetricEntry *psSource) {
    if (psSource == NULL) return NULL;
    MetricEntry *psCopy = (MetricEntry *)malloc(sizeof(MetricEntry));
    if (psCopy != NULL) *psCopy = *psSource;
    return psCopy;
}

void CopyMetricEntries(MetricEntry **ppsDest, const MetricEntry *psSource, uint8_t u8Count) {
    if (ppsDest == NULL) return;
    *ppsDest = NULL;
    if (u8Count == 0 || psSource == NULL) return;
    MetricEntry *psArray = (MetricEntry *)malloc(sizeof(MetricEntry) * u8Count);
    if (psArray == NULL) return;
    memcpy(psArray, psSource, sizeof(MetricEntry) * u8Count);
    *ppsDest = psArray;
}

void CopyMetricValue(MetricValue *psDest, const MetricValue *psSource) {
    if (psDest == NULL || psSource == NULL) return;

    psDest->u8InletTemperature = psSource->u8InletTemperature;
    psDest->u8OutletTemperature = psSource->u8OutletTemperature;
    psDest->u64Timestamp = psSource->u64Timestamp;
    psDest->u8BufferStatus = psSource->u8BufferStatus;

    // A count always describes the array the copy really holds: when the
    // array could not be allocated (or the source had none), the count
    // becomes 0 so that no reader walks an absent array.
    CopyMetricEntries(&psDest->psPowerSupplyAC, psSource->psPowerSupplyAC,
                      psSource->u8PowerSupplyACCount);
    psDest->u8PowerSupplyACCount =
        psDest->psPowerSupplyAC != NULL ? psSource->u8PowerSupplyACCount : 0;
    CopyMetricEntries(&psDest->psPowerSupplyDC, psSource->psPowerSupplyDC,
                      psSource->u8PowerSupplyDCCount);
    psDest->u8PowerSupplyDCCount =
        psDest->psPowerSupplyDC != NULL ? psSource->u8PowerSupplyDCCount : 0;

    psDest->psSystemAC = CopySingleEntry(psSource->psSystemAC);
    psDest->psSystemDC = CopySingleEntry(psSource->psSystemDC);
    psDest->psCPUPower = CopySingleEntry(psSource->psCPUPower);
    psDest->psMemoryPower = CopySingleEntry(psSource->psMemoryPower);
    psDest->psCoolingPower = CopySingleEntry(psSource->psCoolingPower);
    psDest->psEffectiveCPU = CopySingleEntry(psSource->psEffectiveCPU);
    // u16StatusFlags and u16Tag belong to the destination and stay as they are.
}

void CopyPerformanceValue(PerformanceValue *psDest, const PerformanceValue *psSource) {
    if (psDest == NULL || psSource == NULL) return;
    psDest->psSystemPerf = CopySingleEntry(psSource->psSystemPerf);
    psDest->psCPUPerf = CopySingleEntry(psSource->psCPUPerf);
    psDest->psMemoryPerf = CopySingleEntry(psSource->psMemoryPerf);
    psDest->psIOPerf = CopySingleEntry(psSource->psIOPerf);
}

void CopyInletTemperatureSnapshotBuffer(InletTemperatureSnapshotBuffer *psDest,
                                        const InletTemperatureSnapshotBuffer *psSource) {
    if (psDest == NULL || psSource == NULL) return;
    psDest->u8Count = psSource->u8Count;
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "%s --source len [%d] --dest len [%d]\n",
           "CopyInletTemperatureSnapshotBuffer", psDest->u8Count, psDest->u8Count);

    // The copy stops at the first node that cannot be allocated (or where the
    // source list ends early); the count then says how many nodes were really
    // copied, so the list and its count agree.
    psDest->psFirst = NULL;
    InletTemperatureNode **ppsTail = &psDest->psFirst;
    const InletTemperatureNode *psNode = psSource->psFirst;
    uint8_t u8Copied = 0;
    while (u8Copied < psSource->u8Count && psNode != NULL) {
        InletTemperatureNode *psCopy = (InletTemperatureNode *)malloc(sizeof(InletTemperatureNode));
        if (psCopy == NULL) break;
        psCopy->u32SensorIndex = psNode->u32SensorIndex;
        memcpy(psCopy->szTemperature, psNode->szTemperature, sizeof(psCopy->szTemperature));
        psCopy->szTemperature[sizeof(psCopy->szTemperature) - 1] = '\0';
        psCopy->psNext = NULL;
        *ppsTail = psCopy;
        ppsTail = &psCopy->psNext;
        psNode = psNode->psNext;
        u8Copied++;
    }
    psDest->u8Count = u8Copied;
}

// Releases at most u8Count nodes along psNext; the list head is left to the
// caller.
static void FreeInletNodes(InletTemperatureSnapshotBuffer *psInlet) {
    InletTemperatureNode *psNode = psInlet->psFirst;
    for (uint8_t i = 0; i < psInlet->u8Count && psNode != NULL; i++) {
        InletTemperatureNode *psNext = psNode->psNext;
        free(psNode);
        psNode = psNext;
    }
}

void FreeMetricValueContents(MetricValue *psValue, InletTemperatureSnapshotBuffer *psInlet,
                             PerformanceValue *psPerf) {
    if (psValue != NULL) {
        free(psValue->psPowerSupplyAC);
        free(psValue->psPowerSupplyDC);
        free(psValue->psSystemAC);
        free(psValue->psSystemDC);
        free(psValue->psCPUPower);
        free(psValue->psMemoryPower);
        free(psValue->psCoolingPower);
        free(psValue->psEffectiveCPU);
    }
    if (psInlet != NULL) FreeInletNodes(psInlet);
    // Performance entries exist only while the firmware offers performance
    // data, and then they are present. Releasing what is present, rather than
    // asking the firmware again, costs no request per record and cannot leak
    // when the firmware's answer changes between reading and releasing.
    if (psPerf != NULL) {
        free(psPerf->psSystemPerf);
        free(psPerf->psCPUPerf);
        free(psPerf->psMemoryPerf);
        free(psPerf->psIOPerf);
    }
}

void FreeMetricValueArrays(MetricValue *psValues, InletTemperatureSnapshotBuffer *psInlets,
                           PerformanceValue *psPerfs, uint8_t u8Count) {
    for (uint8_t i = 0; i < u8Count; i++) {
        FreeMetricValueContents(psValues != NULL ? &psValues[i] : NULL,
                                psInlets != NULL ? &psInlets[i] : NULL,
                                psPerfs != NULL ? &psPerfs[i] : NULL);
    }
    free(psValues);
    free(psInlets);
    free(psPerfs);
}

void FreeInletTemperatureSnapshotBuffer(InletTemperatureSnapshotBuffer *psInlet) {
    if (psInlet == NULL) return;
    FreeInletNodes(psInlet);
    psInlet->psFirst = NULL;
    psInlet->u8Count = 0;
}

void FreeMetricValue(MetricValue *psValue) {
    if (psValue == NULL) return;
    FreeMetricValueContents(psValue, NULL, NULL);
    free(psValue);
}
