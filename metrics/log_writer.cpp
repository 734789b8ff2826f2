// Metric log writer: one binary file of a ring of 120 per new snapshot, the
// two one-byte index files beside it, the publication of the figures into
// the configuration store, and the hand-over to the power history.
//
// The file is written through stdio's buffer (one write at close for a
// usual record); nothing is allocated here besides what the inlet
// temperatures and the calculation need.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <unistd.h>

#include "daemon/trace.h"
#include "firmware/element_method.h"
#include "firmware/performance.h"
#include "history/history.h"
#include "metrics/metric_log_format.h"
#include "metrics/metrics.h"
#include "platform/platform.h"
#include "platform/safe_files.h"

uint8_t u8LogFileIndex = 0;
uint8_t u8LogFileCount = 0;

static const char *const kCreateFunction = "CreateDataLog";
enum {
    QAX_PERF_ENTRY_COUNT = 4,
};

static void PutLittleEndian(uint8_t *pu8Out, uint64_t u64Value, unsigned u32Bytes) {
    for (unsigned i = 0; i < u32Bytes; i++) pu8Out[i] = (uint8_t)(u64Value >> (8 * i));
}

static void WriteMetricEntry(FILE *psFile, const MetricEntry *psEntry) {
    uint8_t au8Bytes[QAX_ENTRY_BYTES];
    PutLittleEndian(au8Bytes, psEntry->u64Avg, 8);
    PutLittleEndian(au8Bytes + 8, psEntry->u64Max, 8);
    PutLittleEndian(au8Bytes + 16, psEntry->u64Min, 8);
    fwrite(au8Bytes, 1, sizeof(au8Bytes), psFile);
}

// A count byte, then the entries. A count without its array (a broken
// record) is written as 0 so that the file stays readable.
static void WriteMetricEntries(FILE *psFile, const MetricEntry *psEntries, uint8_t u8Count) {
    if (psEntries == NULL) u8Count = 0;
    fputc(u8Count, psFile);
    for (uint8_t i = 0; i < u8Count; i++) WriteMetricEntry(psFile, &psEntries[i]);
}

// Presence byte (1 present, 0 absent), then the entry when present.
static void WriteOptionalMetricEntry(FILE *psFile, const MetricEntry *psEntry) {
    WriteMetricEntries(psFile, psEntry, psEntry != NULL ? 1 : 0);
}

// The record up to the inlet sensors (supply sections, single entries,
// temperatures, timestamp, status byte), as the calculation left it.
static void WriteMetricRecord(FILE *psFile, const MetricValue *psBuffer) {
    WriteMetricEntries(psFile, psBuffer->psPowerSupplyAC, psBuffer->u8PowerSupplyACCount);
    WriteMetricEntries(psFile, psBuffer->psPowerSupplyDC, psBuffer->u8PowerSupplyDCCount);
    WriteOptionalMetricEntry(psFile, psBuffer->psSystemAC);
    WriteOptionalMetricEntry(psFile, psBuffer->psSystemDC);
    WriteOptionalMetricEntry(psFile, psBuffer->psCPUPower);
    WriteOptionalMetricEntry(psFile, psBuffer->psMemoryPower);
    WriteOptionalMetricEntry(psFile, psBuffer->psCoolingPower);
    WriteOptionalMetricEntry(psFile, psBuffer->psEffectiveCPU);

    uint8_t au8Fixed[11];
    au8Fixed[0] = psBuffer->u8InletTemperature;
    au8Fixed[1] = psBuffer->u8OutletTemperature;
    PutLittleEndian(au8Fixed + 2, psBuffer->u64Timestamp, 8);
    au8Fixed[10] = psBuffer->u8BufferStatus;
    fwrite(au8Fixed, 1, sizeof(au8Fixed), psFile);
}

// The inlet sensor count and records. The count written is the number of
// nodes really written, so a list shorter than its count cannot leave the
// file inconsistent.
static void WriteInletSection(FILE *psFile, const InletTemperatureSnapshotBuffer *psInlet) {
    uint8_t u8Nodes = 0;
    for (const InletTemperatureNode *psNode = psInlet->psFirst;
         psNode != NULL && u8Nodes < psInlet->u8Count; psNode = psNode->psNext) {
        u8Nodes++;
    }
    fputc(u8Nodes, psFile);
    const InletTemperatureNode *psNode = psInlet->psFirst;
    for (uint8_t i = 0; i < u8Nodes; i++, psNode = psNode->psNext) {
        // Text NUL-padded to its 64 characters, whatever follows its end in
        // memory.
        uint8_t au8Record[QAX_INLET_RECORD_BYTES];
        memset(au8Record, 0, sizeof(au8Record));
        PutLittleEndian(au8Record, psNode->u32SensorIndex, 4);
        memcpy(au8Record + 4, psNode->szTemperature,
               strnlen(psNode->szTemperature, QAX_INLET_TEXT_BYTES - 1));
        fwrite(au8Record, 1, sizeof(au8Record), psFile);
    }
}

// The performance section, when the firmware offers performance data and it
// could be read.
static void WritePerformanceSection(FILE *psFile) {
    if (NM_Performance_IsSupported() != 1) return;
    MetricEntry asPerf[QAX_PERF_ENTRY_COUNT];
    memset(asPerf, 0, sizeof(asPerf));
    if (ReadPerformanceDataFromXPM(asPerf) != 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "%s - fails to read performance data from xpm", kCreateFunction);
        return;
    }
    printf("SysPerf.Avg : %lld\n", (long long)asPerf[0].u64Avg);
    printf("SysPerf.Max : %lld\n", (long long)asPerf[0].u64Max);
    printf("SysPerf.Min : %lld\n", (long long)asPerf[0].u64Min);
    printf("CPUPerf.Avg: %lld\n", (long long)asPerf[1].u64Avg);
    printf("CPUPerf.Max: %lld\n", (long long)asPerf[1].u64Max);
    printf("CPUPerf.Min : %lld\n", (long long)asPerf[1].u64Min);
    printf("MemPerf.Avg: %lld\n", (long long)asPerf[2].u64Avg);
    printf("MemPerf.Max: %lld\n", (long long)asPerf[2].u64Max);
    printf("MemPerf.Min : %lld\n", (long long)asPerf[2].u64Min);
    printf("IOPerf.Avg: %lld\n", (long long)asPerf[3].u64Avg);
    printf("IOPerf.Max: %lld\n", (long long)asPerf[3].u64Max);
    printf("IOPerf.Min : %lld\n", (long long)asPerf[3].u64Min);
    for (int i = 0; i < QAX_PERF_ENTRY_COUNT; i++) WriteOptionalMetricEntry(psFile, &asPerf[i]);
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "Write perf datas into /tmp/qax_*.log \n");
}

// Avg, Min, Max of one entry; 0 each when the slot is absent.
static void PublishEntry(const char *szAvg, const char *szMin, const char *szMax,
                         const MetricEntry *psEntry) {
    aim_config_set_int64(szAvg, psEntry != NULL ? (int64_t)psEntry->u64Avg : 0, 0);
    aim_config_set_int64(szMin, psEntry != NULL ? (int64_t)psEntry->u64Min : 0, 0);
    aim_config_set_int64(szMax, psEntry != NULL ? (int64_t)psEntry->u64Max : 0, 0);
}

// On blades the system DC quantity sits in the AC slot: the DC keys come from
// it and go first, and the AC keys receive the (absent) DC slot.
static void PublishFigures(const MetricValue *psBuffer, const MetricEntry *psAC,
                           const MetricEntry *psDC, int bBlade) {
    static const char *const kAC[3] = {"QAX_total_ac_power_in_use_Avg",
                                       "QAX_total_ac_power_in_use_Min",
                                       "QAX_total_ac_power_in_use_Max"};
    static const char *const kDC[3] = {"QAX_total_dc_power_in_use_Avg",
                                       "QAX_total_dc_power_in_use_Min",
                                       "QAX_total_dc_power_in_use_Max"};
    if (bBlade) {
        PublishEntry(kDC[0], kDC[1], kDC[2], psDC);
        PublishEntry(kAC[0], kAC[1], kAC[2], psAC);
    } else {
        PublishEntry(kAC[0], kAC[1], kAC[2], psAC);
        PublishEntry(kDC[0], kDC[1], kDC[2], psDC);
    }
    PublishEntry("QAX_consumptionCPU_Avg", "QAX_consumptionCPU_Min", "QAX_consumptionCPU_Max",
                 psBuffer->psCPUPower);
    PublishEntry("QAX_consumptionMemory_Avg", "QAX_consumptionMemory_Min",
                 "QAX_consumptionMemory_Max", psBuffer->psMemoryPower);
    PublishEntry("QAX_consumptionCooling_Avg", "QAX_consumptionCooling_Min",
                 "QAX_consumptionCooling_Max", psBuffer->psCoolingPower);
    aim_config_set_int64("QAX_timestamp", (int64_t)psBuffer->u64Timestamp, 0);
}

// Replaces one file of the ring, opened through the checked log directory:
// never through a link, never a FIFO.
static FILE *OpenLogFile(const char *szName) {
    char szDir[QAX_LOG_NAME_SIZE];
    const char *szBase = QaxSplitPath(szName, szDir, sizeof(szDir));
    int dirfd = szBase != NULL ? QaxOpenDir(szDir, 070, 0) : -1;
    int fd = dirfd >= 0 ? QaxOpenOwnFile(dirfd, szBase, O_TRUNC, 0666) : -1;
    if (fd < 0) return NULL;
    FILE *psFile = fdopen(fd, "wb");
    if (psFile == NULL) close(fd);
    return psFile;
}

void CreateDataLog(MetricValue *psBuffer, HistogramData sHistogramData) {
    if (psBuffer == NULL) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kCreateFunction, "ERROR", "Empty input buffer.");
        // The counters are ours from the call on.
        free(sHistogramData.pu8Counters);
        return;
    }
    // Without a usable reference the record would keep its raw accumulators,
    // which are no power figures. The snapshot is dropped before any file is
    // touched: the calculation traces why and releases the counters, and the
    // ring, the published figures and the power history keep what they have.
    if (!IsSnapshotValueCalculable(psBuffer, &sHistogramData)) {
        CalculateSnapshotValue(psBuffer, sHistogramData);
        return;
    }
    // The ring index is process-wide; a value outside the ring restarts it.
    if (u8LogFileIndex >= QAX_LOG_FILE_RING) u8LogFileIndex = 0;

    char szName[QAX_LOG_NAME_SIZE];
    snprintf(szName, sizeof(szName), "%sqax_%u.log", kMetricLogDir, (unsigned)u8LogFileIndex);
    FILE *psFile = OpenLogFile(szName);
    if (psFile == NULL) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kCreateFunction, "ERROR", "Can't create file: %s",
               szName);
        free(sHistogramData.pu8Counters);
        return;
    }

    if (u8LogFileCount < QAX_LOG_FILE_RING) {
        u8LogFileCount++;
        char szCountPath[QAX_LOG_NAME_SIZE];
        snprintf(szCountPath, sizeof(szCountPath), "%s%s", kMetricLogDir, kLogCountName);
        WriteUCToFile(szCountPath, u8LogFileCount);
    }

    CalculateSnapshotValue(psBuffer, sHistogramData);
    WriteMetricRecord(psFile, psBuffer);

    if (WriteBladeInletTemperatureFromInletSensor() == 1) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kCreateFunction, "ERROR",
               " -- Failed to get inlet temperature!");
    } else {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "%s -- there are totally [%d] inlet temperature!\n", kCreateFunction,
               sInletTemperatureBuffer.u8Count);
    }
    WriteInletSection(psFile, &sInletTemperatureBuffer);
    WritePerformanceSection(psFile);
    fclose(psFile);

    char szLastPath[QAX_LOG_NAME_SIZE];
    snprintf(szLastPath, sizeof(szLastPath), "%s%s", kMetricLogDir, kLogLastName);
    WriteUCToFile(szLastPath, u8LogFileIndex);
    u8LogFileIndex = (uint8_t)((u8LogFileIndex + 1) % QAX_LOG_FILE_RING);

    const int bBlade = IsBladePlatform();
    const MetricEntry *psAC = bBlade ? psBuffer->psSystemDC : psBuffer->psSystemAC;
    const MetricEntry *psDC = bBlade ? psBuffer->psSystemAC : psBuffer->psSystemDC;
    // The snapshot's figures (and the 24-hour maxima a closed period
    // publishes) go to the store as one transaction: one commit per cycle
    // rather than one per key, and readers never see half a snapshot.
    aim_config_batch_begin();
    PublishFigures(psBuffer, psAC, psDC, bBlade);

    trackPowerHistory(psBuffer->u64Timestamp, psAC != NULL ? psAC->u64Avg : 0,
                      psDC != NULL ? psDC->u64Avg : 0);
    aim_config_batch_end();
}
