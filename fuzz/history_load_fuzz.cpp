// Fuzz target for the two histories. The input carries a full file and a
// short script of what happens to it: the file becomes the power history or
// the performance file of a private root (one per input: they share the
// reader, the codec and the gap filler, and each costs the same again). It
// is then either printed ("-P", power only), or loaded by the daemon's
// start-up, given to the window writer with an untrusted index and width,
// and followed by a few readings; the table may be saved.
//
// Readings are what a daemon sees: times from the newest stored sample on,
// each up to a minute after the one before or a period more, and at most one
// jump of the clock (up to about 32 hours either way, so a gap can exceed
// the ring).
//
// Speed matters: every closed period rewrites four window files, and a trace
// line costs about 5 us, a hundred of them per window update of the
// performance history at level 0. So one input in 32 traces, picked by a
// hash of the whole input: the mutations of a traced input seldom trace
// too, and slow inputs do not multiply in the corpus. The jump never traces
// (a line per gap-filled slot).
//
// Input layout:
//   0      bit 0 the performance history instead of the power history;
//          bit 1 print the power history instead of tracking; bits 2-3 the
//          save: 2 ten minutes pass after the start-up (the periodic save
//          falls due), 3 SIGTERM at the end, else none (a save costs a
//          dozen system calls)
//   1      bits 0-1 trace level (-1..2) of the traced inputs
//   2..3   window file index (little-endian, any value)
//   4      window file width in slots (any value below 32)
//   5      the jump, signed, in 15-minute steps
//   6      bits 0-1 number of readings (0..3), bits 2-3 the reading that jumps
//   7..18  three readings of four bytes:
//            0     bits 0-5 seconds after the previous reading, a period
//                  (150 s) more when bits 6-7 are both set
//            1     bit 0 the time is out of range (0 or past 32 bits)
//            2, 3  AC (x 300) and DC (x 257) power; utilisation from both
//   19..   the full file (9218 bytes when well formed)
//
// Built with -DQAX_FUZZ_REPLAY_MAIN the same file is a plain executable that
// replays the files named on its command line (harness.h).
#include <functional>
#include <string_view>

#include "daemon/trace.h"
#include "fuzz/harness.h"
#include "history/history_internal.h"

namespace {

enum : size_t {
    kFlags = 0,
    kTrace = 1,
    kWindowIndex = 2,
    kWindowWidth = 4,
    kJump = 5,
    kReadingCount = 6,
    kReadings = 7,
    kReadingSize = 4,
    kMaxReadings = 3,
    kHeaderSize = kReadings + kMaxReadings * kReadingSize,
};

enum : uint8_t { kPerformance = 1, kPrint = 2 };
enum : unsigned { kTenMinutes = 2, kTerminate = 3 };

const uint64_t kClockStart = 1798761600;

int32_t TraceLevel(const uint8_t *data, size_t size) {
    // The C++ library's hash: not instrumented, so it costs next to nothing.
    const std::string_view whole(reinterpret_cast<const char *>(data), size);
    return std::hash<std::string_view>{}(whole) % 32 == 0 ? (data[kTrace] & 3) - 1 : -1;
}

void Track(bool performance, uint64_t seconds, const uint8_t *r, unsigned i) {
    const uint64_t ac = r[2] * 300u;
    const uint64_t dc = r[3] * 257u;
    if (performance) {
        trackPowerPerformance(seconds, r[2], ac, dc, i);
    } else {
        trackPowerHistory(seconds * 1000 + r[2] % 1000, ac, dc);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Saves flush to the medium: the root is on tmpfs where there is one.
    static const std::string root = UsePrivateRootWith("history", "/pstorage/power");
    if (size < kHeaderSize) return 0;
    const uint8_t flags = data[kFlags];
    const bool performance = (flags & kPerformance) != 0;

    // Every input starts at the same wall and monotonic time.
    QaxClockReset();
    const int32_t level = TraceLevel(data, size);
    g_traceLevel = level;
    WriteFile(root + (performance ? "/pstorage/power/PowerPerformanceFull"
                                  : "/pstorage/power/PowerHistoryFull"),
              data + kHeaderSize, size - kHeaderSize);
    resetPowerHistoryState();
    resetPowerPerformanceState();

    const uint16_t index = HistoryGetLE16(data + kWindowIndex);
    const uint32_t width = data[kWindowWidth] % 32;
    if (!performance && (flags & kPrint)) {
        printPowerHistory();
        return 0;
    }

    // Start-up on the stored table, as the daemon's first cycle does it;
    // then the window writer on that table, with the untrusted index and
    // width.
    if (performance) {
        trackPowerPerformance(0, 0, 0, 0, 0);
        generatePowerPerformanceFile("/tmp/PowerPerformanceLast6Hours", index, width);
    } else {
        trackPowerHistory(0, 0, 0);
        int32_t maxDC = 0, maxAC = 0;
        generatePowerHistoryFile("/tmp/PowerHistoryLast24Hours", index, width, &maxDC, &maxAC);
    }
    const unsigned save = (flags >> 2) & 3;
    if (save == kTenMinutes) QaxClockSleepUs(10 * 60 * 1000000ULL);

    const unsigned newest =
        ((performance ? nextPerformanceSampleIndex : nextSampleIndex) + QAX_HISTORY_SLOTS - 1) %
        QAX_HISTORY_SLOTS;
    int64_t t = performance ? powerPerformance[newest].timestamp : powerHistory[newest].timestamp;
    if (t == 0) t = kClockStart;
    const unsigned count = data[kReadingCount] & 3;
    const unsigned jumper = (data[kReadingCount] >> 2) & 3;
    for (unsigned i = 0; i < count; i++) {
        const uint8_t *r = data + kReadings + i * kReadingSize;
        t += (r[0] & 0x3F) + ((r[0] >> 6) == 3 ? QAX_HISTORY_PERIOD : 0);
        g_traceLevel = level;
        if (i == jumper) {
            t += static_cast<int8_t>(data[kJump]) * 900;
            g_traceLevel = -1;
        }
        uint64_t seconds = t > 0 ? static_cast<uint64_t>(t) : 0;
        if (r[1] & 1) seconds = (r[0] & 1) ? 0 : (1ULL << 32) + r[0];
        Track(performance, seconds, r, i);
    }
    g_traceLevel = level;
    if (save == kTerminate) {
        if (performance) {
            savePowerPerformance();
        } else {
            savePowerHistory();
        }
    }
    return 0;
}
