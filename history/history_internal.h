// What the history files share among themselves, and the few hooks that the
// daemon's tests and the fuzz target need. Not for the rest of the daemon:
// history/history.h is the subsystem's public face.
#ifndef QAX_HISTORY_HISTORY_INTERNAL_H
#define QAX_HISTORY_HISTORY_INTERNAL_H

#include <stdint.h>
#include <stdio.h>

#include "history/history.h"

enum {
    QAX_HISTORY_SNAPSHOT_SPACING = 30,  // seconds between two firmware snapshots
    QAX_HISTORY_PERIOD = 150,           // seconds per sample (five snapshots)
    QAX_HISTORY_FIRST_PERIOD = 120,     // first period after an empty history: t .. t + 120
    QAX_HISTORY_SAVE_INTERVAL = 600,    // seconds of monotonic time between two saves
    QAX_HISTORY_UNKNOWN = 8888,         // all six values of a power sample nobody measured
    QAX_HISTORY_RECORD_SIZE = 16,       // one sample in a file
    QAX_HISTORY_FULL_FILE_SIZE = 2 + QAX_HISTORY_SLOTS * QAX_HISTORY_RECORD_SIZE,  // 9218
    QAX_HISTORY_WINDOW_RECORDS = 24,
    QAX_HISTORY_WINDOW_FILE_SIZE = 2 + QAX_HISTORY_WINDOW_RECORDS * QAX_HISTORY_RECORD_SIZE,
    QAX_HISTORY_PATH_SIZE = 1024,
};

// Readings whose time (in seconds) lies outside this range are dropped: 0 is
// the "never written" mark of a slot, and a sample's end must still fit the
// 32-bit timestamp field with a period to spare.
enum {
    QAX_HISTORY_MIN_TIME = 1,
    QAX_HISTORY_MAX_TIME = 0xFFFFFE00u,
};

// The tables, process-wide and statically sized.
extern PowerHistorySample powerHistory[QAX_HISTORY_SLOTS];
extern uint16_t nextSampleIndex;
extern PowerPerformanceSample powerPerformance[QAX_HISTORY_SLOTS];
extern uint16_t nextPerformanceSampleIndex;

// Writes one window file of 24 records of `slotsPerRecord` slots each (1, 6,
// 12 or 24), ending at the slot before `u16NextSampleIndex`. The two maxima
// receive the largest maxDC / maxAC of the records, -1 when a record had no
// valid slot, 0 when the file could not be opened.
void generatePowerHistoryFile(const char *szPath, uint16_t u16NextSampleIndex,
                              uint32_t u32SlotsPerRecord, int32_t *ps32MaxDC, int32_t *ps32MaxAC);
void generatePowerPerformanceFile(const char *szPath, uint16_t u16NextPerformanceSampleIndex,
                                  uint32_t u32SlotsPerRecord);

// 1 once the start-up initialisation (the first track call) has loaded the
// history; the save functions refuse to run before, so an early SIGTERM can
// never replace the stored file with an empty table.
unsigned powerHistoryLoaded(void);
unsigned powerPerformanceLoaded(void);

// Back to the state at program start (empty table, not initialised). For
// tests and the fuzz target, which run many histories in one process.
void resetPowerHistoryState(void);
void resetPowerPerformanceState(void);

// ---------------------------------------------------------------------------
// Shared helpers of the history files.

// Little-endian codec of the 16-byte records (the same layout for both
// sample types: a 32-bit time followed by six 16-bit values).
void HistoryPutLE16(uint8_t *pu8Out, uint16_t u16Value);
void HistoryPutLE32(uint8_t *pu8Out, uint32_t u32Value);
uint16_t HistoryGetLE16(const uint8_t *pu8In);
uint32_t HistoryGetLE32(const uint8_t *pu8In);
void EncodePowerHistorySample(const PowerHistorySample *psSample, uint8_t *pu8Out);
void DecodePowerHistorySample(const uint8_t *pu8In, PowerHistorySample *psSample);
void EncodePowerPerformanceSample(const PowerPerformanceSample *psSample, uint8_t *pu8Out);
void DecodePowerPerformanceSample(const uint8_t *pu8In, PowerPerformanceSample *psSample);

// The texts and names that tell the two full files apart.
struct HistoryFullFile {
    const char *szPath;       // "/pstorage/power/PowerHistoryFull"
    const char *szTempName;   // "PowerHistoryFull.tmp": written, then renamed over it
    const char *szIndexName;  // "nextSampleIndex"
    const char *szLoadFunction;
    const char *szSaveFunction;
    const char *szReadHeaderFormat;  // path, error indicator
    const char *szReadDataFormat;    // path, error indicator
    const char *szBadIndexFormat;    // index, path
    const char *szScratchFormat;     // path
    const char *szWritingFormat;     // path
    int32_t s32WritingThreshold;
    const char *szOpenForWriteFormat;  // path, system error text
    const char *szWriteHeaderFormat;   // path, error indicator
    const char *szWriteDataFormat;     // path, error indicator
    const char *szCommitFormat;        // path, system error text
    const char *szNotLoadedFormat;     // path
};

// Reads the full file into pu8Image (QAX_HISTORY_FULL_FILE_SIZE bytes) and
// checks its index and its newest time. 0 when the image may be used; 1 after
// tracing why not (nothing is traced for a missing file).
unsigned HistoryReadFullFile(const HistoryFullFile *psFile, uint8_t *pu8Image);
// Forgets that the load refused the full file at szPath (a history started
// afresh in the same process, as tests and the fuzz target do), so that no
// later save moves that run's own file aside.
void HistoryForgetUnloadable(const char *szPath);
// The "starting from scratch" line and the creation of "/pstorage/power".
void HistoryStartFromScratch(const HistoryFullFile *psFile);
// Writes the image to a temporary file in the same directory, flushes it to
// the medium and renames it over the full file, so that a kill or power cut
// leaves either the old or the new file, never a partial one. 0 on success,
// 1 after tracing the failure.
unsigned HistoryWriteFullFile(const HistoryFullFile *psFile, const uint8_t *pu8Image);

// Window files are made afresh beside their name and renamed over it on
// close: a reader never sees a partial file, and nothing planted at the name
// in /tmp is ever written through. Close answers 0 on success, 1 with errno
// set.
struct HistoryWindowFile {
    int dirfd;
    const char *szName;
    FILE *psStream;
    char szTemp[QAX_HISTORY_PATH_SIZE];
};
FILE *HistoryOpenWindowFile(const char *szPath, HistoryWindowFile *psFile);
unsigned HistoryCloseWindowFile(HistoryWindowFile *psFile);

// Seconds of the monotonic clock, as the signed 32-bit number the save
// interval is measured in.
int32_t HistoryMonotonicSeconds(void);
// Seconds of the wall clock.
int64_t HistoryWallSeconds(void);

// A reading at `u64Now` arrived after the period ending at `u64End`: counts
// the snapshots and whole periods it missed, traces them for `szFunction`,
// and, when at least five snapshots were missed, adds a sample for each
// missed period through `pfnAddMissing` (only the last ring's worth: older
// ones would be overwritten anyway). Answers the end of the last missed
// period plus one period, where the reading belongs.
uint64_t HistoryFillMissed(const char *szFunction, uint64_t u64End, uint64_t u64Now,
                           void (*pfnAddMissing)(uint32_t u32Timestamp));

#endif
