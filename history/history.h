// The rolling 24-hour power history and its performance twin, their
// persistent files, window files and printout.
#ifndef QAX_HISTORY_HISTORY_H
#define QAX_HISTORY_HISTORY_H

#include <stdint.h>

#pragma pack(push, 1)
struct PowerHistorySample {
    uint32_t timestamp;
    uint16_t minAC;
    uint16_t avgAC;
    uint16_t maxAC;
    uint16_t minDC;
    uint16_t avgDC;
    uint16_t maxDC;
};

struct PowerPerformanceSample {
    uint32_t timestamp;
    uint16_t min;
    uint16_t avg;
    uint16_t max;
    uint16_t cpu;
    uint16_t mem;
    uint16_t io;
};
#pragma pack(pop)

enum { QAX_HISTORY_SLOTS = 576 };

void trackPowerHistory(uint64_t timestamp, uint64_t powerAC, uint64_t powerDC);
void addSampleToPowerHistory(const PowerHistorySample *sample);
unsigned loadPowerHistory(void);
unsigned savePowerHistory(void);
void generatePowerHistoryWindowFiles(void);
void printPowerHistory(void);

void trackPowerPerformance(uint64_t timestamp, uint64_t system, uint64_t cpu, uint64_t mem,
                           uint64_t io);
void addSampleToPowerPerformance(const PowerPerformanceSample *sample);
unsigned loadPowerPerformance(void);
unsigned savePowerPerformance(void);
void generatePowerPerformanceWindowFiles(void);

#endif
