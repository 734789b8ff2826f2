// Daemon control: the trace log, the trace level, the lock file of the
// metric log directory and the one-byte file writer.
#ifndef QAX_DAEMON_DAEMON_H
#define QAX_DAEMON_DAEMON_H

#include <stdint.h>

enum {
    QAX_TRACE_MSG_SIZE = 1024,
    QAX_TRACE_FILE_LIMIT = 524288,
};

extern int32_t g_traceLevel;
extern uint32_t g_traceFileIndex;
extern char g_traceMsg[QAX_TRACE_MSG_SIZE];
extern char g_traceMsg2[QAX_TRACE_MSG_SIZE];
extern uint8_t g_debugMode;

// Appends one line to the current trace file; never fails the caller.
void WriteTraceLog(const char *szFunction, const char *szType, const char *szMessage);
// WriteTraceLog when g_traceLevel >= threshold.
void TraceIfLevel(int32_t threshold, const char *szFunction, const char *szType,
                  const char *szMessage);

// Waits (polling every 10 s) until the lock file is free, then takes it.
// While it waits, a pending SIGTERM of the daemon is honoured (see below).
void WaitValueLock(void);
void ReleaseValueLock(void);

// Replaces the file at szPath by one byte, the low 8 bits of value.
void WriteUCToFile(const char *szPath, uint32_t value);

// The executable's entry: command line, start-up and the main cycle.
int QaxMain(int argc, char **argv);

// When the daemon has received SIGTERM: saves both histories (once they are
// loaded) and ends the process with status 15; otherwise does nothing. Call
// only where no history is being changed.
void TerminateIfRequested(void);

#endif
