// The trace log, its level and message buffers, the lock file of the metric
// log directory and the one-byte file writer: the bottom library through
// which every subsystem the daemon drives leaves its diagnostics. It stands
// on the platform layer only.
#ifndef QAX_DAEMON_TRACE_H
#define QAX_DAEMON_TRACE_H

#include <stdint.h>

enum {
    QAX_TRACE_MSG_SIZE = 1024,
    QAX_TRACE_FILE_LIMIT = 524288,
};

extern int32_t g_traceLevel;
extern uint32_t g_traceFileIndex;
extern char g_traceMsg[QAX_TRACE_MSG_SIZE];
extern char g_traceMsg2[QAX_TRACE_MSG_SIZE];

// Appends one line to the current trace file; never fails the caller.
void WriteTraceLog(const char *szFunction, const char *szType, const char *szMessage);
// WriteTraceLog when g_traceLevel >= threshold.
void TraceIfLevel(int32_t threshold, const char *szFunction, const char *szType,
                  const char *szMessage);

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
