// Helpers shared by the power history and the performance history: trace
// lines, the little-endian record codec, and reading and replacing the full
// files under "/pstorage/power".
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/daemon.h"
#include "history/history_internal.h"
#include "platform/platform.h"

static const char *const kHistoryDir = "/pstorage/power";

void HistoryTrace(int32_t s32Threshold, const char *szFunction, const char *szType,
                  const char *szFormat, ...) {
    if (g_traceLevel < s32Threshold) return;
    va_list args;
    va_start(args, szFormat);
    vsnprintf(g_traceMsg, sizeof(g_traceMsg), szFormat, args);
    va_end(args);
    WriteTraceLog(szFunction, szType, g_traceMsg);
}

void HistoryPutLE16(uint8_t *pu8Out, uint16_t u16Value) {
    pu8Out[0] = (uint8_t)(u16Value & 0xFF);
    pu8Out[1] = (uint8_t)(u16Value >> 8);
}

void HistoryPutLE32(uint8_t *pu8Out, uint32_t u32Value) {
    for (int i = 0; i < 4; i++) pu8Out[i] = (uint8_t)(u32Value >> (8 * i));
}

uint16_t HistoryGetLE16(const uint8_t *pu8In) {
    return (uint16_t)(pu8In[0] | (pu8In[1] << 8));
}

uint32_t HistoryGetLE32(const uint8_t *pu8In) {
    return (uint32_t)pu8In[0] | ((uint32_t)pu8In[1] << 8) | ((uint32_t)pu8In[2] << 16) |
           ((uint32_t)pu8In[3] << 24);
}

// Both record types are a 32-bit time and six 16-bit values in this order.
static void EncodeRecord(uint32_t u32Time, const uint16_t au16Values[6], uint8_t *pu8Out) {
    HistoryPutLE32(pu8Out, u32Time);
    for (int i = 0; i < 6; i++) HistoryPutLE16(pu8Out + 4 + 2 * i, au16Values[i]);
}

static void DecodeValues(const uint8_t *pu8In, uint16_t au16Values[6]) {
    for (int i = 0; i < 6; i++) au16Values[i] = HistoryGetLE16(pu8In + 4 + 2 * i);
}

void EncodePowerHistorySample(const PowerHistorySample *psSample, uint8_t *pu8Out) {
    const uint16_t au16Values[6] = {psSample->minAC, psSample->avgAC, psSample->maxAC,
                                    psSample->minDC, psSample->avgDC, psSample->maxDC};
    EncodeRecord(psSample->timestamp, au16Values, pu8Out);
}

void DecodePowerHistorySample(const uint8_t *pu8In, PowerHistorySample *psSample) {
    uint16_t au16Values[6];
    DecodeValues(pu8In, au16Values);
    psSample->timestamp = HistoryGetLE32(pu8In);
    psSample->minAC = au16Values[0];
    psSample->avgAC = au16Values[1];
    psSample->maxAC = au16Values[2];
    psSample->minDC = au16Values[3];
    psSample->avgDC = au16Values[4];
    psSample->maxDC = au16Values[5];
}

void EncodePowerPerformanceSample(const PowerPerformanceSample *psSample, uint8_t *pu8Out) {
    const uint16_t au16Values[6] = {psSample->min, psSample->avg, psSample->max,
                                    psSample->cpu, psSample->mem, psSample->io};
    EncodeRecord(psSample->timestamp, au16Values, pu8Out);
}

void DecodePowerPerformanceSample(const uint8_t *pu8In, PowerPerformanceSample *psSample) {
    uint16_t au16Values[6];
    DecodeValues(pu8In, au16Values);
    psSample->timestamp = HistoryGetLE32(pu8In);
    psSample->min = au16Values[0];
    psSample->avg = au16Values[1];
    psSample->max = au16Values[2];
    psSample->cpu = au16Values[3];
    psSample->mem = au16Values[4];
    psSample->io = au16Values[5];
}

int32_t HistoryMonotonicSeconds(void) {
    return (int32_t)(uint32_t)(QaxClockMonotonicMs() / 1000);
}

int64_t HistoryWallSeconds(void) { return (int64_t)(QaxClockWallMs() / 1000); }

uint64_t HistoryFillMissed(const char *szFunction, uint64_t u64End, uint64_t u64Now,
                           void (*pfnAddMissing)(uint32_t u32Timestamp)) {
    // Snapshots were due at end + 30, end + 60, ... strictly before the
    // reading. On the 30-second grid this is d / 30 - 1; off the grid (a
    // reading a few seconds late) it never goes below 0 and always leaves
    // the reading inside the period that the caller opens for it.
    uint64_t u64Gap = u64Now > u64End ? u64Now - u64End : 0;
    uint64_t u64Snapshots = u64Gap > 0 ? (u64Gap - 1) / QAX_HISTORY_SNAPSHOT_SPACING : 0;
    uint64_t u64Samples = u64Snapshots / (QAX_HISTORY_PERIOD / QAX_HISTORY_SNAPSHOT_SPACING);
    HistoryTrace(1, szFunction, "Info",
                 "numSnapshotsMissed=%llu, numSamplesMissed=%llu, missedSampletime=%llu",
                 (unsigned long long)u64Snapshots, (unsigned long long)u64Samples,
                 (unsigned long long)(u64End + QAX_HISTORY_PERIOD));
    if (u64Snapshots >= 5) {
        uint64_t u64First = 1;
        if (u64Samples > QAX_HISTORY_SLOTS) u64First = u64Samples - QAX_HISTORY_SLOTS + 1;
        for (uint64_t k = u64First; k <= u64Samples; k++) {
            pfnAddMissing((uint32_t)(u64End + QAX_HISTORY_PERIOD * k));
        }
    }
    return u64End + QAX_HISTORY_PERIOD * (u64Samples + 1);
}

unsigned HistoryReadFullFile(const HistoryFullFile *psFile, uint8_t *pu8Image) {
    char szBuffer[QAX_HISTORY_PATH_SIZE];
    const char *szPath = QaxPath(psFile->szPath, szBuffer, sizeof(szBuffer));
    if (szPath == NULL) return 0;
    FILE *psStream = fopen(szPath, "rb");
    if (psStream == NULL) return 0;

    if (fread(pu8Image, 1, 2, psStream) != 2) {
        HistoryTrace(0, psFile->szLoadFunction, "Error", psFile->szReadHeaderFormat, szPath,
                     ferror(psStream));
        fclose(psStream);
        return 0;
    }
    // An index past the table would make every later access miss it.
    uint16_t u16Index = HistoryGetLE16(pu8Image);
    if (u16Index >= QAX_HISTORY_SLOTS) {
        HistoryTrace(0, psFile->szLoadFunction, "Error", psFile->szBadIndexFormat,
                     (unsigned)u16Index, szPath);
        fclose(psStream);
        return 0;
    }
    if (fread(pu8Image + 2, 1, QAX_HISTORY_FULL_FILE_SIZE - 2, psStream) !=
        QAX_HISTORY_FULL_FILE_SIZE - 2) {
        HistoryTrace(0, psFile->szLoadFunction, "Error", psFile->szReadDataFormat, szPath,
                     ferror(psStream));
        fclose(psStream);
        return 0;
    }

    // A newest sample in the future means the clock was set back while the
    // daemon was stopped (or the file comes from elsewhere): discard it.
    // Compared unsigned: a time of 2^31 or more read as signed would pass as
    // "long ago" and become a period end that no reading reaches for decades.
    unsigned uNewest = u16Index == 0 ? QAX_HISTORY_SLOTS - 1 : u16Index - 1u;
    uint32_t u32Newest = HistoryGetLE32(pu8Image + 2 + uNewest * QAX_HISTORY_RECORD_SIZE);
    int64_t s64Now = HistoryWallSeconds();
    if (s64Now < (int64_t)u32Newest) {
        HistoryTrace(0, psFile->szLoadFunction, "Error",
                     "Current time %i is less than last power history sample %i. Reseting "
                     "power history.\n",
                     (int)s64Now, (int)(int32_t)u32Newest);
        fclose(psStream);
        return 0;
    }
    fclose(psStream);
    return 1;
}

void HistoryStartFromScratch(const HistoryFullFile *psFile) {
    char szBuffer[QAX_HISTORY_PATH_SIZE];
    const char *szPath = QaxPath(psFile->szPath, szBuffer, sizeof(szBuffer));
    HistoryTrace(0, psFile->szLoadFunction, "Info", psFile->szScratchFormat,
                 szPath != NULL ? szPath : psFile->szPath);
    char szDirBuffer[QAX_HISTORY_PATH_SIZE];
    const char *szDir = QaxPath(kHistoryDir, szDirBuffer, sizeof(szDirBuffer));
    if (szDir != NULL && mkdir(szDir, 070) == 0) {
        HistoryTrace(0, psFile->szLoadFunction, "Info",
                     "Power history file dir '%s' not found, creating it", szDir);
    }
}

FILE *HistoryOpenWindowFile(const char *szPath) {
    // The names are fixed and in /tmp: a link planted there must not make
    // the daemon overwrite (and cut) whatever it points at.
    int fd = open(szPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return NULL;
    FILE *psStream = fdopen(fd, "wb");  // does not truncate
    if (psStream == NULL) close(fd);
    return psStream;
}

int HistoryCloseWindowFile(FILE *psStream) {
    int rc = fflush(psStream);
    if (rc == 0) {
        off_t position = ftello(psStream);
        if (position < 0 || ftruncate(fileno(psStream), position) != 0) rc = -1;
    }
    int savedErrno = errno;
    if (fclose(psStream) != 0 && rc == 0) return -1;
    errno = savedErrno;
    return rc;
}

// Makes the rename itself durable.
static int SyncDirectory(const char *szDir) {
    int fd = open(szDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = fsync(fd);
    int savedErrno = errno;
    close(fd);
    errno = savedErrno;
    return rc;
}

unsigned HistoryWriteFullFile(const HistoryFullFile *psFile, const uint8_t *pu8Image) {
    char szBuffer[QAX_HISTORY_PATH_SIZE];
    char szTempBuffer[QAX_HISTORY_PATH_SIZE];
    char szDirBuffer[QAX_HISTORY_PATH_SIZE];
    const char *szPath = QaxPath(psFile->szPath, szBuffer, sizeof(szBuffer));
    const char *szTemp = QaxPath(psFile->szTempPath, szTempBuffer, sizeof(szTempBuffer));
    const char *szDir = QaxPath(kHistoryDir, szDirBuffer, sizeof(szDirBuffer));
    const char *szShown = szPath != NULL ? szPath : psFile->szPath;

    HistoryTrace(psFile->s32WritingThreshold, psFile->szSaveFunction, "Info",
                 psFile->szWritingFormat, szShown);
    if (szPath == NULL || szTemp == NULL || szDir == NULL) {
        HistoryTrace(0, psFile->szSaveFunction, "Error", psFile->szOpenForWriteFormat, szShown,
                     strerror(ENAMETOOLONG));
        return 0;
    }

    // "wb" truncates a temporary file left behind by a save that was killed.
    FILE *psStream = fopen(szTemp, "wb");
    if (psStream == NULL) {
        HistoryTrace(0, psFile->szSaveFunction, "Error", psFile->szOpenForWriteFormat, szShown,
                     strerror(errno));
        return 0;
    }
    if (fwrite(pu8Image, 1, 2, psStream) != 2) {
        HistoryTrace(0, psFile->szSaveFunction, "Error", psFile->szWriteHeaderFormat, szShown,
                     ferror(psStream));
        fclose(psStream);
        unlink(szTemp);
        return 0;
    }
    if (fwrite(pu8Image + 2, 1, QAX_HISTORY_FULL_FILE_SIZE - 2, psStream) !=
            QAX_HISTORY_FULL_FILE_SIZE - 2 ||
        fflush(psStream) != 0) {
        HistoryTrace(0, psFile->szSaveFunction, "Error", psFile->szWriteDataFormat, szShown,
                     ferror(psStream));
        fclose(psStream);
        unlink(szTemp);
        return 0;
    }
    // The data must be on the medium before the rename makes it the full
    // file; otherwise a power cut could leave a renamed but empty file.
    if (fsync(fileno(psStream)) != 0) {
        HistoryTrace(0, psFile->szSaveFunction, "Error", psFile->szCommitFormat, szShown,
                     strerror(errno));
        fclose(psStream);
        unlink(szTemp);
        return 0;
    }
    if (fclose(psStream) != 0) {
        HistoryTrace(0, psFile->szSaveFunction, "Error", psFile->szCommitFormat, szShown,
                     strerror(errno));
        unlink(szTemp);
        return 0;
    }
    if (rename(szTemp, szPath) != 0) {
        HistoryTrace(0, psFile->szSaveFunction, "Error", psFile->szCommitFormat, szShown,
                     strerror(errno));
        unlink(szTemp);
        return 0;
    }
    if (SyncDirectory(szDir) != 0) {
        // The new file is in place; only its durability across a power cut
        // is in doubt. Report it and let the next sample save again.
        HistoryTrace(0, psFile->szSaveFunction, "Error", psFile->szCommitFormat, szShown,
                     strerror(errno));
        return 0;
    }
    return 1;
}
