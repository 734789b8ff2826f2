// Fuzz target for the snapshot parser and the value calculation behind it.
//
// The input carries everything that comes from the firmware: a header with
// the configurations and registers that define the layout, then the raw
// snapshot bytes. A scripted transport serves the header's answers, the
// parser reads an exact-size copy of the snapshot (so any read past it is
// caught), and a parsed snapshot goes through the calculation against a
// reference derived from itself. Everything is released at the end.
//
// Input layout:
//   0       flags: bit 0 blade platform, bit 1 run the calculation
//   1..8    power histogram configuration, response bytes 6..13
//   9       firmware power/thermal capabilities register
//   10..13  extended firmware capabilities register (big-endian)
//   14..21  input power buffer configuration, response bytes 6..13
//   22      failing read: 0 none, 1 histogram configuration, 2 power/thermal
//           register, 3 extended register, 4 input power configuration
//   23..30  age of the reference snapshot in ms (big-endian)
//   31..    raw snapshot
//
// Built with -DQAX_FUZZ_REPLAY_MAIN the same file is a plain executable that
// runs every file named on its command line once (corpus replay, any
// compiler, no libFuzzer).
#include <string.h>

#include "firmware/snapshot.h"
#include "fuzz/harness.h"
#include "metrics/metrics.h"
#include "platform/ipmi_internal.h"

namespace {

enum : size_t {
    kFlags = 0,
    kHistogramConfig = 1,
    kPowerThermal = 9,
    kExtended = 10,
    kInputPower = 14,
    kFailure = 22,
    kReferenceAge = 23,
    kHeaderSize = 31,
};

const uint8_t kHandle = 0x21;

// The requests answered from the header, by the number that the failure
// byte gives them: method, element, register (-1 for a configuration), and
// where the header's bytes go in the answer.
const struct {
    uint8_t method, element;
    int reg;
    size_t from, count, at;
} kAnswers[] = {{0x80, 0x02, -1, kHistogramConfig, 8, 6},
                {0x82, 0x00, 7, kPowerThermal, 1, 4},
                {0x82, 0x00, 14, kExtended, 4, 4},
                {0x80, 0x0B, -1, kInputPower, 8, 6}};

int Answer(void *context, int netFn, int cmd, const uint8_t *request, int requestLength,
           uint8_t *response, int *responseLength) {
    const uint8_t *header = static_cast<const uint8_t *>(context);
    if (netFn != 0x2E || cmd != 0x81 || requestLength < 6) return 1;
    for (unsigned i = 0; i < 4; i++) {
        const auto &a = kAnswers[i];
        if (request[5] != a.method || request[4] != a.element ||
            (a.reg >= 0 && (requestLength < 8 || request[6] != a.reg)))
            continue;
        uint8_t answer[14] = {0};
        memcpy(answer + a.at, header + a.from, a.count);
        int length = static_cast<int>(a.at + a.count);
        if (i + 1 == header[kFailure] % 5u) {
            answer[0] = 0xC1;
            length = 1;
        }
        if (length > *responseLength) return 1;
        memcpy(response, answer, static_cast<size_t>(length));
        *responseLength = length;
        return 0;
    }
    return 1;
}

// The calculation against a reference made from the snapshot itself: half
// of every accumulator, an older timestamp, and some histogram counters
// changed.
void Calculate(MetricValue *record, HistogramData histogram, const uint8_t *header) {
    uint64_t age = 0;  // big-endian
    for (size_t i = 0; i < 8; i++) age = age << 8 | header[kReferenceAge + i];
    CopyMetricValue(&sLastMetricValue, record);
    sLastMetricValue.u64Timestamp = record->u64Timestamp - age;
    MetricEntry *entries[] = {sLastMetricValue.psSystemAC,     sLastMetricValue.psSystemDC,
                              sLastMetricValue.psCPUPower,     sLastMetricValue.psMemoryPower,
                              sLastMetricValue.psCoolingPower, sLastMetricValue.psEffectiveCPU};
    for (MetricEntry *e : entries) {
        if (e != nullptr) e->u64Avg /= 2;
    }

    // The parser allocated (buckets + 2) x width bytes from the configuration.
    size_t size =
        (static_cast<size_t>(header[kHistogramConfig + 4]) + 2) * header[kHistogramConfig + 6];
    sLastHistogramData = histogram;
    sLastHistogramData.pu8Counters = static_cast<uint8_t *>(malloc(size != 0 ? size : 1));
    if (sLastHistogramData.pu8Counters != nullptr) {
        memcpy(sLastHistogramData.pu8Counters, histogram.pu8Counters, size);
        for (size_t i = 0; i < size; i += 3) sLastHistogramData.pu8Counters[i] ^= 0x5A;
    }

    CalculateSnapshotValue(record, histogram);  // takes the counters

    FreeMetricValueContents(&sLastMetricValue, nullptr, nullptr);
    sLastMetricValue = MetricValue{};
    free(sLastHistogramData.pu8Counters);
    sLastHistogramData = HistogramData{};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHeaderSize) return 0;
    // Trace lines of the calculation go below a private root that has no
    // trace directory, so they are dropped instead of landing in the real /tmp.
    UsePrivateRoot("snapshot");
    if (data[kFlags] & 0x01) {
        setenv("ZOQ_FAMILY", "blade", 1);
    } else {
        unsetenv("ZOQ_FAMILY");
    }

    QaxIpmiSetTransportOverride(Answer, const_cast<uint8_t *>(data));

    // An exact-size copy: the sanitizers see any read past the snapshot.
    const size_t length = size - kHeaderSize;
    uint8_t *snapshot = static_cast<uint8_t *>(malloc(length != 0 ? length : 1));
    if (snapshot == nullptr) return 0;
    if (length != 0) memcpy(snapshot, data + kHeaderSize, length);

    MetricValue record{};
    HistogramData histogram{};
    unsigned int status =
        ParseSnapshotBuffer(kHandle, snapshot, static_cast<uint32_t>(length), &record, &histogram);
    free(snapshot);

    if (status == 0 && (data[kFlags] & 0x02) && histogram.pu8Counters != nullptr) {
        Calculate(&record, histogram, data);
    } else {
        free(histogram.pu8Counters);
    }
    FreeMetricValueContents(&record, nullptr, nullptr);
    QaxIpmiSetTransportOverride(nullptr, nullptr);
    return 0;
}
