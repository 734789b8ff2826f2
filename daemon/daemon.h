// Daemon control: the entry point, the command line and the main cycle. The
// trace log and the lock file are the bottom library (daemon/trace.h).
#ifndef QAX_DAEMON_DAEMON_H
#define QAX_DAEMON_DAEMON_H

#include <stdint.h>

#include "daemon/trace.h"

extern uint8_t g_debugMode;

// The executable's entry: command line, start-up and the main cycle.
int QaxMain(int argc, char **argv);
// Installs the SIGTERM handler when the arguments select a daemon mode;
// QaxMain does it too, this only makes it earlier.
void QaxInstallSignals(int argc, char **argv);

// When the daemon has received SIGTERM: saves both histories (once they are
// loaded) and ends the process with status 15; otherwise does nothing. Call
// only where no history is being changed.
void TerminateIfRequested(void);

#endif
