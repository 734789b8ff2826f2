// Element-method transport, firmware-instance discovery with its support and
// module-handle cache, the platform-family test and the big-endian reader.
// The request builders are in request_buffers.cpp.
#include "firmware/element_method.h"
#include "firmware/element_method_testing.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "daemon/format.h"
#include "daemon/trace.h"
#include "platform/platform.h"

// Support cache, one set for all instance numbers.
static int g_iQaxSupportInitialised = 0;
static int g_iQaxSupported = 0;
static int g_iQaxLastCheckUptime = 0;

// Module handles found by this process, for instances 0 and 1. A handle the
// store could not keep (full or read-only storage) is still used for the life
// of the process, and written to the store again when it can take it: a
// failing flash must not stop monitoring for good.
enum { QAX_CACHED_INSTANCES = 2 };
static const uint64_t kHandleStoreRetryMs = 10000;
static uint8_t g_au8QaxHandle[QAX_CACHED_INSTANCES];
static uint8_t g_au8QaxHandleUnstored[QAX_CACHED_INSTANCES];
static uint64_t g_au64QaxHandleStoreTry[QAX_CACHED_INSTANCES];

static void RememberHandle(uint8_t u8Instance, uint8_t u8Handle, int bStored) {
    if (u8Instance >= QAX_CACHED_INSTANCES) {
        return;
    }
    g_au8QaxHandle[u8Instance] = u8Handle;
    g_au8QaxHandleUnstored[u8Instance] = bStored ? 0 : 1;
    g_au64QaxHandleStoreTry[u8Instance] = QaxClockMonotonicMs();
}

// Writes a handle the store refused before, at most once per 10 s.
static void RetryStoringHandle(uint8_t u8Instance) {
    uint64_t u64Now = QaxClockMonotonicMs();
    if (u64Now - g_au64QaxHandleStoreTry[u8Instance] < kHandleStoreRetryMs) {
        return;
    }
    g_au64QaxHandleStoreTry[u8Instance] = u64Now;
    char szSupportedKey[32];
    char szHandleKey[32];
    snprintf(szSupportedKey, sizeof(szSupportedKey), "qax_supported_%d", (int)u8Instance);
    snprintf(szHandleKey, sizeof(szHandleKey), "qax_module_handle_%d", (int)u8Instance);
    if (aim_config_set_int(szHandleKey, (int32_t)g_au8QaxHandle[u8Instance], 1) != 0 &&
        aim_config_set_bool(szSupportedKey, 1, 1) != 0) {
        g_au8QaxHandleUnstored[u8Instance] = 0;
    }
}

// A successful call whose answer is shorter than the fields we decode must
// not be decoded from the zero fill: reject it.
static int IsShortAnswer(const char *pszFunction, int iReturned, int iNeeded) {
    if (iReturned >= iNeeded) {
        return 0;
    }
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
           "[%s] The response is too short (%d bytes, expected %d).\n", pszFunction, iReturned,
           iNeeded);
    return 1;
}

unsigned int ReadRegister(uint8_t *pu8Request, uint8_t u8RegisterId, uint8_t u8Length,
                          uint8_t **ppu8Response) {
    if (ppu8Response == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    *ppu8Response = NULL;
    if (pu8Request == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    pu8Request[6] = u8RegisterId;
    pu8Request[7] = u8Length;

    int iCapacity = (int)u8Length + QAX_REGISTER_RESPONSE_HEADER;
    uint8_t *pu8Response = (uint8_t *)calloc((size_t)iCapacity, 1);
    if (pu8Response == NULL) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to allocate memory for response buffer.\n", __func__);
        return QAX_STATUS_NO_MEMORY;
    }
    *ppu8Response = pu8Response;

    int iLength = iCapacity;
    int iResult = IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD, pu8Request,
                                 QAX_REGISTER_REQUEST_SIZE, pu8Response, &iLength);
    if (iResult != 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) and "
               "the result code is %d.\n",
               __func__, iResult);
        return QAX_STATUS_FAILED;
    }
    if (iLength < 1) {
        IsShortAnswer(__func__, iLength, 1);
        return QAX_STATUS_FAILED;
    }
    if (pu8Response[0] != 0) {
        return pu8Response[0];
    }
    if (IsShortAnswer(__func__, iLength, iCapacity)) {
        return QAX_STATUS_FAILED;
    }
    return QAX_STATUS_SUCCESS;
}

unsigned int WriteRegister(uint8_t *pu8Request, uint32_t u32RequestLength) {
    if (pu8Request == NULL || u32RequestLength < QAX_REGISTER_REQUEST_SIZE ||
        u32RequestLength > 0x7FFFFFFFu) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    uint8_t au8Response[QAX_WRITE_RESPONSE_SIZE];
    memset(au8Response, 0, sizeof(au8Response));
    int iLength = QAX_WRITE_RESPONSE_SIZE;
    int iResult = IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD, pu8Request,
                                 (int)u32RequestLength, au8Response, &iLength);
    if (iResult != 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) and "
               "the result code is %d.\n",
               __func__, iResult);
        return QAX_STATUS_FAILED;
    }
    if (IsShortAnswer(__func__, iLength, 1)) {
        return QAX_STATUS_FAILED;
    }
    return au8Response[0];
}

unsigned int QAX_FindFirmwareInstance(uint8_t u8Instance, uint8_t *pu8Info1, uint8_t *pu8Info2,
                                      uint8_t *pu8Handle) {
    if (pu8Info1 != NULL) {
        *pu8Info1 = 0;
    }
    if (pu8Info2 != NULL) {
        *pu8Info2 = 0;
    }
    if (pu8Handle == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    *pu8Handle = 0;

    uint8_t au8Request[QAX_FIND_INSTANCE_REQUEST_SIZE] = {
        QAX_ENTERPRISE_BYTE0, QAX_ENTERPRISE_BYTE1, QAX_ENTERPRISE_BYTE2, u8Instance, 0x00, 0x01};
    uint8_t au8Response[QAX_FIND_INSTANCE_RESPONSE_SIZE];
    memset(au8Response, 0, sizeof(au8Response));
    int iLength = QAX_FIND_INSTANCE_RESPONSE_SIZE;
    int iResult = IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_FIND_FIRMWARE_INSTANCE, au8Request,
                                 QAX_FIND_INSTANCE_REQUEST_SIZE, au8Response, &iLength);
    if (iResult != 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) and "
               "the result code is %d.\n",
               __func__, iResult);
        return QAX_STATUS_FAILED;
    }
    if (IsShortAnswer(__func__, iLength, 1)) {
        return QAX_STATUS_FAILED;
    }
    if (au8Response[0] != 0) {
        return au8Response[0];
    }
    // The handle is byte 7; the information bytes before it come with it.
    if (IsShortAnswer(__func__, iLength, 8)) {
        return QAX_STATUS_FAILED;
    }
    *pu8Handle = au8Response[7];
    if (*pu8Handle == 0) {
        QaxLog(
            QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
            "[%s] Failed to call IPMI Command(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) and the "
            "result code is %d.\n",
            __func__, 0);
        return QAX_STATUS_NO_MODULE_HANDLE;
    }
    if (pu8Info1 != NULL) {
        *pu8Info1 = au8Response[5];
    }
    if (pu8Info2 != NULL) {
        *pu8Info2 = au8Response[6];
    }
    return QAX_STATUS_SUCCESS;
}

int QAX_IsSupported(uint8_t u8Instance) {
    char szSupportedKey[32];
    snprintf(szSupportedKey, sizeof(szSupportedKey), "qax_supported_%d", (int)u8Instance);

    if (!g_iQaxSupportInitialised) {
        g_iQaxSupportInitialised = 1;
        uint8_t u8Stored = 0;
        aim_config_get_bool(szSupportedKey, &u8Stored);
        g_iQaxSupported = u8Stored;
        if (g_iQaxSupported != 0) {
            return 1;
        }
    } else if (g_iQaxSupported != 0) {
        return 1;
    }

    long lUptime = 0;
    if (QaxClockUptime(&lUptime) != 0) {
        char szMessage[256];
        snprintf(szMessage, sizeof(szMessage), "Failed to call sysinfo(), errno:%s.\n",
                 strerror(errno));
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "%s", szMessage);
        QaxLog(QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL, "%s\n", szMessage);
        lUptime = 0;
    }
    int iUptime = (int)lUptime;

    // No firmware traffic more often than once per 2 seconds of uptime.
    if (iUptime - g_iQaxLastCheckUptime <= 1) {
        return g_iQaxSupported != 0;
    }

    // Another process (or an earlier run) may have found the firmware.
    uint8_t u8Stored = 0;
    aim_config_get_bool(szSupportedKey, &u8Stored);
    g_iQaxLastCheckUptime = iUptime;
    if (u8Stored != 0) {
        return 1;
    }

    uint8_t u8Info1 = 0;
    uint8_t u8Info2 = 0;
    uint8_t u8Handle = 0;
    unsigned int u32Status = QAX_FindFirmwareInstance(u8Instance, &u8Info1, &u8Info2, &u8Handle);
    int iSupported = (u32Status == QAX_STATUS_SUCCESS) ? 1 : 0;
    g_iQaxSupported = iSupported;
    if (!iSupported) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call QAX_FindFirmwareInstance() and the result code is %d.\n",
               __func__, (int)u32Status);
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "Don't support the QAX.\n");
    }

    if (aim_config_set_bool(szSupportedKey, (uint8_t)iSupported, 1) == 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call aim_config_set_bool(%s).\n", __func__, szSupportedKey);
        if (iSupported) {
            RememberHandle(u8Instance, u8Handle, 0);
        }
        return iSupported;
    }
    if (!iSupported) {
        return 0;
    }

    char szHandleKey[32];
    snprintf(szHandleKey, sizeof(szHandleKey), "qax_module_handle_%d", (int)u8Instance);
    if (aim_config_set_int(szHandleKey, (int32_t)u8Handle, 1) == 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call aim_config_set_int(%s).\n", __func__, szHandleKey);
        // Other processes must not find a supported flag without its handle;
        // this process keeps the handle it found.
        aim_config_clear(szSupportedKey);
        RememberHandle(u8Instance, u8Handle, 0);
        return 1;
    }
    RememberHandle(u8Instance, u8Handle, 1);
    return 1;
}

uint8_t QAX_GetModuleHandle(uint8_t u8Instance) {
    char szKey[32];
    QaxFormatText(szKey, sizeof(szKey), "qax_module_handle_%d", (int)u8Instance);
    if (u8Instance < QAX_CACHED_INSTANCES && g_au8QaxHandleUnstored[u8Instance]) {
        RetryStoringHandle(u8Instance);
        return g_au8QaxHandle[u8Instance];
    }
    int32_t i32Value = 0;
    if (aim_config_get_int(szKey, &i32Value) == 0) {
        if (u8Instance < QAX_CACHED_INSTANCES && g_au8QaxHandle[u8Instance] != 0) {
            return g_au8QaxHandle[u8Instance];  // the store lost it or cannot be read
        }
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call aim_config_get_int(%s).\n", __func__, szKey);
        return 0;
    }
    return (uint8_t)(i32Value & 0xFF);
}

uint8_t QAX_GetSupportedModuleHandle(uint8_t u8Instance) {
    if (!QAX_IsSupported(u8Instance)) {
        return 0;
    }
    return QAX_GetModuleHandle(u8Instance);
}

void QAX_ResetSupportCacheForTest(void) {
    g_iQaxSupportInitialised = 0;
    g_iQaxSupported = 0;
    g_iQaxLastCheckUptime = 0;
    memset(g_au8QaxHandle, 0, sizeof(g_au8QaxHandle));
    memset(g_au8QaxHandleUnstored, 0, sizeof(g_au8QaxHandleUnstored));
}

int IsBladePlatform(void) {
    const char *pszFamily = getenv("ZOQ_FAMILY");
    if (pszFamily == NULL) {
        return 0;
    }
    return (strcmp(pszFamily, "iteblade") == 0 || strcmp(pszFamily, "blade") == 0) ? 1 : 0;
}

uint64_t ReadBigEndianField(uint32_t u32Offset, const uint8_t *pu8Buffer, uint32_t u32Count) {
    if (pu8Buffer == NULL) {
        return 0;
    }
    // A wider field keeps its low-order 8 bytes, as value * 256 + byte over
    // all of them would: the leading bytes would be shifted out anyway.
    if (u32Count > 8) {
        u32Offset += u32Count - 8;
        u32Count = 8;
    }
    const uint8_t *pu8Field = pu8Buffer + u32Offset;
    uint64_t u64Value = 0;
    for (uint32_t i = 0; i < u32Count; i++) {
        u64Value = (u64Value << 8) | pu8Field[i];
    }
    return u64Value;
}
