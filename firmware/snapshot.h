// Buffer configurations, the chunked snapshot transfer and the snapshot
// parser.
#ifndef QAX_FIRMWARE_SNAPSHOT_H
#define QAX_FIRMWARE_SNAPSHOT_H

#include <stdint.h>

#include "metrics/records.h"

// Snapshot transfer limits.
#define QAX_SNAPSHOT_READ_REQUEST_SIZE 10
#define QAX_SNAPSHOT_READ_RESPONSE_HEADER 8  // completion code, 3 bytes, tag, length
#define QAX_SNAPSHOT_MAX_REQUESTS 6          // a transfer must complete within six reads

// Configuration reads. Every output is cleared first; a null output gives
// 253 without a request. The unused configuration values are handed back
// uninterpreted.

// Power histogram (element 0x02): start, second value, number of regular
// buckets, step, counter width in bytes, last byte.
unsigned int QAX_ReadPowerHistogramConfiguration(uint8_t u8Handle, uint16_t *pu16Start,
                                                 uint16_t *pu16Second, uint8_t *pu8BucketNumber,
                                                 uint8_t *pu8Step, uint8_t *pu8Width,
                                                 uint8_t *pu8Last);
// Snapshot buffer (element 0x03): chunk size, second value, total size.
unsigned int QAX_ReadSnapshotBufferConfiguration(uint8_t u8Handle, uint16_t *pu16ChunkSize,
                                                 uint16_t *pu16Second, uint16_t *pu16TotalSize);
// Input power buffer (element 0x0B): response bytes 6..13 into
// pu8Config[0..7] (pu8Config[1] = supply entries, [2] = records per entry,
// [3] = header bytes per record, [4] = first value width, [5] = second value
// width).
unsigned int QAX_ReadInputPowerBufferConfiguration(uint8_t u8Handle, uint8_t pu8Config[8]);

// Reads up to u16Length bytes of the snapshot at u16Offset into pu8Dest,
// which must hold u16Length bytes. *pu16Tag and *pu16Returned are cleared
// first, then receive the snapshot tag and the number of bytes copied. An
// answer claiming more than u16Length bytes, or shorter than it claims, is
// rejected with 255 and nothing is copied.
unsigned int QAX_ReadSnapshotBuffer(uint8_t u8Handle, uint16_t u16Offset, uint16_t u16Length,
                                    uint16_t *pu16Tag, uint16_t *pu16Returned, uint8_t *pu8Dest);

// Transfers the whole snapshot (u16TotalSize bytes) into pu8Dest in chunks
// of at most u16ChunkSize, restarting when the tag changes mid-transfer. The
// transfer must complete within six reads, restarts included; otherwise 255
// with *pu16BytesRead and *pu16Tag 0.
unsigned int ReadTotalSnapshotBuffer(uint8_t u8Handle, uint16_t u16ChunkSize, uint16_t u16TotalSize,
                                     uint16_t *pu16BytesRead, uint8_t *pu8Dest, uint16_t *pu16Tag);

// Parses the u32Length transferred bytes of a raw snapshot into psBuffer (a
// zero-filled record) and psHistogramData, asking the firmware for the
// configurations that define the layout. A snapshot shorter than its layout
// gives 255. Whatever was allocated is attached to psBuffer or
// psHistogramData at once, so on any failure the caller releases it there.
unsigned int ParseSnapshotBuffer(uint8_t u8Handle, const uint8_t *pu8Snapshot, uint32_t u32Length,
                                 MetricValue *psBuffer, HistogramData *psHistogramData);

// Fetches, transfers and parses the current snapshot into a new record.
unsigned int GetSnapshotBufferFromQAX(MetricValue **ppsBuffer, HistogramData *psHistogramData);

#endif
