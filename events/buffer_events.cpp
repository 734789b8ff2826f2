// Snapshot status events: two bits of the status byte and two bits of the
// status word, reported on every change. Edge-triggered through five latches,
// so a lasting condition is reported once.

#include "daemon/trace.h"
#include "events/events.h"
#include "events/events_testing.h"
#include "platform/platform.h"

#define QAX_STATUS_GATE_MASK 0x0E
#define QAX_STATUS_GATE_VALUE 0x02
#define QAX_STATUS_BIT4 0x10
#define QAX_STATUS_BIT5 0x20
#define QAX_FLAG_BIT3 0x0008
#define QAX_FLAG_BIT2 0x0004

// What was last reported. Never reset after start-up, not even at a firmware
// reset: the conditions belong to the server, not to the snapshot sequence.
static uint8_t bStatusBit4Reported = 0;
static uint8_t bStatusBit5Reported = 0;
static uint8_t bStatusBothReported = 0;
static uint8_t bFlagBit3Reported = 0;
static uint8_t bFlagBit2Reported = 0;

// The latch is already set when this runs: a refused event is not repeated.
static void RaiseBufferEvent(unsigned int u32EventId) {
    if (sw_msg_dispatcher(u32EventId, NULL) != 0) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "CheckBufForSendSWEvent", "ERROR",
               "Generate sw message %d failed!!", (int)u32EventId);
    }
}

void CheckBufForSendSWEvent(const MetricValue *psBuffer) {
    if (psBuffer == NULL) {
        QaxLog(QAX_LOG_TRACE, QAX_LOG_ALWAYS, "CheckBufForSendSWEvent", "ERROR", "Null parament.");
        return;
    }
    if ((psBuffer->u8BufferStatus & QAX_STATUS_GATE_MASK) != QAX_STATUS_GATE_VALUE) {
        return;
    }

    int nBit4 = (psBuffer->u8BufferStatus & QAX_STATUS_BIT4) != 0;
    int nBit5 = (psBuffer->u8BufferStatus & QAX_STATUS_BIT5) != 0;
    if (nBit4 && nBit5) {
        if (!bStatusBothReported) {
            // Appearing together, the pair's event says it all; joining one
            // already reported, the newcomer gets its own event first.
            if (!bStatusBit4Reported && !bStatusBit5Reported) {
                bStatusBit4Reported = 1;
                bStatusBit5Reported = 1;
            } else if (!bStatusBit4Reported) {
                bStatusBit4Reported = 1;
                RaiseBufferEvent(QAX_EVENT_STATUS_BIT4);
            } else if (!bStatusBit5Reported) {
                bStatusBit5Reported = 1;
                RaiseBufferEvent(QAX_EVENT_STATUS_BIT5);
            }
            bStatusBothReported = 1;
            RaiseBufferEvent(QAX_EVENT_STATUS_BOTH);
        }
    } else {
        bStatusBothReported = 0;
        if (nBit4) {
            if (!bStatusBit4Reported) {
                bStatusBit4Reported = 1;
                RaiseBufferEvent(QAX_EVENT_STATUS_BIT4);
            }
            bStatusBit5Reported = 0;
        } else if (nBit5) {
            bStatusBit4Reported = 0;
            if (!bStatusBit5Reported) {
                bStatusBit5Reported = 1;
                RaiseBufferEvent(QAX_EVENT_STATUS_BIT5);
            }
        } else {
            bStatusBit4Reported = 0;
            bStatusBit5Reported = 0;
        }
    }

    int nFlag3 = (psBuffer->u16StatusFlags & QAX_FLAG_BIT3) != 0;
    if (nFlag3 && !bFlagBit3Reported) {
        bFlagBit3Reported = 1;
        RaiseBufferEvent(QAX_EVENT_FLAG_BIT3_SET);
    } else if (!nFlag3 && bFlagBit3Reported) {
        bFlagBit3Reported = 0;
        RaiseBufferEvent(QAX_EVENT_FLAG_BIT3_CLEAR);
    }

    int nFlag2 = (psBuffer->u16StatusFlags & QAX_FLAG_BIT2) != 0;
    if (nFlag2 && !bFlagBit2Reported) {
        bFlagBit2Reported = 1;
        RaiseBufferEvent(QAX_EVENT_FLAG_BIT2_SET);
    } else if (!nFlag2 && bFlagBit2Reported) {
        bFlagBit2Reported = 0;
        RaiseBufferEvent(QAX_EVENT_FLAG_BIT2_CLEAR);
    }
}

void ResetBufferEventLatchesForTest(void) {
    bStatusBit4Reported = 0;
    bStatusBit5Reported = 0;
    bStatusBothReported = 0;
    bFlagBit3Reported = 0;
    bFlagBit2Reported = 0;
}
