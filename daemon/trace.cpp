// Trace log: two files written alternately, each kept to about 512 KiB.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "daemon/daemon.h"
#include "platform/platform.h"

int32_t g_traceLevel = 0;
uint32_t g_traceFileIndex = 0;
char g_traceMsg[QAX_TRACE_MSG_SIZE];
char g_traceMsg2[QAX_TRACE_MSG_SIZE];

static FILE *OpenTraceFile(void) {
    char szName[256];
    char szPath[1024];
    snprintf(szName, sizeof(szName), "/tmp/qax_trace/qax_trace_log_%u.txt", g_traceFileIndex);
    const char *pszPath = QaxPath(szName, szPath, sizeof(szPath));
    if (pszPath == NULL) return NULL;

    struct stat sStat;
    if (stat(pszPath, &sStat) == 0 && sStat.st_size > QAX_TRACE_FILE_LIMIT) {
        g_traceFileIndex++;
        if (g_traceFileIndex > 1) g_traceFileIndex = 0;
        snprintf(szName, sizeof(szName), "/tmp/qax_trace/qax_trace_log_%u.txt", g_traceFileIndex);
        pszPath = QaxPath(szName, szPath, sizeof(szPath));
        if (pszPath == NULL) return NULL;
        return fopen(pszPath, "w+");
    }
    return fopen(pszPath, "a+");
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

void TraceIfLevel(int32_t threshold, const char *szFunction, const char *szType,
                  const char *szMessage) {
    if (g_traceLevel >= threshold) WriteTraceLog(szFunction, szType, szMessage);
}
