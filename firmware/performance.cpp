// Performance (utilisation) requests and the expansion-unit power readers.
#include "firmware/performance.h"

#include <string.h>

#include "daemon/format.h"
#include "daemon/trace.h"
#include "firmware/element_method.h"
#include "firmware/registers.h"
#include "platform/platform.h"

// Domains and statistic selectors of the performance request.
#define QAX_PERF_DOMAIN_SYSTEM 0
#define QAX_PERF_DOMAIN_CPU 4
#define QAX_PERF_DOMAIN_MEMORY 5
#define QAX_PERF_DOMAIN_IO 6
#define QAX_PERF_STAT_AVG 0
#define QAX_PERF_STAT_MAX 1
#define QAX_PERF_STAT_MIN 2

#define QAX_PERF_RESPONSE_SIZE 11
#define QAX_PERF_BUFFER_SIZE 7    // response bytes 4-10
#define QAX_PERF_PERCENT_INDEX 6  // utilisation within the 7-byte buffer
#define QAX_PERF_MAX_PERCENT 100
#define QAX_PERF_ATTEMPTS 3
#define QAX_PERF_RETRY_PAUSE_US 1000

// Completion codes that mean the firmware has no performance interface.
#define QAX_CC_INVALID_COMMAND 0xC1
#define QAX_CC_NOT_SUPPORTED 0x87

unsigned int QAX_ReadPerformanceBuffer(uint8_t u8Domain, uint8_t u8Selector2, uint8_t u8Statistic,
                                       uint8_t u8MaxLength, uint8_t *pu8Buffer) {
    if (pu8Buffer == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    uint8_t *pu8Request = NULL;
    if (GetXPMRequestBuffer(u8Domain, u8Selector2, 0x01, u8Statistic, QAX_XPM_REQUEST_SIZE,
                            &pu8Request) != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call GetXPMRequestBuffer().\n", __func__);
        return QAX_STATUS_FAILED;
    }

    uint8_t au8Response[QAX_PERF_RESPONSE_SIZE];
    int iLength = 0;
    for (int iAttempt = 1;; iAttempt++) {
        memset(au8Response, 0, sizeof(au8Response));
        iLength = QAX_PERF_RESPONSE_SIZE;
        int iResult = IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_XPM_EXTENSIONS, pu8Request,
                                     QAX_XPM_REQUEST_SIZE, au8Response, &iLength);
        if (iResult != 0) {
            QaxLog(
                QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
                "[%s] Failed to call IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_XPM_EXTENSIONS) and the "
                "result code is %d.\n",
                __func__, iResult);
            FreeRequestResponseBuffers(pu8Request, NULL);
            return QAX_STATUS_FAILED;
        }
        if (iLength >= 1 && au8Response[0] == 0) {
            break;
        }
        if (iAttempt >= QAX_PERF_ATTEMPTS) {
            // An answer without even a completion code counts as a failed call.
            unsigned int u32Code = iLength >= 1 ? au8Response[0] : QAX_STATUS_FAILED;
            QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
                   "[%s] Failed to call IPMI Command(NETFN_KEP, CMDID_QAX_XPM_EXTENSIONS) and the "
                   "result code is %d.\n",
                   __func__, (int)u32Code);
            FreeRequestResponseBuffers(pu8Request, NULL);
            return u32Code;
        }
        QaxClockSleepUs(QAX_PERF_RETRY_PAUSE_US);
    }
    FreeRequestResponseBuffers(pu8Request, NULL);

    if (iLength < QAX_PERF_RESPONSE_SIZE) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] The response is too short (%d bytes, expected %d).\n", __func__, iLength,
               QAX_PERF_RESPONSE_SIZE);
        return QAX_STATUS_FAILED;
    }
    if (au8Response[9] != 0 || au8Response[10] > QAX_PERF_MAX_PERCENT) {
        return QAX_STATUS_FAILED;
    }
    if (au8Response[8] > u8MaxLength) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] The returned buffer size (%d) is bigger than expected size (%d)!\n", __func__,
               au8Response[8], u8MaxLength);
        return QAX_STATUS_FAILED;
    }
    memcpy(pu8Buffer, au8Response + 4, QAX_PERF_BUFFER_SIZE);
    // "index: value" lines, as "%d: %d\n" prints them, in one go.
    char szLines[QAX_PERF_BUFFER_SIZE * 8 + 1];
    char *pc = szLines;
    for (int i = 0; i < QAX_PERF_BUFFER_SIZE; i++) {
        pc = QaxPutDecimal(pc, (uint32_t)i);
        *pc++ = ':';
        *pc++ = ' ';
        pc = QaxPutDecimal(pc, pu8Buffer[i]);
        *pc++ = '\n';
    }
    *pc = '\0';
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "%s", szLines);
    return QAX_STATUS_SUCCESS;
}

// The performance buffers are small and fixed, so they live on the stack:
// the allocation failures (answer 2, status 253/255) cannot happen here.
int NM_Performance_IsSupported(void) {
    uint8_t au8Buffer[QAX_PERF_BUFFER_SIZE];
    unsigned int u32Status = QAX_ReadPerformanceBuffer(QAX_PERF_DOMAIN_SYSTEM, 0, QAX_PERF_STAT_AVG,
                                                       QAX_PERF_BUFFER_SIZE, au8Buffer);
    if (u32Status == QAX_CC_INVALID_COMMAND || u32Status == QAX_CC_NOT_SUPPORTED) {
        return 0;
    }
    return 1;
}

static uint64_t PercentOf(const uint8_t *pu8Buffer) {
    uint8_t u8Percent = pu8Buffer[QAX_PERF_PERCENT_INDEX];
    return u8Percent > QAX_PERF_MAX_PERCENT ? 0 : u8Percent;
}

unsigned int GetPerformanceFromNM(PerformanceRecord *psRecord) {
    static const uint8_t au8Domains[4] = {QAX_PERF_DOMAIN_SYSTEM, QAX_PERF_DOMAIN_CPU,
                                          QAX_PERF_DOMAIN_MEMORY, QAX_PERF_DOMAIN_IO};
    static const char *const apszNames[4] = {"system", "cpu", "mem", "io"};
    static const char *const apszKeys[4] = {"QAX_performanceSystem", "QAX_performanceCPU",
                                            "QAX_performanceMem", "QAX_performanceIO"};
    if (psRecord == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    uint8_t au8Buffers[4][QAX_PERF_BUFFER_SIZE];
    for (int i = 0; i < 4; i++) {
        unsigned int u32Status = QAX_ReadPerformanceBuffer(au8Domains[i], 0, QAX_PERF_STAT_AVG,
                                                           QAX_PERF_BUFFER_SIZE, au8Buffers[i]);
        if (u32Status != QAX_STATUS_SUCCESS) {
            QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
                   "[%s] Failed to call QAX_ReadPerformanceBuffer(%s), return code is %d.\n",
                   __func__, apszNames[i], (int)u32Status);
            return u32Status;
        }
    }

    psRecord->u64Timestamp = ReadBigEndianField(0, au8Buffers[0], 4);
    psRecord->u64System = PercentOf(au8Buffers[0]);
    psRecord->u64CPU = PercentOf(au8Buffers[1]);
    psRecord->u64Memory = PercentOf(au8Buffers[2]);
    psRecord->u64IO = PercentOf(au8Buffers[3]);

    const uint64_t au64Values[4] = {psRecord->u64System, psRecord->u64CPU, psRecord->u64Memory,
                                    psRecord->u64IO};
    aim_config_batch_begin();
    for (int i = 0; i < 4; i++) {
        aim_config_set_int64(apszKeys[i], (int64_t)au64Values[i], 0);
    }
    aim_config_batch_end();
    return QAX_STATUS_SUCCESS;
}

unsigned int ReadPerformanceDataFromXPM(MetricEntry *psEntries) {
    static const uint8_t au8Domains[4] = {QAX_PERF_DOMAIN_SYSTEM, QAX_PERF_DOMAIN_CPU,
                                          QAX_PERF_DOMAIN_MEMORY, QAX_PERF_DOMAIN_IO};
    if (psEntries == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    memset(psEntries, 0, 4 * sizeof(MetricEntry));

    // Pair index = domain index * 3 + statistic selector.
    uint8_t au8Buffers[12][QAX_PERF_BUFFER_SIZE];
    for (int i = 0; i < 12; i++) {
        unsigned int u32Status = QAX_ReadPerformanceBuffer(au8Domains[i / 3], 0, (uint8_t)(i % 3),
                                                           QAX_PERF_BUFFER_SIZE, au8Buffers[i]);
        if (u32Status != QAX_STATUS_SUCCESS) {
            QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
                   "[%s] Failed to call QAX_ReadPerformanceBuffer(system), return code is %d.\n",
                   __func__, (int)u32Status);
            return u32Status;
        }
    }

    for (int i = 0; i < 12; i++) {
        uint8_t u8Value = au8Buffers[i][QAX_PERF_PERCENT_INDEX];
        MetricEntry *psEntry = &psEntries[i / 3];
        switch (i % 3) {
        case QAX_PERF_STAT_AVG:
            psEntry->u64Avg = u8Value;
            break;
        case QAX_PERF_STAT_MAX:
            psEntry->u64Max = u8Value;
            break;
        default:
            psEntry->u64Min = u8Value;
            break;
        }
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "Perf Data [%d] : %d\n", i, u8Value);
    }
    return QAX_STATUS_SUCCESS;
}

// What both expansion readers do first: the handle of the expansion
// instance, or 0 after printing why.
static uint8_t ExpansionHandle(const char *pszFunction) {
    if (!QAX_IsSupported(QAX_EXPANSION_INSTANCE)) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "%s Don't support the QAX for QAX_EXPANSION_INSTANCE.\n", pszFunction);
        return 0;
    }
    uint8_t u8Handle = 0;
    if (QAX_IsSupported(QAX_EXPANSION_INSTANCE)) {
        u8Handle = QAX_GetModuleHandle(QAX_EXPANSION_INSTANCE);
    }
    if (u8Handle == 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "%s Failed to call QAX_GetModuleHandle().\n", pszFunction);
    }
    return u8Handle;
}

unsigned int GetTotalInputPowerForExpansion(uint32_t *pu32Value) {
    if (pu32Value == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    *pu32Value = 0;
    uint8_t u8Handle = ExpansionHandle(__func__);
    if (u8Handle == 0) {
        return QAX_STATUS_FAILED;
    }
    uint16_t u16Power = 0;
    unsigned int u32Status = QAX_ReadPnameplateRegister(u8Handle, &u16Power);
    if (u32Status != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "%s Failed to call QAX_ReadPnameplateRegister() and the result code is %d.\n",
               __func__, (int)u32Status);
        return u32Status;
    }
    *pu32Value = u16Power;
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "%s Total input power is %d.\n", __func__,
           (int)u16Power);
    return QAX_STATUS_SUCCESS;
}

unsigned int GetStandbyPowerForExpansion(uint32_t *pu32Value) {
    if (pu32Value == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    *pu32Value = 0;
    uint8_t u8Handle = ExpansionHandle(__func__);
    if (u8Handle == 0) {
        return QAX_STATUS_FAILED;
    }
    uint8_t u8Value = 0;
    uint16_t u16Power = 0;
    unsigned int u32Status = QAX_ReadStandbyPowerRegister(u8Handle, &u8Value, &u16Power);
    if (u32Status != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "%s Failed to call QAX_ReadStandbyPowerRegister() and the result code is %d.\n",
               __func__, (int)u32Status);
        return u32Status;
    }
    *pu32Value = u16Power;
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "%s Total input power is %d.\n", __func__,
           (int)u16Power);
    return QAX_STATUS_SUCCESS;
}
