// Snapshot status events. Not built yet: no event is raised.
#include "events/events.h"

void CheckBufForSendSWEvent(const MetricValue *psBuffer) { (void)psBuffer; }
