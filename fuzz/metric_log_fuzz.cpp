// Fuzz target for the metric log reader: the input becomes a metric log file
// of a private root, which is read, printed and released; the same file and
// two index bytes from the input then make a ring that the debug dump's
// reader walks under the lock.
//
// Input layout:
//   0    flags: bit 0 the firmware offers performance data, bit 1 read the
//        ring as well
//   1    byte of qax_num.log (the number of ring files, any value)
//   2    byte of qax_last.log (the newest ring file, any value)
//   3..  the metric log file (also ring files 0 and 1)
//
// Built with -DQAX_FUZZ_REPLAY_MAIN the same file is a plain executable that
// replays the files named on its command line (harness.h).
#include <string.h>

#include "fuzz/harness.h"
#include "metrics/metrics.h"
#include "platform/ipmi_internal.h"

namespace {

enum : size_t { kFlags = 0, kCount = 1, kLast = 2, kHeaderSize = 3 };

bool g_performance = false;

// Performance requests only: supported (any figure) or not (0xC1).
int PerformanceTransport(void *, int, int cmd, const uint8_t *, int requestLen, uint8_t *response,
                         int *responseLen) {
    if (cmd != 0x84 || requestLen != 11 || !g_performance || *responseLen < 11) {
        response[0] = 0xC1;
        *responseLen = 1;
        return 0;
    }
    const uint8_t answer[11] = {0, 0x4D, 0x4F, 0, 0, 0, 0, 1, 7, 0, 42};
    memcpy(response, answer, sizeof(answer));
    *responseLen = sizeof(answer);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir =
        UsePrivateRootWith("metric-log", "/tmp/qax_log") + "/tmp/qax_log/";
    if (size < kHeaderSize) return 0;
    QaxIpmiSetTransportOverride(PerformanceTransport, nullptr);
    g_performance = (data[kFlags] & 1) != 0;
    const uint8_t *file = data + kHeaderSize;
    const size_t fileSize = size - kHeaderSize;
    WriteFile(dir + "qax_0.log", file, fileSize);
    MetricValue value{};
    InletTemperatureSnapshotBuffer inlet{};
    PerformanceValue perf{};
    if (ReadMeticValueFromFile((dir + "qax_0.log").c_str(), &value, &inlet, &perf) == 0) {
        PrintMetricValue(&value, &inlet, &perf);
        FreeMetricValueContents(&value, &inlet, &perf);
    }

    if (data[kFlags] & 2) {
        WriteFile(dir + "qax_1.log", file, fileSize);
        WriteFile(dir + "qax_num.log", data + kCount, 1);
        WriteFile(dir + "qax_last.log", data + kLast, 1);
        MetricValue *values = nullptr;
        InletTemperatureSnapshotBuffer *inlets = nullptr;
        PerformanceValue *perfs = nullptr;
        uint8_t count = 0;
        GetMetricValue(&values, &inlets, &perfs, &count);
        if (count != 0) {
            PrintMetricValue(&values[count - 1], &inlets[count - 1],
                             perfs != nullptr ? &perfs[count - 1] : nullptr);
        }
        FreeMetricValueArrays(values, inlets, perfs, count);
    }
    return 0;
}
