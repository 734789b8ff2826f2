// Power performance history: the twin of the power history for the system,
// CPU, memory and I/O performance values, with its own table, tracking state,
// full file and window files. Missing periods are filled with zero samples;
// the table has no unknown marker.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "daemon/trace.h"
#include "history/history_internal.h"
#include "platform/platform.h"

PowerPerformanceSample powerPerformance[QAX_HISTORY_SLOTS];
uint16_t nextPerformanceSampleIndex = 0;

// Tracking state, separate from the power history's. Sums are wide, as there.
static uint8_t sInitialization = 1;
static uint64_t endtime = 0;
static uint64_t lastTimestamp = 0;
static uint64_t accsystem = 0;
static uint64_t acccpu = 0;
static uint64_t accmem = 0;
static uint64_t accio = 0;
static uint32_t accCount = 0;
static uint16_t minsystem = 0xFFFF;
static uint16_t maxsystem = 0;
static int32_t lastSaveTime = 0;

static const HistoryFullFile kPerformanceFile = {
    "/pstorage/power/PowerPerformanceFull",
    "PowerPerformanceFull.tmp",
    "nextPerformanceSampleIndex",
    "loadPowerPerformance",
    "savePowerPerformance",
    "Reading power performance data header for file '%s', error code=%i",
    "Reading power performance data for file '%s', error code=%i",
    "Invalid nextPerformanceSampleIndex %u in power performance file '%s'",
    "Could not open power performance file '%s', starting from scratch",
    "Writing full power performance file '%s'",
    0,
    "Could not open power performance file '%s', %s",
    "Writing full power performance data header for file '%s', error code=%i",
    "Writing full power performance data for file '%s', error code=%i",
    "Could not replace power performance file '%s', %s",
    "Power performance not loaded yet, not writing '%s'",
};

unsigned powerPerformanceLoaded(void) { return sInitialization ? 0u : 1u; }

static void ResetAccumulators(void) {
    accsystem = 0;
    acccpu = 0;
    accmem = 0;
    accio = 0;
    accCount = 0;
    minsystem = 0xFFFF;
    maxsystem = 0;
}

void resetPowerPerformanceState(void) {
    HistoryForgetUnloadable(kPerformanceFile.szPath);
    memset(powerPerformance, 0, sizeof(powerPerformance));
    nextPerformanceSampleIndex = 0;
    sInitialization = 1;
    endtime = 0;
    lastTimestamp = 0;
    ResetAccumulators();
    lastSaveTime = 0;
}

static uint16_t Saturate16(uint64_t u64Value) {
    return u64Value > 0xFFFF ? (uint16_t)0xFFFF : (uint16_t)u64Value;
}

static void StoreCurrentPeriod(uint64_t u64End) {
    PowerPerformanceSample sSample;
    sSample.timestamp = (uint32_t)u64End;
    sSample.min = minsystem;
    sSample.avg = (uint16_t)(accsystem / accCount);
    sSample.max = maxsystem;
    sSample.cpu = (uint16_t)(acccpu / accCount);
    sSample.mem = (uint16_t)(accmem / accCount);
    sSample.io = (uint16_t)(accio / accCount);
    addSampleToPowerPerformance(&sSample);
}

static void ShiftPerformanceBack(uint64_t u64Shift) {
    for (unsigned i = 0; i < QAX_HISTORY_SLOTS; i++) {
        uint32_t u32Time = powerPerformance[i].timestamp;
        if (u32Time == 0) continue;
        if (u32Time > u64Shift)
            powerPerformance[i].timestamp = (uint32_t)(u32Time - u64Shift);
        else
            memset(&powerPerformance[i], 0, sizeof(powerPerformance[i]));
    }
}

static void Initialize(void) {
    QaxLog(QAX_LOG_TRACE, 1, "trackPowerPerformance", "Info", "Initializing power performance");
    if (loadPowerPerformance()) {
        unsigned uNewest = nextPerformanceSampleIndex == 0 ? QAX_HISTORY_SLOTS - 1
                                                           : nextPerformanceSampleIndex - 1u;
        endtime = powerPerformance[uNewest].timestamp;
    }
    generatePowerPerformanceWindowFiles();
    sInitialization = 0;
}

// A period without readings is kept as zero utilisation.
static void AddZeroSample(uint32_t u32Timestamp) {
    PowerPerformanceSample sZero;
    memset(&sZero, 0, sizeof(sZero));
    sZero.timestamp = u32Timestamp;
    addSampleToPowerPerformance(&sZero);
}

void trackPowerPerformance(uint64_t timestamp, uint64_t system, uint64_t cpu, uint64_t mem,
                           uint64_t io) {
    if (sInitialization) {
        Initialize();
        if (timestamp == 0) return;
    }
    uint64_t t = timestamp;
    if (t < QAX_HISTORY_MIN_TIME || t > QAX_HISTORY_MAX_TIME) {
        QaxLog(QAX_LOG_TRACE, 0, "trackPowerPerformance", "Error",
               "Invalid performance sample timestamp=%llu", (unsigned long long)t);
        return;
    }
    uint16_t u16System = Saturate16(system);
    uint16_t u16CPU = Saturate16(cpu);
    uint16_t u16Mem = Saturate16(mem);
    uint16_t u16IO = Saturate16(io);

    if (endtime == 0) endtime = t + QAX_HISTORY_FIRST_PERIOD;

    if (lastTimestamp >= t) {
        uint64_t u64Adj = lastTimestamp + QAX_HISTORY_SNAPSHOT_SPACING - t;
        QaxLog(QAX_LOG_TRACE, 0, "trackPowerPerformance", "Info",
               "System clock was set backwards, adjusting powerHistory by %u seconds",
               (unsigned)u64Adj);
        ShiftPerformanceBack(u64Adj);
        endtime = endtime > u64Adj ? endtime - u64Adj : t;
    }

    if (endtime >= t) {
        accsystem += u16System;
        acccpu += u16CPU;
        accmem += u16Mem;
        accio += u16IO;
        accCount++;
        if (u16System < minsystem) minsystem = u16System;
        if (u16System > maxsystem) maxsystem = u16System;
    }

    QaxLog(QAX_LOG_TRACE, 0, "trackPowerPerformance", "Info",
           "timestamp=%i, endtime=%i, nextPerformanceSampleIndex=%i, maxsystem=%i, "
           "accsystem=%i, minsystem=%i, cpu=%i, mem=%i, io=%i, accCount=%i",
           (int)t, (int)endtime, (int)nextPerformanceSampleIndex, (int)maxsystem, (int)accsystem,
           (int)minsystem, (int)acccpu, (int)accmem, (int)accio, (int)accCount);

    if (t < endtime) {
        lastTimestamp = t;
        return;
    }

    if (accCount > 0) StoreCurrentPeriod(endtime);

    if (t == endtime) {
        ResetAccumulators();
        endtime = t + QAX_HISTORY_PERIOD;
    } else {
        accsystem = u16System;
        minsystem = u16System;
        maxsystem = u16System;
        acccpu = u16CPU;
        accmem = u16Mem;
        accio = u16IO;
        accCount = 1;

        endtime = HistoryFillMissed("trackPowerPerformance", endtime, t, AddZeroSample);
        if (endtime == t) {
            StoreCurrentPeriod(t);
            ResetAccumulators();
            endtime = t + QAX_HISTORY_PERIOD;
        }
    }

    generatePowerPerformanceWindowFiles();
    lastTimestamp = t;
}

void addSampleToPowerPerformance(const PowerPerformanceSample *sample) {
    if (sample == NULL) return;
    if (nextPerformanceSampleIndex >= QAX_HISTORY_SLOTS) nextPerformanceSampleIndex = 0;
    powerPerformance[nextPerformanceSampleIndex] = *sample;
    nextPerformanceSampleIndex = (uint16_t)(nextPerformanceSampleIndex + 1);
    if (nextPerformanceSampleIndex >= QAX_HISTORY_SLOTS) nextPerformanceSampleIndex = 0;

    int32_t s32Now = HistoryMonotonicSeconds();
    int32_t s32Elapsed = (int32_t)((uint32_t)s32Now - (uint32_t)lastSaveTime);
    QaxLog(QAX_LOG_TRACE, 0, "addSampleToPowerPerformance", "Info",
           "num seconds since last save=%i", (int)s32Elapsed);
    if (s32Elapsed >= QAX_HISTORY_SAVE_INTERVAL) {
        if (savePowerPerformance()) lastSaveTime = s32Now;
    }
}

unsigned loadPowerPerformance(void) {
    uint8_t au8Image[QAX_HISTORY_FULL_FILE_SIZE];
    if (HistoryReadFullFile(&kPerformanceFile, au8Image) == 0) {
        nextPerformanceSampleIndex = HistoryGetLE16(au8Image);
        for (unsigned i = 0; i < QAX_HISTORY_SLOTS; i++)
            DecodePowerPerformanceSample(au8Image + 2 + i * QAX_HISTORY_RECORD_SIZE,
                                         &powerPerformance[i]);
        return 1;
    }
    memset(powerPerformance, 0, sizeof(powerPerformance));
    nextPerformanceSampleIndex = 0;
    HistoryStartFromScratch(&kPerformanceFile);
    return 0;
}

unsigned savePowerPerformance(void) {
    if (!powerPerformanceLoaded()) {
        QaxLog(QAX_LOG_TRACE, 0, "savePowerPerformance", "Error",
               kPerformanceFile.szNotLoadedFormat, kPerformanceFile.szPath);
        return 0;
    }
    uint8_t au8Image[QAX_HISTORY_FULL_FILE_SIZE];
    HistoryPutLE16(au8Image, nextPerformanceSampleIndex);
    for (unsigned i = 0; i < QAX_HISTORY_SLOTS; i++)
        EncodePowerPerformanceSample(&powerPerformance[i],
                                     au8Image + 2 + i * QAX_HISTORY_RECORD_SIZE);
    return HistoryWriteFullFile(&kPerformanceFile, au8Image) == 0 ? 1u : 0u;
}

void generatePowerPerformanceFile(const char *szPath, uint16_t u16NextPerformanceSampleIndex,
                                  uint32_t u32SlotsPerRecord) {
    if (szPath == NULL || u32SlotsPerRecord == 0 ||
        u32SlotsPerRecord > QAX_HISTORY_SLOTS / QAX_HISTORY_WINDOW_RECORDS)
        return;
    unsigned uNext = u16NextPerformanceSampleIndex % QAX_HISTORY_SLOTS;
    int idx = (int)uNext - (int)(QAX_HISTORY_WINDOW_RECORDS * u32SlotsPerRecord);
    if (idx < 0) idx += QAX_HISTORY_SLOTS;
    QaxLog(QAX_LOG_TRACE, 0, "generatePowerPerformanceFile", "Info",
           "nextPerformanceSampleIndex=%i, idx=%i", (int)u16NextPerformanceSampleIndex, idx);

    char szBuffer[QAX_HISTORY_PATH_SIZE];
    const char *szFull = QaxPath(szPath, szBuffer, sizeof(szBuffer));
    HistoryWindowFile sWindow;
    FILE *psStream = szFull != NULL ? HistoryOpenWindowFile(szPath, &sWindow) : NULL;
    if (psStream == NULL) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "generatePowerPerformanceFile",
               "Error, couldn't open file", "%s", szFull != NULL ? szFull : szPath);
        return;
    }

    uint8_t au8Record[QAX_HISTORY_RECORD_SIZE];
    HistoryPutLE16(au8Record, QAX_HISTORY_WINDOW_RECORDS);
    if (fwrite(au8Record, 1, 2, psStream) != 2) {
        QaxLog(QAX_LOG_TRACE, 0, "generatePowerPerformanceFile", "Error",
               "Writing power performance data header for file '%s', error code=%i", szFull,
               ferror(psStream));
    }

    for (int r = 0; r < QAX_HISTORY_WINDOW_RECORDS; r++) {
        PowerPerformanceSample sRecord;
        memset(&sRecord, 0, sizeof(sRecord));
        uint32_t u32SumAvg = 0, u32SumCPU = 0, u32SumMem = 0, u32SumIO = 0, u32Valid = 0;
        uint16_t u16Min = 0xFFFF, u16Max = 0;
        uint32_t u32LastTime = 0;
        for (uint32_t n = 0; n < u32SlotsPerRecord; n++) {
            const PowerPerformanceSample *psSlot = &powerPerformance[idx];
            u32LastTime = psSlot->timestamp;
            idx = idx + 1 == QAX_HISTORY_SLOTS ? 0 : idx + 1;
            // Zero-filled samples of missing periods count: only slots never
            // written are left out.
            if (psSlot->timestamp == 0) continue;
            u32Valid++;
            u32SumAvg += psSlot->avg;
            u32SumCPU += psSlot->cpu;
            u32SumMem += psSlot->mem;
            u32SumIO += psSlot->io;
            if (psSlot->min < u16Min) u16Min = psSlot->min;
            if (psSlot->max > u16Max) u16Max = psSlot->max;
        }

        if (u32Valid > 0) {
            sRecord.timestamp = u32LastTime;
            sRecord.min = u16Min;
            sRecord.avg = (uint16_t)(u32SumAvg / u32Valid);
            sRecord.max = u16Max;
            sRecord.cpu = (uint16_t)(u32SumCPU / u32Valid);
            sRecord.mem = (uint16_t)(u32SumMem / u32Valid);
            sRecord.io = (uint16_t)(u32SumIO / u32Valid);
            QaxLog(QAX_LOG_TRACE, 0, "generatePowerPerformanceFile", "Info",
                   "min=%i, avg=%i, max=%i, cpu=%i, mem=%i, io=%i, tstamp=%i, idx=%i, "
                   "numsamplesforavg=%i fname=%s",
                   (int)sRecord.min, (int)sRecord.avg, (int)sRecord.max, (int)sRecord.cpu,
                   (int)sRecord.mem, (int)sRecord.io, (int)sRecord.timestamp, idx, (int)u32Valid,
                   szFull);
        } else {
            QaxLog(QAX_LOG_TRACE, 0, "generatePowerPerformanceFile", "Info",
                   "Writing unknown data sample %i timestamp=%i for file '%s'", r, (int)u32LastTime,
                   szFull);
        }

        EncodePowerPerformanceSample(&sRecord, au8Record);
        if (fwrite(au8Record, 1, QAX_HISTORY_RECORD_SIZE, psStream) != QAX_HISTORY_RECORD_SIZE) {
            QaxLog(QAX_LOG_TRACE, 0, "generatePowerPerformanceFile", "Error",
                   "Writing power performance data sample %i for file '%s', error code=%i", r,
                   szFull, ferror(psStream));
        }
    }
    if (HistoryCloseWindowFile(&sWindow) != 0) {
        QaxLog(QAX_LOG_TRACE, 0, "generatePowerPerformanceFile", "Error",
               "Could not write power performance file '%s', %s", szFull, strerror(errno));
    }
}

void generatePowerPerformanceWindowFiles(void) {
    generatePowerPerformanceFile("/tmp/PowerPerformanceLast1Hour", nextPerformanceSampleIndex, 1);
    generatePowerPerformanceFile("/tmp/PowerPerformanceLast6Hours", nextPerformanceSampleIndex, 6);
    generatePowerPerformanceFile("/tmp/PowerPerformanceLast12Hours", nextPerformanceSampleIndex,
                                 12);
    generatePowerPerformanceFile("/tmp/PowerPerformanceLast24Hours", nextPerformanceSampleIndex,
                                 24);
}
