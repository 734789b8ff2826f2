// Firmware access over IPMI: the element-method protocol, module handles,
// register accessors, snapshot transfer and parsing, performance data and the
// power-supply redundancy description.
#ifndef QAX_FIRMWARE_FIRMWARE_H
#define QAX_FIRMWARE_FIRMWARE_H

#include "firmware/element_method.h"
#include "firmware/registers.h"
#include "firmware/snapshot.h"
#include "firmware/performance.h"
#include "firmware/redundancy.h"

#endif
