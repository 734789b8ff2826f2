// Snapshot transfer, parsing (every layout variant, laid out here) and fetch.
#include "fake_firmware.h"
#include "firmware/element_method_testing.h"
#include "firmware/snapshot.h"
#include "metrics/metrics.h"

namespace {

using fwtest::Bytes;
using fwtest::PutBE;
const uint8_t kHandle = 0x21;

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Per read, the firmware's tag and the number of bytes it returns (-1: as many as asked); the last repeats.
TEST(SnapshotTransfer, ChunkingRestartsAndBudget) {
    const struct {
        const char *name;
        uint16_t chunk, total;
        std::vector<uint16_t> tags;
        std::vector<int> returned;
        unsigned status, tag;
        std::string reads;  // offset+length of each read
    } cases[] = {
        {"three chunks", 40, 100, {5}, {-1}, 0, 5, "0+40 40+40 80+20"},
        {"short chunk", 40, 100, {5}, {30, -1}, 0, 5, "0+40 30+40 70+30"},
        {"tag change restarts", 40, 100, {5, 5, 6}, {-1}, 0, 6, "0+40 40+40 80+20 0+40 40+40 80+20"},
        {"a first tag of 0 never restarts", 40, 100, {0, 7}, {-1}, 0, 7, "0+40 40+40 80+20"},
        {"six chunks fit", 10, 60, {5}, {-1}, 0, 5, "0+10 10+10 20+10 30+10 40+10 50+10"},
        {"exactly seven chunks fail", 10, 70, {5}, {-1}, 255, 0, "0+10 10+10 20+10 30+10 40+10 50+10 60+10"},
        {"no progress", 40, 100, {5}, {0}, 255, 0, "0+40 0+40 0+40 0+40 0+40 0+40 0+40"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fwtest::FakeFirmware fw;
        for (int i = 0; i < c.total; i++) fw.snapshot.push_back(static_cast<uint8_t>(i * 31 + 7));
        fw.tagFor = [&c](int i) { return c.tags[std::min<size_t>(i, c.tags.size() - 1)]; };
        fw.returnedFor = [&c](int i, int n) {
            const int r = c.returned[std::min<size_t>(i, c.returned.size() - 1)];
            return r < 0 ? n : r;
        };
        Bytes dest(c.total, 0);
        uint16_t bytesRead = 0xFFFF, tag = 0xFFFF;
        EXPECT_EQ(ReadTotalSnapshotBuffer(kHandle, c.chunk, c.total, &bytesRead, dest.data(), &tag), c.status);
        EXPECT_EQ(tag, uint16_t(c.tag));
        EXPECT_EQ(bytesRead, c.status == 0 ? c.total : 0);
        std::string reads;
        for (const fwtest::Sent &s : fw.sent)
            reads += (reads.empty() ? "" : " ") + std::to_string(s.bytes[6] << 8 | s.bytes[7]) + "+" +
                     std::to_string(s.bytes[8] << 8 | s.bytes[9]);
        EXPECT_EQ(reads, c.reads);
        const Bytes first = {0x4D, 0x4F, 0x00, kHandle, 0x03, 0x81, 0, 0, 0, uint8_t(c.chunk)};
        EXPECT_EQ(std::make_pair(fw.sent[0].bytes, fw.sent[0].capacity), std::make_pair(first, 8 + c.chunk));
        if (c.status == 0) {
            EXPECT_EQ(dest, fw.snapshot);
        }
    }
}

// --- Parser: snapshots laid out from the layout table ------------------------

using Subsystems = std::vector<std::pair<uint8_t, uint64_t>>;  // type, value

struct Layout {
    const char *name;
    bool blade;
    uint8_t buckets, width, powerThermal;
    uint32_t extended;
    uint8_t n, r, d, w1, w2;  // input power configuration
    Subsystems subsystems;
};

const std::vector<Layout> kLayouts = {
    {"non-blade, caps bit 7 clear", false, 10, 2, 0x00, 0x3C, 2, 1, 1, 2, 2, {{1, 9}}},
    {"non-blade, every section", false, 10, 2, 0x80, 0x3C, 2, 1, 1, 2, 2, {{1, 111}, {2, 222}, {4, 444}}},
    {"blade ignores the supply section", true, 6, 4, 0x80, 0x3C, 2, 1, 1, 2, 2, {{4, 7}, {1, 8}}},
    {"supplies with records and wide values", false, 3, 1, 0x80, 0x04, 3, 2, 3, 4, 8, {}},
    {"one supply of two records", false, 3, 1, 0x80, 0x04, 1, 2, 0, 2, 2, {}},
    {"values wider than 8 bytes keep their low-order bytes", false, 3, 1, 0x80, 0x04, 2, 1, 1, 10, 12, {}},
    {"zero first width", false, 3, 1, 0x80, 0x14, 2, 1, 2, 0, 2, {}},
    {"no supplies", false, 3, 1, 0x80, 0x14, 0, 1, 2, 2, 2, {}},
    {"empty subsystem list", false, 0, 8, 0x80, 0x30, 0, 0, 0, 0, 0, {}},
    {"extended register without sections", false, 1, 3, 0x80, 0x00, 0, 0, 0, 0, 0, {}},
    {"no histogram counters", true, 0, 0, 0x80, 0x10, 0, 0, 0, 0, 0, {}},
};

const uint64_t kDC = 0x0102030405060708ULL, kAC = 0x1122334455667788ULL, kEff = 0x11223344, kStamp = 0x18D2A3B4C5DULL;

uint64_t Truncate(uint64_t v, int width) { return width >= 8 ? v : v & ((1ULL << (8 * width)) - 1); }
uint64_t AvgOf(const MetricEntry *e) { return e ? e->u64Avg : 0; }

// A parsed snapshot, flattened: status, flags, effective CPU, DC, AC,
// temperatures, timestamp, CPU, memory, cooling, histogram configuration and
// counters, then (avg, max, min) per supply.
std::vector<uint64_t> Summary(const MetricValue &r, const HistogramData &h) {
    std::vector<uint64_t> s = {r.u8BufferStatus,       r.u16StatusFlags,        AvgOf(r.psEffectiveCPU),
                               AvgOf(r.psSystemDC),    AvgOf(r.psSystemAC),     r.u8OutletTemperature,
                               r.u8InletTemperature,   r.u64Timestamp,          AvgOf(r.psCPUPower),
                               AvgOf(r.psMemoryPower), AvgOf(r.psCoolingPower), h.u16Start,
                               h.u8BucketCount,        h.u8BucketStep,          h.u8CounterSize};
    for (int i = 0; h.pu8Counters && i < h.u8BucketCount * h.u8CounterSize; i++) s.push_back(h.pu8Counters[i]);
    for (int i = 0; i < r.u8PowerSupplyACCount && r.psPowerSupplyAC; i++)
        s.insert(s.end(), {r.psPowerSupplyAC[i].u64Avg, r.psPowerSupplyAC[i].u64Max, r.psPowerSupplyAC[i].u64Min});
    return s;
}

// Lays out the snapshot of a layout into *bytes and answers its summary.
std::vector<uint64_t> Build(const Layout &l, Bytes *bytes) {
    Bytes &b = *bytes;
    uint64_t timestamp = 0, subsystem[5] = {};
    std::vector<uint64_t> counters, supplies;
    b = {0xA5};
    PutBE(b, kDC, 8);
    for (size_t i = 0; i < (l.buckets + 2u) * l.width; i++) counters.push_back(static_cast<uint8_t>(i * 7 + 1));
    b.insert(b.end(), counters.begin(), counters.end());
    PutBE(b, 0xBEEF, 2);
    PutBE(b, kEff, 4);
    if (!l.blade) b.insert(b.end(), {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 40, 22});  // AC, temperatures
    if (l.powerThermal & 0x80) {
        if (l.extended & 0x08) b.insert(b.end(), 16, 0xEE);
        for (int i = 0; !l.blade && (l.extended & 0x04) && i < l.n; i++) {
            for (int r = 0; r < l.r; r++) {
                const uint64_t first = 1000 + 10 * i + r * 5000, second = first + 1000;
                b.insert(b.end(), l.d, 0xDD);
                PutBE(b, first, l.w1);
                PutBE(b, second, l.w2);
                if (r == 0) supplies.insert(supplies.end(), {Truncate(first, l.w1), Truncate(second, l.w2), 0});
            }
        }
        if (l.extended & 0x10) PutBE(b, timestamp = kStamp, 8);
        if (l.extended & 0x20) {
            b.push_back(static_cast<uint8_t>(l.subsystems.size()));
            for (const auto &s : l.subsystems) {
                b.push_back(s.first);
                PutBE(b, s.second, 8);
                if (s.first < 5) subsystem[s.first] = s.second;
            }
        }
    }
    const uint64_t rack = !l.blade;  // a blade's snapshot has DC in the AC slot and no temperatures
    std::vector<uint64_t> summary = {0xA5,         0xBEEF,    kEff,           rack * kDC,   rack ? kAC : kDC,
                                     rack * 40,    rack * 22, timestamp,      subsystem[1], subsystem[2],
                                     subsystem[4], 100,       l.buckets + 2u, 50,           l.width};
    summary.insert(summary.end(), counters.begin(), counters.end());
    summary.insert(summary.end(), supplies.begin(), supplies.end());
    return summary;
}

void Configure(fwtest::FakeFirmware &fw, const Layout &l) {
    fw.handles = {{0, kHandle}};
    fw.configs[0x02] = {0, 0, 0, 100, 0x77, 0x77, l.buckets, 50, l.width, 0x99};
    fw.configs[0x0B] = {0, 0, 0x31, l.n, l.r, l.d, l.w1, l.w2, 0x32, 0x33};
    fw.SetCapabilities(l.powerThermal, l.extended);
    if (l.blade)
        setenv("ZOQ_FAMILY", "iteblade", 1);
    else
        unsetenv("ZOQ_FAMILY");
}

// Parses an exact-size heap copy of the first `length` bytes (so that the
// sanitizer build catches any read beyond them), then releases the result.
unsigned Parse(const Bytes &bytes, size_t length, std::vector<uint64_t> *summary = nullptr) {
    std::unique_ptr<uint8_t[]> raw(new uint8_t[length ? length : 1]);
    std::copy_n(bytes.begin(), length, raw.get());
    MetricValue record{};
    HistogramData hist{};
    const unsigned status = ParseSnapshotBuffer(kHandle, raw.get(), static_cast<uint32_t>(length), &record, &hist);
    if (summary) *summary = Summary(record, hist);
    FreeMetricValueContents(&record, nullptr, nullptr);
    free(hist.pu8Counters);
    return status;
}

using SnapshotParse = fwtest::FirmwareTest;

TEST_F(SnapshotParse, EveryLayoutVariantAndShortSnapshots) {
    for (const Layout &l : kLayouts) {
        SCOPED_TRACE(l.name);
        Configure(fw_, l);
        Bytes bytes;
        const std::vector<uint64_t> expected = Build(l, &bytes);
        std::vector<uint64_t> summary;
        EXPECT_EQ(Parse(bytes, bytes.size(), &summary), 0u);
        EXPECT_EQ(summary, expected);
        for (size_t length = 0; length < bytes.size(); length++) {
            CaptureStdout();
            EXPECT_EQ(Parse(bytes, length), 255u) << length;
            const std::string printed = GetCapturedStdout(), size = std::to_string(length) + " bytes";
            EXPECT_EQ(
                printed.find("[ParseSnapshotBuffer] The snapshot buffer (" + size + ") is shorter than its layout"), 0u)
                << printed;
        }
        bytes.resize(bytes.size() + 5, 0xFF);  // bytes beyond the layout are ignored
        EXPECT_EQ(Parse(bytes, bytes.size()), 0u);
    }
}

// The whole fetch: bad subsystem lists and other failures pass their status up and leave nothing.
TEST_F(SnapshotParse, SubsystemErrorsAndFetchFailures) {
    using Fw = fwtest::FakeFirmware;
    const struct {
        std::function<void(Fw &)> setup;
        unsigned status;
        const char *message;
        Subsystems list = {};
    } cases[] = {
        {nullptr, 255, "Type(0) of subsystem is not supported!\n", {{0, 1}}},
        {nullptr, 255, "CPU Subsystems already existed.\n", {{1, 10}, {1, 11}}},
        {nullptr, 255, "Type(3) of subsystem is not supported!\n", {{1, 10}, {3, 30}}},
        {[](Fw &f) { f.configs[3][7] = 30; }, 255,
         "[ParseSnapshotBuffer] The snapshot buffer (30 bytes) is shorter than its layout (33 bytes).\n"
         "[GetSnapshotBufferFromQAX] Failed to call ParseSnapshotBuffer(), return code is 255.\n"},
        {[](Fw &f) { f.configs[3][3] = 0; }, 253,  // chunk size 0
         "Failed to call ReadTotalSnapshotBuffer() and the result code is 253.\n"},
        {[](Fw &f) { f.returnedFor = [](int, int n) { return n + 1; }; }, 255,
         "[QAX_ReadSnapshotBuffer] The returned buffer size (35) is bigger than expected size (34)!\n"},
        {[](Fw &f) { f.snapshot.pop_back(); }, 255,  // an answer shorter than it claims
         "[QAX_ReadSnapshotBuffer] The response length (41) does not match"},
        {[](Fw &f) { f.returnedFor = [](int, int) { return -1; }; }, 0xCB,
         "[QAX_ReadSnapshotBuffer] Failed to call IPMI Command(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) and the "
         "result code is 203.\n"},
        {[](Fw &f) { f.returnedFor = [](int, int) { return -1; }, f.absent = 0; }, 255,
         "[QAX_ReadSnapshotBuffer] Failed to call IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD)"},
        {[](Fw &f) { f.configs.erase(3); }, 0xCB,
         "Failed to call QAX_ReadSnapshotBufferConfiguration() and the result code is 203.\n"},
        {[](Fw &f) { f.handles[0] = 0; }, 255, "[GetSnapshotBufferFromQAX] Failed to call QAX_GetModuleHandle().\n"},
    };
    for (const auto &c : cases) {
        QAX_ResetSupportCacheForTest();
        aim_config_clear("qax_supported_0");
        Fw fw;
        const Layout l{"", false, 2, 2, 0x80, 0x20, 0, 0, 0, 0, 0, c.list};
        Configure(fw, l);
        Build(l, &fw.snapshot);
        fw.configs[0x03] = {0, 0, 0, 40, 0x77, 0x77, 0, static_cast<uint8_t>(fw.snapshot.size())};
        if (c.setup) c.setup(fw);
        MetricValue *record = reinterpret_cast<MetricValue *>(&fw);  // must be overwritten
        HistogramData hist{};
        CaptureStdout();
        EXPECT_EQ(GetSnapshotBufferFromQAX(&record, &hist), c.status) << c.message;
        const std::string printed = GetCapturedStdout();
        EXPECT_NE(printed.find(c.message), std::string::npos) << printed;
        EXPECT_TRUE(record == nullptr && hist.pu8Counters == nullptr) << c.message;
    }
}

}  // namespace
