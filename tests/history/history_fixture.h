// Shared set-up of the history tests: a fresh root with a virtual clock, both
// histories back to their program-start state, and readers for the files and
// the trace that a user of the daemon would look at.
#ifndef QAX_TESTS_HISTORY_FIXTURE_H
#define QAX_TESTS_HISTORY_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/daemon.h"
#include "history/history_internal.h"
#include "platform/platform.h"
#include "test_root.h"

namespace histtest {

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline bool Exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A window file decoded: its count and its 24 records as raw samples.
struct Window {
    uint16_t count = 0;
    std::vector<PowerHistorySample> power;
    std::vector<PowerPerformanceSample> perf;
    size_t size = 0;
};

inline Window ReadWindow(const std::string &path) {
    Window w;
    std::string bytes = ReadFile(path);
    w.size = bytes.size();
    if (bytes.size() < 2) return w;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(bytes.data());
    w.count = HistoryGetLE16(p);
    for (size_t off = 2; off + 16 <= bytes.size(); off += 16) {
        PowerHistorySample s;
        DecodePowerHistorySample(p + off, &s);
        w.power.push_back(s);
        PowerPerformanceSample q;
        DecodePowerPerformanceSample(p + off, &q);
        w.perf.push_back(q);
    }
    return w;
}

inline bool IsZero(const PowerHistorySample &s) {
    static const PowerHistorySample kZero = {};
    return std::memcmp(&s, &kZero, sizeof(s)) == 0;
}

inline bool IsZero(const PowerPerformanceSample &s) {
    static const PowerPerformanceSample kZero = {};
    return std::memcmp(&s, &kZero, sizeof(s)) == 0;
}

// Full-file image: index, then 576 records.
inline std::string PowerImage(uint16_t index, const PowerHistorySample *table) {
    std::string bytes(QAX_HISTORY_FULL_FILE_SIZE, '\0');
    uint8_t *p = reinterpret_cast<uint8_t *>(&bytes[0]);
    HistoryPutLE16(p, index);
    for (int i = 0; i < QAX_HISTORY_SLOTS; i++) EncodePowerHistorySample(&table[i], p + 2 + 16 * i);
    return bytes;
}

class HistoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mkdir(Root("/tmp/qax_trace").c_str(), 0755);
        g_traceFileIndex = 0;
        g_traceLevel = 0;
        resetPowerHistoryState();
        resetPowerPerformanceState();
    }
    void TearDown() override {
        resetPowerHistoryState();
        resetPowerPerformanceState();
        g_traceLevel = 0;
    }

    std::string Root(const std::string &path) const { return root_.Path() + path; }
    // A new daemon with no stored history (for table-driven cases that share
    // one root).
    void FreshStart() const {
        resetPowerHistoryState();
        resetPowerPerformanceState();
        std::remove(Root("/pstorage/power/PowerHistoryFull").c_str());
        std::remove(Root("/pstorage/power/PowerPerformanceFull").c_str());
        ClearTrace();
    }
    std::string Trace() const { return ReadFile(Root("/tmp/qax_trace/qax_trace_log_0.txt")); }
    void ClearTrace() const { WriteFile(Root("/tmp/qax_trace/qax_trace_log_0.txt"), ""); }
    // Number of trace lines that contain `text`.
    int TraceCount(const std::string &text) const {
        std::istringstream lines(Trace());
        std::string line;
        int n = 0;
        while (std::getline(lines, line))
            if (line.find(text) != std::string::npos) n++;
        return n;
    }

    // Virtual wall clock in seconds; moving it moves the monotonic clock too.
    static uint64_t Now() { return QaxClockWallMs() / 1000; }
    static void AdvanceTo(uint64_t seconds) {
        uint64_t nowMs = QaxClockWallMs();
        if (seconds * 1000 > nowMs) QaxClockSleepUs((seconds * 1000 - nowMs) * 1000);
    }

    // One power reading at `t` seconds (the clock is moved there first).
    static void Power(uint64_t t, uint64_t ac, uint64_t dc) {
        AdvanceTo(t);
        trackPowerHistory(t * 1000, ac, dc);
    }

    // Samples of the power table from oldest to newest, never-written slots
    // left out.
    static std::vector<PowerHistorySample> PowerSamples() {
        std::vector<PowerHistorySample> out;
        for (int n = 0; n < QAX_HISTORY_SLOTS; n++) {
            const PowerHistorySample &s = powerHistory[(nextSampleIndex + n) % QAX_HISTORY_SLOTS];
            if (s.timestamp != 0) out.push_back(s);
        }
        return out;
    }
    static std::vector<PowerPerformanceSample> PerfSamples() {
        std::vector<PowerPerformanceSample> out;
        for (int n = 0; n < QAX_HISTORY_SLOTS; n++) {
            const PowerPerformanceSample &s =
                powerPerformance[(nextPerformanceSampleIndex + n) % QAX_HISTORY_SLOTS];
            if (s.timestamp != 0) out.push_back(s);
        }
        return out;
    }

    qaxtest::TestRoot root_;
};

}  // namespace histtest

#endif
