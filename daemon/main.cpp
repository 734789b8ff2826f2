#include "daemon/daemon.h"

// SIGTERM must end the daemon with 15 from its first instant, not only once
// main is reached: the handler is installed before the other constructors
// run (the C library hands constructors the arguments, which tell the modes).
__attribute__((constructor(101))) static void InstallSignalsEarly(int argc, char **argv, char **) {
    QaxInstallSignals(argc, argv);
}

int main(int argc, char **argv) { return QaxMain(argc, argv); }
