// Snapshot transfer and parsing against a scripted firmware: the transfer's
// restart and budget rules, every layout variant of the parser (decoded from
// bytes laid out here from the layout table), short snapshots, subsystem
// errors, and the whole fetch.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "firmware/element_method.h"
#include "firmware/snapshot.h"
#include "metrics/metrics.h"
#include "platform/platform.h"
#include "sim/model.h"
#include "sim/sim.h"
#include "test_root.h"

namespace {

void PutBE(std::vector<uint8_t> &out, uint64_t value, int width) {
    for (int i = width - 1; i >= 0; i--) out.push_back(i >= 8 ? 0 : (value >> (8 * i)) & 0xFF);
}

// A scripted QAX firmware behind the IPMI transport override.
struct FakeFirmware {
    uint8_t handle = 0x21;
    // Power histogram configuration.
    uint16_t histStart = 100;
    uint8_t buckets = 10, step = 50, width = 2;
    // Snapshot buffer configuration.
    uint16_t chunk = 40, total = 100;
    uint8_t inputPower[8] = {0, 2, 1, 1, 2, 2, 0, 0};
    uint8_t powerThermal = 0x00;
    uint32_t extended = 0;
    std::vector<uint8_t> snapshot;

    // Per snapshot read (0-based): the tag, and how many bytes to return.
    std::function<uint16_t(int)> tagFor = [](int) { return uint16_t{5}; };
    std::function<int(int, int)> returnedFor = [](int, int asked) { return asked; };
    int claimExtra = 0;       // claim this many bytes more than sent
    int dropTail = 0;         // answer this many bytes shorter than claimed

    // A request (element, method, register or -1) that fails: with a
    // completion code, or as a failed call when code is 0.
    int failElement = -1, failMethod = -1, failRegister = -1;
    uint8_t failCode = 0;

    std::vector<std::pair<int, int>> reads;  // (offset, length) of every snapshot read

    static int Transport(void *ctx, int netFn, int cmd, const uint8_t *rq, int rqLen, uint8_t *rs,
                         int *rsLen) {
        return static_cast<FakeFirmware *>(ctx)->Answer(netFn, cmd, rq, rqLen, rs, rsLen);
    }

    int Answer(int netFn, int cmd, const uint8_t *rq, int rqLen, uint8_t *rs, int *rsLen) {
        if (netFn != 0x2E || rqLen < 6 || rq[0] != 0x4D || rq[1] != 0x4F || rq[2] != 0x00) return 1;
        const int cap = *rsLen;
        std::vector<uint8_t> out;
        if (cmd == 0x82) {  // firmware instance
            out.assign(10, 0);
            out[7] = handle;
            return Reply(out, rs, rsLen, cap);
        }
        if (cmd != 0x81 || rq[3] != handle) return 1;
        const int element = rq[4], method = rq[5];
        const int reg = method == 0x82 && rqLen >= 8 ? rq[6] : -1;
        if (element == failElement && method == failMethod &&
            (failRegister < 0 || reg == failRegister)) {
            if (failCode == 0) return 1;
            out.push_back(failCode);
            return Reply(out, rs, rsLen, cap);
        }
        out.assign(6, 0);
        if (method == 0x80 && element == 0x02) {
            PutBE(out, histStart, 2);
            PutBE(out, 0x7777, 2);
            out.push_back(buckets);
            out.push_back(step);
            out.push_back(width);
            out.push_back(0x99);
        } else if (method == 0x80 && element == 0x03) {
            PutBE(out, chunk, 2);
            PutBE(out, 0x7777, 2);
            PutBE(out, total, 2);
        } else if (method == 0x80 && element == 0x0B) {
            out.insert(out.end(), inputPower, inputPower + 8);
        } else if (method == 0x81 && element == 0x03 && rqLen == 10) {
            return ReadChunk(rq, rs, rsLen, cap);
        } else if (method == 0x82 && element == 0x00 && reg == 7) {
            out.resize(4);
            out.push_back(powerThermal);
        } else if (method == 0x82 && element == 0x00 && reg == 14) {
            out.resize(4);
            PutBE(out, extended, 4);
        } else {
            return 1;
        }
        return Reply(out, rs, rsLen, cap);
    }

    int ReadChunk(const uint8_t *rq, uint8_t *rs, int *rsLen, int cap) {
        const int offset = rq[6] << 8 | rq[7];
        const int asked = rq[8] << 8 | rq[9];
        const int index = static_cast<int>(reads.size());
        if (index >= 64) return 1;  // a transfer that never ends fails instead of hanging
        reads.emplace_back(offset, asked);
        int sent = returnedFor(index, asked);
        int available = static_cast<int>(snapshot.size()) - offset;
        if (sent > available) sent = available < 0 ? 0 : available;
        std::vector<uint8_t> out(4, 0);
        PutBE(out, tagFor(index), 2);
        PutBE(out, static_cast<uint64_t>(sent + claimExtra), 2);
        out.insert(out.end(), snapshot.begin() + offset, snapshot.begin() + offset + sent);
        out.resize(out.size() - static_cast<size_t>(dropTail));
        return Reply(out, rs, rsLen, cap);
    }

    static int Reply(const std::vector<uint8_t> &out, uint8_t *rs, int *rsLen, int cap) {
        if (static_cast<int>(out.size()) > cap) return 1;  // never write past the buffer
        memcpy(rs, out.data(), out.size());
        *rsLen = static_cast<int>(out.size());
        return 0;
    }
};

struct TransportScope {
    explicit TransportScope(FakeFirmware *fw) {
        QaxIpmiSetTransportOverride(FakeFirmware::Transport, fw);
    }
    ~TransportScope() { QaxIpmiSetTransportOverride(nullptr, nullptr); }
};

struct Stdout {
    Stdout() { testing::internal::CaptureStdout(); }
    std::string Take() {
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

// ---------------------------------------------------------------------------
// Transfer

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 31 + 7);
    return v;
}

TEST(ReadTotalSnapshotBuffer, ChunkingRestartsAndBudget) {
    using Reads = std::vector<std::pair<int, int>>;
    struct Case {
        const char *name;
        uint16_t chunk, total;
        std::function<uint16_t(int)> tags;
        std::function<int(int, int)> returned;
        unsigned expectedStatus;
        uint16_t expectedTag;
        Reads expectedReads;
    };
    auto constant = [](int) { return uint16_t{5}; };
    auto asked = [](int, int n) { return n; };
    const Case cases[] = {
        {"three chunks", 40, 100, constant, asked, 0, 5, {{0, 40}, {40, 40}, {80, 20}}},
        {"short chunk continues after the bytes received", 40, 100, constant,
         [](int i, int n) { return i == 0 ? 30 : n; }, 0, 5, {{0, 40}, {30, 40}, {70, 30}}},
        {"tag change on chunk 3 restarts and completes", 40, 100,
         [](int i) { return uint16_t(i < 2 ? 5 : 6); }, asked, 0, 6,
         {{0, 40}, {40, 40}, {80, 20}, {0, 40}, {40, 40}, {80, 20}}},
        {"tag change on chunk 3 exhausts the budget", 20, 100,
         [](int i) { return uint16_t(i < 2 ? 5 : 6); }, asked, 255, 0,
         {{0, 20}, {20, 20}, {40, 20}, {0, 20}, {20, 20}, {40, 20}, {60, 20}}},
        {"six chunks fit", 10, 60, constant, asked, 0, 5,
         {{0, 10}, {10, 10}, {20, 10}, {30, 10}, {40, 10}, {50, 10}}},
        {"exactly seven chunks always fail", 10, 70, constant, asked, 255, 0,
         {{0, 10}, {10, 10}, {20, 10}, {30, 10}, {40, 10}, {50, 10}, {60, 10}}},
        {"a first tag of 0 never restarts", 40, 100,
         [](int i) { return uint16_t(i == 0 ? 0 : 7); }, asked, 0, 7,
         {{0, 40}, {40, 40}, {80, 20}}},
        {"no progress ends at the budget", 40, 100, constant,
         [](int, int) { return 0; }, 255, 0,
         {{0, 40}, {0, 40}, {0, 40}, {0, 40}, {0, 40}, {0, 40}, {0, 40}}},
        {"single chunk", 65535, 100, constant, asked, 0, 5, {{0, 100}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeFirmware fw;
        fw.snapshot = Pattern(c.total);
        fw.tagFor = c.tags;
        fw.returnedFor = c.returned;
        TransportScope scope(&fw);
        std::vector<uint8_t> dest(c.total, 0);
        uint16_t bytesRead = 0xFFFF, tag = 0xFFFF;
        unsigned status = ReadTotalSnapshotBuffer(fw.handle, c.chunk, c.total, &bytesRead,
                                                  dest.data(), &tag);
        EXPECT_EQ(status, c.expectedStatus);
        EXPECT_EQ(tag, c.expectedTag);
        EXPECT_EQ(fw.reads, c.expectedReads);
        if (c.expectedStatus == 0) {
            EXPECT_EQ(bytesRead, c.total);
            EXPECT_EQ(dest, fw.snapshot);
        } else {
            EXPECT_EQ(bytesRead, 0);
        }
    }
}

TEST(ReadTotalSnapshotBuffer, RejectedAnswersAndArguments) {
    struct Case {
        const char *name;
        std::function<void(FakeFirmware &)> setup;
        uint16_t chunk, total;
        bool nullDest;
        unsigned expectedStatus;
        const char *message;
    };
    const Case cases[] = {
        {"oversized answer", [](FakeFirmware &f) { f.claimExtra = 1; }, 40, 100, false, 255,
         "[QAX_ReadSnapshotBuffer] The returned buffer size (41) is bigger than expected size "
         "(40)!\n"},
        {"answer shorter than it claims", [](FakeFirmware &f) { f.dropTail = 1; }, 40, 100, false,
         255, "[QAX_ReadSnapshotBuffer] The response length (47) does not match"},
        {"completion code", [](FakeFirmware &f) {
             f.failElement = 3;
             f.failMethod = 0x81;
             f.failCode = 0xC0;
         },
         40, 100, false, 0xC0,
         "[QAX_ReadSnapshotBuffer] Failed to call IPMI Command(NETFN_KEP, "
         "CMDID_QAX_INVOKE_ELEMENT_METHOD) and the result code is 192.\n"},
        {"failed call", [](FakeFirmware &f) {
             f.failElement = 3;
             f.failMethod = 0x81;
         }, 40, 100,
         false, 255,
         "[QAX_ReadSnapshotBuffer] Failed to call IPMI_DoIPMICmd(NETFN_KEP, "
         "CMDID_QAX_INVOKE_ELEMENT_METHOD) and the result code is 1.\n"},
        {"chunk size 0", [](FakeFirmware &) {}, 0, 100, false, 253, ""},
        {"total size 0", [](FakeFirmware &) {}, 40, 0, false, 253, ""},
        {"no destination", [](FakeFirmware &) {}, 40, 100, true, 253, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeFirmware fw;
        fw.snapshot = Pattern(100);
        c.setup(fw);
        TransportScope scope(&fw);
        std::vector<uint8_t> dest(100, 0xEE);
        uint16_t bytesRead = 0, tag = 0xFFFF;
        Stdout out;
        unsigned status = ReadTotalSnapshotBuffer(fw.handle, c.chunk, c.total, &bytesRead,
                                                  c.nullDest ? nullptr : dest.data(), &tag);
        std::string printed = out.Take();
        EXPECT_EQ(status, c.expectedStatus);
        EXPECT_EQ(tag, 0);
        EXPECT_EQ(printed.find(c.message), 0u) << printed;
        if (*c.message == '\0') {
            EXPECT_EQ(printed, "");
        }
        EXPECT_EQ(dest, std::vector<uint8_t>(100, 0xEE)) << "nothing copied";
        EXPECT_LE(fw.reads.size(), 1u);
    }
}

// ---------------------------------------------------------------------------
// Parser: snapshots laid out from the layout table.

struct Layout {
    const char *name;
    bool blade;
    uint8_t buckets, width;
    uint8_t powerThermal;
    uint32_t extended;
    uint8_t n, r, d, w1, w2;  // input power configuration
    std::vector<std::pair<uint8_t, uint64_t>> subsystems;
};

struct Expected {
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> counters;
    uint64_t system = 0x0102030405060708ULL, ac = 0x1122334455667788ULL;
    uint16_t flags = 0xBEEF;
    uint64_t eff = 0x11223344;
    uint8_t outlet = 40, inlet = 22;
    uint64_t timestamp = 0;
    std::vector<std::pair<uint64_t, uint64_t>> supplies;  // (avg, max)
    uint64_t cpu = 0, memory = 0, cooling = 0;            // 0 = absent
};

uint64_t Truncate(uint64_t v, int width) { return width >= 8 ? v : v & ((1ULL << (8 * width)) - 1); }

Expected Build(const Layout &l) {
    Expected e;
    std::vector<uint8_t> &b = e.bytes;
    b.push_back(0xA5);
    PutBE(b, e.system, 8);
    size_t h = (l.buckets + 2u) * l.width;
    for (size_t i = 0; i < h; i++) e.counters.push_back(static_cast<uint8_t>(i * 7 + 1));
    b.insert(b.end(), e.counters.begin(), e.counters.end());
    PutBE(b, e.flags, 2);
    PutBE(b, e.eff, 4);
    if (!l.blade) {
        PutBE(b, e.ac, 8);
        b.push_back(e.outlet);
        b.push_back(e.inlet);
    }
    if (l.powerThermal & 0x80) {
        if (l.extended & 0x08) b.insert(b.end(), 16, 0xEE);
        if (!l.blade && (l.extended & 0x04)) {
            for (int i = 0; i < l.n; i++) {
                for (int r = 0; r < l.r; r++) {
                    uint64_t first = 1000 + 10 * i + r * 5000, second = 2000 + 10 * i + r * 5000;
                    b.insert(b.end(), l.d, 0xDD);
                    PutBE(b, first, l.w1);
                    PutBE(b, second, l.w2);
                    if (r == 0) {
                        e.supplies.emplace_back(l.w1 ? Truncate(first, l.w1) : 0,
                                                l.w2 ? Truncate(second, l.w2) : 0);
                    }
                }
            }
        }
        if (l.extended & 0x10) {
            e.timestamp = 0x0000018D2A3B4C5DULL;
            PutBE(b, e.timestamp, 8);
        }
        if (l.extended & 0x20) {
            b.push_back(static_cast<uint8_t>(l.subsystems.size()));
            for (const auto &s : l.subsystems) {
                b.push_back(s.first);
                PutBE(b, s.second, 8);
                if (s.first == 1) e.cpu = s.second;
                if (s.first == 2) e.memory = s.second;
                if (s.first == 4) e.cooling = s.second;
            }
        }
    }
    if (l.blade) e.outlet = e.inlet = 0;
    return e;
}

void Configure(FakeFirmware &fw, const Layout &l) {
    fw.buckets = l.buckets;
    fw.width = l.width;
    fw.powerThermal = l.powerThermal;
    fw.extended = l.extended;
    uint8_t cfg[8] = {0x31, l.n, l.r, l.d, l.w1, l.w2, 0x32, 0x33};
    memcpy(fw.inputPower, cfg, 8);
    if (l.blade) {
        setenv("ZOQ_FAMILY", "iteblade", 1);
    } else {
        unsetenv("ZOQ_FAMILY");
    }
}

// Parses an exact-size heap copy of the first `length` bytes, so that the
// sanitizer build catches any read beyond them.
unsigned Parse(const FakeFirmware &fw, const std::vector<uint8_t> &bytes, size_t length,
               MetricValue *record, HistogramData *hist) {
    uint8_t *raw = static_cast<uint8_t *>(malloc(length ? length : 1));
    if (length) memcpy(raw, bytes.data(), length);
    unsigned status = ParseSnapshotBuffer(fw.handle, raw, static_cast<uint32_t>(length), record, hist);
    free(raw);
    return status;
}

void Release(MetricValue *record, HistogramData *hist) {
    FreeMetricValueContents(record, nullptr, nullptr);
    free(hist->pu8Counters);
    *record = MetricValue{};
    *hist = HistogramData{};
}

uint64_t AvgOf(const MetricEntry *e) { return e ? e->u64Avg : 0; }

const std::vector<Layout> &Layouts() {
    static const std::vector<Layout> layouts = {
        {"non-blade, fixed part only", false, 10, 2, 0x00, 0x3C, 2, 1, 1, 2, 2, {{1, 9}}},
        {"blade, fixed part only", true, 10, 2, 0x7F, 0x3C, 0, 0, 0, 0, 0, {}},
        {"non-blade, every section", false, 10, 2, 0x80, 0x3C, 2, 1, 1, 2, 2,
         {{1, 111}, {2, 222}, {4, 444}}},
        {"blade ignores the power-supply section", true, 6, 4, 0x80, 0x3C, 2, 1, 1, 2, 2,
         {{4, 7}, {1, 8}}},
        {"reserved, timestamp, subsystems, no supplies", false, 10, 2, 0x80, 0x38, 2, 1, 1, 2, 2,
         {{2, 5}}},
        {"supplies with several records and wide values", false, 3, 1, 0x80, 0x04, 3, 2, 3, 4, 8, {}},
        {"zero first width", false, 3, 1, 0x80, 0x14, 2, 1, 2, 0, 2, {}},
        {"no supplies", false, 3, 1, 0x80, 0x14, 0, 1, 2, 2, 2, {}},
        {"empty subsystem list", false, 0, 8, 0x80, 0x30, 0, 0, 0, 0, 0, {}},
        {"extended register without sections", false, 1, 3, 0x80, 0x00, 0, 0, 0, 0, 0, {}},
        {"no histogram counters", true, 0, 0, 0x80, 0x10, 0, 0, 0, 0, 0, {}},
    };
    return layouts;
}

class SnapshotParse : public testing::Test {
  protected:
    void TearDown() override { unsetenv("ZOQ_FAMILY"); }
};

TEST_F(SnapshotParse, EveryLayoutVariant) {
    for (const Layout &l : Layouts()) {
        SCOPED_TRACE(l.name);
        FakeFirmware fw;
        Configure(fw, l);
        TransportScope scope(&fw);
        Expected e = Build(l);
        MetricValue record{};
        HistogramData hist{};
        ASSERT_EQ(Parse(fw, e.bytes, e.bytes.size(), &record, &hist), 0u);

        EXPECT_EQ(record.u8BufferStatus, 0xA5);
        EXPECT_EQ(record.u16StatusFlags, e.flags);
        ASSERT_NE(record.psEffectiveCPU, nullptr);
        EXPECT_EQ(record.psEffectiveCPU->u64Avg, e.eff);
        ASSERT_NE(record.psSystemAC, nullptr);
        if (l.blade) {
            EXPECT_EQ(record.psSystemDC, nullptr);
            EXPECT_EQ(record.psSystemAC->u64Avg, e.system);
        } else {
            ASSERT_NE(record.psSystemDC, nullptr);
            EXPECT_EQ(record.psSystemDC->u64Avg, e.system);
            EXPECT_EQ(record.psSystemAC->u64Avg, e.ac);
        }
        EXPECT_EQ(record.psSystemAC->u64Max, 0u);
        EXPECT_EQ(record.psSystemAC->u64Min, 0u);
        EXPECT_EQ(record.u8OutletTemperature, e.outlet);
        EXPECT_EQ(record.u8InletTemperature, e.inlet);
        EXPECT_EQ(record.u64Timestamp, e.timestamp);

        EXPECT_EQ(hist.u16Start, fw.histStart);
        EXPECT_EQ(hist.u8BucketCount, l.buckets + 2);
        EXPECT_EQ(hist.u8BucketStep, fw.step);
        EXPECT_EQ(hist.u8CounterSize, l.width);
        ASSERT_NE(hist.pu8Counters, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(hist.pu8Counters, hist.pu8Counters + e.counters.size()),
                  e.counters);

        ASSERT_EQ(record.u8PowerSupplyACCount, e.supplies.size());
        EXPECT_EQ(record.psPowerSupplyAC != nullptr, !e.supplies.empty());
        for (size_t i = 0; i < e.supplies.size(); i++) {
            SCOPED_TRACE(i);
            EXPECT_EQ(record.psPowerSupplyAC[i].u64Avg, e.supplies[i].first);
            EXPECT_EQ(record.psPowerSupplyAC[i].u64Max, e.supplies[i].second);
            EXPECT_EQ(record.psPowerSupplyAC[i].u64Min, 0u);
        }
        EXPECT_EQ(record.u8PowerSupplyDCCount, 0);
        EXPECT_EQ(record.psPowerSupplyDC, nullptr);
        EXPECT_EQ(AvgOf(record.psCPUPower), e.cpu);
        EXPECT_EQ(AvgOf(record.psMemoryPower), e.memory);
        EXPECT_EQ(AvgOf(record.psCoolingPower), e.cooling);
        Release(&record, &hist);
    }
}

// The offsets written out by hand for 10 two-byte counters, so that a
// mistake shared by the builder above and the parser cannot hide.
TEST_F(SnapshotParse, FixedOffsetsForTenTwoByteBuckets) {
    FakeFirmware fw;
    fw.powerThermal = 0x80;
    fw.extended = 0x10;
    TransportScope scope(&fw);
    std::vector<uint8_t> b(57, 0);
    b[0] = 3;
    b[8] = 0x64;  // system DC accumulator 100
    b[9] = 0x12;  // first counter
    b[32] = 0x34;  // last counter byte
    b[33] = 0x00, b[34] = 0x0C;  // status word
    b[38] = 0x2A;  // effective CPU 42
    b[46] = 0xC8;  // system AC accumulator 200
    b[47] = 41, b[48] = 23;
    b[56] = 0x99;  // timestamp at 49
    MetricValue record{};
    HistogramData hist{};
    ASSERT_EQ(Parse(fw, b, b.size(), &record, &hist), 0u);
    EXPECT_EQ(record.psSystemDC->u64Avg, 100u);
    EXPECT_EQ(hist.pu8Counters[0], 0x12);
    EXPECT_EQ(hist.pu8Counters[23], 0x34);
    EXPECT_EQ(record.u16StatusFlags, 0x0C);
    EXPECT_EQ(record.psEffectiveCPU->u64Avg, 42u);
    EXPECT_EQ(record.psSystemAC->u64Avg, 200u);
    EXPECT_EQ(record.u8OutletTemperature, 41);
    EXPECT_EQ(record.u8InletTemperature, 23);
    EXPECT_EQ(record.u64Timestamp, 0x99u);
    Release(&record, &hist);
}

TEST_F(SnapshotParse, ShortSnapshotsAreRejectedWithoutReadingPastThem) {
    for (const Layout &l : Layouts()) {
        SCOPED_TRACE(l.name);
        FakeFirmware fw;
        Configure(fw, l);
        TransportScope scope(&fw);
        Expected e = Build(l);
        for (size_t length = 0; length < e.bytes.size(); length++) {
            SCOPED_TRACE(length);
            MetricValue record{};
            HistogramData hist{};
            Stdout out;
            unsigned status = Parse(fw, e.bytes, length, &record, &hist);
            std::string printed = out.Take();
            EXPECT_EQ(status, 255u);
            EXPECT_EQ(printed.rfind("[ParseSnapshotBuffer] The snapshot buffer (" +
                                        std::to_string(length) + " bytes) is shorter than its layout",
                                    0),
                      0u)
                << printed;
            Release(&record, &hist);
        }
        // Bytes beyond the layout are ignored.
        std::vector<uint8_t> longer = e.bytes;
        longer.resize(longer.size() + 5, 0xFF);
        MetricValue record{};
        HistogramData hist{};
        EXPECT_EQ(Parse(fw, longer, longer.size(), &record, &hist), 0u);
        Release(&record, &hist);
    }
}

TEST_F(SnapshotParse, SubsystemListErrors) {
    struct Case {
        const char *name;
        std::vector<std::pair<uint8_t, uint64_t>> subsystems;
        const char *message;
        uint64_t cpu;
    };
    const Case cases[] = {
        {"unknown type", {{1, 10}, {3, 30}}, "Type(3) of subsystem is not supported!\n", 10},
        {"type 0", {{0, 1}}, "Type(0) of subsystem is not supported!\n", 0},
        {"two CPU records", {{1, 10}, {1, 11}}, "CPU Subsystems already existed.\n", 10},
        {"two memory records", {{2, 20}, {4, 40}, {2, 21}}, "Memory Subsystems already existed.\n", 0},
        {"two cooling records", {{4, 40}, {4, 41}}, "Cooling Subsystems already existed.\n", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Layout l{c.name, false, 2, 2, 0x80, 0x20, 0, 0, 0, 0, 0, c.subsystems};
        FakeFirmware fw;
        Configure(fw, l);
        TransportScope scope(&fw);
        Expected e = Build(l);
        MetricValue record{};
        HistogramData hist{};
        Stdout out;
        unsigned status = Parse(fw, e.bytes, e.bytes.size(), &record, &hist);
        EXPECT_EQ(out.Take(), c.message);
        EXPECT_EQ(status, 255u);
        EXPECT_EQ(AvgOf(record.psCPUPower), c.cpu) << "records before the bad one are kept";
        Release(&record, &hist);
    }
}

TEST_F(SnapshotParse, FirmwareReadFailuresEndTheParse) {
    struct Case {
        const char *name;
        int element, method, reg;
        uint8_t code;
        unsigned status;
        const char *message;
    };
    const Case cases[] = {
        {"histogram configuration", 0x02, 0x80, -1, 0xC1, 0xC1,
         "[QAX_ReadPowerHistogramConfiguration] Failed to call IPMI Command(NETFN_KEP, "
         "CMDID_QAX_INVOKE_ELEMENT_METHOD) and the result code is 193.\n"},
        {"power/thermal capabilities", 0x00, 0x82, 7, 0xC1, 0xC1,
         "Failed to call QAX_ReadFirmwarePowerThermalCapabilitiesRegister() and the result code "
         "is 193.\n"},
        {"extended capabilities", 0x00, 0x82, 14, 0xC3, 0xC3,
         "Failed to call QAX_ReadExtendedFirmwareCapabilitiesRegister() and the result code is "
         "195.\n"},
        {"input power configuration", 0x0B, 0x80, -1, 0, 255,
         "Failed to call QAX_ReadInputPowerBufferConfiguration() and the result code is 255.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Layout l = Layouts()[2];
        FakeFirmware fw;
        Configure(fw, l);
        fw.failElement = c.element;
        fw.failMethod = c.method;
        fw.failRegister = c.reg;
        fw.failCode = c.code;
        TransportScope scope(&fw);
        Expected e = Build(l);
        MetricValue record{};
        HistogramData hist{};
        Stdout out;
        unsigned status = Parse(fw, e.bytes, e.bytes.size(), &record, &hist);
        std::string printed = out.Take();
        EXPECT_EQ(status, c.status);
        EXPECT_NE(printed.find(c.message), std::string::npos) << printed;
        ASSERT_NE(record.psSystemDC, nullptr) << "values read so far stay in the record";
        Release(&record, &hist);
    }
}

// ---------------------------------------------------------------------------
// The whole fetch

class SnapshotFetch : public testing::Test {
  protected:
    void SetUp() override {
        unsetenv("ZOQ_FAMILY");
        QAX_ResetSupportCacheForTest();
    }
    void TearDown() override { QAX_ResetSupportCacheForTest(); }
    qaxtest::TestRoot root_;
};

TEST_F(SnapshotFetch, SuccessCarriesTagAndRecord) {
    Layout l = Layouts()[2];
    FakeFirmware fw;
    Configure(fw, l);
    Expected e = Build(l);
    fw.snapshot = e.bytes;
    fw.total = static_cast<uint16_t>(e.bytes.size());
    fw.chunk = 25;
    fw.tagFor = [](int) { return uint16_t{300}; };
    TransportScope scope(&fw);
    MetricValue *record = nullptr;
    HistogramData hist{};
    ASSERT_EQ(GetSnapshotBufferFromQAX(&record, &hist), 0u);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->u16Tag, 300);
    EXPECT_EQ(record->psSystemDC->u64Avg, e.system);
    EXPECT_EQ(record->psCoolingPower->u64Avg, 444u);
    EXPECT_EQ(record->u8PowerSupplyACCount, 2);
    EXPECT_EQ(hist.u8BucketCount, 12);
    FreeMetricValue(record);
    free(hist.pu8Counters);
}

TEST_F(SnapshotFetch, Failures) {
    struct Case {
        const char *name;
        std::function<void(FakeFirmware &)> setup;
        bool nullHistogram;
        unsigned status;
        const char *message;
    };
    const Case cases[] = {
        {"chunk size 0", [](FakeFirmware &f) { f.chunk = 0; }, false, 253,
         "Failed to call ReadTotalSnapshotBuffer() and the result code is 253.\n"},
        {"unknown subsystem", [](FakeFirmware &) {}, false, 255,
         "Type(3) of subsystem is not supported!\n"
         "[GetSnapshotBufferFromQAX] Failed to call ParseSnapshotBuffer(), return code is 255.\n"},
        {"short snapshot", [](FakeFirmware &f) { f.total = 30; }, false, 255,
         "[ParseSnapshotBuffer] The snapshot buffer (30 bytes) is shorter than its layout"},
        {"configuration completion code",
         [](FakeFirmware &f) {
             f.failElement = 3;
             f.failMethod = 0x80;
             f.failCode = 0xD5;
         }, false,
         0xD5,
         "[QAX_ReadSnapshotBufferConfiguration] Failed to call IPMI Command(NETFN_KEP, "
         "CMDID_QAX_INVOKE_ELEMENT_METHOD) and the result code is 213.\n"
         "Failed to call QAX_ReadSnapshotBufferConfiguration() and the result code is 213.\n"},
        {"no histogram record", [](FakeFirmware &) {}, true, 253,
         "[GetSnapshotBufferFromQAX] The point of sHistogramData is NULL.\n"},
        {"no firmware instance", [](FakeFirmware &f) { f.handle = 0; }, false, 255,
         "[GetSnapshotBufferFromQAX] Failed to call QAX_GetModuleHandle().\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QAX_ResetSupportCacheForTest();
        aim_config_clear("qax_supported_0");
        aim_config_clear("qax_module_handle_0");
        Layout l{c.name, false, 2, 2, 0x80, 0x20, 0, 0, 0, 0, 0, {{1, 1}, {3, 3}}};
        FakeFirmware fw;
        Configure(fw, l);
        Expected e = Build(l);
        fw.snapshot = e.bytes;
        fw.total = static_cast<uint16_t>(e.bytes.size());
        c.setup(fw);
        TransportScope scope(&fw);
        MetricValue *record = reinterpret_cast<MetricValue *>(&fw);  // must be overwritten
        HistogramData hist{};
        Stdout out;
        unsigned status = GetSnapshotBufferFromQAX(&record, c.nullHistogram ? nullptr : &hist);
        std::string printed = out.Take();
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(record, nullptr);
        EXPECT_EQ(hist.pu8Counters, nullptr) << "counters released on failure";
        EXPECT_NE(printed.find(c.message), std::string::npos) << printed;
    }
}

// ---------------------------------------------------------------------------
// Against the emulator: hours of virtual time of fetch + calculate, the way
// the main cycle does it, compared with the emulator's ground truth.

struct EmulatorRun {
    std::shared_ptr<qaxsim::Emulator> emu;
    static int Transport(void *ctx, int netFn, int cmd, const uint8_t *rq, int rqLen, uint8_t *rs,
                         int *rsLen) {
        return qaxsim::HandleRequest(*static_cast<EmulatorRun *>(ctx)->emu, netFn, cmd, rq, rqLen,
                                     rs, rsLen);
    }
};

struct RunCounts {
    int compared = 0, failedFetches = 0, resets = 0, sameSnapshot = 0, unseenResets = 0;
    int effectiveWraps = 0;
};

// Checks one calculated record against the truth between two snapshots.
void CompareWithTruth(const MetricValue &v, const qaxsim::Truth &t, bool blade, bool onePeriod,
                      bool effectiveWrapped) {
    const MetricEntry *dc = blade ? v.psSystemAC : v.psSystemDC;
    ASSERT_NE(dc, nullptr);
    EXPECT_EQ(dc->u64Avg, t.dc.RoundedMean());
    // The histogram buckets whose counters moved bracket the true extremes.
    if (t.dc.min >= 100) {
        EXPECT_LE(dc->u64Min, t.dc.min);
        EXPECT_GT(dc->u64Min + 50, t.dc.min);
    }
    if (t.dc.max < 100 + 10 * 50) {
        EXPECT_GT(dc->u64Max, t.dc.max);
        EXPECT_LE(dc->u64Max, t.dc.max + 50);
    }
    if (!blade) {
        ASSERT_NE(v.psSystemAC, nullptr);
        EXPECT_EQ(v.psSystemAC->u64Avg, t.ac.RoundedMean());
        EXPECT_EQ(v.psSystemAC->u64Max, v.psSystemAC->u64Avg);
        EXPECT_EQ(v.psSystemAC->u64Min, v.psSystemAC->u64Avg);
    }
    ASSERT_NE(v.psCPUPower, nullptr);
    ASSERT_NE(v.psMemoryPower, nullptr);
    ASSERT_NE(v.psCoolingPower, nullptr);
    EXPECT_EQ(v.psCPUPower->u64Avg, t.cpu.RoundedMean());
    EXPECT_EQ(v.psMemoryPower->u64Avg, t.memory.RoundedMean());
    EXPECT_EQ(v.psCoolingPower->u64Avg, t.cooling.RoundedMean());
    EXPECT_EQ(v.psCoolingPower->u64Max, v.psCoolingPower->u64Avg);
    ASSERT_NE(v.psEffectiveCPU, nullptr);
    // The counter is whole counts: its increase may be one count off. The
    // 32-bit counter wraps within a day: that interval has no average.
    if (effectiveWrapped) {
        EXPECT_EQ(v.psEffectiveCPU->u64Avg, 0u);
    } else {
        EXPECT_NEAR(static_cast<double>(v.psEffectiveCPU->u64Avg), t.cpuRate.Mean(), 1.0);
    }
    // Supply figures describe the firmware's last period only.
    if (!blade && onePeriod) {
        ASSERT_EQ(v.u8PowerSupplyACCount, t.supplies.size());
        for (size_t i = 0; i < t.supplies.size(); i++) {
            EXPECT_NEAR(static_cast<double>(v.psPowerSupplyAC[i].u64Avg), t.supplies[i].Mean(), 1.0);
            EXPECT_EQ(v.psPowerSupplyAC[i].u64Max, t.supplies[i].max);
            EXPECT_EQ(v.psPowerSupplyAC[i].u64Min, v.psPowerSupplyAC[i].u64Avg);
        }
    }
}

RunCounts RunAgainstEmulator(const std::string &scenario, bool blade, int cycles) {
    RunCounts counts;
    if (blade) {
        setenv("ZOQ_FAMILY", "blade", 1);
    } else {
        unsetenv("ZOQ_FAMILY");
    }
    qaxsim::Host host{QaxClockWallMs, QaxClockMonotonicMs, QaxClockJumpWall, [](int) {}};
    std::string error;
    EmulatorRun run{qaxsim::MakeEmulator(scenario, 0, host, &error)};
    EXPECT_NE(run.emu, nullptr) << error;
    if (!run.emu) return counts;
    QaxIpmiSetTransportOverride(EmulatorRun::Transport, &run);

    FreeMetricValueContents(&sLastMetricValue, nullptr, nullptr);
    sLastMetricValue = MetricValue{};
    sLastHistogramData = HistogramData{};
    bool haveFirst = false;
    uint16_t lastTag = 0;
    for (int cycle = 0; cycle < cycles && !testing::Test::HasFatalFailure(); cycle++) {
        QaxClockSleepUs(10000000);
        MetricValue *v = nullptr;
        HistogramData hist{};
        testing::internal::CaptureStdout();  // fault messages
        unsigned status = GetSnapshotBufferFromQAX(&v, &hist);
        testing::internal::GetCapturedStdout();
        if (status != 0) {
            counts.failedFetches++;
            EXPECT_EQ(v, nullptr);
            EXPECT_EQ(hist.pu8Counters, nullptr);
            continue;
        }
        const bool reset = v->u16Tag == 1 && lastTag > 1;
        if (!haveFirst || reset) {
            // First data and firmware reset: the snapshot becomes the reference.
            counts.resets += reset;
            FreeMetricValueContents(&sLastMetricValue, nullptr, nullptr);
            CopyMetricValue(&sLastMetricValue, v);
            free(sLastHistogramData.pu8Counters);
            sLastHistogramData = hist;
            haveFirst = true;
        } else if (v->u16Tag != lastTag) {
            const uint64_t from = sLastMetricValue.u64Timestamp, to = v->u64Timestamp;
            const MetricEntry *lastDc = blade ? sLastMetricValue.psSystemAC : sLastMetricValue.psSystemDC;
            const MetricEntry *dc = blade ? v->psSystemAC : v->psSystemDC;
            if (lastDc == nullptr || dc == nullptr) {
                ADD_FAILURE() << "no system DC entry";
                free(hist.pu8Counters);
                FreeMetricValue(v);
                break;
            }
            const uint64_t rawDc = dc->u64Avg, lastRawDc = lastDc->u64Avg;
            const bool effectiveWrapped =
                v->psEffectiveCPU != nullptr && sLastMetricValue.psEffectiveCPU != nullptr &&
                v->psEffectiveCPU->u64Avg < sLastMetricValue.psEffectiveCPU->u64Avg;
            counts.effectiveWraps += effectiveWrapped;
            const bool restarted = lastRawDc == 0 || lastRawDc >= rawDc;
            const qaxsim::Model &model = qaxsim::EmulatorModel(*run.emu);
            qaxsim::Truth truth = model.TruthBetweenSnapshots(from, to);
            CalculateSnapshotValue(v, hist);
            SCOPED_TRACE(testing::Message() << "cycle " << cycle << ", snapshots " << from << " -> " << to);
            if (from == to) {
                // The same snapshot under a new tag: the timestamp guard keeps it raw.
                EXPECT_EQ(dc->u64Avg, rawDc);
                counts.sameSnapshot++;
            } else if (restarted) {
                // A reset the tag did not show (its tag-1 snapshot was missed),
                // or the interval right after a reset whose accumulators
                // started from 0: no average for this interval.
                EXPECT_EQ(dc->u64Avg, 0u);
                counts.unseenResets += lastRawDc != 0;
            } else {
                EXPECT_TRUE(truth.valid);
                if (truth.valid) {
                    CompareWithTruth(*v, truth, blade, to - from == model.PeriodMs(),
                                     effectiveWrapped);
                }
                counts.compared++;
            }
        } else {
            free(hist.pu8Counters);
        }
        lastTag = v->u16Tag;
        FreeMetricValue(v);
    }
    QaxIpmiSetTransportOverride(nullptr, nullptr);
    FreeMetricValueContents(&sLastMetricValue, nullptr, nullptr);
    sLastMetricValue = MetricValue{};
    free(sLastHistogramData.pu8Counters);
    sLastHistogramData = HistogramData{};
    return counts;
}

class SnapshotAgainstEmulator : public testing::Test {
  protected:
    void SetUp() override { QAX_ResetSupportCacheForTest(); }
    void TearDown() override {
        QAX_ResetSupportCacheForTest();
        unsetenv("ZOQ_FAMILY");
    }
    qaxtest::TestRoot root_;
};

// A whole day, so the daily swing sweeps the histogram.
TEST_F(SnapshotAgainstEmulator, RackServerOneDay) {
    RunCounts c = RunAgainstEmulator("family rack\nseed 11\n", false, 24 * 360);
    EXPECT_EQ(c.failedFetches, 0);
    EXPECT_GE(c.compared, 24 * 120 - 2);
    EXPECT_GE(c.effectiveWraps, 1);
}

TEST_F(SnapshotAgainstEmulator, BladeThreeHours) {
    RunCounts c = RunAgainstEmulator("family blade\nseed 5\n", true, 3 * 360);
    EXPECT_EQ(c.failedFetches, 0);
    EXPECT_GE(c.compared, 3 * 120 - 2);
}

TEST_F(SnapshotAgainstEmulator, FaultyTransfersAndResetStayExact) {
    RunCounts c = RunAgainstEmulator(
        "family rack\nseed 3\nfault ipmi_fail rate 0.02\nfault replace_mid_transfer rate 0.05\n"
        "fault short rate 0.1\nfault oversized rate 0.02\nat 3600 reset\nat 7200 reset\n",
        false, 3 * 360);
    EXPECT_GT(c.failedFetches, 0);
    EXPECT_GT(c.sameSnapshot, 0);
    EXPECT_EQ(c.resets + c.unseenResets, 2);
    EXPECT_GE(c.compared, 250);
}

}  // namespace
