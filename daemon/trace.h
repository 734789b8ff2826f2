// Diagnostics, the trace log and its level, the lock file of the metric log
// directory and the one-byte file writer: the bottom library through which
// every subsystem the daemon drives leaves its diagnostics. It stands on the
// platform layer only.
#ifndef QAX_DAEMON_TRACE_H
#define QAX_DAEMON_TRACE_H

#include <stdint.h>

enum {
    QAX_TRACE_MSG_SIZE = 1024,
    QAX_TRACE_FILE_LIMIT = 524288,
};

// Where a QaxLog line goes; a call names one or more.
enum {
    QAX_LOG_TRACE = 0x01,           // the trace log: stamp, [type], "function": text
    QAX_LOG_STDOUT = 0x02,          // standard output, the text as it is
    QAX_LOG_SYSLOG_ERROR = 0x04,    // the system log, error priority
    QAX_LOG_SYSLOG_WARNING = 0x08,  // the system log, warning priority
    QAX_LOG_SYSLOG_DEBUG = 0x10,    // the system log, debug priority
};

// The level of lines written whatever the trace level is.
enum { QAX_LOG_ALWAYS = INT32_MIN };

// The trace log's directory, and the metric log directory, where the ring,
// its two one-byte index files and the lock file live. File names are
// appended to the latter as they are.
static const char *const kTraceDir = "/tmp/qax_trace/";
static const char *const kMetricLogDir = "/tmp/qax_log/";

extern int32_t g_traceLevel;
extern uint32_t g_traceFileIndex;

// Formats the line and sends it to every sink of uSinks, when g_traceLevel >=
// s32Level. The level is tested first, so a suppressed line costs no
// formatting. szFunction and szType name the line in the trace log; the other
// sinks take the text alone.
void QaxLog(unsigned uSinks, int32_t s32Level, const char *szFunction, const char *szType,
            const char *szFormat, ...) __attribute__((format(printf, 5, 6)));

// Appends one line to the current trace file; never fails the caller.
void WriteTraceLog(const char *szFunction, const char *szType, const char *szMessage);

// Waits (polling every 10 s) until the lock file is free, then takes it.
// Before each wait it calls the hook registered below (the daemon honours a
// pending SIGTERM there).
void WaitValueLock(void);
void ReleaseValueLock(void);
// The function WaitValueLock calls before each 10-s wait; null for none.
void QaxSetLockWaitHook(void (*pfnHook)(void));

// Replaces the file at szPath by one byte, the low 8 bits of value.
void WriteUCToFile(const char *szPath, uint32_t value);

#endif
