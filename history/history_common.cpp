// Helpers shared by the power history and the performance history: the
// little-endian record codec, and reading and replacing the full files under
// "/pstorage/power".
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/trace.h"
#include "history/history_internal.h"
#include "platform/platform.h"
#include "platform/safe_files.h"

static const char *const kHistoryDir = "/pstorage/power";

void HistoryPutLE16(uint8_t *pu8Out, uint16_t u16Value) {
    pu8Out[0] = (uint8_t)(u16Value & 0xFF);
    pu8Out[1] = (uint8_t)(u16Value >> 8);
}

void HistoryPutLE32(uint8_t *pu8Out, uint32_t u32Value) {
    for (int i = 0; i < 4; i++) pu8Out[i] = (uint8_t)(u32Value >> (8 * i));
}

uint16_t HistoryGetLE16(const uint8_t *pu8In) { return (uint16_t)(pu8In[0] | (pu8In[1] << 8)); }

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

int32_t HistoryMonotonicSeconds(void) { return (int32_t)(uint32_t)(QaxClockMonotonicMs() / 1000); }

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
    QaxLog(QAX_LOG_TRACE, 1, szFunction, "Info",
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

// A file that cannot be loaded may still hold what a person can recover (a
// history cut short by a failing flash keeps its first records). It is only
// noted here, so that a reader ("-P") changes nothing; the first save keeps
// it beside the full file, one generation, before replacing it.
enum { QAX_HISTORY_FULL_FILES = 2 };
static const HistoryFullFile *s_apsUnloadable[QAX_HISTORY_FULL_FILES];

static void HistoryKeepUnloadable(const HistoryFullFile *psFile, const char *szPath) {
    (void)szPath;
    for (const HistoryFullFile *&psSlot : s_apsUnloadable) {
        if (psSlot == psFile) return;
        if (psSlot == NULL) {
            psSlot = psFile;
            return;
        }
    }
}

void HistoryForgetUnloadable(const char *szPath) {
    for (const HistoryFullFile *&psSlot : s_apsUnloadable) {
        if (psSlot != NULL && strcmp(psSlot->szPath, szPath) == 0) psSlot = NULL;
    }
}

// Renames the file the load refused to "<name>.damaged" and traces both paths.
static void HistoryMoveUnloadableAside(const HistoryFullFile *psFile, int dirfd, const char *szName,
                                       const char *szPath) {
    int bNoted = 0;
    for (const HistoryFullFile *&psSlot : s_apsUnloadable) {
        if (psSlot == psFile) {
            psSlot = NULL;
            bNoted = 1;
        }
    }
    if (!bNoted) return;
    char szKeptName[QAX_HISTORY_PATH_SIZE];
    char szKept[QAX_HISTORY_PATH_SIZE];
    snprintf(szKeptName, sizeof(szKeptName), "%s.damaged", szName);
    snprintf(szKept, sizeof(szKept), "%s.damaged", szPath);
    // An older kept file, or whatever sits at its name, gives way.
    QaxClearOwnEntry(dirfd, szKeptName);
    if (renameat(dirfd, szName, dirfd, szKeptName) == 0) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, psFile->szLoadFunction, "Error",
               "Kept unloadable history file '%s' as '%s'", szPath, szKept);
    } else if (errno != ENOENT) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, psFile->szLoadFunction, "Error",
               "Could not keep unloadable history file '%s' as '%s', %s", szPath, szKept,
               strerror(errno));
    }
}

unsigned HistoryReadFullFile(const HistoryFullFile *psFile, uint8_t *pu8Image) {
    char szBuffer[QAX_HISTORY_PATH_SIZE];
    const char *szPath = QaxPath(psFile->szPath, szBuffer, sizeof(szBuffer));
    if (szPath == NULL) return 1;
    // Not through a link, and never blocking on a FIFO planted in its place.
    FILE *psStream = QaxFopenRegularForRead(szPath, 1);
    if (psStream == NULL) {
        if (errno != ENOENT) HistoryKeepUnloadable(psFile, szPath);
        return 1;
    }

    if (fread(pu8Image, 1, 2, psStream) != 2) {
        QaxLog(QAX_LOG_TRACE, 0, psFile->szLoadFunction, "Error", psFile->szReadHeaderFormat,
               szPath, ferror(psStream));
        fclose(psStream);
        HistoryKeepUnloadable(psFile, szPath);
        return 1;
    }
    // An index past the table would make every later access miss it.
    uint16_t u16Index = HistoryGetLE16(pu8Image);
    if (u16Index >= QAX_HISTORY_SLOTS) {
        QaxLog(QAX_LOG_TRACE, 0, psFile->szLoadFunction, "Error", psFile->szBadIndexFormat,
               (unsigned)u16Index, szPath);
        fclose(psStream);
        HistoryKeepUnloadable(psFile, szPath);
        return 1;
    }
    if (fread(pu8Image + 2, 1, QAX_HISTORY_FULL_FILE_SIZE - 2, psStream) !=
        QAX_HISTORY_FULL_FILE_SIZE - 2) {
        QaxLog(QAX_LOG_TRACE, 0, psFile->szLoadFunction, "Error", psFile->szReadDataFormat, szPath,
               ferror(psStream));
        fclose(psStream);
        HistoryKeepUnloadable(psFile, szPath);
        return 1;
    }

    // A newest sample in the future means the clock was set back while the
    // daemon was stopped (or the file comes from elsewhere): discard it.
    // Compared unsigned: a time of 2^31 or more read as signed would pass as
    // "long ago" and become a period end that no reading reaches for decades.
    unsigned uNewest = u16Index == 0 ? QAX_HISTORY_SLOTS - 1 : u16Index - 1u;
    uint32_t u32Newest = HistoryGetLE32(pu8Image + 2 + uNewest * QAX_HISTORY_RECORD_SIZE);
    int64_t s64Now = HistoryWallSeconds();
    if (s64Now < (int64_t)u32Newest) {
        QaxLog(QAX_LOG_TRACE, 0, psFile->szLoadFunction, "Error",
               "Current time %i is less than last power history sample %i. Reseting "
               "power history.\n",
               (int)s64Now, (int)(int32_t)u32Newest);
        fclose(psStream);
        HistoryKeepUnloadable(psFile, szPath);
        return 1;
    }
    fclose(psStream);
    return 0;
}

void HistoryStartFromScratch(const HistoryFullFile *psFile) {
    char szBuffer[QAX_HISTORY_PATH_SIZE];
    const char *szPath = QaxPath(psFile->szPath, szBuffer, sizeof(szBuffer));
    QaxLog(QAX_LOG_TRACE, 0, psFile->szLoadFunction, "Info", psFile->szScratchFormat,
           szPath != NULL ? szPath : psFile->szPath);
    char szDirBuffer[QAX_HISTORY_PATH_SIZE];
    const char *szDir = QaxPath(kHistoryDir, szDirBuffer, sizeof(szDirBuffer));
    if (szDir != NULL && mkdir(szDir, 070) == 0) {
        QaxLog(QAX_LOG_TRACE, 0, psFile->szLoadFunction, "Info",
               "Power history file dir '%s' not found, creating it", szDir);
    }
}

FILE *HistoryOpenWindowFile(const char *szPath, HistoryWindowFile *psFile) {
    // The window files live in /tmp, which others may write: each is made
    // afresh beside its name and renamed over it, so whatever was planted at
    // the name (a link, a hard link, a FIFO) is replaced, never written
    // through, and a reader never sees a half-written file.
    char szDir[QAX_HISTORY_PATH_SIZE];
    psFile->szName = QaxSplitPath(szPath, szDir, sizeof(szDir));
    psFile->dirfd = psFile->szName != NULL ? QaxOpenDir(szDir, 0, QAX_DIR_SHARED) : -1;
    if (psFile->dirfd < 0) return NULL;
    psFile->psStream =
        QaxCreateBeside(psFile->dirfd, psFile->szName, psFile->szTemp, sizeof(psFile->szTemp));
    return psFile->psStream;
}

unsigned HistoryCloseWindowFile(HistoryWindowFile *psFile) {
    int iResult =
        QaxCommitBeside(psFile->dirfd, psFile->psStream, psFile->szTemp, psFile->szName, 0);
    return iResult == 0 ? 0 : 1;
}

unsigned HistoryWriteFullFile(const HistoryFullFile *psFile, const uint8_t *pu8Image) {
    char szBuffer[QAX_HISTORY_PATH_SIZE];
    const char *szPath = QaxPath(psFile->szPath, szBuffer, sizeof(szBuffer));
    const char *szShown = szPath != NULL ? szPath : psFile->szPath;

    QaxLog(QAX_LOG_TRACE, psFile->s32WritingThreshold, psFile->szSaveFunction, "Info",
           psFile->szWritingFormat, szShown);
    char szDir[QAX_HISTORY_PATH_SIZE];
    const char *szName = QaxSplitPath(psFile->szPath, szDir, sizeof(szDir));
    if (szPath == NULL || szName == NULL) {
        QaxLog(QAX_LOG_TRACE, 0, psFile->szSaveFunction, "Error", psFile->szOpenForWriteFormat,
               szShown, strerror(ENAMETOOLONG));
        return 1;
    }

    // The temporary file has a fixed name, so that one left behind by a save
    // that was killed is reused rather than piling up on the flash; it is
    // opened through the checked directory and truncated only once it is
    // known to be a plain file of ours.
    // The directory is made here too, not only at the load: a /pstorage that
    // was read-only or full at start must take the history once it can.
    int dirfd = QaxOpenDir(szDir, 070, QAX_DIR_CREATE);
    int fd = dirfd >= 0 ? QaxOpenOwnFile(dirfd, psFile->szTempName, O_TRUNC, 0666) : -1;
    FILE *psStream = fd >= 0 ? fdopen(fd, "wb") : NULL;
    if (psStream == NULL) {
        int saved = errno;
        if (fd >= 0) close(fd);
        QaxLog(QAX_LOG_TRACE, 0, psFile->szSaveFunction, "Error", psFile->szOpenForWriteFormat,
               szShown, strerror(saved));
        return 1;
    }
    if (fwrite(pu8Image, 1, 2, psStream) != 2) {
        QaxLog(QAX_LOG_TRACE, 0, psFile->szSaveFunction, "Error", psFile->szWriteHeaderFormat,
               szShown, ferror(psStream));
        QaxAbandonBeside(dirfd, psStream, psFile->szTempName);
        return 1;
    }
    if (fwrite(pu8Image + 2, 1, QAX_HISTORY_FULL_FILE_SIZE - 2, psStream) !=
            QAX_HISTORY_FULL_FILE_SIZE - 2 ||
        fflush(psStream) != 0) {
        QaxLog(QAX_LOG_TRACE, 0, psFile->szSaveFunction, "Error", psFile->szWriteDataFormat,
               szShown, ferror(psStream));
        QaxAbandonBeside(dirfd, psStream, psFile->szTempName);
        return 1;
    }
    // On the medium, then renamed over the full file, then the rename made
    // durable: a kill or power cut leaves the old or the new file whole.
    HistoryMoveUnloadableAside(psFile, dirfd, szName, szPath);
    if (QaxCommitBeside(dirfd, psStream, psFile->szTempName, szName, 1) != 0) {
        QaxLog(QAX_LOG_TRACE, 0, psFile->szSaveFunction, "Error", psFile->szCommitFormat, szShown,
               strerror(errno));
        return 1;
    }
    return 0;
}
