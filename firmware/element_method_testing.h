// Test hooks of the firmware access: not part of the library's public face.
#ifndef QAX_FIRMWARE_ELEMENT_METHOD_TESTING_H
#define QAX_FIRMWARE_ELEMENT_METHOD_TESTING_H

// Forgets the process-wide support cache, as in a new process.
void QAX_ResetSupportCacheForTest(void);

#endif
