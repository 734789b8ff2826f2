// Blade inlet temperatures from the controller's sensor records.
//
// The records come from the platform and are untrusted: every field is read
// within its own 1492-byte record and within the bytes the query reported.
#include <stdlib.h>
#include <string.h>

#include "daemon/trace.h"
#include "firmware/element_method.h"
#include "metrics/metrics.h"
#include "platform/platform.h"

// Index order is part of the metric log format: the log stores the index,
// the report turns it back into the name.
const char *const InletSensorNameTable[QAX_INLET_SENSOR_NAMES] = {
    "Inlet Temp", "Inlet 1 Temp", "Inlet 2 Temp", "PEN Inlet Temp", "SEN Inlet Temp",
};

static const char *const kInletFunction = "WriteBladeInletTemperatureFromInletSensor";

enum {
    QAX_SENSOR_TYPE_TEMPERATURE = 1,
    QAX_SENSOR_RECORD_COUNT = 768,
    QAX_SENSOR_BUFFER_SIZE = QAX_SENSOR_RECORD_SIZE * QAX_SENSOR_RECORD_COUNT,  // 1,145,856
    QAX_SENSOR_VALID_OFFSET = 2,
    QAX_SENSOR_NAME_OFFSET = 6,
    QAX_SENSOR_READING_OFFSET = 198,
    // Longer than every table name plus its terminator: a longer name cannot
    // match, so nothing past this is looked at.
    QAX_SENSOR_NAME_COMPARE = 16,
    QAX_INLET_READING_KEPT = 63,
};

uint32_t GetInletSensorIndex(const char *szName) {
    if (szName == NULL) return QAX_INLET_SENSOR_NAMES;
    for (uint32_t u32Index = 0; u32Index < QAX_INLET_SENSOR_NAMES; u32Index++) {
        if (strcmp(szName, InletSensorNameTable[u32Index]) == 0) return u32Index;
    }
    return QAX_INLET_SENSOR_NAMES;
}

// Copies the record's name into szName when it is terminated within the
// compared length; an unterminated or longer name yields "" (no match).
static void RecordName(const uint8_t *pu8Record, char *szName) {
    const char *pszField = (const char *)(pu8Record + QAX_SENSOR_NAME_OFFSET);
    size_t u32Length = strnlen(pszField, QAX_SENSOR_NAME_COMPARE);
    if (u32Length >= QAX_SENSOR_NAME_COMPARE) u32Length = 0;
    memcpy(szName, pszField, u32Length);
    szName[u32Length] = '\0';
}

int WriteBladeInletTemperatureFromInletSensor(void) {
    if (!IsBladePlatform()) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "%s -- non-blade platform does not need read inlet temperature from ipmi sensor at "
               "all\n",
               kInletFunction);
        return 0;
    }

    uint8_t *pu8Buffer = (uint8_t *)malloc(QAX_SENSOR_BUFFER_SIZE);
    if (pu8Buffer == NULL) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "Unable to malloc (%d bytes)memory for sensor info\n)", QAX_SENSOR_BUFFER_SIZE);
        return 1;
    }

    uint32_t u32Length = 1;
    uint8_t u8Type = QAX_SENSOR_TYPE_TEMPERATURE;
    int iResult = GetAllSensorInfoByType(&u32Length, QAX_SENSOR_BUFFER_SIZE, &u8Type, pu8Buffer);
    if (iResult != 0) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
               "Unable to get sensor info (type %d), AIM returned %d\n", u8Type, iResult);
        free(pu8Buffer);
        return 1;
    }
    if (u32Length < QAX_SENSOR_RECORD_SIZE) {
        QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL, "No sensor info for type %d\n", u8Type);
        free(pu8Buffer);
        return 1;
    }
    // A length claiming more than the buffer holds is bounded by the buffer.
    if (u32Length > QAX_SENSOR_BUFFER_SIZE) u32Length = QAX_SENSOR_BUFFER_SIZE;
    const uint32_t u32Records = u32Length / QAX_SENSOR_RECORD_SIZE;
    QaxLog(QAX_LOG_STDOUT, QAX_LOG_ALWAYS, NULL, NULL,
           "totally there are %d sensor info for type %d\n", (int)u32Records, u8Type);

    for (uint32_t i = 0; i < u32Records; i++) {
        const uint8_t *pu8Record = pu8Buffer + (size_t)i * QAX_SENSOR_RECORD_SIZE;
        if (pu8Record[QAX_SENSOR_VALID_OFFSET] != 0) continue;
        char szName[QAX_SENSOR_NAME_COMPARE];
        RecordName(pu8Record, szName);
        const uint32_t u32Index = GetInletSensorIndex(szName);
        if (u32Index >= QAX_INLET_SENSOR_NAMES) continue;
        // A full list (255 nodes) takes no more: its 8-bit count could not
        // say so, and the log file could not hold them.
        if (sInletTemperatureBuffer.u8Count == UINT8_MAX) break;

        InletTemperatureNode *psNode =
            (InletTemperatureNode *)calloc(1, sizeof(InletTemperatureNode));
        if (psNode == NULL) {
            free(pu8Buffer);
            return 1;
        }
        psNode->u32SensorIndex = u32Index;
        // The reading is text of unknown length: at most 63 characters, never
        // past the end of its record; the node's last character stays 0.
        const char *pszReading = (const char *)(pu8Record + QAX_SENSOR_READING_OFFSET);
        size_t u32Kept = strnlen(pszReading, QAX_SENSOR_RECORD_SIZE - QAX_SENSOR_READING_OFFSET);
        if (u32Kept > QAX_INLET_READING_KEPT) u32Kept = QAX_INLET_READING_KEPT;
        memcpy(psNode->szTemperature, pszReading, u32Kept);

        if (strcmp(psNode->szTemperature, "Unavailable") == 0) {
            QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, kInletFunction, "WARN",
                   "Sensor[%s] 's inlet temp is %s", szName, psNode->szTemperature);
        }

        psNode->psNext =
            sInletTemperatureBuffer.u8Count != 0 ? sInletTemperatureBuffer.psFirst : NULL;
        sInletTemperatureBuffer.psFirst = psNode;
        sInletTemperatureBuffer.u8Count++;
    }

    free(pu8Buffer);
    return 0;
}
