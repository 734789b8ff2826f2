// Diagnostics and the trace log: two files written alternately, each kept to
// about 512 KiB.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "daemon/format.h"
#include "daemon/trace.h"
#include "platform/platform.h"
#include "platform/safe_files.h"

int32_t g_traceLevel = 0;
uint32_t g_traceFileIndex = 0;

// The directory is only made (and checked, and if need be replaced) by the
// daemon's start: while it is missing, or is not safe, the lines are lost.
static int OpenTraceFile(void) {
    static const char *const kNames[2] = {"qax_trace_log_0.txt", "qax_trace_log_1.txt"};
    int dirfd = QaxOpenDir(kTraceDir, 070, 0);
    if (dirfd < 0) return -1;

    int flags = O_APPEND;
    struct stat sStat;
    if (g_traceFileIndex > 1) g_traceFileIndex = 0;
    const char *szName = kNames[g_traceFileIndex];
    if (fstatat(dirfd, szName, &sStat, AT_SYMLINK_NOFOLLOW) == 0 &&
        sStat.st_size > QAX_TRACE_FILE_LIMIT) {
        g_traceFileIndex = g_traceFileIndex == 0 ? 1 : 0;
        szName = kNames[g_traceFileIndex];
        flags = O_APPEND | O_TRUNC;  // appending: a report written while it opens stays first
    }
    return QaxOpenOwnFile(dirfd, szName, flags, 0666);
}

// Writes every piece, going on after a short write as stdio would.
static void WriteAllPieces(int fd, struct iovec *psPieces, int iCount) {
    while (iCount > 0) {
        ssize_t written = writev(fd, psPieces, iCount);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        while (iCount > 0 && (size_t)written >= psPieces->iov_len) {
            written -= (ssize_t)psPieces->iov_len;
            psPieces++;
            iCount--;
        }
        if (iCount > 0) {
            psPieces->iov_base = (char *)psPieces->iov_base + written;
            psPieces->iov_len -= (size_t)written;
        }
    }
}

static struct iovec Piece(const char *sz) { return {(void *)sz, strlen(sz)}; }

static char *PutTwoDigits(char *pc, int iValue) {
    *pc++ = (char)('0' + iValue / 10 % 10);
    *pc++ = (char)('0' + iValue % 10);
    return pc;
}

// "YYYYMMDD-hhmmss", as "%d%02d%02d-%02d%02d%02d" gives it; the fields of a
// broken-down time stay in their ranges, but a year outside 1000-9999 goes
// through the general formatter.
static void FormatStamp(const struct tm *psTime, char *szStamp, size_t size) {
    const int iYear = psTime->tm_year + 1900;
    const int aiFields[5] = {psTime->tm_mon + 1, psTime->tm_mday, psTime->tm_hour, psTime->tm_min,
                             psTime->tm_sec};
    bool fits = iYear >= 1000 && iYear <= 9999 && size >= 16;
    for (int iField : aiFields) fits = fits && iField >= 0 && iField <= 99;
    if (!fits) {
        QaxFormatText(szStamp, size, "%d%02d%02d-%02d%02d%02d", iYear, aiFields[0], aiFields[1],
                      aiFields[2], aiFields[3], aiFields[4]);
        return;
    }
    char *pc = PutTwoDigits(PutTwoDigits(szStamp, iYear / 100), iYear % 100);
    pc = PutTwoDigits(PutTwoDigits(pc, aiFields[0]), aiFields[1]);
    *pc++ = '-';
    pc = PutTwoDigits(PutTwoDigits(PutTwoDigits(pc, aiFields[2]), aiFields[3]), aiFields[4]);
    *pc = '\0';
}

void WriteTraceLog(const char *szFunction, const char *szType, const char *szMessage) {
    struct tm sTime;
    QaxClockLocalTime(&sTime);
    char szStamp[32];
    FormatStamp(&sTime, szStamp, sizeof(szStamp));

    int fd = OpenTraceFile();
    if (fd < 0) return;
    const char *szTypeWord = szType != NULL ? szType : "";
    // One writev per line: "<stamp> [<type>] "<function>": <message>".
    if (szFunction == NULL || szMessage == NULL) {
        struct iovec asPieces[] = {Piece(szStamp), Piece(" ["), Piece(szTypeWord),
                                   Piece("] Empty msg\n")};
        WriteAllPieces(fd, asPieces, 4);
    } else {
        struct iovec asPieces[] = {Piece(szStamp),   Piece(" ["),       Piece(szTypeWord),
                                   Piece("] \""),    Piece(szFunction), Piece("\": "),
                                   Piece(szMessage), Piece("\n")};
        WriteAllPieces(fd, asPieces, 8);
    }
    close(fd);
}

void QaxLog(unsigned uSinks, int32_t s32Level, const char *szFunction, const char *szType,
            const char *szFormat, ...) {
    if (g_traceLevel < s32Level) return;
    va_list args;
    va_start(args, szFormat);
    char szText[QAX_TRACE_MSG_SIZE];
    int iLength = QaxFormat(szText, sizeof(szText), szFormat, args);
    // Standard output alone takes the whole text, however long, as printf would.
    if (uSinks == QAX_LOG_STDOUT) {
        if (iLength >= 0 && (size_t)iLength < sizeof(szText)) {
            fwrite(szText, 1, (size_t)iLength, stdout);
        } else {
            vfprintf(stdout, szFormat, args);
        }
        va_end(args);
        return;
    }
    if (iLength < 0) vsnprintf(szText, sizeof(szText), szFormat, args);
    va_end(args);
    if (uSinks & QAX_LOG_TRACE) WriteTraceLog(szFunction, szType, szText);
    if (uSinks & QAX_LOG_STDOUT) fputs(szText, stdout);
    if (uSinks & QAX_LOG_SYSLOG_ERROR) syslog(LOG_USER | LOG_ERR, "%s", szText);
    if (uSinks & QAX_LOG_SYSLOG_WARNING) syslog(LOG_USER | LOG_WARNING, "%s", szText);
    if (uSinks & QAX_LOG_SYSLOG_DEBUG) syslog(LOG_USER | LOG_DEBUG, "%s", szText);
}
