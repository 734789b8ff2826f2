// Blade inlet temperatures from the controller's sensor records.
#include <string.h>

#include "metrics/metrics.h"

// Index order is part of the metric log format.
static const char *const InletSensorNameTable[] = {
    "Inlet Temp", "Inlet 1 Temp", "Inlet 2 Temp", "PEN Inlet Temp", "SEN Inlet Temp",
};
enum { INLET_SENSOR_NAME_COUNT = 5 };

uint32_t GetInletSensorIndex(const char *szName) {
    if (szName == NULL) return INLET_SENSOR_NAME_COUNT;
    for (uint32_t u32Index = 0; u32Index < INLET_SENSOR_NAME_COUNT; u32Index++) {
        if (strcmp(szName, InletSensorNameTable[u32Index]) == 0) return u32Index;
    }
    return INLET_SENSOR_NAME_COUNT;
}

// Collecting the readings is not built yet: nothing is added to the list.
int WriteBladeInletTemperatureFromInletSensor(void) { return 0; }
