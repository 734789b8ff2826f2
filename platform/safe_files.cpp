// Directories checked before use, files opened relative to them without
// following links or blocking, and files replaced by rename.
#include "platform/safe_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace {

std::recursive_mutex g_reportMutex;
QaxReportSinkFn g_reportSink = nullptr;
bool g_reporting = false;  // a sink that ends up here again must not recurse
std::vector<std::pair<std::string, std::string>> g_pending;

struct CachedDir {
    std::string full;  // with QAX_ROOT applied, no trailing slash
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};

std::mutex g_dirMutex;
CachedDir g_dirs[16];

// Why a directory may not be trusted; null when it may.
const char *Untrusted(const struct stat &st, unsigned flags, char *why, size_t whySize) {
    if (S_ISLNK(st.st_mode)) return "a symbolic link";
    if (!S_ISDIR(st.st_mode)) return QaxDescribeEntry(&st);
    if (flags & QAX_DIR_SHARED) return nullptr;
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        snprintf(why, whySize, "owned by user %u", (unsigned)st.st_uid);
        return why;
    }
    if (st.st_mode & S_IWOTH) return "writable by others";
    return nullptr;
}

// Copies the path without its trailing slashes; false when it does not fit.
bool Trimmed(const char *full, char *out, size_t size) {
    size_t n = strlen(full);
    while (n > 1 && full[n - 1] == '/') n--;
    if (n >= size) return false;
    memcpy(out, full, n);
    out[n] = '\0';
    return true;
}

CachedDir *Slot(const char *full) {
    CachedDir *free = nullptr;
    for (CachedDir &d : g_dirs) {
        if (d.fd >= 0 && d.full == full) return &d;
        if (d.fd < 0 && free == nullptr) free = &d;
    }
    if (free != nullptr) return free;
    // All taken (a process that changes QAX_ROOT, such as a test): give up a
    // directory that is gone, whose descriptor nobody can still be using for
    // anything that matters; the first one only when none is.
    CachedDir *victim = &g_dirs[0];
    for (CachedDir &d : g_dirs) {
        struct stat st;
        if (lstat(d.full.c_str(), &st) != 0 || st.st_dev != d.dev || st.st_ino != d.ino) {
            victim = &d;
            break;
        }
    }
    close(victim->fd);
    *victim = CachedDir();
    return victim;
}

// Renames `name` (relative to `dirfd`) to "<name>.untrusted-<time>", never
// replacing anything; the new name is left in `aside`.
bool RenameAside(int dirfd, const std::string &name, std::string &aside) {
    char suffix[64];
    snprintf(suffix, sizeof(suffix), ".untrusted-%lld", (long long)time(nullptr));
    aside = name + suffix;
    for (int n = 1; n < 100; n++) {
        if (renameat2(dirfd, name.c_str(), dirfd, aside.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno != EEXIST) return false;
        aside = name + suffix + "." + std::to_string(n);
    }
    return false;
}

// Moves an untrusted directory out of the daemon's way without following it.
// The report is left in `report`: it is written once the directory lock is
// released, since the trace log itself lives in such a directory.
bool MoveAside(const std::string &full, const char *why, std::string &report) {
    char text[1024];
    std::string aside;
    if (RenameAside(AT_FDCWD, full, aside)) {
        snprintf(text, sizeof(text), "Directory %s is not safe (%s); moved it aside to %s",
                 full.c_str(), why, aside.c_str());
        report = text;
        return true;
    }
    int saved = errno;
    snprintf(text, sizeof(text), "Directory %s is not safe (%s) and cannot be moved aside: %s",
             full.c_str(), why, strerror(saved));
    report = text;
    errno = saved;
    return false;
}

std::string DirPathOf(int dirfd) {
    std::lock_guard<std::mutex> lock(g_dirMutex);
    for (const CachedDir &d : g_dirs)
        if (d.fd == dirfd) return d.full;
    return "(directory)";
}

}  // namespace

const char *QaxDescribeEntry(const struct stat *st) {
    if (S_ISLNK(st->st_mode)) return "a symbolic link";
    if (S_ISDIR(st->st_mode)) return "a directory";
    if (S_ISFIFO(st->st_mode)) return "a FIFO";
    if (S_ISCHR(st->st_mode) || S_ISBLK(st->st_mode)) return "a device";
    if (S_ISSOCK(st->st_mode)) return "a socket";
    if (S_ISREG(st->st_mode) && st->st_nlink != 1) return "a file with more than one link";
    return "not a regular file";
}

void QaxSetReportSink(QaxReportSinkFn fn) {
    std::lock_guard<std::recursive_mutex> lock(g_reportMutex);
    g_reportSink = fn;
}

void QaxReportError(const char *function, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    std::lock_guard<std::recursive_mutex> lock(g_reportMutex);
    if (g_reportSink == nullptr) {
        fprintf(stderr, "qax: %s: %s\n", function, text);
        return;
    }
    // A report made while the sink is writing (its trace file had to be
    // cleared first, say) waits its turn rather than being lost.
    g_pending.emplace_back(function, text);
    if (g_reporting) return;
    g_reporting = true;
    // Each report is taken out before it is written: writing may add more.
    for (int n = 0; n < 16 && !g_pending.empty(); n++) {
        const std::pair<std::string, std::string> report = std::move(g_pending.front());
        g_pending.erase(g_pending.begin());
        g_reportSink(report.first.c_str(), report.second.c_str());
    }
    g_pending.clear();
    g_reporting = false;
}

static int OpenDirLocked(const char *path, mode_t mode, unsigned flags, std::string &report) {
    char buffer[1024];
    const char *pszFull = QaxPath(path, buffer, sizeof(buffer));
    char full[1024];
    if (pszFull == nullptr || !Trimmed(pszFull, full, sizeof(full))) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const bool create = (flags & QAX_DIR_CREATE) != 0 && (flags & QAX_DIR_SHARED) == 0;

    std::lock_guard<std::mutex> lock(g_dirMutex);
    CachedDir *slot = Slot(full);
    // A move aside and a fresh directory take a few rounds; a directory that
    // keeps being replaced under us is given up on after that.
    for (int attempt = 0; attempt < 6; attempt++) {
        struct stat st;
        if (lstat(full, &st) != 0) {
            if (errno != ENOENT || !create) return -1;
            if (mkdir(full, mode) != 0 && errno != EEXIST) return -1;
            continue;
        }
        char why[64];
        const char *reason = Untrusted(st, flags, why, sizeof(why));
        if (reason == nullptr && slot->fd >= 0 && slot->full == full && slot->dev == st.st_dev &&
            slot->ino == st.st_ino)
            return slot->fd;
        if (reason != nullptr) {
            if (!create) {
                errno = EPERM;
                return -1;
            }
            if (!MoveAside(full, reason, report)) {
                errno = EPERM;
                return -1;
            }
            continue;
        }
        int fd = open(full, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return -1;
        struct stat opened;
        if (fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
            close(fd);  // replaced between the check and the open: check again
            continue;
        }
        if (slot->fd >= 0) close(slot->fd);
        slot->full = full;
        slot->fd = fd;
        slot->dev = st.st_dev;
        slot->ino = st.st_ino;
        return fd;
    }
    errno = EAGAIN;
    return -1;
}

int QaxOpenDir(const char *path, mode_t mode, unsigned flags) {
    std::string report;
    int fd = OpenDirLocked(path, mode, flags, report);
    if (!report.empty()) {
        int saved = errno;
        QaxReportError("QaxOpenDir", "%s", report.c_str());
        errno = saved;
    }
    return fd;
}

void QaxOwnDirsClose(void) {
    std::lock_guard<std::mutex> lock(g_dirMutex);
    for (CachedDir &d : g_dirs) {
        if (d.fd >= 0) close(d.fd);
        d = CachedDir();
    }
}

int QaxRemoveOwnEntry(int dirfd, const char *name) {
    if (unlinkat(dirfd, name, 0) == 0 || errno == ENOENT) return 0;
    if (errno != EISDIR && errno != EPERM) return -1;
    if (unlinkat(dirfd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
    return -1;
}

int QaxClearOwnEntry(int dirfd, const char *name) {
    if (QaxRemoveOwnEntry(dirfd, name) == 0) return 0;
    std::string aside;
    return RenameAside(dirfd, name, aside) ? 0 : -1;
}

int QaxOpenOwnFile(int dirfd, const char *name, int flags, mode_t mode) {
    const int base = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (flags & O_APPEND);
    // Reports are written once the file is settled: the trace file is opened
    // here too, and a report written half-way would meet the same object.
    std::string report;
    int fd = -1;
    int saved = EEXIST;
    for (int attempt = 0; attempt < 4 && fd < 0; attempt++) {
        fd = openat(dirfd, name, base, mode);
        struct stat st;
        if (fd >= 0) {
            if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
                if ((flags & O_TRUNC) && ftruncate(fd, 0) != 0) {
                    saved = errno;
                    close(fd);
                    fd = -1;
                    break;
                }
                continue;  // settled
            }
            close(fd);
            fd = -1;
        } else if (errno != ELOOP && errno != ENXIO && errno != EISDIR && errno != ETXTBSY &&
                   errno != EWOULDBLOCK) {
            saved = errno;
            break;
        }
        if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        const char *what = QaxDescribeEntry(&st);
        char text[1200];
        std::string aside;
        if (QaxRemoveOwnEntry(dirfd, name) == 0) {
            snprintf(text, sizeof(text), "Removed %s/%s: %s, not a file of ours",
                     DirPathOf(dirfd).c_str(), name, what);
        } else if (RenameAside(dirfd, name, aside)) {
            // A directory with something in it: never descended into.
            snprintf(text, sizeof(text), "Moved %s/%s aside to %s: %s, not a file of ours",
                     DirPathOf(dirfd).c_str(), name, aside.c_str(), what);
        } else {
            saved = errno;
            snprintf(text, sizeof(text), "Cannot remove %s/%s (%s): %s", DirPathOf(dirfd).c_str(),
                     name, what, strerror(saved));
            report += text;
            break;
        }
        if (!report.empty()) report += "; ";
        report += text;
    }
    if (!report.empty()) QaxReportError("QaxOpenOwnFile", "%s", report.c_str());
    if (fd < 0) errno = saved;
    return fd;
}

int QaxEmptyOwnDir(int dirfd) {
    int fd = dup(dirfd);
    if (fd < 0) return -1;
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return -1;
    }
    rewinddir(dir);
    while (struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        QaxRemoveOwnEntry(dirfd, entry->d_name);
    }
    closedir(dir);
    return 0;
}

int QaxOpenRegularForRead(const char *fullPath, int nofollow) {
    int fd = open(fullPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (nofollow ? O_NOFOLLOW : 0));
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int saved = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

FILE *QaxFopenRegularForRead(const char *fullPath, int nofollow) {
    int fd = QaxOpenRegularForRead(fullPath, nofollow);
    if (fd < 0) return nullptr;
    FILE *stream = fdopen(fd, "rb");
    if (stream == nullptr) close(fd);
    return stream;
}

FILE *QaxCreateBeside(int dirfd, const char *name, char *tempName, size_t tempSize) {
    static unsigned s_counter = 0;
    for (int attempt = 0; attempt < 64; attempt++) {
        // Unpredictable enough that nobody can plant at the name in advance;
        // O_EXCL makes sure a name somebody did take is never opened.
        unsigned long long seed = ((unsigned long long)getpid() << 32) ^
                                  (unsigned long long)QaxClockMonotonicMs() * 2654435761ULL ^
                                  ((unsigned long long)++s_counter << 16) ^
                                  (unsigned long long)time(nullptr);
        int n = snprintf(tempName, tempSize, "%s.%08llx", name, seed & 0xFFFFFFFFULL);
        if (n < 0 || (size_t)n >= tempSize) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        int fd =
            openat(dirfd, tempName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        FILE *stream = fdopen(fd, "wb");
        if (stream == nullptr) {
            int saved = errno;
            close(fd);
            unlinkat(dirfd, tempName, 0);
            errno = saved;
        }
        return stream;
    }
    errno = EEXIST;
    return nullptr;
}

int QaxCommitBeside(int dirfd, FILE *stream, const char *tempName, const char *name, int durable) {
    int rc = fflush(stream);
    // The data must be on the medium before the rename makes it the file;
    // otherwise a power cut could leave a renamed but empty file.
    if (rc == 0 && durable) rc = fsync(fileno(stream));
    int saved = errno;
    if (fclose(stream) != 0 && rc == 0) {
        rc = -1;
        saved = errno;
    }
    if (rc == 0 && renameat(dirfd, tempName, dirfd, name) != 0) {
        rc = -1;
        saved = errno;
        // A directory planted at the name cannot be renamed over: it is moved
        // aside (not removed: in a shared directory it may be someone else's).
        std::string aside;
        struct stat st;
        if ((saved == EISDIR || saved == ENOTEMPTY || saved == EEXIST) &&
            fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
            RenameAside(dirfd, name, aside)) {
            QaxReportError("QaxCommitBeside", "Moved the directory %s/%s aside to %s",
                           DirPathOf(dirfd).c_str(), name, aside.c_str());
            if (renameat(dirfd, tempName, dirfd, name) == 0) rc = 0;
            saved = errno;
        }
    }
    if (rc != 0) {
        unlinkat(dirfd, tempName, 0);
        errno = saved;
        return -1;
    }
    // Makes the rename itself durable.
    if (durable && fsync(dirfd) != 0) return -1;
    return 0;
}

void QaxAbandonBeside(int dirfd, FILE *stream, const char *tempName) {
    int saved = errno;
    fclose(stream);
    unlinkat(dirfd, tempName, 0);
    errno = saved;
}

const char *QaxSplitPath(const char *path, char *dir, size_t dirSize) {
    if (path == nullptr || path[0] != '/') return nullptr;
    const char *slash = strrchr(path, '/');
    if (slash[1] == '\0') return nullptr;
    size_t len = slash == path ? 1 : (size_t)(slash - path);
    if (len + 1 > dirSize) return nullptr;
    memcpy(dir, path, len);
    dir[len] = '\0';
    return slash + 1;
}
