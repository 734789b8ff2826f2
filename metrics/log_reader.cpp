// Metric log reader: one file ("-r"), the whole ring under the log lock (the
// debug dump), and the plain-text report of one record.
//
// A log file is untrusted input. It is read field by field in the writer's
// order and widths; a file that does not hold exactly one well-formed record
// (cut short, a presence byte other than 0 or 1, a sensor index the report
// does not know, bytes after the record) is rejected as a whole with an
// error trace line, and everything read from it so far is released.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "daemon/trace.h"
#include "firmware/performance.h"
#include "metrics/metric_log_format.h"
#include "metrics/metrics.h"
#include "platform/platform.h"
#include "platform/safe_files.h"

static const char *const kReadFunction = "ReadMeticValueFromFile";
static const char *const kGetFunction = "GetMetricValue";

enum {
    QAX_FIXED_BYTES = 11,
    QAX_INLET_PRINTED = 5,
};

// Results of reading one file.
enum {
    LOG_READ_OK = 0,
    LOG_READ_CANNOT_OPEN = 2,
    LOG_READ_TRUNCATED = -1,  // the file ends before the inlet sensor count
    LOG_READ_DAMAGED = -2,    // the content does not form one record
    LOG_READ_NO_MEMORY = -3,
};

// Results of reading one counted section.
enum {
    SECTION_OK,
    SECTION_END,        // no count byte
    SECTION_SHORT,      // fewer entries than the count says
    SECTION_NO_MEMORY,  // slot left as it was
};

static uint64_t GetLittleEndian(const uint8_t *pu8In, unsigned u32Bytes) {
    uint64_t u64Value = 0;
    for (unsigned i = u32Bytes; i > 0; i--) u64Value = (u64Value << 8) | pu8In[i - 1];
    return u64Value;
}

static int ReadMetricSection(FILE *psFile, uint8_t *pu8Count, MetricEntry **ppsEntries) {
    int iCount = fgetc(psFile);
    if (iCount == EOF || iCount == 0) {
        *pu8Count = 0;
        *ppsEntries = NULL;
        return iCount == EOF ? SECTION_END : SECTION_OK;
    }
    MetricEntry *psEntries = (MetricEntry *)calloc((size_t)iCount, sizeof(MetricEntry));
    if (psEntries == NULL) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "ReadMetricData", "ERROR", "Memory allcate fail");
        return SECTION_NO_MEMORY;
    }
    for (int i = 0; i < iCount; i++) {
        uint8_t au8Bytes[QAX_ENTRY_BYTES];
        if (fread(au8Bytes, 1, sizeof(au8Bytes), psFile) != sizeof(au8Bytes)) {
            free(psEntries);
            return SECTION_SHORT;
        }
        psEntries[i].u64Avg = GetLittleEndian(au8Bytes, 8);
        psEntries[i].u64Max = GetLittleEndian(au8Bytes + 8, 8);
        psEntries[i].u64Min = GetLittleEndian(au8Bytes + 16, 8);
    }
    *pu8Count = (uint8_t)iCount;
    *ppsEntries = psEntries;
    return SECTION_OK;
}

void ReadMetricData(FILE *psFile, uint8_t *pu8Count, MetricEntry **ppsEntries) {
    if (psFile == NULL || pu8Count == NULL || ppsEntries == NULL) return;
    switch (ReadMetricSection(psFile, pu8Count, ppsEntries)) {
    case SECTION_SHORT:
        // Entries that are not all there are not handed out half read.
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "ReadMetricData", "ERROR",
               "Log file ends inside its metric entries");
        *pu8Count = 0;
        *ppsEntries = NULL;
        break;
    case SECTION_NO_MEMORY:
        *pu8Count = 0;
        break;
    default:
        break;
    }
}

// What one file yields, before it is handed to the caller.
struct LogRecordRead {
    MetricValue sValue;
    InletTemperatureSnapshotBuffer sInlet;
    PerformanceValue sPerf;
    const char *szWhy;  // reason of a rejection, for the trace
};

static void ReleasePerformance(PerformanceValue *psPerf) {
    free(psPerf->psSystemPerf);
    free(psPerf->psCPUPerf);
    free(psPerf->psMemoryPerf);
    free(psPerf->psIOPerf);
    memset(psPerf, 0, sizeof(*psPerf));
}

static void ReleaseRead(LogRecordRead *psRead) {
    FreeMetricValueContents(&psRead->sValue, NULL, NULL);
    FreeInletTemperatureSnapshotBuffer(&psRead->sInlet);
    ReleasePerformance(&psRead->sPerf);
}

// A counted section; a section cut short gives iCutResult with szCut as the
// reason.
static int ReadSection(FILE *psFile, uint8_t *pu8Count, MetricEntry **ppsEntries, int iCutResult,
                       const char *szCut, const char **pszWhy) {
    switch (ReadMetricSection(psFile, pu8Count, ppsEntries)) {
    case SECTION_OK:
        return LOG_READ_OK;
    case SECTION_NO_MEMORY:
        *pszWhy = "no memory for its metric entries";
        return LOG_READ_NO_MEMORY;
    default:
        *pszWhy = szCut;
        return iCutResult;
    }
}

// A presence byte and its entry. A presence byte above 1 is damage: the
// writer never puts more than one entry in these fields.
static int ReadSingleEntry(FILE *psFile, MetricEntry **ppsEntry, int iCutResult, const char *szCut,
                           const char **pszWhy) {
    uint8_t u8Count = 0;
    int iResult = ReadSection(psFile, &u8Count, ppsEntry, iCutResult, szCut, pszWhy);
    if (iResult == LOG_READ_OK && u8Count > 1) {
        free(*ppsEntry);
        *ppsEntry = NULL;
        *pszWhy = "presence byte above 1";
        return LOG_READ_DAMAGED;
    }
    return iResult;
}

// The record up to the inlet sensors: the two supply sections, the six
// single entries, the temperatures, the timestamp and the status byte.
static int ReadRecordFields(FILE *psFile, LogRecordRead *psRead) {
    static const char *const kCut = "ends inside the metric entries";
    MetricValue *psValue = &psRead->sValue;
    int iResult = ReadSection(psFile, &psValue->u8PowerSupplyACCount, &psValue->psPowerSupplyAC,
                              LOG_READ_TRUNCATED, kCut, &psRead->szWhy);
    if (iResult == LOG_READ_OK) {
        iResult = ReadSection(psFile, &psValue->u8PowerSupplyDCCount, &psValue->psPowerSupplyDC,
                              LOG_READ_TRUNCATED, kCut, &psRead->szWhy);
    }
    MetricEntry **appsSingles[6] = {&psValue->psSystemAC,     &psValue->psSystemDC,
                                    &psValue->psCPUPower,     &psValue->psMemoryPower,
                                    &psValue->psCoolingPower, &psValue->psEffectiveCPU};
    for (int i = 0; i < 6 && iResult == LOG_READ_OK; i++) {
        iResult = ReadSingleEntry(psFile, appsSingles[i], LOG_READ_TRUNCATED, kCut, &psRead->szWhy);
    }
    if (iResult != LOG_READ_OK) return iResult;
    uint8_t au8Fixed[QAX_FIXED_BYTES];
    if (fread(au8Fixed, 1, sizeof(au8Fixed), psFile) != sizeof(au8Fixed)) {
        psRead->szWhy = "ends inside the temperatures and timestamp";
        return LOG_READ_TRUNCATED;
    }
    psValue->u8InletTemperature = au8Fixed[0];
    psValue->u8OutletTemperature = au8Fixed[1];
    psValue->u64Timestamp = GetLittleEndian(au8Fixed + 2, 8);
    psValue->u8BufferStatus = au8Fixed[10];
    return LOG_READ_OK;
}

// The inlet sensor records: u8Count of index and text. Each node goes to the
// front, as the sensor query built the list, so the file's order comes back
// reversed and the query's order is restored.
static int ReadInletRecords(FILE *psFile, LogRecordRead *psRead, uint8_t u8Count) {
    for (uint8_t i = 0; i < u8Count; i++) {
        uint8_t au8Record[QAX_INLET_RECORD_BYTES];
        if (fread(au8Record, 1, sizeof(au8Record), psFile) != sizeof(au8Record)) {
            psRead->szWhy = "ends inside the inlet sensor records";
            return LOG_READ_DAMAGED;
        }
        const uint32_t u32Index = (uint32_t)GetLittleEndian(au8Record, 4);
        if (u32Index >= QAX_INLET_SENSOR_NAMES) {
            psRead->szWhy = "inlet sensor index outside 0-4";
            return LOG_READ_DAMAGED;
        }
        InletTemperatureNode *psNode =
            (InletTemperatureNode *)calloc(1, sizeof(InletTemperatureNode));
        if (psNode == NULL) {
            psRead->szWhy = "no memory for an inlet sensor";
            return LOG_READ_NO_MEMORY;
        }
        psNode->u32SensorIndex = u32Index;
        // At most 63 characters: the last one stays 0 whatever the file says.
        memcpy(psNode->szTemperature, au8Record + 4, QAX_INLET_TEXT_BYTES - 1);
        psNode->psNext = psRead->sInlet.psFirst;
        psRead->sInlet.psFirst = psNode;
        psRead->sInlet.u8Count++;
    }
    return LOG_READ_OK;
}

// The performance section: absent, or four presence bytes each with its
// entry.
static int ReadPerformanceSection(FILE *psFile, LogRecordRead *psRead) {
    int iFirst = fgetc(psFile);
    if (iFirst == EOF) return LOG_READ_OK;
    ungetc(iFirst, psFile);
    MetricEntry **appsPerf[4] = {&psRead->sPerf.psSystemPerf, &psRead->sPerf.psCPUPerf,
                                 &psRead->sPerf.psMemoryPerf, &psRead->sPerf.psIOPerf};
    int iResult = LOG_READ_OK;
    for (int i = 0; i < 4 && iResult == LOG_READ_OK; i++) {
        iResult = ReadSingleEntry(psFile, appsPerf[i], LOG_READ_DAMAGED,
                                  "ends inside the performance section", &psRead->szWhy);
    }
    return iResult;
}

// Reads one file into psRead. The performance section is read whenever it
// is there, so that a file is judged the same whoever asks.
static int ReadLogRecord(const char *szPath, LogRecordRead *psRead) {
    memset(psRead, 0, sizeof(*psRead));
    // A FIFO or a device given as the file must not hang the reader.
    FILE *psFile = QaxFopenRegularForRead(szPath, 0);
    if (psFile == NULL) return LOG_READ_CANNOT_OPEN;

    int iResult = ReadRecordFields(psFile, psRead);
    int iCount = iResult == LOG_READ_OK ? fgetc(psFile) : EOF;
    printf("%s -- inlet sensor number is %u\n", kReadFunction,
           (unsigned)(iCount == EOF ? 0 : iCount));
    if (iResult == LOG_READ_OK && iCount == EOF) {
        psRead->szWhy = "ends before the inlet sensor count";
        iResult = LOG_READ_TRUNCATED;
    }
    if (iResult == LOG_READ_OK) iResult = ReadInletRecords(psFile, psRead, (uint8_t)iCount);
    if (iResult == LOG_READ_OK) iResult = ReadPerformanceSection(psFile, psRead);
    if (iResult == LOG_READ_OK && fgetc(psFile) != EOF) {
        psRead->szWhy = "bytes after the record";
        iResult = LOG_READ_DAMAGED;
    }
    fclose(psFile);

    if (iResult != LOG_READ_OK) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kReadFunction, "ERROR", "Rejected log file %s: %s",
               szPath, psRead->szWhy != NULL ? psRead->szWhy : "unreadable");
        ReleaseRead(psRead);
    }
    return iResult;
}

// Hands a successful read over to the caller's records. The performance
// entries go only where they are wanted; the rest is released.
static void HandOver(LogRecordRead *psRead, MetricValue *psValue,
                     InletTemperatureSnapshotBuffer *psInlet, PerformanceValue *psPerf,
                     int bPerfWanted) {
    // Status word and tag are not in the file; the record keeps its own.
    psRead->sValue.u16StatusFlags = psValue->u16StatusFlags;
    psRead->sValue.u16Tag = psValue->u16Tag;
    *psValue = psRead->sValue;
    if (psInlet != NULL) {
        *psInlet = psRead->sInlet;
    } else {
        FreeInletTemperatureSnapshotBuffer(&psRead->sInlet);
    }
    if (bPerfWanted && psPerf != NULL) {
        *psPerf = psRead->sPerf;
    } else {
        ReleasePerformance(&psRead->sPerf);
    }
}

// Reads one file into the caller's records. bPerf: 1 or 0 = the answer of
// the performance-support test, already known; -1 = ask it once the file has
// been read (a file that cannot be read costs no firmware request).
static int ReadMetricValue(const char *szPath, MetricValue *psValue,
                           InletTemperatureSnapshotBuffer *psInlet, PerformanceValue *psPerf,
                           int bPerf) {
    if (szPath == NULL || psValue == NULL) return LOG_READ_CANNOT_OPEN;
    LogRecordRead sRead;
    int iResult = ReadLogRecord(szPath, &sRead);
    if (iResult != LOG_READ_OK) return iResult;
    if (bPerf < 0) bPerf = psPerf != NULL && NM_Performance_IsSupported() == 1;
    HandOver(&sRead, psValue, psInlet, psPerf, bPerf);
    return LOG_READ_OK;
}

int ReadMeticValueFromFile(const char *szPath, MetricValue *psValue,
                           InletTemperatureSnapshotBuffer *psInlet, PerformanceValue *psPerf) {
    return ReadMetricValue(szPath, psValue, psInlet, psPerf, -1);
}

// First byte of a one-byte file under the log directory; 0 when it cannot be
// opened or is empty.
static uint8_t ReadOneByteFile(const char *szPath) {
    char szFull[1024];
    const char *pszFull = QaxPath(szPath, szFull, sizeof(szFull));
    FILE *psFile = pszFull != NULL ? QaxFopenRegularForRead(pszFull, 1) : NULL;
    if (psFile == NULL) return 0;
    int iByte = fgetc(psFile);
    fclose(psFile);
    return iByte == EOF ? 0 : (uint8_t)iByte;
}

// The ring's working tables: one slot per file.
struct LogRingTables {
    MetricValue asValues[QAX_LOG_FILE_RING];
    InletTemperatureSnapshotBuffer asInlets[QAX_LOG_FILE_RING];
    PerformanceValue asPerfs[QAX_LOG_FILE_RING];
};

// Reads the files of the ring, oldest first, into the working tables;
// returns how many were read.
static uint8_t ReadRing(LogRingTables *psTables, int bPerf) {
    char szCountPath[QAX_LOG_NAME_SIZE];
    char szLastPath[QAX_LOG_NAME_SIZE];
    snprintf(szCountPath, sizeof(szCountPath), "%s%s", kMetricLogDir, kLogCountName);
    snprintf(szLastPath, sizeof(szLastPath), "%s%s", kMetricLogDir, kLogLastName);
    uint8_t u8Wanted = ReadOneByteFile(szCountPath);
    uint8_t u8Last = ReadOneByteFile(szLastPath);
    if (u8Wanted == 0) return 0;
    // Damaged index files are clamped into the ring: the tables have 120
    // slots, and every file read is checked on its own anyway.
    if (u8Wanted > QAX_LOG_FILE_RING) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kGetFunction, "ERROR",
               "Log file count %u above %u, read as %u", (unsigned)u8Wanted,
               (unsigned)QAX_LOG_FILE_RING, (unsigned)QAX_LOG_FILE_RING);
        u8Wanted = QAX_LOG_FILE_RING;
    }
    if (u8Last >= u8Wanted) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kGetFunction, "ERROR",
               "Newest log file %u outside the %u files, read as %u", (unsigned)u8Last,
               (unsigned)u8Wanted, (unsigned)(u8Wanted - 1));
        u8Last = (uint8_t)(u8Wanted - 1);
    }

    uint8_t u8Got = 0;
    unsigned u32Index = (u8Last + 1u) % u8Wanted;
    for (unsigned u32Tried = 0; u32Tried < u8Wanted; u32Tried++) {
        char szName[QAX_LOG_NAME_SIZE];
        snprintf(szName, sizeof(szName), "%sqax_%u.log", kMetricLogDir, u32Index);
        u32Index = (u32Index + 1) % QAX_LOG_FILE_RING;
        char szFull[1024];
        const char *pszFull = QaxPath(szName, szFull, sizeof(szFull));
        int iResult = pszFull != NULL ? ReadMetricValue(pszFull, &psTables->asValues[u8Got],
                                                        &psTables->asInlets[u8Got],
                                                        &psTables->asPerfs[u8Got], bPerf)
                                      : LOG_READ_CANNOT_OPEN;
        if (iResult == LOG_READ_OK) {
            u8Got++;
        } else {
            QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kGetFunction, "ERROR", "File doesn't exist");
        }
    }
    return u8Got;
}

static void ReleaseSlot(LogRingTables *psTables, uint8_t i) {
    FreeMetricValueContents(&psTables->asValues[i], &psTables->asInlets[i], NULL);
    // Released here rather than by the support test's verdict of the moment:
    // what was read is what is freed.
    ReleasePerformance(&psTables->asPerfs[i]);
}

int GetMetricValue(MetricValue **ppsValues, InletTemperatureSnapshotBuffer **ppsInlets,
                   PerformanceValue **ppsPerfs, uint8_t *pu8Count) {
    if (pu8Count != NULL) *pu8Count = 0;
    if (ppsValues != NULL) *ppsValues = NULL;
    if (ppsInlets != NULL) *ppsInlets = NULL;
    if (ppsPerfs != NULL) *ppsPerfs = NULL;
    if (ppsValues == NULL || ppsInlets == NULL || ppsPerfs == NULL || pu8Count == NULL) return 0;

    char szDir[1024];
    const char *pszDir = QaxPath(kMetricLogDir, szDir, sizeof(szDir));
    if (pszDir == NULL || access(pszDir, R_OK | X_OK) != 0) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kGetFunction, "ERROR", "Can't access log path %s",
               kMetricLogDir);
        return 3;
    }

    WaitValueLock();
    // One answer for the whole call: what is read, copied and released
    // agrees, and the firmware is asked once instead of once per file.
    const int bPerf = NM_Performance_IsSupported() == 1;
    // About 17 KB, on the stack: nothing to allocate or to fail.
    LogRingTables sTables;
    memset(&sTables, 0, sizeof(sTables));
    LogRingTables *psTables = &sTables;
    const uint8_t u8Got = ReadRing(psTables, bPerf);
    if (u8Got == 0) {
        ReleaseValueLock();
        return 0;
    }

    MetricValue *psValues = (MetricValue *)calloc(u8Got, sizeof(MetricValue));
    InletTemperatureSnapshotBuffer *psInlets =
        (InletTemperatureSnapshotBuffer *)calloc(u8Got, sizeof(InletTemperatureSnapshotBuffer));
    PerformanceValue *psPerfs =
        bPerf ? (PerformanceValue *)calloc(u8Got, sizeof(PerformanceValue)) : NULL;
    const int bArrays = psValues != NULL && psInlets != NULL && (!bPerf || psPerfs != NULL);
    if (!bArrays) {
        // Nothing half filled is handed out.
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kGetFunction, "ERROR", "Memory allcate fail");
        free(psValues);
        free(psInlets);
        free(psPerfs);
    }
    for (uint8_t i = 0; i < u8Got; i++) {
        if (bArrays) {
            CopyMetricValue(&psValues[i], &psTables->asValues[i]);
            CopyInletTemperatureSnapshotBuffer(&psInlets[i], &psTables->asInlets[i]);
            if (psPerfs != NULL) CopyPerformanceValue(&psPerfs[i], &psTables->asPerfs[i]);
        }
        ReleaseSlot(psTables, i);
    }

    if (bArrays) {
        *ppsValues = psValues;
        *ppsInlets = psInlets;
        *ppsPerfs = psPerfs;
        *pu8Count = u8Got;
    }
    ReleaseValueLock();
    return 0;
}

void PrintMetricEntries(const MetricEntry *psEntries, uint8_t u8Count, const char *szLabel) {
    if (psEntries == NULL || u8Count == 0 || szLabel == NULL) return;
    if (u8Count == 1) {
        printf("%s Avg:%llu Max:%llu Min:%llu\r\n", szLabel,
               (unsigned long long)psEntries[0].u64Avg, (unsigned long long)psEntries[0].u64Max,
               (unsigned long long)psEntries[0].u64Min);
        return;
    }
    for (unsigned i = 0; i < u8Count; i++) {
        printf("%s[%u] Avg:%llu Max:%llu Min:%llu\r\n", szLabel, i,
               (unsigned long long)psEntries[i].u64Avg, (unsigned long long)psEntries[i].u64Max,
               (unsigned long long)psEntries[i].u64Min);
    }
}

void PrintMetricValue(const MetricValue *psValue, const InletTemperatureSnapshotBuffer *psInlet,
                      const PerformanceValue *psPerf) {
    if (psValue != NULL) {
        PrintMetricEntries(psValue->psPowerSupplyAC, psValue->u8PowerSupplyACCount,
                           "PowerSupplyAC");
        PrintMetricEntries(psValue->psPowerSupplyDC, psValue->u8PowerSupplyDCCount,
                           "PowerSupplyDC");
        PrintMetricEntries(psValue->psSystemAC, 1, "SystemAC");
        PrintMetricEntries(psValue->psSystemDC, 1, "SystemDC");
        PrintMetricEntries(psValue->psCPUPower, 1, "CPUPower");
        PrintMetricEntries(psValue->psMemoryPower, 1, "MemoryPower");
        PrintMetricEntries(psValue->psCoolingPower, 1, "CoolingPower");
        PrintMetricEntries(psValue->psEffectiveCPU, 1, "EffectiveCPU");
        printf("InletTemperature: %u\r\n", (unsigned)psValue->u8InletTemperature);
        printf("OutletTemperature: %u\r\n", (unsigned)psValue->u8OutletTemperature);
        printf("Timestamp: %llu\r\n", (unsigned long long)psValue->u64Timestamp);
    }
    if (psInlet != NULL) {
        const InletTemperatureNode *psNode = psInlet->psFirst;
        for (unsigned i = 0; psNode != NULL && i < psInlet->u8Count && i < QAX_INLET_PRINTED;
             i++, psNode = psNode->psNext) {
            // A record built elsewhere may carry any index: the table is
            // never indexed past its end, and the text never read past its
            // 64 characters.
            const char *szName = psNode->u32SensorIndex < QAX_INLET_SENSOR_NAMES
                                     ? InletSensorNameTable[psNode->u32SensorIndex]
                                     : "Unknown";
            printf("InletSensorName:%s  Temperature:%.*s\n", szName,
                   (int)strnlen(psNode->szTemperature, QAX_INLET_TEXT_BYTES),
                   psNode->szTemperature);
        }
    }
    if (psPerf != NULL && NM_Performance_IsSupported() == 1) {
        PrintMetricEntries(psPerf->psSystemPerf, 1, "SystemPerf");
        PrintMetricEntries(psPerf->psCPUPerf, 1, "CPUPerf");
        PrintMetricEntries(psPerf->psMemoryPerf, 1, "MemoryPerf");
        PrintMetricEntries(psPerf->psIOPerf, 1, "IOPerf");
    }
}
