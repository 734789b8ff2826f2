// Power history files: the persistent full file, the four window files in
// /tmp, the 24-hour maxima in the configuration store and the "-P" printout.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "daemon/trace.h"
#include "history/history_internal.h"
#include "platform/platform.h"

static const HistoryFullFile kPowerHistoryFile = {
    "/pstorage/power/PowerHistoryFull",
    "PowerHistoryFull.tmp",
    "nextSampleIndex",
    "loadPowerHistory",
    "savePowerHistory",
    "Reading power history data header for file '%s', error code=%i",
    "Reading power history data for file '%s', error code=%i",
    "Invalid nextSampleIndex %u in power history file '%s'",
    "Could not open power history file '%s', starting from scratch",
    "Writing full power history file '%s'",
    1,
    "Could not open power history file '%s', %s",
    "Writing full power history data header for file '%s', error code=%i",
    "Writing full power history data for file '%s', error code=%i",
    "Could not replace power history file '%s', %s",
    "Power history not loaded yet, not writing '%s'",
};

unsigned loadPowerHistory(void) {
    uint8_t au8Image[QAX_HISTORY_FULL_FILE_SIZE];
    if (HistoryReadFullFile(&kPowerHistoryFile, au8Image) == 0) {
        nextSampleIndex = HistoryGetLE16(au8Image);
        for (unsigned i = 0; i < QAX_HISTORY_SLOTS; i++)
            DecodePowerHistorySample(au8Image + 2 + i * QAX_HISTORY_RECORD_SIZE, &powerHistory[i]);
        return 1;
    }
    memset(powerHistory, 0, sizeof(powerHistory));
    nextSampleIndex = 0;
    HistoryStartFromScratch(&kPowerHistoryFile);
    return 0;
}

unsigned savePowerHistory(void) {
    if (!powerHistoryLoaded()) {
        // An empty table must never replace the stored history.
        QaxLog(QAX_LOG_TRACE, 0, "savePowerHistory", "Error", kPowerHistoryFile.szNotLoadedFormat,
               kPowerHistoryFile.szPath);
        return 0;
    }
    uint8_t au8Image[QAX_HISTORY_FULL_FILE_SIZE];
    HistoryPutLE16(au8Image, nextSampleIndex);
    for (unsigned i = 0; i < QAX_HISTORY_SLOTS; i++)
        EncodePowerHistorySample(&powerHistory[i], au8Image + 2 + i * QAX_HISTORY_RECORD_SIZE);
    return HistoryWriteFullFile(&kPowerHistoryFile, au8Image) == 0 ? 1u : 0u;
}

static int IsValidPowerSlot(const PowerHistorySample *psSlot) {
    return psSlot->timestamp != 0 && psSlot->avgDC != QAX_HISTORY_UNKNOWN;
}

void generatePowerHistoryFile(const char *szPath, uint16_t u16NextSampleIndex,
                              uint32_t u32SlotsPerRecord, int32_t *ps32MaxDC, int32_t *ps32MaxAC) {
    int32_t s32MaxDC = 0;
    int32_t s32MaxAC = 0;
    if (ps32MaxDC != NULL) *ps32MaxDC = 0;
    if (ps32MaxAC != NULL) *ps32MaxAC = 0;
    if (szPath == NULL || u32SlotsPerRecord == 0 ||
        u32SlotsPerRecord > QAX_HISTORY_SLOTS / QAX_HISTORY_WINDOW_RECORDS)
        return;
    unsigned uNext = u16NextSampleIndex % QAX_HISTORY_SLOTS;

    int idx = (int)uNext - (int)(QAX_HISTORY_WINDOW_RECORDS * u32SlotsPerRecord);
    if (idx < 0) idx += QAX_HISTORY_SLOTS;
    QaxLog(QAX_LOG_TRACE, 2, "generatePowerHistoryFile", "Info", "nextSampleIndex=%i, idx=%i",
           (int)u16NextSampleIndex, idx);

    char szBuffer[QAX_HISTORY_PATH_SIZE];
    const char *szFull = QaxPath(szPath, szBuffer, sizeof(szBuffer));
    HistoryWindowFile sWindow;
    FILE *psStream = szFull != NULL ? HistoryOpenWindowFile(szPath, &sWindow) : NULL;
    if (psStream == NULL) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "generatePowerHistoryFile",
               "Error, couldn't open file", "%s", szFull != NULL ? szFull : szPath);
        return;
    }

    uint8_t au8Record[QAX_HISTORY_RECORD_SIZE];
    HistoryPutLE16(au8Record, QAX_HISTORY_WINDOW_RECORDS);
    if (fwrite(au8Record, 1, 2, psStream) != 2) {
        QaxLog(QAX_LOG_TRACE, 0, "generatePowerHistoryFile", "Error",
               "Writing power history data header for file '%s', error code=%i", szFull,
               ferror(psStream));
    }

    int bUnknownRecord = 0;
    for (int r = 0; r < QAX_HISTORY_WINDOW_RECORDS; r++) {
        PowerHistorySample sRecord;
        memset(&sRecord, 0, sizeof(sRecord));
        // 32-bit sums: 24 averages of up to 65535 fit, so no record wraps.
        uint32_t u32SumAC = 0, u32SumDC = 0, u32Valid = 0;
        uint16_t u16MinAC = 0xFFFF, u16MaxAC = 0, u16MinDC = 0xFFFF, u16MaxDC = 0;
        uint32_t u32LastTime = 0;
        for (uint32_t n = 0; n < u32SlotsPerRecord; n++) {
            const PowerHistorySample *psSlot = &powerHistory[idx];
            u32LastTime = psSlot->timestamp;
            idx = idx + 1 == QAX_HISTORY_SLOTS ? 0 : idx + 1;
            if (!IsValidPowerSlot(psSlot)) continue;
            u32Valid++;
            u32SumAC += psSlot->avgAC;
            u32SumDC += psSlot->avgDC;
            if (psSlot->minAC < u16MinAC) u16MinAC = psSlot->minAC;
            if (psSlot->maxAC > u16MaxAC) u16MaxAC = psSlot->maxAC;
            if (psSlot->minDC < u16MinDC) u16MinDC = psSlot->minDC;
            if (psSlot->maxDC > u16MaxDC) u16MaxDC = psSlot->maxDC;
        }

        if (u32Valid > 0) {
            sRecord.timestamp = u32LastTime;
            sRecord.minAC = u16MinAC;
            sRecord.avgAC = (uint16_t)(u32SumAC / u32Valid);
            sRecord.maxAC = u16MaxAC;
            sRecord.minDC = u16MinDC;
            sRecord.avgDC = (uint16_t)(u32SumDC / u32Valid);
            sRecord.maxDC = u16MaxDC;
            if (sRecord.maxDC > s32MaxDC) s32MaxDC = sRecord.maxDC;
            if (sRecord.maxAC > s32MaxAC) s32MaxAC = sRecord.maxAC;
            QaxLog(QAX_LOG_TRACE, 2, "generatePowerHistoryFile", "Info",
                   "minAC=%i, avgAC=%i, maxAC=%i, minDC=%i, avgDC=%i, maxDC=%i, tstamp=%i, "
                   "idx=%i, numsamplesforavg=%i fname=%s",
                   (int)sRecord.minAC, (int)sRecord.avgAC, (int)sRecord.maxAC, (int)sRecord.minDC,
                   (int)sRecord.avgDC, (int)sRecord.maxDC, (int)sRecord.timestamp, idx,
                   (int)u32Valid, szFull);
        } else {
            QaxLog(QAX_LOG_TRACE, 1, "generatePowerHistoryFile", "Info",
                   "Writing unknown data sample %i timestamp=%i for file '%s'", r, (int)u32LastTime,
                   szFull);
            bUnknownRecord = 1;
        }

        EncodePowerHistorySample(&sRecord, au8Record);
        if (fwrite(au8Record, 1, QAX_HISTORY_RECORD_SIZE, psStream) != QAX_HISTORY_RECORD_SIZE) {
            QaxLog(QAX_LOG_TRACE, 0, "generatePowerHistoryFile", "Error",
                   "Writing power history data sample %i for file '%s', error code=%i", r, szFull,
                   ferror(psStream));
        }
    }

    if (bUnknownRecord) {
        s32MaxDC = -1;
        s32MaxAC = -1;
    }
    // The records reach the file only now (the stream buffers them).
    if (HistoryCloseWindowFile(&sWindow) != 0) {
        QaxLog(QAX_LOG_TRACE, 0, "generatePowerHistoryFile", "Error",
               "Could not write power history file '%s', %s", szFull, strerror(errno));
    }
    if (ps32MaxDC != NULL) *ps32MaxDC = s32MaxDC;
    if (ps32MaxAC != NULL) *ps32MaxAC = s32MaxAC;
}

void generatePowerHistoryWindowFiles(void) {
    static const struct {
        const char *szPath;
        uint32_t u32SlotsPerRecord;
    } kWindows[] = {
        {"/tmp/PowerHistoryLast1Hour", 1},
        {"/tmp/PowerHistoryLast6Hours", 6},
        {"/tmp/PowerHistoryLast12Hours", 12},
        {"/tmp/PowerHistoryLast24Hours", 24},
    };
    int32_t s32MaxDC = 0;
    int32_t s32MaxAC = 0;
    for (const auto &sWindow : kWindows)
        generatePowerHistoryFile(sWindow.szPath, nextSampleIndex, sWindow.u32SlotsPerRecord,
                                 &s32MaxDC, &s32MaxAC);
    aim_config_set_int("QAX_max_dc_last_24hours", s32MaxDC, 0);
    aim_config_set_int("QAX_max_ac_last_24hours", s32MaxAC, 0);
}

void printPowerHistory(void) {
    if (loadPowerHistory() == 0) {
        printf("Error loading power history file\n");
        return;
    }
    printf("%5s %11s %5s %5s %5s %5s %5s %5s\n", "Index", "Timestamp", "MinDC", "AvgDC", "MaxDC",
           "MinAC", "AvgAC", "MaxAC");
    unsigned uSlot = nextSampleIndex % QAX_HISTORY_SLOTS;
    for (unsigned n = 0; n < QAX_HISTORY_SLOTS; n++) {
        const PowerHistorySample *psSlot = &powerHistory[uSlot];
        printf("%5i %11i %5i %5i %5i %5i %5i %5i\n", (int)uSlot, (int)(int32_t)psSlot->timestamp,
               (int)psSlot->minDC, (int)psSlot->avgDC, (int)psSlot->maxDC, (int)psSlot->minAC,
               (int)psSlot->avgAC, (int)psSlot->maxAC);
        uSlot = uSlot + 1 == QAX_HISTORY_SLOTS ? 0 : uSlot + 1;
    }
    printf("\nCurrent time=%i, Unknown sample=%i\n\n", (int)HistoryWallSeconds(),
           QAX_HISTORY_UNKNOWN);
}
