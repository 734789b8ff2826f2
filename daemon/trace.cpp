// Diagnostics and the trace log: two files written alternately, each kept to
// about 512 KiB.
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "daemon/trace.h"
#include "platform/platform.h"
#include "platform/safe_files.h"

int32_t g_traceLevel = 0;
uint32_t g_traceFileIndex = 0;

// The directory is only made (and checked, and if need be replaced) by the
// daemon's start: while it is missing, or is not safe, the lines are lost.
static FILE *OpenTraceFile(void) {
    int dirfd = QaxOpenDir(kTraceDir, 070, 0);
    if (dirfd < 0) return NULL;
    char szName[256];
    snprintf(szName, sizeof(szName), "qax_trace_log_%u.txt", g_traceFileIndex);

    int flags = O_APPEND;
    struct stat sStat;
    if (fstatat(dirfd, szName, &sStat, AT_SYMLINK_NOFOLLOW) == 0 &&
        sStat.st_size > QAX_TRACE_FILE_LIMIT) {
        g_traceFileIndex++;
        if (g_traceFileIndex > 1) g_traceFileIndex = 0;
        snprintf(szName, sizeof(szName), "qax_trace_log_%u.txt", g_traceFileIndex);
        flags = O_APPEND | O_TRUNC;  // appending: a report written while it opens stays first
    }
    int fd = QaxOpenOwnFile(dirfd, szName, flags, 0666);
    if (fd < 0) return NULL;
    FILE *psFile = fdopen(fd, "a");
    if (psFile == NULL) close(fd);
    return psFile;
}

void WriteTraceLog(const char *szFunction, const char *szType, const char *szMessage) {
    struct tm sTime;
    QaxClockLocalTime(&sTime);
    char szStamp[512];
    snprintf(szStamp, sizeof(szStamp), "%d%02d%02d-%02d%02d%02d", sTime.tm_year + 1900,
             sTime.tm_mon + 1, sTime.tm_mday, sTime.tm_hour, sTime.tm_min, sTime.tm_sec);

    FILE *psFile = OpenTraceFile();
    if (psFile == NULL) return;
    const char *szTypeWord = szType != NULL ? szType : "";
    if (szFunction == NULL || szMessage == NULL) {
        fprintf(psFile, "%s [%s] Empty msg\n", szStamp, szTypeWord);
    } else {
        fprintf(psFile, "%s [%s] \"%s\": %s\n", szStamp, szTypeWord, szFunction, szMessage);
    }
    fclose(psFile);
}

void QaxLog(unsigned uSinks, int32_t s32Level, const char *szFunction, const char *szType,
            const char *szFormat, ...) {
    if (g_traceLevel < s32Level) return;
    va_list args;
    va_start(args, szFormat);
    // Standard output alone is printed straight away, as printf would.
    if (uSinks == QAX_LOG_STDOUT) {
        vfprintf(stdout, szFormat, args);
        va_end(args);
        return;
    }
    char szText[QAX_TRACE_MSG_SIZE];
    vsnprintf(szText, sizeof(szText), szFormat, args);
    va_end(args);
    if (uSinks & QAX_LOG_TRACE) WriteTraceLog(szFunction, szType, szText);
    if (uSinks & QAX_LOG_STDOUT) fputs(szText, stdout);
    if (uSinks & QAX_LOG_SYSLOG_ERROR) syslog(LOG_USER | LOG_ERR, "%s", szText);
    if (uSinks & QAX_LOG_SYSLOG_WARNING) syslog(LOG_USER | LOG_WARNING, "%s", szText);
    if (uSinks & QAX_LOG_SYSLOG_DEBUG) syslog(LOG_USER | LOG_DEBUG, "%s", szText);
}
