// Entry point: command line, start-up and the 10-second main cycle.
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "daemon/daemon.h"
#include "events/events.h"
#include "firmware/firmware.h"
#include "history/history.h"
#include "metrics/metrics.h"
#include "platform/platform.h"
#include "platform/safe_files.h"

uint8_t g_debugMode = 0;

static const char *const kTraceLevelKey = "QAX_power_history_log_level";
enum { QAX_CYCLE_PAUSE_US = 10000000 };

static const char *const kUsage =
    "usage:\n   qax [-options] [log file]- Qaxkeeper.\noptions:\n   -d: debug mode.\n"
    "   -r: read log file.\n   -P: print full power history.\n";

// SIGTERM only notes the request; the cycle saves at its next safe point, so
// a save never sees a history in the middle of an update or of another save.
static volatile sig_atomic_t sTerminateRequested = 0;
// Set once both histories have been loaded: before that a save would replace
// the stored histories with empty tables.
static int sHistoriesLoaded = 0;

static void OnTerminate(int signum) {
    (void)signum;
    sTerminateRequested = 1;
}

void TerminateIfRequested(void) {
    if (!sTerminateRequested) return;
    if (sHistoriesLoaded) {
        savePowerHistory();
        savePowerPerformance();
    }
    aim_config_close();
    exit(15);
}

static void SleepCycle(void) {
    TerminateIfRequested();
    QaxClockSleepUs(QAX_CYCLE_PAUSE_US);
    TerminateIfRequested();
}

// Makes the directory, or checks the one that is there: in a /tmp that
// everybody writes, one that is a link or that others can write is moved
// aside and made afresh.
static int MakeDirectory(const char *szPath) { return QaxOpenDir(szPath, 070, QAX_DIR_CREATE); }

static int CountDaemonInstances(void) {
    FILE *psStream = secure_popen("/bin/pidof qax", "r");
    if (psStream == NULL) return 0;
    rewind(psStream);
    int nCount = 0;
    int nPid = 0;
    while (fscanf(psStream, "%d", &nPid) == 1) nCount += QaxProcessSharesRoot(nPid);
    secure_pclose(psStream);
    return nCount;
}

// Removes every entry of the metric log directory (never descending, never
// following a link); 0 on success, 1 when it could not be opened.
static unsigned EmptyLogDirectory(void) {
    int dirfd = MakeDirectory(kMetricLogDir);
    return dirfd >= 0 && QaxEmptyOwnDir(dirfd) == 0 ? 0 : 1;
}

static void InstallTerminateHandler(void) {
    struct sigaction sAction;
    memset(&sAction, 0, sizeof(sAction));
    sAction.sa_handler = OnTerminate;
    sigemptyset(&sAction.sa_mask);
    sigaction(SIGTERM, &sAction, NULL);
}

static int IsDaemonMode(int argc, char **argv) {
    return argc == 1 || (argc == 2 && strcmp(argv[1], "-d") == 0);
}

void QaxInstallSignals(int argc, char **argv) {
    if (IsDaemonMode(argc, argv)) InstallTerminateHandler();
}

// Failures the platform layer meets (the store, unsafe directories) are
// errors of the daemon: they go to the trace log whatever its level.
static void TracePlatformReport(const char *szFunction, const char *szText) {
    QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, szFunction, "ERROR", "%s", szText);
}

static void RefreshTraceLevel(void) { aim_config_get_int(kTraceLevelKey, &g_traceLevel); }

static void FreeCounters(HistogramData *psHistogram) {
    if (psHistogram->pu8Counters != NULL) {
        free(psHistogram->pu8Counters);
        psHistogram->pu8Counters = NULL;
    }
}

static void StartUp(void) {
    MakeDirectory(kTraceDir);
    MakeDirectory(kMetricLogDir);

    if (CountDaemonInstances() > 1) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "main", "ERROR", "Process QAX is executing.");
        exit(0);
    }

    RefreshTraceLevel();

    EmptyLogDirectory();

    for (int n = 0; n <= 1; n++) {
        char szKey[32];
        snprintf(szKey, sizeof(szKey), "qax_supported_%d", n);
        uint8_t u8Flag = 0;
        if (aim_config_get_bool(szKey, &u8Flag) != 0) aim_config_clear(szKey);
    }

    u8LogFileIndex = 0;
    u8LogFileCount = 0;
    memset(&sLastHistogramData, 0, sizeof(sLastHistogramData));

    trackPowerHistory(0, 0, 0);
    trackPowerPerformance(0, 0, 0, 0, 0);
    sHistoriesLoaded = 1;
}

// Waits for the first snapshot, which becomes the reference of later
// calculations; returns its tag.
static uint16_t WaitForFirstData(void) {
    for (;;) {
        WaitValueLock();
        MetricValue *psBuffer = NULL;
        unsigned int u32Status = GetSnapshotBufferFromQAX(&psBuffer, &sLastHistogramData);
        if (u32Status != 0) {
            QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "main", "ERROR",
                   "Get Snapshot buffer from QAX is fail when get first data");
            FreeMetricValue(psBuffer);
            FreeCounters(&sLastHistogramData);
            ReleaseValueLock();
            SleepCycle();
            continue;
        }
        CopyMetricValue(&sLastMetricValue, psBuffer);
        uint16_t u16Tag = psBuffer->u16Tag;
        FreeMetricValue(psBuffer);
        ReleaseValueLock();
        SleepCycle();
        return u16Tag;
    }
}

static void FirstPerformanceReading(PerformanceRecord *psPerformance) {
    int nSupported = NM_Performance_IsSupported();
    if (nSupported != 1) {
        QaxLog(QAX_LOG_TRACE, 1, "main", "Log", "main --NM_Performance_IsSupported() returns %d\n",
               nSupported);
        return;
    }
    WaitValueLock();
    if (GetPerformanceFromNM(psPerformance) == 0) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "main", "INFO",
               "Get Performance buffer from QAX is successful when get first data");
    } else {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "main", "ERROR",
               "Get Performance buffer from QAX is fail when get first data");
    }
    ReleaseValueLock();
}

static void HandleReset(MetricValue *psBuffer, HistogramData *psHistogram, uint16_t *pu16LastTag) {
    QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "main", "Log", "Reset the QAX.");
    FreeMetricValueContents(&sLastMetricValue, NULL, NULL);
    CopyMetricValue(&sLastMetricValue, psBuffer);
    *pu16LastTag = psBuffer->u16Tag;
    FreeCounters(&sLastHistogramData);
    sLastHistogramData = *psHistogram;
    psHistogram->pu8Counters = NULL;
    if (EmptyLogDirectory() != 0) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "main", "Log", "Failed to opendir(QAX_LOG_PATH).");
    }
    u8LogFileIndex = 0;
    u8LogFileCount = 0;
    FreeMetricValue(psBuffer);
}

static void DebugDump(void) {
    MetricValue *psValues = NULL;
    InletTemperatureSnapshotBuffer *psInlets = NULL;
    PerformanceValue *psPerfs = NULL;
    uint8_t u8Count = 0;
    GetMetricValue(&psValues, &psInlets, &psPerfs, &u8Count);
    printf("[QAX_DEBUG] Get %d MetricValues.\n The last one is:\n", u8Count);
    if (u8Count != 0) {
        PrintMetricValue(psValues != NULL ? &psValues[u8Count - 1] : NULL,
                         psInlets != NULL ? &psInlets[u8Count - 1] : NULL,
                         psPerfs != NULL ? &psPerfs[u8Count - 1] : NULL);
        FreeMetricValueArrays(psValues, psInlets, psPerfs, u8Count);
    }
    fflush(stdout);
}

static void RunCycles(uint16_t u16LastTag, PerformanceRecord *psPerformance) {
    for (;;) {
        TerminateIfRequested();
        WaitValueLock();
        RefreshTraceLevel();

        int nNewData = 0;
        HistogramData sHistogramData;
        memset(&sHistogramData, 0, sizeof(sHistogramData));
        MetricValue *psBuffer = NULL;
        unsigned int u32Status = GetSnapshotBufferFromQAX(&psBuffer, &sHistogramData);
        if (u32Status != 0) {
            QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "main", "ERROR",
                   "Get Snapshot buffer from QAX is fail.");
            FreeMetricValue(psBuffer);
            FreeCounters(&sHistogramData);
        } else {
            QaxLog(QAX_LOG_TRACE, 1, "main", "Log",
                   "main -- psBuffer->u16Tag is %d & u16LastTag is %d\n", psBuffer->u16Tag,
                   u16LastTag);

            if (psBuffer->u16Tag == 1 && u16LastTag > 1) {
                HandleReset(psBuffer, &sHistogramData, &u16LastTag);
            } else if (psBuffer->u16Tag != u16LastTag) {
                CreateDataLog(psBuffer, sHistogramData);
                CheckBufForSendSWEvent(psBuffer);
                CheckPowercapRelatedSettingForSendSWEvent();
                u16LastTag = psBuffer->u16Tag;
                FreeInletTemperatureSnapshotBuffer(&sInletTemperatureBuffer);
                FreeMetricValue(psBuffer);
                nNewData = 1;
            } else {
                FreeCounters(&sHistogramData);
                FreeMetricValue(psBuffer);
            }
        }

        if (GetPerformanceFromNM(psPerformance) == 0) {
            QaxLog(QAX_LOG_TRACE, 0, "main", "Log", "main -- GetPerformanceFromNM response ok!");
            trackPowerPerformance(psPerformance->u64Timestamp, psPerformance->u64System,
                                  psPerformance->u64CPU, psPerformance->u64Memory,
                                  psPerformance->u64IO);
        }

        ReleaseValueLock();

        if (g_debugMode && nNewData) DebugDump();
        SleepCycle();
    }
}

static int ReadLogFileMode(const char *szPath) {
    MetricValue sValue;
    InletTemperatureSnapshotBuffer sInlet;
    PerformanceValue sPerf;
    memset(&sValue, 0, sizeof(sValue));
    memset(&sInlet, 0, sizeof(sInlet));
    memset(&sPerf, 0, sizeof(sPerf));
    int nResult = ReadMeticValueFromFile(szPath, &sValue, &sInlet, &sPerf);
    if (nResult != 0) {
        printf("[QAX ERR]: Read log file error. Error code: %d.\n", nResult);
        return 1;
    }
    PrintMetricValue(&sValue, &sInlet, &sPerf);
    FreeMetricValueContents(&sValue, &sInlet, &sPerf);
    return 0;
}

int QaxMain(int argc, char **argv) {
    QaxSetReportSink(TracePlatformReport);
    if (argc == 2 && strcmp(argv[1], "-P") == 0) {
        printPowerHistory();
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "-r") == 0) {
        return ReadLogFileMode(argv[2]);
    }
    if (argc == 2 && strcmp(argv[1], "-d") == 0) {
        g_debugMode = 1;
    } else if (argc != 1) {
        fputs(kUsage, stdout);
        return 0;
    }

    // First of all, so that a SIGTERM at any moment after start ends the
    // daemon with 15 (saving the histories once they are loaded).
    InstallTerminateHandler();
    QaxSetLockWaitHook(TerminateIfRequested);

    // Output goes to a terminal or a pipe read by people and scripts: keep
    // lines whole and in order.
    setvbuf(stdout, NULL, _IOLBF, 0);

    StartUp();
    uint16_t u16LastTag = WaitForFirstData();

    PerformanceRecord sPerformance;
    memset(&sPerformance, 0, sizeof(sPerformance));
    FirstPerformanceReading(&sPerformance);
    RunCycles(u16LastTag, &sPerformance);
    return 0;
}
