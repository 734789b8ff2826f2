// The lock file that keeps readers of the metric log directory and the daemon
// out of each other's way, and the one-byte file writer.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "daemon/daemon.h"
#include "platform/platform.h"

static const char *const kLockFile = "/tmp/qax_log/qax.lock";
static const uint64_t kLockPollUs = 10000000;

void WaitValueLock(void) {
    char szPath[1024];
    const char *pszPath = QaxPath(kLockFile, szPath, sizeof(szPath));
    if (pszPath == NULL) {
        WriteTraceLog("WaitValueLock", "ERROR", "Can't open lock file");
        return;
    }
    // Exclusive creation makes the test and the take one step, so two
    // processes can never both believe they hold the lock.
    for (;;) {
        int fd = open(pszPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const unsigned char u8One = 1;
            ssize_t n = write(fd, &u8One, 1);
            (void)n;
            close(fd);
            return;
        }
        if (errno != EEXIST) {
            WriteTraceLog("WaitValueLock", "ERROR", "Can't open lock file");
            return;
        }
        // Nothing is half done while the lock is awaited: a lock left behind
        // by a reader that died must not keep SIGTERM from saving the
        // histories.
        TerminateIfRequested();
        QaxClockSleepUs(kLockPollUs);
    }
}

void ReleaseValueLock(void) {
    char szPath[1024];
    const char *pszPath = QaxPath(kLockFile, szPath, sizeof(szPath));
    if (pszPath != NULL) unlink(pszPath);
}

void WriteUCToFile(const char *szPath, uint32_t value) {
    char szFull[1024];
    const char *pszFull = QaxPath(szPath, szFull, sizeof(szFull));
    FILE *psFile = pszFull != NULL ? fopen(pszFull, "w+") : NULL;
    if (psFile == NULL) {
        snprintf(g_traceMsg2, sizeof(g_traceMsg2), "Can't write %u to %s", value, szPath);
        WriteTraceLog("WriteUCToFile", "ERROR", g_traceMsg2);
        return;
    }
    const unsigned char u8Value = (unsigned char)(value & 0xFF);
    fwrite(&u8Value, 1, 1, psFile);
    fclose(psFile);
}
