// Fuzz target for the two history loaders: the input becomes the full power
// history file and the full performance file of a private root, which are
// then loaded, printed, turned into window files and tracked onwards, so that
// every index the files carry is exercised.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "daemon/trace.h"
#include "fuzz/private_root.h"
#include "history/history_internal.h"
#include "platform/platform.h"

namespace {

std::string g_root;

bool Setup() {
    // Saves flush to the medium: the root is on tmpfs where there is one.
    g_root = UsePrivateRoot("history");
    setenv("QAX_CLOCK", "virtual", 1);
    setenv("QAX_CLOCK_START", "1798761600", 1);
    QaxClockReset();
    char buf[1024];
    QaxPath("/", buf, sizeof(buf));
    mkdir((g_root + "/pstorage/power").c_str(), 0700);
    // The "-P" printout is exercised, not read.
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return true;
}

void WriteFull(const char *name, const uint8_t *data, size_t size) {
    std::string path = g_root + "/pstorage/power/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) abort();
    if (size > 0 && fwrite(data, 1, size, f) != size) abort();
    fclose(f);
}

uint8_t At(const uint8_t *data, size_t size, size_t i) { return size ? data[i % size] : 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool s_ready = Setup();
    (void)s_ready;

    // Every gate of the trace: -1, 0, 1, 2 (lines are formatted, then lost:
    // the trace directory does not exist).
    g_traceLevel = static_cast<int32_t>(At(data, size, 0) % 4) - 1;
    WriteFull("PowerHistoryFull", data, size);
    WriteFull("PowerPerformanceFull", data, size);

    resetPowerHistoryState();
    resetPowerPerformanceState();
    printPowerHistory();

    // Untrusted index and width straight into the window writer.
    int32_t maxDC = 0, maxAC = 0;
    uint16_t rawIndex = size >= 2 ? HistoryGetLE16(data) : 0;
    generatePowerHistoryFile("/tmp/PowerHistoryLast24Hours", rawIndex, At(data, size, 3) % 32,
                             &maxDC, &maxAC);
    generatePowerPerformanceFile("/tmp/PowerPerformanceLast6Hours", rawIndex,
                                 At(data, size, 5) % 32);

    // Start-up on the loaded tables, then readings: on, past and before the
    // newest sample, and one at a time taken from the input (often a jump
    // far back or forward).
    resetPowerHistoryState();
    resetPowerPerformanceState();
    trackPowerHistory(0, 0, 0);
    trackPowerPerformance(0, 0, 0, 0, 0);
    const uint64_t now = QaxClockWallMs() / 1000;
    uint64_t fromInput = size >= 6 ? HistoryGetLE32(data + 2) : 0;
    const uint64_t times[] = {now, now + 30, now + 200, fromInput, fromInput + 30, now + 1000,
                              now + 100000};
    for (size_t i = 0; i < sizeof(times) / sizeof(times[0]); i++) {
        uint64_t ac = At(data, size, 7 + i) * 300u;
        uint64_t dc = At(data, size, 11 + i) * 257u;
        trackPowerHistory(times[i] * 1000, ac, dc);
        trackPowerPerformance(times[i], At(data, size, 13 + i), ac, dc, i);
    }
    savePowerHistory();
    savePowerPerformance();
    return 0;
}

#include "replay_main.h"
