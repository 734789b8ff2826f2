// Power-supply redundancy description and the three power-supply element
// readers it is built on (element configuration, supported types, supported
// redundancy configurations).
//
// Every length in these answers comes from the firmware: the data length byte
// of an indexed answer is checked against the bytes really received and the
// capacity offered before anything is copied.
#include "firmware/redundancy.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "firmware/element_method.h"
#include "firmware/registers.h"
#include "firmware/registers_internal.h"
#include "platform/platform.h"

static const char kRequestAlloc[] = "[%s] Failed to call GetInvokeElementMethodRequestBuffer().\n";
static const char kResponseAlloc[] = "[%s] Failed to allocate memory for response buffer.\n";
static const char kShortAnswer[] = "[%s] The response is too short (%d bytes, expected %d).\n";

// Bytes of the answer that can be trusted: what the transport says it
// delivered, never more than the buffer offered.
static int ReceivedLength(int iReturned, int iCapacity) {
    if (iReturned < 0) {
        return 0;
    }
    return iReturned < iCapacity ? iReturned : iCapacity;
}

unsigned int QAX_ReadPowerSupplyElementConfigurationRegister(uint8_t u8Handle, uint8_t *pu8Config) {
    if (pu8Config == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    memset(pu8Config, 0, QAX_PSU_ELEMENT_CONFIG_SIZE);

    uint8_t *pu8Request = NULL;
    if (GetInvokeElementMethodRequestBuffer(u8Handle, QAX_ELEMENT_POWER_SUPPLY,
                                            QAX_METHOD_READ_CONFIGURATION, QAX_REQUEST_HEADER_SIZE,
                                            &pu8Request) != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL, kRequestAlloc,
               __func__);
        return QAX_STATUS_NO_MEMORY;
    }
    uint8_t *pu8Response = (uint8_t *)calloc(QAX_PSU_ELEMENT_CONFIG_RESPONSE_SIZE, 1);
    if (pu8Response == NULL) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL, kResponseAlloc,
               __func__);
        FreeRequestResponseBuffers(pu8Request, NULL);
        return QAX_STATUS_NO_MEMORY;
    }

    unsigned int u32Status = QAX_STATUS_SUCCESS;
    int iLength = QAX_PSU_ELEMENT_CONFIG_RESPONSE_SIZE;
    int iResult = IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD, pu8Request,
                                 QAX_REQUEST_HEADER_SIZE, pu8Response, &iLength);
    int iReceived = ReceivedLength(iLength, QAX_PSU_ELEMENT_CONFIG_RESPONSE_SIZE);
    if (iResult != 0) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call ipmi(NETFN_KEP,ELEMENT_METHOD) and the result code is %d.\n",
               __func__, iResult);
        u32Status = QAX_STATUS_FAILED;
    } else if (iReceived < 1) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL, kShortAnswer,
               __func__, iReceived, 1);
        u32Status = QAX_STATUS_FAILED;
    } else if (pu8Response[0] != 0) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call ipmi(NETFN_KEP,ELEMENT_METHOD) and the respbuf[0] is %d.\n",
               __func__, pu8Response[0]);
        u32Status = pu8Response[0];
    } else if (iReceived < QAX_PSU_ELEMENT_CONFIG_RESPONSE_SIZE) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL, kShortAnswer,
               __func__, iReceived, QAX_PSU_ELEMENT_CONFIG_RESPONSE_SIZE);
        u32Status = QAX_STATUS_FAILED;
    } else {
        QaxLog(QAX_LOG_SYSLOG_DEBUG, QAX_LOG_ALWAYS, NULL, NULL,
               "%s: configuration data length is %d\n", __func__, pu8Response[4]);
        if (pu8Response[4] != QAX_PSU_ELEMENT_CONFIG_DATA_LENGTH) {
            QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_ERROR, QAX_LOG_ALWAYS, NULL, NULL,
                   "[%s] config len [%d] is unexpected.\n", __func__, pu8Response[4]);
            u32Status = QAX_STATUS_FAILED;
        } else {
            memcpy(pu8Config, pu8Response + 6, QAX_PSU_ELEMENT_CONFIG_SIZE);
        }
    }
    FreeRequestResponseBuffers(pu8Request, pu8Response);
    return u32Status;
}

// Checks the header of an indexed answer and prints it. Status 0 when the
// data length byte is at least `iMinData` and all of it was received.
static unsigned int CheckIndexedAnswer(const char *pszFunction, const uint8_t *pu8Response,
                                       int iReceived, uint8_t u8BufferId, uint8_t u8Index,
                                       int iMinData, unsigned uSinks) {
    if (iReceived < QAX_PSU_INDEXED_HEADER_SIZE) {
        QaxLog(uSinks, QAX_LOG_ALWAYS, NULL, NULL, kShortAnswer, pszFunction, iReceived,
               QAX_PSU_INDEXED_HEADER_SIZE);
        return QAX_STATUS_FAILED;
    }
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "%s : Bufer ID is [%d]\n", pszFunction,
           pu8Response[4]);
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "%s : Bufer Index is [%d]\n", pszFunction,
           pu8Response[5]);
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "%s : Bufer Length is [%d]\n", pszFunction,
           pu8Response[6]);
    if (pu8Response[4] != u8BufferId || pu8Response[5] != u8Index) {
        QaxLog(uSinks, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Answer for buffer [%d] index [%d], asked [%d] [%d].\n", pszFunction,
               pu8Response[4], pu8Response[5], u8BufferId, u8Index);
        return QAX_STATUS_FAILED;
    }
    int iData = pu8Response[6];
    if (iData < iMinData) {
        QaxLog(uSinks, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Unexpected buffer length [%d], expected at least %d.\n", pszFunction, iData,
               iMinData);
        return QAX_STATUS_FAILED;
    }
    if (QAX_PSU_INDEXED_HEADER_SIZE + iData > iReceived) {
        QaxLog(uSinks, QAX_LOG_ALWAYS, NULL, NULL, kShortAnswer, pszFunction, iReceived,
               QAX_PSU_INDEXED_HEADER_SIZE + iData);
        return QAX_STATUS_FAILED;
    }
    return QAX_STATUS_SUCCESS;
}

// Messages of one indexed-buffer reader: its IPMI call failure and its
// nonzero completion code.
struct IndexedMessages {
    const char *pszCallFailed;
    const char *pszCompletion;
};

// Sends an indexed-buffer read of `u8Asked` data bytes and checks the answer
// down to its header. Allocation failures give `u32NoMemory` (the readers
// answer them differently); on success the caller owns `*ppu8Response` and
// releases it with FreeRequestResponseBuffers(NULL, ...).
static unsigned int ReadIndexedBuffer(const char *pszFunction, uint8_t u8Handle, uint8_t u8BufferId,
                                      uint8_t u8Index, uint8_t u8Asked, int iMinData,
                                      unsigned int u32NoMemory, const IndexedMessages &sMessages,
                                      uint8_t **ppu8Response) {
    *ppu8Response = NULL;
    uint8_t *pu8Request = NULL;
    if (GetInvokeElementMethodRequestBuffer(
            u8Handle, QAX_ELEMENT_POWER_SUPPLY, QAX_METHOD_READ_INDEXED_BUFFER,
            QAX_PSU_INDEXED_REQUEST_SIZE, &pu8Request) != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL, kRequestAlloc,
               pszFunction);
        return u32NoMemory;
    }
    const int iCapacity = QAX_PSU_INDEXED_HEADER_SIZE + u8Asked;
    uint8_t *pu8Response = (uint8_t *)calloc((size_t)iCapacity, 1);
    if (pu8Response == NULL) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL, kResponseAlloc,
               pszFunction);
        FreeRequestResponseBuffers(pu8Request, NULL);
        return u32NoMemory;
    }
    pu8Request[6] = u8BufferId;
    pu8Request[7] = u8Index;
    pu8Request[8] = u8Asked;

    unsigned int u32Status = QAX_STATUS_SUCCESS;
    int iLength = iCapacity;
    int iResult = IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD, pu8Request,
                                 QAX_PSU_INDEXED_REQUEST_SIZE, pu8Response, &iLength);
    int iReceived = ReceivedLength(iLength, iCapacity);
    if (iResult != 0) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL,
               sMessages.pszCallFailed, pszFunction, iResult);
        u32Status = QAX_STATUS_FAILED;
    } else if (iReceived < 1) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL, kShortAnswer,
               pszFunction, iReceived, 1);
        u32Status = QAX_STATUS_FAILED;
    } else if (pu8Response[0] != 0) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL,
               sMessages.pszCompletion, pszFunction, pu8Response[0]);
        u32Status = pu8Response[0];
    } else {
        u32Status = CheckIndexedAnswer(pszFunction, pu8Response, iReceived, u8BufferId, u8Index,
                                       iMinData, QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING);
    }
    FreeRequestResponseBuffers(pu8Request, NULL);
    if (u32Status != QAX_STATUS_SUCCESS) {
        FreeRequestResponseBuffers(NULL, pu8Response);
    } else {
        *ppu8Response = pu8Response;
    }
    return u32Status;
}

unsigned int QAX_ReadSupportedPSUTypesIndexedBuffer(uint8_t u8Handle, uint8_t u8Index,
                                                    PowerSupplyTypeRecord *psRecord) {
    if (psRecord == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    memset(psRecord, 0, sizeof(*psRecord));
    if (!QAX_IsPowerSupplyRedundancyExposeInfoSupported()) {
        QaxLog(QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] target redundancy cfg register is not supported\n", __func__);
        return QAX_STATUS_FAILED;
    }

    static const IndexedMessages sMessages = {
        "[%s] Failed to call IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) "
        "and the result code is %d.\n",
        "[%s] Failed to call IPMI Command(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) and "
        "the result code is %d.\n"};
    uint8_t *pu8Response = NULL;
    unsigned int u32Status = ReadIndexedBuffer(__func__, u8Handle, QAX_PSU_BUFFER_TYPES, u8Index,
                                               QAX_PSU_TYPE_DATA_LENGTH, QAX_PSU_TYPE_DATA_LENGTH,
                                               QAX_STATUS_NO_MEMORY, sMessages, &pu8Response);
    if (u32Status == QAX_STATUS_SUCCESS) {
        psRecord->u8Reserved0 = pu8Response[7];
        psRecord->u8Reserved1 = pu8Response[8];
        psRecord->u16RatedWatts = (uint16_t)ReadBigEndianField(9, pu8Response, 2);
    }
    FreeRequestResponseBuffers(NULL, pu8Response);
    return u32Status;
}

static void FillConfigRecord(const uint8_t *pu8Response, RedundancyConfigRecord *psRecord) {
    uint16_t u16Properties = (uint16_t)ReadBigEndianField(8, pu8Response, 2);
    psRecord->u8ConfigId = pu8Response[7];
    psRecord->u8PropertyBit0 = (uint8_t)(u16Properties & 0x01);
    psRecord->u8PropertyBit0Clear = (uint8_t)((u16Properties & 0x01) == 0);
    psRecord->u8PowerMode = (uint8_t)((u16Properties & 0x01) + 1);
    psRecord->u8ValidForPSUs = (uint8_t)((u16Properties >> 1) & 0x01);
    psRecord->u8PropertyBit2 = (uint8_t)((u16Properties >> 2) & 0x01);
    psRecord->u8PropertyBit3 = (uint8_t)((u16Properties >> 3) & 0x01);
    psRecord->u8PropertyBit4 = (uint8_t)((u16Properties >> 4) & 0x01);
    psRecord->u8PropertyBit5 = (uint8_t)((u16Properties >> 5) & 0x01);
    psRecord->u8PropertyBit6 = (uint8_t)((u16Properties >> 6) & 0x01);
    psRecord->u8PropertyBit7Clear = (uint8_t)(((u16Properties >> 7) & 0x01) == 0);
    psRecord->u8PropertyBit7 = (uint8_t)((u16Properties >> 7) & 0x01);
    psRecord->u16Properties = u16Properties;
    psRecord->u8Needed = pu8Response[10];
    psRecord->u8Redundant = pu8Response[11];
    psRecord->u64Value1 = ReadBigEndianField(12, pu8Response, 2);
    psRecord->u64Value2 = ReadBigEndianField(14, pu8Response, 2);
    psRecord->u64Value3 = ReadBigEndianField(16, pu8Response, 2);
}

unsigned int QAX_ReadSupportedRedundancyConfigsIndexedBuffer(uint8_t u8Handle, uint8_t u8Index,
                                                             RedundancyConfigRecord *psRecord) {
    if (psRecord == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    memset(psRecord, 0, sizeof(*psRecord));

    uint8_t au8Config[QAX_PSU_ELEMENT_CONFIG_SIZE];
    if (QAX_ReadPowerSupplyElementConfigurationRegister(u8Handle, au8Config) !=
        QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call get ps element configurations.\n", __func__);
        return QAX_STATUS_FAILED;
    }
    // The length asked travels in one byte, and so does the length answered.
    int iAsked = (int)au8Config[2] * (int)au8Config[3] + QAX_PSU_CONFIG_FIXED_LENGTH;
    if (iAsked > 0xFF) {
        QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Unexpected PSU type index list length [%d].\n", __func__,
               iAsked - QAX_PSU_CONFIG_FIXED_LENGTH);
        return QAX_STATUS_FAILED;
    }

    static const IndexedMessages sMessages = {
        "[%s] Failed to call IPMICmd(0x2E,0x81) and the result code is %d.\n",
        "[%s] Failed to call IPMICmd(0x2E,0x81) and the resp[0] is %d.\n"};
    uint8_t *pu8Response = NULL;
    unsigned int u32Status =
        ReadIndexedBuffer(__func__, u8Handle, QAX_PSU_BUFFER_CONFIGS, u8Index, (uint8_t)iAsked,
                          QAX_PSU_CONFIG_FIXED_LENGTH, QAX_STATUS_FAILED, sMessages, &pu8Response);
    if (u32Status == QAX_STATUS_SUCCESS) {
        FillConfigRecord(pu8Response, psRecord);
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "%s : Config properties is 0x%X\n",
               __func__, (unsigned)psRecord->u16Properties);
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "%s : Power Mode is %d\n", __func__,
               psRecord->u8PowerMode);
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "%s : Config is valid for PSUs: %d\n",
               __func__, psRecord->u8ValidForPSUs);
        // Checked above: the whole list lies within the bytes received.
        uint8_t u8ListLength = (uint8_t)(pu8Response[6] - QAX_PSU_CONFIG_FIXED_LENGTH);
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "%s : PSU type index buf length is [%d]\n", __func__, u8ListLength);
        if (u8ListLength > 0) {
            uint8_t *pu8List = (uint8_t *)malloc(u8ListLength);
            if (pu8List == NULL) {
                // The description then fails on the missing list.
                QaxLog(QAX_LOG_STDOUT | QAX_LOG_SYSLOG_WARNING, QAX_LOG_ALWAYS, NULL, NULL,
                       "[%s] Failed to allocate memory for PSU type index buffer.\n", __func__);
            } else {
                memcpy(pu8List,
                       pu8Response + QAX_PSU_INDEXED_HEADER_SIZE + QAX_PSU_CONFIG_FIXED_LENGTH,
                       u8ListLength);
                psRecord->pu8PSUTypeIndex = pu8List;
                psRecord->u8PSUTypeIndexLen = u8ListLength;
            }
        }
    }
    FreeRequestResponseBuffers(NULL, pu8Response);
    return u32Status;
}

// ---------------------------------------------------------------------------
// The description

static unsigned int DescribeFailure(PowerSupplyRedundancyInfo *psInfo, unsigned int u32Status,
                                    const char *pszFormat, ...)
    __attribute__((format(printf, 3, 4)));

static unsigned int DescribeFailure(PowerSupplyRedundancyInfo *psInfo, unsigned int u32Status,
                                    const char *pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(psInfo->szError, sizeof(psInfo->szError), pszFormat, args);
    va_end(args);
    return u32Status;
}

// The property bit that makes a configuration usable under the power control
// policy and the redundancy target.
static uint8_t PolicyBitOf(const PowerSupplyRedundancyInfo *psInfo,
                           const RedundancyConfigRecord *psConfig) {
    if (!psInfo->u8PolicyBit0Clear) {
        return psInfo->u8RedundancyTarget == 0 ? psConfig->u8PropertyBit2
                                               : psConfig->u8PropertyBit4;
    }
    return psInfo->u8RedundancyTarget == 0 ? psConfig->u8PropertyBit3 : psConfig->u8PropertyBit5;
}

// Formats configuration i's description into szText. Status 0, or 1 when its
// type index list has a length that no description exists for.
static unsigned int FormatDescription(const PowerSupplyRedundancyInfo *psInfo,
                                      const RedundancyConfigRecord *psConfig, char *szText,
                                      size_t uSize) {
    const uint8_t *pu8List = psConfig->pu8PSUTypeIndex;
    int iNeeded = psConfig->u8Needed;
    int iRedundant = psConfig->u8Redundant;
    if (psConfig->u8PSUTypeIndexLen == 2) {
        snprintf(szText, uSize, "%i+%i with one %iW power supply per feed", iNeeded, iRedundant,
                 (int)psInfo->psPSUTypes[pu8List[0]].u16RatedWatts);
        return 0;
    }
    if (psConfig->u8PSUTypeIndexLen == 4) {
        if (pu8List[0] == pu8List[1]) {
            snprintf(szText, uSize, "%i+%i with two %iW power supplies per feed", iNeeded,
                     iRedundant, (int)psInfo->psPSUTypes[pu8List[0]].u16RatedWatts);
        } else {
            snprintf(szText, uSize, "%i+%i with one %iW and %iW power supply per feed", iNeeded,
                     iRedundant, (int)psInfo->psPSUTypes[pu8List[0]].u16RatedWatts,
                     (int)psInfo->psPSUTypes[pu8List[1]].u16RatedWatts);
        }
        return 0;
    }
    return 1;
}

unsigned int DescribePowerSupplyRedundancy(PowerSupplyRedundancyInfo *psInfo) {
    if (psInfo == NULL) {
        return 1;
    }
    memset(psInfo, 0, sizeof(*psInfo));
    psInfo->i32ActiveConfig = -1;
    psInfo->i32TargetConfig = -1;

    uint8_t u8Handle = 0;
    if (QAX_IsSupported(QAX_MAIN_INSTANCE)) {
        u8Handle = QAX_GetModuleHandle(QAX_MAIN_INSTANCE);
    }
    if (u8Handle == 0) {
        return DescribeFailure(psInfo, 1, "Error getting QAX module handle");
    }

    unsigned int u32Status =
        QAX_ReadRedundancyTargetRegister(u8Handle, &psInfo->u8RedundancyTarget);
    if (u32Status != QAX_STATUS_SUCCESS) {
        return DescribeFailure(psInfo, u32Status, "Error reading redundancy target register, rc=%i",
                               (int)u32Status);
    }
    u32Status = QAX_ReadCFFPowerControlPolicyRegister(u8Handle, &psInfo->u8PowerControlPolicy);
    if (u32Status != QAX_STATUS_SUCCESS) {
        return DescribeFailure(psInfo, u32Status,
                               "Error reading power control policy register, rc=%i",
                               (int)u32Status);
    }
    psInfo->u8PolicyBit0Clear = (uint8_t)((psInfo->u8PowerControlPolicy & 0x01) == 0);
    psInfo->u8PolicyBit1Clear = (uint8_t)((psInfo->u8PowerControlPolicy & 0x02) == 0);

    uint8_t au8Config[QAX_PSU_ELEMENT_CONFIG_SIZE];
    u32Status = QAX_ReadPowerSupplyElementConfigurationRegister(u8Handle, au8Config);
    if (u32Status != QAX_STATUS_SUCCESS) {
        return DescribeFailure(psInfo, u32Status,
                               "Error reading power supply element configuration register, rc=%i",
                               (int)u32Status);
    }
    psInfo->supportedPSUTypes = au8Config[0];
    psInfo->supportedConfigs = au8Config[1];
    if (psInfo->supportedConfigs == 0 || psInfo->supportedPSUTypes == 0) {
        return DescribeFailure(psInfo, 1,
                               "Error reading power supply element configuration register, "
                               "unexpected values, supportedConfigs=%i supportedPSUTypes=%i",
                               (int)psInfo->supportedConfigs, (int)psInfo->supportedPSUTypes);
    }

    psInfo->psPSUTypes = (PowerSupplyTypeRecord *)calloc((size_t)psInfo->supportedPSUTypes,
                                                         sizeof(PowerSupplyTypeRecord));
    if (psInfo->psPSUTypes == NULL) {
        return DescribeFailure(psInfo, 1, "Error allocating memory for %i PSU types",
                               (int)psInfo->supportedPSUTypes);
    }
    for (int32_t i = 0; i < psInfo->supportedPSUTypes; i++) {
        u32Status =
            QAX_ReadSupportedPSUTypesIndexedBuffer(u8Handle, (uint8_t)i, &psInfo->psPSUTypes[i]);
        if (u32Status != QAX_STATUS_SUCCESS) {
            return DescribeFailure(psInfo, u32Status,
                                   "Error reading supported PSU types indexed buffer for index=%i, "
                                   "rc=%i",
                                   (int)i, (int)u32Status);
        }
    }

    size_t uConfigs = (size_t)psInfo->supportedConfigs;
    psInfo->psConfigs = (RedundancyConfigRecord *)calloc(uConfigs, sizeof(RedundancyConfigRecord));
    psInfo->ppszDescriptions = (char **)calloc(uConfigs, sizeof(char *));
    psInfo->pu8Usable = (uint8_t *)calloc(uConfigs, 1);
    if (psInfo->psConfigs == NULL || psInfo->ppszDescriptions == NULL ||
        psInfo->pu8Usable == NULL) {
        return DescribeFailure(psInfo, 1, "Error allocating memory for %i redundancy configs",
                               (int)psInfo->supportedConfigs);
    }

    char szDescription[QAX_REDUNDANCY_DESCRIPTION_SIZE];
    for (int32_t i = 0; i < psInfo->supportedConfigs; i++) {
        RedundancyConfigRecord *psConfig = &psInfo->psConfigs[i];
        u32Status = QAX_ReadSupportedRedundancyConfigsIndexedBuffer(u8Handle, (uint8_t)i, psConfig);
        if (u32Status != QAX_STATUS_SUCCESS) {
            return DescribeFailure(psInfo, u32Status,
                                   "Error reading supported redundancy configs indexed buffer for "
                                   "index=%i, rc=%i",
                                   (int)i, (int)u32Status);
        }
        if (psConfig->u8PropertyBit6) {
            psInfo->i32ActiveConfig = i;
        }
        if (psConfig->u8PSUTypeIndexLen == 0 || psConfig->pu8PSUTypeIndex == NULL) {
            return DescribeFailure(psInfo, 1, "Error, unexpected value for u8PSUTypeIndexLen=%i",
                                   (int)psConfig->u8PSUTypeIndexLen);
        }
        for (int j = 0; j < psConfig->u8PSUTypeIndexLen; j++) {
            if (psConfig->pu8PSUTypeIndex[j] >= psInfo->supportedPSUTypes) {
                return DescribeFailure(
                    psInfo, 1,
                    "Error, PSU index (%i) is larger than number of supported types (%i)",
                    (int)psConfig->pu8PSUTypeIndex[j], (int)psInfo->supportedPSUTypes);
            }
        }
        if (FormatDescription(psInfo, psConfig, szDescription, sizeof(szDescription)) != 0) {
            return DescribeFailure(psInfo, 1, "Error, unexpected value for u8PSUTypeIndexLen=%i",
                                   (int)psConfig->u8PSUTypeIndexLen);
        }
        psInfo->ppszDescriptions[i] = strdup(szDescription);
        if (psInfo->ppszDescriptions[i] == NULL) {
            return DescribeFailure(
                psInfo, 1, "Error allocating memory for the description of config %i", (int)i);
        }
        if (psInfo->i32TargetConfig < 0 && psConfig->u8PropertyBit0Clear) {
            psInfo->i32TargetConfig = i;
        }
        if (PolicyBitOf(psInfo, psConfig)) {
            psInfo->pu8Usable[i] = psConfig->u8ValidForPSUs;
            psInfo->i32UsableConfigs++;
        } else {
            psInfo->pu8Usable[i] = 0;
        }
    }

    if (psInfo->i32ActiveConfig < 0) {
        return DescribeFailure(psInfo, 1, "Error, no active configuration found");
    }
    return 0;
}

void FreePowerSupplyRedundancyInfo(PowerSupplyRedundancyInfo *psInfo) {
    if (psInfo == NULL) {
        return;
    }
    free(psInfo->psPSUTypes);
    psInfo->psPSUTypes = NULL;
    for (int32_t i = 0; i < psInfo->supportedConfigs; i++) {
        if (psInfo->psConfigs != NULL) {
            free(psInfo->psConfigs[i].pu8PSUTypeIndex);
            psInfo->psConfigs[i].pu8PSUTypeIndex = NULL;
            psInfo->psConfigs[i].u8PSUTypeIndexLen = 0;
        }
        if (psInfo->ppszDescriptions != NULL) {
            free(psInfo->ppszDescriptions[i]);
            psInfo->ppszDescriptions[i] = NULL;
        }
    }
    free(psInfo->psConfigs);
    psInfo->psConfigs = NULL;
    free(psInfo->ppszDescriptions);
    psInfo->ppszDescriptions = NULL;
    free(psInfo->pu8Usable);
    psInfo->pu8Usable = NULL;
}
