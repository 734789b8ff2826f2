// The platform interfaces the daemon stands on: configuration store, IPMI
// request call, software-event dispatcher, sensor query, process pipe, clock
// and path prefix. Everything the daemon reads from the clock or writes to an
// absolute path goes through here.
#ifndef QAX_PLATFORM_PLATFORM_H
#define QAX_PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

// ---------------------------------------------------------------------------
// Configuration store ("aim"). Getters answer non-zero when the key holds a
// value; setters answer non-zero when stored. The setters' third argument
// chooses durability: 1 = persistent database under /pstorage, 0 = volatile
// database under /tmp. A key lives in exactly one of them.
int aim_config_get_int(const char *key, int32_t *value);
int aim_config_get_bool(const char *key, uint8_t *value);
int aim_config_set_int(const char *key, int32_t value, int persistent);
int aim_config_set_int64(const char *key, int64_t value, int persistent);
int aim_config_set_bool(const char *key, uint8_t value, int persistent);
int aim_config_clear(const char *key);

// Reads a 64-bit value (published figures are 64-bit); same contract as the
// other getters. Used by tools and tests.
int aim_config_get_int64(const char *key, int64_t *value);

// Groups the volatile writes that follow, up to aim_config_batch_end, into
// one transaction (the cycle's publication): the store does its work once
// rather than per key, and readers see the figures of one snapshot together.
// This process sees each write at once; other processes at the batch's end.
// Without a usable volatile database every write goes alone, as before.
void aim_config_batch_begin(void);
void aim_config_batch_end(void);

// Closes the store's database handles (tests, tools, and before exit).
void aim_config_close(void);

// ---------------------------------------------------------------------------
// IPMI request call. Returns 0 when `response` holds the answer starting with
// its completion code; non-zero when no answer was received. `*responseLen`
// holds the capacity on entry and the number of answer bytes on return.
int IPMI_DoIPMICmd(int netFn, int cmd, uint8_t *request, int requestLen, uint8_t *response,
                   int *responseLen);

// Number of IPMI requests sent by this process so far (benchmarks).
uint64_t QaxIpmiRequestCount(void);

// ---------------------------------------------------------------------------
// Software-event dispatcher. For events 114-116 `record` points to two
// 64-byte zero-terminated texts (old value, new value); otherwise it may be
// null. Returns 0 when the event was recorded.
int sw_msg_dispatcher(unsigned int eventId, void *record);

// ---------------------------------------------------------------------------
// Sensor records: 1492-byte records of the given sensor type, one after the
// other, into `buffer` of `bufferSize` bytes. `*length` holds 1 on entry and
// receives the number of bytes written. Returns 0 on success.
enum { QAX_SENSOR_RECORD_SIZE = 1492 };
int GetAllSensorInfoByType(uint32_t *length, uint32_t bufferSize, uint8_t *sensorType,
                           uint8_t *buffer);

// ---------------------------------------------------------------------------
// Process pipe without a shell: the command text is split on blanks into an
// argument vector and executed directly. Only mode "r" is supported.
FILE *secure_popen(const char *command, const char *mode);
int secure_pclose(FILE *stream);

// ---------------------------------------------------------------------------
// Clock. QAX_CLOCK selects it: unset = the real clocks; "xN" = time runs N
// times faster (virtual = S + (real - S) * N, S from QAX_CLOCK_START);
// "virtual" = discrete-event time in this process, a sleep returns at once
// with the clock moved forward.
uint64_t QaxClockWallMs(void);           // wall clock, milliseconds since the epoch
uint64_t QaxClockMonotonicMs(void);      // never goes backwards, unaffected by wall jumps
int QaxClockUptime(long *seconds);       // system uptime; 0 on success, -1 with errno
void QaxClockLocalTime(struct tm *out);  // local time of the wall clock
void QaxClockSleepUs(uint64_t microseconds);
// Moves the wall clock (not the monotonic clock) by `seconds`, as an operator
// setting the time would. Used by the emulator's timeline.
void QaxClockJumpWall(int64_t seconds);
// Re-reads QAX_CLOCK / QAX_CLOCK_START (tests that change the environment).
void QaxClockReset(void);

// ---------------------------------------------------------------------------
// Paths. Every absolute path of the daemon and the store goes through
// QaxPath, which prefixes QAX_ROOT when it is set (creating $QAX_ROOT/tmp and
// $QAX_ROOT/pstorage as needed). Returns `out` (or `path` itself when
// QAX_ROOT is unset); null when the result does not fit.
const char *QaxPath(const char *path, char *out, size_t outSize);

// 1 when process `pid` belongs to this installation: always when QAX_ROOT is
// unset (the controller itself, one daemon per machine); otherwise when it
// runs with the same QAX_ROOT, so that daemons of different roots (one per
// controller on a management host, parallel tests) do not count each other.
int QaxProcessSharesRoot(int pid);

#endif
