// The lock file that keeps readers of the metric log directory and the daemon
// out of each other's way, and the one-byte file writer.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/trace.h"
#include "platform/platform.h"
#include "platform/safe_files.h"

static const char *const kLockName = "qax.lock";
enum {
    QAX_LOCK_POLL_US = 10000000,
    QAX_LOCK_PATIENCE_MS = 60000,
};

static void (*s_pfnLockWaitHook)(void) = NULL;

void QaxSetLockWaitHook(void (*pfnHook)(void)) { s_pfnLockWaitHook = pfnHook; }

void WaitValueLock(void) {
    int dirfd = QaxOpenDir(kMetricLogDir, 070, 0);
    if (dirfd < 0) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "WaitValueLock", "ERROR", "Can't open lock file");
        return;
    }
    uint64_t u64WaitStart = QaxClockMonotonicMs();
    int bLongWaitTraced = 0;
    // Exclusive creation makes the test and the take one step, so two
    // processes can never both believe they hold the lock.
    for (;;) {
        int fd = openat(dirfd, kLockName,
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const unsigned char u8One = 1;
            ssize_t n = write(fd, &u8One, 1);
            (void)n;
            close(fd);
            return;
        }
        if (errno != EEXIST) {
            QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "WaitValueLock", "ERROR", "Can't open lock file");
            return;
        }
        struct stat sStat;
        // Gone, or being removed as it is looked at (no link left): just freed.
        if (fstatat(dirfd, kLockName, &sStat, AT_SYMLINK_NOFOLLOW) != 0 || sStat.st_nlink == 0)
            continue;
        if (!S_ISREG(sStat.st_mode) || sStat.st_nlink > 1) {
            // A link, hard link, directory or FIFO is nobody's lock (a lock
            // is made by exclusive creation): nothing would ever remove it,
            // and waiting for it would stop monitoring for good.
            if (QaxRemoveOwnEntry(dirfd, kLockName) != 0) {
                QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "WaitValueLock", "ERROR",
                       "Can't remove %s, which is not a lock file: %s", kLockName, strerror(errno));
                QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "WaitValueLock", "ERROR",
                       "Can't open lock file");
                return;
            }
            QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "WaitValueLock", "ERROR",
                   "Removed %s: it was not a lock file", kLockName);
            continue;
        }
        if (!bLongWaitTraced && QaxClockMonotonicMs() - u64WaitStart >= QAX_LOCK_PATIENCE_MS) {
            QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "WaitValueLock", "ERROR",
                   "Lock file %s held for more than a minute; still waiting", kLockName);
            bLongWaitTraced = 1;
        }
        // Nothing is half done while the lock is awaited: a lock left behind
        // by a reader that died must not keep SIGTERM from saving the
        // histories.
        if (s_pfnLockWaitHook != NULL) s_pfnLockWaitHook();
        QaxClockSleepUs(QAX_LOCK_POLL_US);
    }
}

void ReleaseValueLock(void) {
    int dirfd = QaxOpenDir(kMetricLogDir, 070, 0);
    if (dirfd >= 0) unlinkat(dirfd, kLockName, 0);
}

void WriteUCToFile(const char *szPath, uint32_t value) {
    char szDir[1024];
    const char *szName = QaxSplitPath(szPath, szDir, sizeof(szDir));
    int dirfd = szName != NULL ? QaxOpenDir(szDir, 070, 0) : -1;
    int fd = dirfd >= 0 ? QaxOpenOwnFile(dirfd, szName, O_TRUNC, 0666) : -1;
    if (fd < 0) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "WriteUCToFile", "ERROR", "Can't write %u to %s",
               value, szPath);
        return;
    }
    const unsigned char u8Value = (unsigned char)(value & 0xFF);
    ssize_t n = write(fd, &u8Value, 1);
    (void)n;
    close(fd);
}
