// Buffer configurations and the chunked snapshot transfer. The firmware may
// replace its snapshot while we read it in chunks; the snapshot tag of every
// chunk tells us when that happened.
#include <stdlib.h>
#include <string.h>

#include "daemon/trace.h"
#include "firmware/element_method.h"
#include "firmware/snapshot.h"
#include "platform/platform.h"

// Answer sizes of the configuration reads.
#define QAX_HISTOGRAM_CONFIGURATION_SIZE 14
#define QAX_SNAPSHOT_CONFIGURATION_SIZE 12
#define QAX_INPUT_POWER_CONFIGURATION_SIZE 14

namespace {

void ReportLengthMismatch(const char *szFunction, int iLength, int iExpected) {
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
           "[%s] The response length (%d) does not match the expected length (%d)!\n", szFunction,
           iLength, iExpected);
}

// Sends one element-method request and checks the answer: the call itself,
// the completion code, and that at least iMinLength bytes came back (an
// answer that stops short would leave fields we would decode from zero fill).
// *piLength receives the answer's length.
unsigned int SendElementMethod(const char *szFunction, uint8_t *pu8Request, int iRequestLength,
                               uint8_t *pu8Response, int iCapacity, int iMinLength, int *piLength) {
    int iLength = iCapacity;
    *piLength = 0;
    int iResult = IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD, pu8Request,
                                 iRequestLength, pu8Response, &iLength);
    if (iResult != 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) "
               "and the result code is %d.\n",
               szFunction, iResult);
        return QAX_STATUS_FAILED;
    }
    if (iLength > 0 && pu8Response[0] != 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call IPMI Command(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) and "
               "the result code is %d.\n",
               szFunction, pu8Response[0]);
        return pu8Response[0];
    }
    if (iLength < iMinLength || iLength > iCapacity) {
        ReportLengthMismatch(szFunction, iLength, iMinLength);
        return QAX_STATUS_FAILED;
    }
    *piLength = iLength;
    return QAX_STATUS_SUCCESS;
}

// A configuration read (method 0x80) of one element. On success
// *ppu8Response holds the iSize-byte answer, which the caller frees.
unsigned int ReadConfiguration(const char *szFunction, uint8_t u8Handle, uint8_t u8Element,
                               int iSize, uint8_t **ppu8Response) {
    *ppu8Response = NULL;
    uint8_t *pu8Request = NULL;
    if (GetInvokeElementMethodRequestBuffer(u8Handle, u8Element, QAX_METHOD_READ_CONFIGURATION,
                                            QAX_REQUEST_HEADER_SIZE, &pu8Request) != 0 ||
        pu8Request == NULL) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call GetInvokeElementMethodRequestBuffer().\n", szFunction);
        return QAX_STATUS_NO_MEMORY;
    }
    uint8_t *pu8Response = (uint8_t *)calloc(1, (size_t)iSize);
    if (pu8Response == NULL) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to allocate memory for response buffer.\n", szFunction);
        FreeRequestResponseBuffers(pu8Request, NULL);
        return QAX_STATUS_NO_MEMORY;
    }
    int iLength = 0;
    unsigned int u32Status = SendElementMethod(szFunction, pu8Request, QAX_REQUEST_HEADER_SIZE,
                                               pu8Response, iSize, iSize, &iLength);
    FreeRequestResponseBuffers(pu8Request, NULL);
    if (u32Status != QAX_STATUS_SUCCESS) {
        free(pu8Response);
        return u32Status;
    }
    *ppu8Response = pu8Response;
    return QAX_STATUS_SUCCESS;
}

}  // namespace

unsigned int QAX_ReadPowerHistogramConfiguration(uint8_t u8Handle, uint16_t *pu16Start,
                                                 uint16_t *pu16Second, uint8_t *pu8BucketNumber,
                                                 uint8_t *pu8Step, uint8_t *pu8Width,
                                                 uint8_t *pu8Last) {
    if (pu16Start == NULL || pu16Second == NULL || pu8BucketNumber == NULL || pu8Step == NULL ||
        pu8Width == NULL || pu8Last == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    *pu16Start = 0;
    *pu16Second = 0;
    *pu8BucketNumber = 0;
    *pu8Step = 0;
    *pu8Width = 0;
    *pu8Last = 0;

    uint8_t *pu8Response = NULL;
    unsigned int u32Status = ReadConfiguration(__func__, u8Handle, QAX_ELEMENT_POWER_HISTOGRAM,
                                               QAX_HISTOGRAM_CONFIGURATION_SIZE, &pu8Response);
    if (u32Status != QAX_STATUS_SUCCESS) return u32Status;
    *pu16Start = (uint16_t)ReadBigEndianField(6, pu8Response, 2);
    *pu16Second = (uint16_t)ReadBigEndianField(8, pu8Response, 2);
    *pu8BucketNumber = pu8Response[10];
    *pu8Step = pu8Response[11];
    *pu8Width = pu8Response[12];
    *pu8Last = pu8Response[13];
    free(pu8Response);
    return QAX_STATUS_SUCCESS;
}

unsigned int QAX_ReadSnapshotBufferConfiguration(uint8_t u8Handle, uint16_t *pu16ChunkSize,
                                                 uint16_t *pu16Second, uint16_t *pu16TotalSize) {
    if (pu16ChunkSize == NULL || pu16Second == NULL || pu16TotalSize == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    *pu16ChunkSize = 0;
    *pu16Second = 0;
    *pu16TotalSize = 0;

    uint8_t *pu8Response = NULL;
    unsigned int u32Status = ReadConfiguration(__func__, u8Handle, QAX_ELEMENT_SNAPSHOT,
                                               QAX_SNAPSHOT_CONFIGURATION_SIZE, &pu8Response);
    if (u32Status != QAX_STATUS_SUCCESS) return u32Status;
    *pu16ChunkSize = (uint16_t)ReadBigEndianField(6, pu8Response, 2);
    *pu16Second = (uint16_t)ReadBigEndianField(8, pu8Response, 2);
    *pu16TotalSize = (uint16_t)ReadBigEndianField(10, pu8Response, 2);
    free(pu8Response);
    return QAX_STATUS_SUCCESS;
}

unsigned int QAX_ReadInputPowerBufferConfiguration(uint8_t u8Handle, uint8_t pu8Config[8]) {
    if (pu8Config == NULL) return QAX_STATUS_MISSING_ARGUMENT;
    memset(pu8Config, 0, 8);

    uint8_t *pu8Response = NULL;
    unsigned int u32Status = ReadConfiguration(__func__, u8Handle, QAX_ELEMENT_INPUT_POWER,
                                               QAX_INPUT_POWER_CONFIGURATION_SIZE, &pu8Response);
    if (u32Status != QAX_STATUS_SUCCESS) return u32Status;
    memcpy(pu8Config, pu8Response + 6, 8);
    free(pu8Response);
    return QAX_STATUS_SUCCESS;
}

unsigned int QAX_ReadSnapshotBuffer(uint8_t u8Handle, uint16_t u16Offset, uint16_t u16Length,
                                    uint16_t *pu16Tag, uint16_t *pu16Returned, uint8_t *pu8Dest) {
    if (pu16Tag != NULL) *pu16Tag = 0;
    if (pu16Returned != NULL) *pu16Returned = 0;
    if (pu8Dest == NULL || pu16Tag == NULL || pu16Returned == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }

    uint8_t *pu8Request = NULL;
    if (GetInvokeElementMethodRequestBuffer(u8Handle, QAX_ELEMENT_SNAPSHOT, QAX_METHOD_READ_BUFFER,
                                            QAX_SNAPSHOT_READ_REQUEST_SIZE, &pu8Request) != 0 ||
        pu8Request == NULL) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s]Failed to call GetInvokeElementMethodRequestBuffer().\n", __func__);
        return QAX_STATUS_NO_MEMORY;
    }
    pu8Request[6] = (uint8_t)(u16Offset >> 8);
    pu8Request[7] = (uint8_t)(u16Offset & 0xFF);
    pu8Request[8] = (uint8_t)(u16Length >> 8);
    pu8Request[9] = (uint8_t)(u16Length & 0xFF);

    const int iCapacity = (int)u16Length + QAX_SNAPSHOT_READ_RESPONSE_HEADER;
    uint8_t *pu8Response = (uint8_t *)calloc(1, (size_t)iCapacity);
    if (pu8Response == NULL) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to allocate memory for response buffer.\n", __func__);
        FreeRequestResponseBuffers(pu8Request, NULL);
        return QAX_STATUS_NO_MEMORY;
    }

    int iLength = 0;
    unsigned int u32Status =
        SendElementMethod(__func__, pu8Request, QAX_SNAPSHOT_READ_REQUEST_SIZE, pu8Response,
                          iCapacity, QAX_SNAPSHOT_READ_RESPONSE_HEADER, &iLength);
    if (u32Status == QAX_STATUS_SUCCESS) {
        *pu16Tag = (uint16_t)ReadBigEndianField(4, pu8Response, 2);
        *pu16Returned = (uint16_t)ReadBigEndianField(6, pu8Response, 2);
        const int iAnswered = QAX_SNAPSHOT_READ_RESPONSE_HEADER + *pu16Returned;
        if (*pu16Returned > u16Length) {
            QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
                   "[%s] The returned buffer size (%d) is bigger than expected size (%d)!\n",
                   __func__, *pu16Returned, u16Length);
            u32Status = QAX_STATUS_FAILED;
        } else if (iLength < iAnswered) {
            // The answer stops before the data it claims: nothing of it is
            // trusted.
            ReportLengthMismatch(__func__, iLength, iAnswered);
            u32Status = QAX_STATUS_FAILED;
        } else {
            memcpy(pu8Dest, pu8Response + QAX_SNAPSHOT_READ_RESPONSE_HEADER, *pu16Returned);
        }
    }
    FreeRequestResponseBuffers(pu8Request, pu8Response);
    return u32Status;
}

unsigned int ReadTotalSnapshotBuffer(uint8_t u8Handle, uint16_t u16ChunkSize, uint16_t u16TotalSize,
                                     uint16_t *pu16BytesRead, uint8_t *pu8Dest, uint16_t *pu16Tag) {
    if (pu16Tag != NULL) *pu16Tag = 0;
    if (u16ChunkSize == 0 || u16TotalSize == 0 || pu8Dest == NULL || pu16BytesRead == NULL ||
        pu16Tag == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }

    uint16_t u16Offset = 0;
    uint16_t u16Remaining = u16TotalSize;
    uint16_t u16PreviousTag = 0;
    unsigned int u32Requests = 0;
    *pu16BytesRead = 0;

    for (;;) {
        uint16_t u16Wanted = u16ChunkSize < u16Remaining ? u16ChunkSize : u16Remaining;
        uint16_t u16Tag = 0;
        uint16_t u16Returned = 0;
        unsigned int u32Status = QAX_ReadSnapshotBuffer(u8Handle, u16Offset, u16Wanted, &u16Tag,
                                                        &u16Returned, pu8Dest + u16Offset);
        if (u32Status != QAX_STATUS_SUCCESS) return u32Status;
        u32Requests++;

        if (u16PreviousTag != 0 && u16Tag != u16PreviousTag) {
            // The firmware replaced its snapshot under us: start over.
            *pu16BytesRead = 0;
            if (u32Requests > QAX_SNAPSHOT_MAX_REQUESTS) break;
            u16Offset = 0;
            u16Remaining = u16TotalSize;
            u16PreviousTag = 0;
            continue;
        }

        // u16Returned <= u16Wanted <= u16Remaining, so the next chunk still
        // lands inside the destination.
        u16Offset = (uint16_t)(u16Offset + u16Returned);
        u16Remaining = (uint16_t)(u16Remaining - u16Returned);
        *pu16BytesRead = (uint16_t)(*pu16BytesRead + u16Returned);
        if (u32Requests > QAX_SNAPSHOT_MAX_REQUESTS) break;
        if (u16Remaining == 0) {
            *pu16Tag = u16Tag;
            return QAX_STATUS_SUCCESS;
        }
        u16PreviousTag = u16Tag;
    }

    *pu16BytesRead = 0;
    *pu16Tag = 0;
    return QAX_STATUS_FAILED;
}

unsigned int GetSnapshotBufferFromQAX(MetricValue **ppsBuffer, HistogramData *psHistogramData) {
    if (ppsBuffer == NULL) return QAX_STATUS_MISSING_ARGUMENT;
    *ppsBuffer = NULL;
    if (psHistogramData == NULL) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] The point of sHistogramData is NULL.\n", __func__);
        return QAX_STATUS_MISSING_ARGUMENT;
    }

    uint8_t u8Handle = 0;
    if (!QAX_IsSupported(QAX_MAIN_INSTANCE) ||
        (u8Handle = QAX_GetModuleHandle(QAX_MAIN_INSTANCE)) == 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call QAX_GetModuleHandle().\n", __func__);
        return QAX_STATUS_FAILED;
    }

    uint16_t u16ChunkSize = 0;
    uint16_t u16Second = 0;
    uint16_t u16TotalSize = 0;
    unsigned int u32Status =
        QAX_ReadSnapshotBufferConfiguration(u8Handle, &u16ChunkSize, &u16Second, &u16TotalSize);
    if (u32Status != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "Failed to call QAX_ReadSnapshotBufferConfiguration() and the result code is %d.\n",
               u32Status);
        return u32Status;
    }

    // At least one byte, so that an empty configured snapshot is refused by
    // the transfer (253) rather than taken for an allocation failure.
    uint8_t *pu8Raw = (uint8_t *)malloc(u16TotalSize != 0 ? u16TotalSize : 1);
    if (pu8Raw == NULL) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to allocate memory for snapshot buffer.\n", __func__);
        return QAX_STATUS_NO_MEMORY;
    }

    uint16_t u16BytesRead = 0;
    uint16_t u16Tag = 0;
    u32Status = ReadTotalSnapshotBuffer(u8Handle, u16ChunkSize, u16TotalSize, &u16BytesRead, pu8Raw,
                                        &u16Tag);
    if (u32Status != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "Failed to call ReadTotalSnapshotBuffer() and the result code is %d.\n", u32Status);
        free(pu8Raw);
        return u32Status;
    }

    MetricValue *psBuffer = (MetricValue *)calloc(1, sizeof(MetricValue));
    if (psBuffer == NULL) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to allocate memory for snapshot buffer struct.\n", __func__);
        free(pu8Raw);
        return QAX_STATUS_NO_MEMORY;
    }
    *ppsBuffer = psBuffer;

    u32Status = ParseSnapshotBuffer(u8Handle, pu8Raw, u16BytesRead, psBuffer, psHistogramData);
    free(pu8Raw);
    if (u32Status != QAX_STATUS_SUCCESS) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "[%s] Failed to call ParseSnapshotBuffer(), return code is %d.\n", __func__,
               u32Status);
        free(psHistogramData->pu8Counters);
        psHistogramData->pu8Counters = NULL;
        FreeMetricValue(psBuffer);
        *ppsBuffer = NULL;
        return u32Status;
    }
    psBuffer->u16Tag = u16Tag;
    return QAX_STATUS_SUCCESS;
}
