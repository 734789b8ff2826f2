// Test hooks of the event checks: not part of the library's public face.
#ifndef QAX_EVENTS_EVENTS_TESTING_H
#define QAX_EVENTS_EVENTS_TESTING_H

// The five status latches back to 0, as at process start.
void ResetBufferEventLatchesForTest(void);

#endif
