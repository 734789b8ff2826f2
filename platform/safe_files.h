// Files on shared ground. The daemon runs as root beside a /tmp that every
// user can write: a directory it writes in is checked before use, files in it
// are opened relative to the checked directory without following a link or
// blocking, and a file in a directory others may write is replaced by rename,
// never written through. Paths given here are the daemon's own absolute
// paths; QAX_ROOT is applied inside.
#ifndef QAX_PLATFORM_SAFE_FILES_H
#define QAX_PLATFORM_SAFE_FILES_H

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

// ---------------------------------------------------------------------------
// Error reports of the platform layer (store failures, directories moved
// aside, entries removed). The daemon registers its trace log here; without a
// sink the reports go to standard error. A sink must not call back into the
// store.
typedef void (*QaxReportSinkFn)(const char *function, const char *text);
void QaxSetReportSink(QaxReportSinkFn fn);
void QaxReportError(const char *function, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// ---------------------------------------------------------------------------
// Directories the daemon owns ("/tmp/qax_log/", "/tmp/qax_trace/", the
// stores' directories, "/pstorage/power").
//
// A directory is trusted when it is a real directory (not a link), owned by
// the process's user or by root, and not writable by others. QaxOpenDir
// answers a descriptor of the checked directory (kept by this module and
// re-checked with one lstat on every call: do not close it), or -1 with errno
// set.
//
// QAX_DIR_CREATE (the daemon): a missing directory is made with `mode`, and
// one that fails the check is renamed aside ("<path>.untrusted-<time>",
// never followed) and made afresh; the move is reported. Without it (readers,
// tools) a missing or untrusted directory is refused (ENOENT or EPERM) and
// nothing is moved. QAX_DIR_SHARED: a directory others may write (/tmp
// itself), only required to be a directory; files in it are replaced by
// rename (below), never opened for writing in place.
enum { QAX_DIR_CREATE = 1, QAX_DIR_SHARED = 2 };
int QaxOpenDir(const char *path, mode_t mode, unsigned flags);

// Forgets every cached directory descriptor (tests, and before exit).
void QaxOwnDirsClose(void);

// Opens `name` in the checked directory `dirfd` for writing: never follows a
// link, never blocks on a FIFO, and accepts only a regular file with one
// link. Anything else at that name (link, hard link, FIFO, device,
// directory) is ours to clear: it is removed (reported) and a fresh file is
// made. `flags` may add O_TRUNC (applied after the check, so that a hard link
// is never cut) or O_APPEND. Answers the descriptor or -1 with errno.
int QaxOpenOwnFile(int dirfd, const char *name, int flags, mode_t mode);

// Removes the entry `name` of `dirfd` without following it: a file, link or
// FIFO is unlinked, an empty directory removed. 0 on success or when there is
// no such entry; -1 with errno otherwise (e.g. a directory that is not
// empty, which is never descended into).
int QaxRemoveOwnEntry(int dirfd, const char *name);

// Clears the name `name` of `dirfd` for a file of ours: removes the entry as
// above or, when it is a directory with something in it, renames it aside
// ("<name>.untrusted-<time>") without descending. 0 when the name is free.
int QaxClearOwnEntry(int dirfd, const char *name);

// Removes every entry of the checked directory `dirfd` (never descending).
// 0 when the directory could be read.
int QaxEmptyOwnDir(int dirfd);

// What an entry that is not a plain file of ours is, for reports ("a
// symbolic link", "a FIFO", "a file with more than one link"...).
struct stat;
const char *QaxDescribeEntry(const struct stat *st);

// Opens an existing file for reading without blocking: a FIFO, a device or
// a directory is refused (errno EINVAL for a FIFO or device, EISDIR for a
// directory), so a reader never hangs on a planted object. `nofollow`
// refuses a symbolic link as well (ELOOP). Answers a descriptor or -1.
int QaxOpenRegularForRead(const char *fullPath, int nofollow);
// The same, returning a stdio stream in binary read mode (null with errno).
FILE *QaxFopenRegularForRead(const char *fullPath, int nofollow);

// ---------------------------------------------------------------------------
// Replacing a file by rename. QaxCreateBeside makes a new, empty file beside
// `name` in `dirfd`, exclusively (a fresh name: whatever another user planted
// is never opened), and answers its stream; its name is left in `tempName`
// (`tempSize` bytes, at least 64 more than the name). QaxCommitBeside flushes
// the stream (and, when `durable`, the data and the rename to the medium),
// closes it and renames the new file over `name`; a planted link, hard link
// or FIFO at `name` is then replaced, never written through. On failure the
// new file is removed, errno tells why, and -1 is answered.
FILE *QaxCreateBeside(int dirfd, const char *name, char *tempName, size_t tempSize);
int QaxCommitBeside(int dirfd, FILE *stream, const char *tempName, const char *name, int durable);
// Drops a file made by QaxCreateBeside without renaming it.
void QaxAbandonBeside(int dirfd, FILE *stream, const char *tempName);

// Splits one of the daemon's absolute paths into its directory (into `dir`,
// as QaxOpenDir takes it) and its last component (returned, pointing into
// `path`); null when it does not fit or names no file.
const char *QaxSplitPath(const char *path, char *dir, size_t dirSize);

#endif
