// The file names of the metric log directory (kMetricLogDir in
// daemon/trace.h) and the sizes of its binary format, shared by the writer and
// the reader so that the two cannot drift apart.
#ifndef QAX_METRICS_METRIC_LOG_FORMAT_H
#define QAX_METRICS_METRIC_LOG_FORMAT_H

#include "daemon/trace.h"

static const char *const kLogCountName = "qax_num.log";
static const char *const kLogLastName = "qax_last.log";

enum {
    QAX_LOG_FILE_RING = 120,
    QAX_LOG_NAME_SIZE = 32,
    QAX_ENTRY_BYTES = 24,
    QAX_INLET_RECORD_BYTES = 68,
    QAX_INLET_TEXT_BYTES = 64,
};

#endif
