// Power history tracking: one reading per metric log cycle, gathered into
// 150-second periods on the firmware's 30-second snapshot grid; every closed
// period becomes one sample of a 576-slot ring (24 hours).
#include <string.h>

#include "daemon/trace.h"
#include "history/history_internal.h"

PowerHistorySample powerHistory[QAX_HISTORY_SLOTS];
uint16_t nextSampleIndex = 0;

// Tracking state. The sums and the count are wider than the stored 16-bit
// fields so that averages of large readings do not wrap; readings above
// 65535 are saturated before they are used.
static uint8_t sInitialization = 1;
static uint64_t endtime = 0;
static uint64_t lastTimestamp = 0;
static uint64_t accpowerAC = 0;
static uint64_t accpowerDC = 0;
static uint32_t accCount = 0;
static uint16_t minPowerAC = 0xFFFF;
static uint16_t minPowerDC = 0xFFFF;
static uint16_t maxPowerAC = 0;
static uint16_t maxPowerDC = 0;
static int32_t lastSaveTime = 0;

unsigned powerHistoryLoaded(void) { return sInitialization ? 0u : 1u; }

static void ResetAccumulators(void) {
    accpowerAC = 0;
    accpowerDC = 0;
    accCount = 0;
    minPowerAC = 0xFFFF;
    minPowerDC = 0xFFFF;
    maxPowerAC = 0;
    maxPowerDC = 0;
}

void resetPowerHistoryState(void) {
    HistoryForgetUnloadable("/pstorage/power/PowerHistoryFull");
    memset(powerHistory, 0, sizeof(powerHistory));
    nextSampleIndex = 0;
    sInitialization = 1;
    endtime = 0;
    lastTimestamp = 0;
    ResetAccumulators();
    lastSaveTime = 0;
}

static uint16_t Saturate16(uint64_t u64Value) {
    return u64Value > 0xFFFF ? (uint16_t)0xFFFF : (uint16_t)u64Value;
}

// The sample of the period being accumulated, ending at u64End.
static void StoreCurrentPeriod(uint64_t u64End) {
    PowerHistorySample sSample;
    sSample.timestamp = (uint32_t)u64End;
    sSample.minAC = minPowerAC;
    sSample.avgAC = (uint16_t)(accpowerAC / accCount);
    sSample.maxAC = maxPowerAC;
    sSample.minDC = minPowerDC;
    sSample.avgDC = (uint16_t)(accpowerDC / accCount);
    sSample.maxDC = maxPowerDC;
    addSampleToPowerHistory(&sSample);
}

// Moves the whole history back by u64Shift seconds. Slots never written stay
// at 0 (they must not turn into valid-looking samples), and a sample that
// would land at or before the epoch cannot be represented and is dropped.
static void ShiftHistoryBack(uint64_t u64Shift) {
    for (unsigned i = 0; i < QAX_HISTORY_SLOTS; i++) {
        uint32_t u32Time = powerHistory[i].timestamp;
        if (u32Time == 0) continue;
        if (u32Time > u64Shift)
            powerHistory[i].timestamp = (uint32_t)(u32Time - u64Shift);
        else
            memset(&powerHistory[i], 0, sizeof(powerHistory[i]));
    }
}

static void Initialize(void) {
    QaxLog(QAX_LOG_TRACE, 1, "trackPowerHistory", "Info", "Initializing power hisotry");
    if (loadPowerHistory()) {
        unsigned uNewest = nextSampleIndex == 0 ? QAX_HISTORY_SLOTS - 1 : nextSampleIndex - 1u;
        // Unsigned: a time past 2038 must not turn into a period end in the
        // far future that no reading would ever reach.
        endtime = powerHistory[uNewest].timestamp;
    }
    generatePowerHistoryWindowFiles();
    sInitialization = 0;
}

// A period without readings is kept as unknown.
static void AddUnknownSample(uint32_t u32Timestamp) {
    PowerHistorySample sUnknown;
    sUnknown.timestamp = u32Timestamp;
    sUnknown.minAC = sUnknown.avgAC = sUnknown.maxAC = QAX_HISTORY_UNKNOWN;
    sUnknown.minDC = sUnknown.avgDC = sUnknown.maxDC = QAX_HISTORY_UNKNOWN;
    addSampleToPowerHistory(&sUnknown);
}

void trackPowerHistory(uint64_t timestamp, uint64_t powerAC, uint64_t powerDC) {
    if (sInitialization) {
        Initialize();
        if (timestamp < 1000) return;
    }
    if (powerDC == 0) {
        QaxLog(QAX_LOG_TRACE, 0, "trackPowerHistory", "Error", "Invalid power sample");
        return;
    }
    uint64_t t = timestamp / 1000;
    if (t < QAX_HISTORY_MIN_TIME || t > QAX_HISTORY_MAX_TIME) {
        QaxLog(QAX_LOG_TRACE, 0, "trackPowerHistory", "Error",
               "Invalid power sample timestamp=%llu", (unsigned long long)t);
        return;
    }
    uint16_t u16AC = Saturate16(powerAC);
    uint16_t u16DC = Saturate16(powerDC);

    if (endtime == 0) endtime = t + QAX_HISTORY_FIRST_PERIOD;

    if (lastTimestamp >= t) {
        // Let t take the place of a reading 30 s after the previous one, so
        // the history stays continuous and on its grid. Full width: a clock
        // set back by more than 18 hours is followed as well.
        uint64_t u64Adj = lastTimestamp + QAX_HISTORY_SNAPSHOT_SPACING - t;
        QaxLog(QAX_LOG_TRACE, 0, "trackPowerHistory", "Info",
               "System clock was set backwards, adjusting powerHistory by %u seconds",
               (unsigned)u64Adj);
        ShiftHistoryBack(u64Adj);
        endtime = endtime > u64Adj ? endtime - u64Adj : t;
    }

    if (endtime >= t) {
        accpowerAC += u16AC;
        accpowerDC += u16DC;
        accCount++;
        if (u16AC < minPowerAC) minPowerAC = u16AC;
        if (u16AC > maxPowerAC) maxPowerAC = u16AC;
        if (u16DC < minPowerDC) minPowerDC = u16DC;
        if (u16DC > maxPowerDC) maxPowerDC = u16DC;
    }

    QaxLog(QAX_LOG_TRACE, 1, "trackPowerHistory", "Info",
           "timestamp=%i, endtime=%i, nextSampleIndex=%i, powerAC=%i, accpowerAC=%i, "
           "minPowerAC=%i, maxPowerAC=%i, powerDC=%i, accpowerDC=%i, minPowerDC=%i, "
           "maxPowerDC=%i accCount=%i",
           (int)t, (int)endtime, (int)nextSampleIndex, (int)u16AC, (int)accpowerAC, (int)minPowerAC,
           (int)maxPowerAC, (int)u16DC, (int)accpowerDC, (int)minPowerDC, (int)maxPowerDC,
           (int)accCount);

    if (t < endtime) {
        lastTimestamp = t;
        return;
    }

    // The period has ended.
    if (accCount > 0) StoreCurrentPeriod(endtime);

    if (t == endtime) {
        ResetAccumulators();
        endtime = t + QAX_HISTORY_PERIOD;
    } else {
        // This reading opens the next period on its own.
        accpowerAC = u16AC;
        minPowerAC = u16AC;
        maxPowerAC = u16AC;
        accpowerDC = u16DC;
        minPowerDC = u16DC;
        maxPowerDC = u16DC;
        accCount = 1;

        endtime = HistoryFillMissed("trackPowerHistory", endtime, t, AddUnknownSample);
        if (endtime == t) {
            StoreCurrentPeriod(t);
            ResetAccumulators();
            endtime = t + QAX_HISTORY_PERIOD;
        }
    }

    generatePowerHistoryWindowFiles();
    lastTimestamp = t;
}

void addSampleToPowerHistory(const PowerHistorySample *sample) {
    if (sample == NULL) return;
    if (nextSampleIndex >= QAX_HISTORY_SLOTS) nextSampleIndex = 0;
    powerHistory[nextSampleIndex] = *sample;
    nextSampleIndex = (uint16_t)(nextSampleIndex + 1);
    if (nextSampleIndex >= QAX_HISTORY_SLOTS) nextSampleIndex = 0;

    int32_t s32Now = HistoryMonotonicSeconds();
    // Signed 32-bit difference, computed without overflow.
    int32_t s32Elapsed = (int32_t)((uint32_t)s32Now - (uint32_t)lastSaveTime);
    QaxLog(QAX_LOG_TRACE, 1, "addSampleToPowerHistory", "Info", "num seconds since last save=%i",
           (int)s32Elapsed);
    if (s32Elapsed >= QAX_HISTORY_SAVE_INTERVAL) {
        if (savePowerHistory()) lastSaveTime = s32Now;
    }
}
