// The platform clock. Every time the daemon and the in-process emulator read
// or sleep goes through here so that tests and demos can run hours of
// operation in seconds. QAX_CLOCK picks the mode once (QaxClockReset re-reads):
//   unset, "" or "real"  the system clocks
//   "xN" (1..100000)     time runs N times faster; the wall clock is
//                        S + (real - S) * N so separate processes agree
//   "virtual"            discrete-event time in this process: a sleep returns
//                        at once with every clock moved forward
#include "platform/platform.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysinfo.h>

#include <mutex>

namespace {

enum class Mode { Real, Scaled, Virtual };

// Virtual mode starts at 2027-01-01T00:00:00Z with a machine that booted
// 100 s ago (the monotonic clock counts from boot, as Linux's does).
constexpr int64_t kVirtualDefaultStart = 1798761600;
constexpr int64_t kVirtualBootUptimeS = 100;
constexpr int64_t kMaxStart = 253402300799;  // 9999-12-31T23:59:59Z
constexpr uint64_t kMaxFactor = 100000;

struct ClockState {
    bool loaded = false;
    Mode mode = Mode::Real;
    uint64_t factor = 1;
    int64_t startS = 0;        // S of the scaled and virtual modes
    int64_t wallOffsetMs = 0;  // QaxClockJumpWall, every mode
    uint64_t virtualUs = 0;    // time slept so far in virtual mode
};

std::mutex g_mutex;
ClockState g_state;

int64_t RealNs(clockid_t id) {
    struct timespec ts;
    if (clock_gettime(id, &ts) != 0) return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t RealMs(clockid_t id) { return RealNs(id) / 1000000; }

// S + (real - S) x N in milliseconds, rounded toward zero, for S in seconds
// and real in nanoseconds. Scales in nanoseconds so that short scaled sleeps
// still move the clock by their full length. N x (ns since 1970) overflows
// 64 bits, and 32-bit targets have no 128-bit integers: whole seconds and the
// nanoseconds below them are scaled apart. A result out of range saturates,
// leaving room for the wall offset that callers add.
int64_t ScaledMs(int64_t originS, int64_t realNs, uint64_t factor) {
    int64_t realS = realNs / 1000000000, restNs = realNs % 1000000000;
    if (restNs < 0) {
        restNs += 1000000000;
        realS -= 1;
    }
    const int64_t n = static_cast<int64_t>(factor);  // at most kMaxFactor
    const int64_t kLimitMs = INT64_MAX / 4;
    // (S + (real - S) x N) in whole seconds, as milliseconds
    int64_t ms;
    if (__builtin_mul_overflow(realS - originS, n, &ms) ||
        __builtin_add_overflow(ms, originS, &ms) || __builtin_mul_overflow(ms, 1000, &ms) ||
        ms > kLimitMs || ms < -kLimitMs)
        return realS >= originS ? kLimitMs : -kLimitMs;
    const int64_t belowNs = restNs * n;  // below 10^14
    ms += belowNs / 1000000;
    // ms is the floor of the exact value; a negative one rounds toward zero.
    return ms < 0 && belowNs % 1000000 != 0 ? ms + 1 : ms;
}

// Digits only, no sign, no trailing text; false when out of [lo, hi].
bool ParseBounded(const char *text, int64_t lo, int64_t hi, int64_t *value) {
    if (text == nullptr || *text == '\0') return false;
    int64_t v = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        if (v > hi) return false;
    }
    if (v < lo) return false;
    *value = v;
    return true;
}

// Start of S for a mode: QAX_CLOCK_START when valid, else `fallback`.
int64_t ReadStart(int64_t fallback) {
    const char *text = getenv("QAX_CLOCK_START");
    if (text == nullptr || *text == '\0') return fallback;
    int64_t value;
    if (ParseBounded(text, 0, kMaxStart, &value)) return value;
    fprintf(stderr,
            "qax: invalid QAX_CLOCK_START \"%s\" (expected Unix seconds 0..%lld); using %lld\n",
            text, static_cast<long long>(kMaxStart), static_cast<long long>(fallback));
    return fallback;
}

// Caller holds g_mutex.
void Load() {
    g_state = ClockState();
    g_state.loaded = true;
    const char *text = getenv("QAX_CLOCK");
    if (text == nullptr || *text == '\0' || strcmp(text, "real") == 0) return;
    if (strcmp(text, "virtual") == 0) {
        g_state.mode = Mode::Virtual;
        g_state.startS = ReadStart(kVirtualDefaultStart);
        return;
    }
    int64_t factor;
    if (text[0] == 'x' && ParseBounded(text + 1, 1, kMaxFactor, &factor)) {
        g_state.mode = Mode::Scaled;
        g_state.factor = static_cast<uint64_t>(factor);
        // Default S: the start of the current UTC day, so processes started
        // on the same day without QAX_CLOCK_START still agree.
        int64_t nowS = RealMs(CLOCK_REALTIME) / 1000;
        g_state.startS = ReadStart(nowS - nowS % 86400);
        return;
    }
    fprintf(stderr,
            "qax: invalid QAX_CLOCK \"%s\" (expected \"virtual\" or \"xN\" with N in 1..%llu); "
            "using the real clock\n",
            text, static_cast<unsigned long long>(kMaxFactor));
}

ClockState &State() {
    if (!g_state.loaded) Load();
    return g_state;
}

uint64_t ClampMs(int64_t ms) { return ms < 0 ? 0 : static_cast<uint64_t>(ms); }

// Caller holds g_mutex.
int64_t WallMsLocked() {
    ClockState &s = State();
    switch (s.mode) {
    case Mode::Real:
        return RealMs(CLOCK_REALTIME) + s.wallOffsetMs;
    case Mode::Scaled:
        return ScaledMs(s.startS, RealNs(CLOCK_REALTIME), s.factor) + s.wallOffsetMs;
    case Mode::Virtual:
        return s.startS * 1000 + static_cast<int64_t>(s.virtualUs / 1000) + s.wallOffsetMs;
    }
    return 0;
}

void SleepRealUs(uint64_t us) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(us / 1000000);
    ts.tv_nsec = static_cast<long>(us % 1000000) * 1000;
    // An interrupted sleep returns early on purpose: the daemon's signal
    // handlers set a flag that the caller must get to see promptly.
    nanosleep(&ts, nullptr);
}

}  // namespace

uint64_t QaxClockWallMs(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return ClampMs(WallMsLocked());
}

uint64_t QaxClockMonotonicMs(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ClockState &s = State();
    switch (s.mode) {
    case Mode::Real:
        return ClampMs(RealMs(CLOCK_MONOTONIC));
    case Mode::Scaled:
        return ClampMs(ScaledMs(0, RealNs(CLOCK_MONOTONIC), s.factor));
    case Mode::Virtual:
        return static_cast<uint64_t>(kVirtualBootUptimeS) * 1000 + s.virtualUs / 1000;
    }
    return 0;
}

int QaxClockUptime(long *seconds) {
    if (seconds == nullptr) {
        errno = EINVAL;
        return -1;
    }
    Mode mode;
    uint64_t factor, virtualUs;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ClockState &s = State();
        mode = s.mode;
        factor = s.factor;
        virtualUs = s.virtualUs;
    }
    if (mode == Mode::Virtual) {
        *seconds =
            static_cast<long>(kVirtualBootUptimeS + static_cast<int64_t>(virtualUs / 1000000));
        return 0;
    }
    struct sysinfo info;
    if (sysinfo(&info) != 0) return -1;
    *seconds = info.uptime * static_cast<long>(factor);
    return 0;
}

void QaxClockLocalTime(struct tm *out) {
    if (out == nullptr) return;
    time_t seconds = static_cast<time_t>(QaxClockWallMs() / 1000);
    // Trace lines come in bursts within one second; the zone is read once
    // per process, so the same second always breaks down the same way.
    thread_local time_t t_cachedSeconds = 0;
    thread_local struct tm t_cached = {};
    thread_local bool t_valid = false;
    if (t_valid && seconds == t_cachedSeconds) {
        *out = t_cached;
        return;
    }
    if (localtime_r(&seconds, out) == nullptr) {
        memset(out, 0, sizeof *out);
        return;
    }
    t_cachedSeconds = seconds;
    t_cached = *out;
    t_valid = true;
}

void QaxClockSleepUs(uint64_t microseconds) {
    uint64_t factor;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ClockState &s = State();
        if (s.mode == Mode::Virtual) {
            // Saturates far beyond any run so the sums stay in range.
            const uint64_t kMaxVirtualUs = static_cast<uint64_t>(kMaxStart) * 1000000;
            s.virtualUs = microseconds > kMaxVirtualUs - s.virtualUs ? kMaxVirtualUs
                                                                     : s.virtualUs + microseconds;
            return;
        }
        factor = s.factor;
    }
    // Rounded up so that the scaled clock has moved at least as far as asked.
    SleepRealUs(microseconds / factor + (microseconds % factor != 0 ? 1 : 0));
}

void QaxClockJumpWall(int64_t seconds) {
    // Bounded (about 30 000 years) so that the sums cannot overflow.
    const int64_t kLimit = kMaxStart * 4;
    if (seconds > kLimit) seconds = kLimit;
    if (seconds < -kLimit) seconds = -kLimit;
    std::lock_guard<std::mutex> lock(g_mutex);
    ClockState &s = State();
    int64_t next = s.wallOffsetMs + seconds * 1000;
    if (next > kLimit * 1000) next = kLimit * 1000;
    if (next < -kLimit * 1000) next = -kLimit * 1000;
    s.wallOffsetMs = next;
}

void QaxClockReset(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Load();
}

// Benchmarks (bench/run) read how many IPMI requests a run made. The clock is
// linked into every program, so the report lives here.
namespace {
struct BenchStats {
    ~BenchStats() {
        const char *enabled = getenv("QAX_BENCH_STATS");
        if (enabled != nullptr && enabled[0] == '1')
            fprintf(stderr, "qax_ipmi_requests %llu\n", (unsigned long long)QaxIpmiRequestCount());
    }
} g_benchStats;
}  // namespace
