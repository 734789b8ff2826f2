// The emulator: its power and snapshot model, read through the snapshot bytes
// and compared with the ground truth; then the emulator as the daemon sees it,
// scenario text and request bytes in, answer bytes out, on clocks the test moves.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/model.h"
#include "sim/scenario.h"
#include "sim/sim.h"

namespace {

using qaxsim::Model;
using qaxsim::ModelConfig;
using qaxsim::Truth;
using Pair = std::pair<uint64_t, uint64_t>;

uint64_t Mono(uint64_t ms) { return 5000000 + ms; }
uint64_t Wall(uint64_t ms) { return 1700000000123ull + ms; }
void Advance(Model &m, uint64_t ms) { m.AdvanceTo(Mono(ms), Wall(ms)); }

struct Decoded {
    bool ok = false, padded = true;  // padded: records past a supply's first are 0xA5
    uint64_t status = 0, system = 0, samples = 0, statusWord = 0, cpuCounter = 0, ac = 0, inlet = 0, timestamp = 0;
    std::vector<uint64_t> counters, supplyIds;
    std::vector<Pair> supplies, subsystems;  // (average, maximum), (type, energy)
};

// Reads a snapshot the way a client that knows the configuration does.
Decoded Decode(const ModelConfig &c, const std::vector<uint8_t> &b) {
    Decoded d;
    size_t pos = 0;
    auto field = [&](size_t n) {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i, ++pos) v = (v << 8) | (pos < b.size() ? b[pos] : 0);
        return v;
    };
    d.status = field(1);
    d.system = field(8);
    for (int i = 0; i < c.histogramBuckets + 2; ++i)
        d.samples += d.counters.emplace_back(field(c.histogramCounterWidth));
    d.statusWord = field(2);
    d.cpuCounter = field(4);
    if (!c.blade) d.ac = field(8), pos++, d.inlet = field(1);  // past the outlet temperature
    if (c.powerThermalCaps & 0x80) {
        if (c.extendedCaps & 0x08) pos += 16;   // reserved
        const uint8_t *p = c.inputPowerConfig;  // [1] supplies, [2] records, [3] header bytes, [4] [5] widths
        for (unsigned i = 0; (c.extendedCaps & 0x04) && !c.blade && i < p[1]; ++i) {
            d.supplyIds.push_back(field(p[3]) >> (8 * (p[3] - 1)));
            const uint64_t average = field(p[4]);
            d.supplies.emplace_back(average, field(p[5]));
            for (unsigned k = 1; k < p[2]; ++k) {
                field(p[3]);
                for (int j = 0; j < p[4] + p[5]; ++j) d.padded &= field(1) == 0xA5;
            }
        }
        if (c.extendedCaps & 0x10) d.timestamp = field(8);
        for (uint64_t k = (c.extendedCaps & 0x20) ? field(1) : 0; k > 0 && pos < b.size(); --k) {
            const uint64_t type = field(1);
            d.subsystems.emplace_back(type, field(8));
        }
    }
    d.ok = pos == b.size();
    return d;
}

TEST(ModelTest, SnapshotLayoutFollowsTheConfiguration) {
    const struct {
        const char *name;
        bool blade;
        uint8_t width, caps, ext, supplyConfig[8];  // supplyConfig: 0, supplies, records, header bytes, widths
        size_t size;
    } cases[] = {
        // 1+8+24+2+4+8+1+1 = 49, +16 reserved, +2*(1+2+2), +8 stamp, +1+27 subsystems
        {"default", false, 2, 0x80, 0x3C, {0, 2, 1, 1, 2, 2}, 49 + 16 + 10 + 8 + 28},
        {"blade skips supplies", true, 1, 0x80, 0x3C, {0, 2, 1, 1, 2, 2}, 1 + 8 + 12 + 2 + 4 + 16 + 8 + 28},
        {"no optional part", false, 2, 0x00, 0x3C, {0, 2, 1, 1, 2, 2}, 49},
        {"zero supplies", false, 2, 0x80, 0x34, {0, 0, 1, 1, 2, 2}, 49 + 8 + 28},
        {"three records, wide values", false, 8, 0x80, 0x34, {0, 3, 3, 2, 1, 4}, 1 + 8 + 96 + 2 + 4 + 10 + 63 + 8 + 28},
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.name);
        ModelConfig c;
        c.blade = tc.blade;
        c.histogramCounterWidth = tc.width;
        c.powerThermalCaps = tc.caps;
        c.extendedCaps = tc.ext;
        std::copy(tc.supplyConfig, tc.supplyConfig + 8, c.inputPowerConfig);
        c.supplies = tc.supplyConfig[1];
        c.priorUptimeS = 100;
        ASSERT_EQ(qaxsim::CheckModelConfig(c), "");
        Model m(c, Mono(0), Wall(0));
        m.SetStatusByte(0x5A);
        m.SetStatusWord(0xBEEF);
        Advance(m, 60000);  // the second boundary: two periods
        EXPECT_EQ(m.Snapshot().size(), tc.size);
        const Decoded d = Decode(c, m.Snapshot());
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(Pair(d.status, d.statusWord), Pair(0x5A, 0xBEEF));
        EXPECT_EQ(Pair(d.system, d.cpuCounter), Pair(m.DcEnergy(), m.EffectiveCpuCounter()));
        EXPECT_EQ(d.samples, 100u + 60u);  // prior uptime + one sample per second
        EXPECT_EQ(Pair(d.ac, d.inlet), tc.blade ? Pair(0, 0) : Pair(m.AcEnergy(), m.InletTemperature()));
        const bool optional = tc.caps & 0x80;
        EXPECT_EQ(d.timestamp, optional && (tc.ext & 0x10) ? Wall(60000) : 0u);
        std::string types;  // CPU, memory, cooling
        for (const Pair &s : d.subsystems) types += std::to_string(s.first) + (s.second < d.system ? "<" : "!");
        EXPECT_EQ(types, optional && (tc.ext & 0x20) ? "1<2<4<" : "");
        ASSERT_EQ(d.supplies.size(), optional && (tc.ext & 0x04) && !tc.blade ? tc.supplyConfig[1] : 0u);
        EXPECT_TRUE(d.padded);
        const Truth t = m.TruthMono(Mono(30000), Mono(60000));
        for (size_t i = 0; i < d.supplies.size(); ++i) {
            EXPECT_EQ(d.supplyIds[i], i + 1);
            EXPECT_EQ(d.supplies[i], Pair(t.supplies[i].RoundedMean(), t.supplies[i].max));
        }
    }
}

TEST(ModelTest, ChangedHistogramBucketsBracketTrueExtremes) {
    const struct {
        uint8_t width, buckets, step;
        uint16_t start;
        double swing, noise;
    } cases[] = {
        // (The default layout against the daemon's rule: tests/firmware, SnapshotAgainstEmulator.)
        {1, 20, 5, 350, 60, 25},  // narrow buckets, one-byte counters that wrap
        {8, 0, 10, 400, 30, 5},   // only "below" and "at or above"
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(testing::Message() << "width " << int(tc.width) << " buckets " << int(tc.buckets));
        ModelConfig c;
        c.histogramCounterWidth = tc.width;
        c.histogramBuckets = tc.buckets;
        c.histogramStep = tc.step;
        c.histogramStart = tc.start;
        c.swingWatts = tc.swing;
        c.noiseWatts = tc.noise;
        Model m(c, Mono(0), Wall(0));
        Decoded last = Decode(c, m.Snapshot());
        const uint64_t mask = tc.width == 8 ? ~0ull : (1ull << (8 * tc.width)) - 1;
        const size_t top = tc.buckets + 1u;
        auto lower = [&](size_t i) { return tc.start + (i - 1) * tc.step; };  // of bucket i >= 1
        for (uint64_t t = 30000; t <= 12 * 3600000ull; t += 30000) {
            if (t % 3600000 == 0) m.StepPower(t % 7200000 ? 60 : -60);
            Advance(m, t);
            const Decoded d = Decode(c, m.Snapshot());
            const Truth tr = m.TruthBetweenSnapshots(last.timestamp, d.timestamp);
            // The client's rule: the lowest changed bucket holds the minimum, the highest the maximum.
            size_t low = top + 1, high = 0;
            uint64_t increments = 0;
            for (size_t i = 0; i <= top; ++i) {
                const uint64_t inc = (d.counters[i] - last.counters[i]) & mask;
                if (inc) low = std::min(low, i), high = i, increments += inc;
            }
            EXPECT_EQ(increments, 30u);  // one sample per second
            EXPECT_TRUE(low == 0 ? tr.dc.min < tc.start : tr.dc.min >= lower(low)) << low;
            EXPECT_TRUE(low == 0 || low == top || tr.dc.min < lower(low) + tc.step) << low;
            EXPECT_TRUE(high == top ? tr.dc.max >= lower(top) : tr.dc.max < lower(high + 1)) << high;
            EXPECT_TRUE(high == 0 || tr.dc.max >= lower(high)) << high;
            last = d;
        }
    }
}

TEST(ModelTest, TagsCountWrapAndRestartAtReset) {
    ModelConfig c;
    c.snapshotPeriodMs = 1000;
    c.priorUptimeS = 65533;  // 65533 earlier snapshots: tag 65534
    Model m(c, Mono(0), Wall(0));
    Advance(m, 999);
    std::vector<uint16_t> tags{m.Tag()};
    for (uint64_t t = 1000; t <= 4000; t += 1000) Advance(m, t), tags.push_back(m.Tag());
    EXPECT_EQ(tags, (std::vector<uint16_t>{65534, 65535, 2, 3, 4}));
    // A reset: tag 1 at once, everything cleared, the next snapshot one
    // period later with exactly the samples of that period.
    for (uint64_t at : {4500ull, 6500ull}) {  // mid-second, then on the new grid's boundary
        m.SetStatusWord(static_cast<uint16_t>(at));
        m.Reset(Mono(at), Wall(at));
        const Decoded d = Decode(c, m.Snapshot());
        EXPECT_EQ(Pair(m.Tag(), d.timestamp), Pair(1, Wall(at)));
        EXPECT_EQ(d.statusWord, at);
        EXPECT_EQ(d.samples + d.system + d.ac + d.cpuCounter + d.supplies[0].first + d.subsystems[0].second, 0u);
        Advance(m, at + 999);
        const uint16_t tag = m.Tag();
        Advance(m, at + 1000);
        const Decoded after = Decode(c, m.Snapshot());
        EXPECT_EQ(Pair(tag, m.Tag()), Pair(1, 2));
        EXPECT_EQ(Pair(after.samples, after.system), Pair(1, m.TruthMono(Mono(at), Mono(at + 1000)).dc.energy));
    }
    EXPECT_EQ(m.TruthMono(Mono(0), Mono(7500)).dc.ms, 7500u);  // truth spans resets
    m.AdvanceTo(Mono(60500), Wall(60500) - 3600000);           // wall clock set back an hour, on a boundary
    EXPECT_EQ(Decode(c, m.Snapshot()).timestamp, Wall(60500) - 3600000);
}

TEST(ModelTest, HistoryStaysBoundedOverAWeek) {
    ModelConfig c;
    c.historySeconds = 6 * 3600;
    c.snapshotPeriodMs = 10000;
    Model m(c, Mono(0), Wall(0));
    const uint64_t week = 7 * 86400 * 1000ull;
    for (uint64_t t = 0; t <= week; t += 600000) {
        Advance(m, t);
        EXPECT_TRUE(t != 86400000 || m.HistorySize() == 6u * 3600);
        if (t == 3 * 86400000ull) m.Reset(Mono(t + 1), Wall(t + 1));
    }
    EXPECT_EQ(m.HistorySize(), 6u * 3600);
    EXPECT_TRUE(m.TruthMono(Mono(week - 3600000), Mono(week)).valid);
    EXPECT_FALSE(m.TruthMono(Mono(week - 7 * 3600000), Mono(week)).valid);
    EXPECT_EQ(m.SnapshotWallMs(), Wall(week - 10000 + 1));  // the reset's grid
}

// --- the emulator as the daemon sees it ---------------------------------------

using Bytes = std::vector<uint8_t>;
constexpr int kOem = 0x2E, kElement = 0x81, kInstanceCmd = 0x82, kPerfCmd = 0x84;

struct FakeClock {
    uint64_t mono = 5000000, wall = 1700000000000ull;
    std::vector<int> signals;
    void Advance(uint64_t ms) { mono += ms, wall += ms; }
    qaxsim::Host Host() {
        return {[this] { return wall; }, [this] { return mono; },
                [this](int64_t s) { wall += static_cast<uint64_t>(s * 1000); },
                [this](int sig) { signals.push_back(sig); }};
    }
};

struct Answer {
    int result = 0;
    Bytes bytes;
    uint8_t cc() const { return bytes.empty() ? 0xFF : bytes[0]; }
    unsigned U16(size_t at) const { return (unsigned{bytes.at(at)} << 8) | bytes.at(at + 1); }
};

Answer Send(qaxsim::Emulator &emu, int cmd, const Bytes &rq, int capacity, int netFn = kOem) {
    Answer a;
    Bytes buf(capacity + 16u, 0xEE);  // guard bytes past the capacity
    int len = capacity;
    a.result = qaxsim::HandleRequest(emu, netFn, cmd, rq.data(), static_cast<int>(rq.size()), buf.data(), &len);
    if (std::count(buf.begin() + capacity, buf.end(), 0xEE) != 16 || len > capacity)
        ADD_FAILURE() << "answer runs past its capacity " << capacity;
    else if (a.result == 0)
        a.bytes.assign(buf.begin(), buf.begin() + len);
    return a;
}

Bytes Cat(Bytes head, std::initializer_list<uint8_t> tail) {
    head.insert(head.end(), tail);
    return head;
}
Bytes Rq(std::initializer_list<uint8_t> tail) { return Cat({0x4D, 0x4F, 0x00}, tail); }
Bytes Ok(std::initializer_list<uint8_t> tail) { return Cat({0, 0x4D, 0x4F, 0x00}, tail); }
Bytes Err(uint8_t cc) { return {cc, 0x4D, 0x4F, 0x00}; }
Bytes Instance(uint8_t instance) { return Rq({instance, 0x00, 0x01}); }
Bytes Config(uint8_t handle, uint8_t element) { return Rq({handle, element, 0x80}); }
Bytes Read(uint8_t handle, uint8_t element, uint8_t id, uint8_t len) { return Rq({handle, element, 0x82, id, len}); }
Bytes Write(uint8_t handle, uint8_t element, uint8_t id, uint8_t len, uint64_t value) {
    Bytes b = Rq({handle, element, 0x83, id, len});
    for (int i = len - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return b;
}
Bytes Snap(unsigned off, unsigned len) {
    return Rq({1, 3, 0x81, uint8_t(off >> 8), uint8_t(off), uint8_t(len >> 8), uint8_t(len)});
}
Bytes Indexed(uint8_t buffer, uint8_t index, uint8_t len) { return Rq({1, 0x0A, 0x87, buffer, index, len}); }
Bytes Perf(uint8_t domain, uint8_t statistic) { return Rq({4, domain, 0, 1, statistic, 1, 0, 1}); }

class EmulatorTest : public ::testing::Test {
  protected:
    std::shared_ptr<qaxsim::Emulator> Make(const std::string &text, uint64_t seed = 0) {
        std::string error;
        auto emu = qaxsim::MakeEmulator(text, seed, clock_.Host(), &error);
        EXPECT_TRUE(emu) << error;
        return emu;
    }
    // The whole snapshot in chunks of `chunk`, with the tag of every chunk.
    Bytes ReadSnapshot(qaxsim::Emulator &emu, unsigned chunk, std::vector<unsigned> *tags) {
        const unsigned total = Send(emu, kElement, Config(1, 0x03), 12).U16(10);
        Bytes data;
        while (data.size() < total) {
            const unsigned want = std::min<unsigned>(chunk, total - data.size());
            const Answer a = Send(emu, kElement, Snap(data.size(), want), want + 8);
            if (a.cc() != 0 || a.U16(6) == 0) break;
            if (tags) tags->push_back(a.U16(4));
            data.insert(data.end(), a.bytes.begin() + 8, a.bytes.end());
        }
        return data;
    }
    FakeClock clock_;
};

TEST_F(EmulatorTest, RequestAnswerTable) {
    const char *psu = "psu_type 900\npsu_type 750\npsu_config 5 0x0042 2 1 0 1 0 1";
    const char *hist = "histogram_buckets 4\nhistogram_counter_width 4\nhistogram_start 200\nhistogram_step 25";
    struct Case {
        const char *scenario;
        Bytes rq;
        int capacity;
        Bytes answer;
        int cmd = kElement, netFn = kOem;
    } cases[] = {
        {"", Instance(0), 10, Ok({0, 2, 6, 1, 0, 0}), kInstanceCmd},
        {"", Instance(1), 10, Ok({1, 0, 0, 0, 0, 0}), kInstanceCmd},
        {"expansion on\nexpansion_handle 9", Instance(1), 10, Ok({1, 2, 6, 9, 0, 0}), kInstanceCmd},
        {"fault no_firmware on", Instance(0), 10, Ok({0, 0, 0, 0, 0, 0}), kInstanceCmd},
        {"", Read(1, 0x0A, 1, 8), 12, Ok({0x03, 0x20, 0x03, 0x20, 0, 0, 0, 0})},
        {"register 7 2 0x2EE", Read(1, 7, 2, 2), 6, Ok({0x02, 0xEE})},
        {hist, Config(1, 0x02), 14, Ok({9, 0x02, 0, 200, 0x01, 0x2C, 4, 25, 4, 1})},
        {"chunk_size 40\nsnapshot_period 60", Config(1, 0x03), 12, Ok({7, 0x03, 0, 40, 0, 60, 0, 111})},
        {psu, Config(1, 0x0A), 10, Ok({5, 0x0A, 2, 1, 2, 2})},
        {psu, Indexed(0, 1, 4), 11, Ok({0, 1, 4, 1, 0, 0x02, 0xEE})},
        {psu, Indexed(1, 0, 15), 22, Ok({1, 0, 15, 5, 0, 0x42, 2, 1, 0x07, 0x08, 0x0A, 0x8C, 0, 0, 0, 1, 0, 1})},
        // Refusals, with the completion code a client acts on.
        {"", Read(1, 7, 0, 2), 8, Err(0xC1), kElement, 0x06},
        {"", {0x4D, 0x4F}, 8, {0xC7}},
        {"", {0x4D, 0x4E, 0x00, 1, 7, 0x82, 0, 2}, 8, {0xCC}},
        {"", Read(9, 7, 0, 2), 8, Err(0xCB)},
        {"", Write(1, 7, 2, 2, 600), 4, Err(0xD4)},
        {"extended_caps 0x23C", Read(1, 0x0A, 31, 1), 8, Err(0xD4)},
        {"", Read(1, 0x0A, 31, 1), 8, Err(0xCC)},  // absent without its capability
        {"", Snap(5000, 8), 16, Err(0xC9)},
        {"", Perf(3, 0), 11, Err(0xCC), kPerfCmd},
        {"performance off", Perf(0, 0), 11, Err(0xC1), kPerfCmd},
        {"fault completion 0xC0 on", Read(1, 7, 0, 2), 6, Err(0xC0)},
        {"", Read(1, 7, 0, 2), 5, Err(0xCA)},  // answers that do not fit the buffer
        {"", Write(1, 7, 0, 2, 300), 3, {0xCA}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "\"" << c.scenario << "\" " << testing::PrintToString(c.rq));
        auto emu = Make(c.scenario);
        ASSERT_TRUE(emu);
        const Answer a = Send(*emu, c.cmd, c.rq, c.capacity, c.netFn);
        EXPECT_EQ(a.result, 0);
        EXPECT_EQ(a.bytes, c.answer);
    }
    auto emu = Make("");  // calls that cannot be answered at all
    uint8_t rq[8] = {0x4D, 0x4F, 0x00, 1, 7, 0x82, 0, 2}, out[16];
    int none = 0, cap = 16;
    auto call = [&](const uint8_t *req, uint8_t *resp, int *len) {
        return qaxsim::HandleRequest(*emu, kOem, kElement, req, 8, resp, len);
    };
    EXPECT_TRUE(call(rq, out, &none) && call(nullptr, out, &cap) && call(rq, nullptr, &cap) && call(rq, out, nullptr));
}

// (Registers written and read back: tests/firmware, Capabilities.AgainstEmulator.)
TEST_F(EmulatorTest, ExpansionRegistersAreItsOwnAndARefusedWriteStoresNothing) {
    auto emu = Make("expansion on");
    EXPECT_EQ(Send(*emu, kElement, Write(1, 7, 0, 2, 400), 3).cc(), 0xCA);
    EXPECT_EQ(Send(*emu, kElement, Read(1, 7, 0, 2), 6).U16(4), 500u);
    EXPECT_EQ(Send(*emu, kElement, Write(2, 0, 16, 1, 1), 4).cc(), 0);
    EXPECT_EQ(Send(*emu, kElement, Read(1, 0, 16, 1), 5).bytes.at(4), 0);
}

TEST_F(EmulatorTest, SnapshotChunksAndFaults) {
    for (unsigned chunk : {7u, 200u}) {
        auto emu = Make("");
        std::vector<unsigned> tags;
        EXPECT_EQ(ReadSnapshot(*emu, chunk, &tags), qaxsim::EmulatorModel(*emu).Snapshot()) << chunk;
        EXPECT_EQ(std::count(tags.begin(), tags.end(), qaxsim::EmulatorTag(*emu)), long(tags.size()));
    }
    auto emu = Make("chunk_size 20");
    const unsigned total = static_cast<unsigned>(qaxsim::EmulatorModel(*emu).Snapshot().size());
    const unsigned cases[][3] = {{0, 100, 20}, {0, 5, 5}, {total - 3, 20, 3}, {total, 20, 0}};
    for (const auto &c : cases) {  // offset, asked, returned
        const Answer a = Send(*emu, kElement, Snap(c[0], c[1]), c[1] + 8);
        EXPECT_EQ(a.U16(6), c[2]) << c[0];
        EXPECT_EQ(a.bytes.size(), 8u + c[2]) << c[0];
    }
    auto once = Make("fault replace_mid_transfer once");
    std::vector<unsigned> tags, again;
    ReadSnapshot(*once, 28, &tags);
    ReadSnapshot(*once, 28, &again);  // a restarted transfer sees one tag
    ASSERT_GE(tags.size(), 3u);
    EXPECT_TRUE(tags[0] != tags[1] && tags[1] == tags[2]);
    EXPECT_EQ(std::count(again.begin(), again.end(), again.front()), long(again.size()));
    auto oversized = Make("fault oversized once");
    const Answer big = Send(*oversized, kElement, Snap(0, 20), 28);
    EXPECT_TRUE(big.U16(6) == 21 && big.bytes.size() == 28);  // claims a byte more than asked, writes what was asked
    auto shorter = Make("fault short on");
    const Answer part = Send(*shorter, kElement, Snap(0, 20), 28);
    const Bytes &snap = qaxsim::EmulatorModel(*shorter).Snapshot();
    EXPECT_EQ(part.U16(6), 10u);
    EXPECT_EQ(Bytes(part.bytes.begin() + 8, part.bytes.end()), Bytes(snap.begin(), snap.begin() + 10));
}

TEST_F(EmulatorTest, SameSeedSameAnswers) {
    auto run = [](uint64_t seed) {
        FakeClock local;
        std::string error, trace;
        auto emu = qaxsim::MakeEmulator("noise_watts 40\nfault ipmi_fail rate 0.3\nfault short rate 0.5", seed,
                                        local.Host(), &error);
        for (int i = 0; i < 60; ++i) {
            local.Advance(700);
            const Answer a = Send(*emu, kElement, Snap(0, 28), 36);
            trace += a.result != 0 ? 'F' : a.U16(6) < 28 ? 'S' : '.';
            trace.append(a.bytes.begin(), a.bytes.end());
        }
        return trace;
    };
    const std::string a = run(11);
    EXPECT_EQ(a, run(11));
    EXPECT_NE(a, run(12));
    for (char kind : {'F', 'S', '.'}) EXPECT_NE(a.find(kind), std::string::npos) << kind;
}

// Moments fire in order, those of one moment in file order, all that passed
// before a request. (The end-to-end tests use sigterm, reset, firmware, status and caps.)
TEST_F(EmulatorTest, TimelineActions) {
    auto emu = Make(
        "noise_watts 0\nswing_watts 0\nat 1 clock_jump -3600\nat 2 performance off\nat 3 fault completion 0xC3 on\n"
        "at 4 fault completion off\nat 5 power_step 200\nat 10 cap max 700\nat 10 cap max 710\nat 5 cap min 320\n");
    std::string seen;  // completion codes of an instance and a performance request, once a second
    for (int s = 1; s <= 4; ++s) {
        clock_.Advance(1000);
        seen += std::to_string(Send(*emu, kInstanceCmd, Instance(0), 10).cc()) + "/" +
                std::to_string(Send(*emu, kPerfCmd, Perf(0, 0), 11).cc()) + " ";
    }
    EXPECT_EQ(seen, "0/0 0/193 195/195 0/193 ");
    EXPECT_EQ(clock_.wall, 1700000000000ull + 4000 - 3600000);  // through the host
    auto read = [&](uint8_t id) { return Send(*emu, kElement, Read(1, 7, id, 2), 6).U16(4); };
    const uint32_t dc = qaxsim::EmulatorModel(*emu).Current().dc;
    clock_.Advance(999);
    EXPECT_EQ(read(4), 300u);
    clock_.Advance(1);
    EXPECT_EQ(read(4), 320u);
    EXPECT_EQ(read(2), 650u);
    clock_.Advance(60000);
    EXPECT_EQ(read(2), 710u);
    EXPECT_EQ(qaxsim::EmulatorModel(*emu).Current().dc, dc + 200);
}

std::string Text(const std::vector<uint8_t> &buf, size_t record, size_t at) {
    return reinterpret_cast<const char *>(&buf[record * 1492 + at]);
}

TEST_F(EmulatorTest, SensorRecords) {
    auto emu = Make(
        "family rack\nsensor \"Inlet 2 Temp\" model\nsensor \"Inlet Temp\" 99 skip\n"
        "sensor \"PEN Inlet Temp\" Unavailable\nfault sensor_fail once");
    std::vector<uint8_t> buf(4 * 1492, 0xEE);
    uint32_t written = 7;
    EXPECT_TRUE(qaxsim::SensorRecords(*emu, 1, buf.data(), buf.size(), &written) != 0 && written == 0);
    ASSERT_EQ(qaxsim::SensorRecords(*emu, 1, buf.data(), 3 * 1492 - 1, &written), 0);
    EXPECT_TRUE(written == 2 * 1492 && buf[2 * 1492] == 0xEE);  // only whole records
    EXPECT_EQ(Text(buf, 0, 6) + "=" + Text(buf, 0, 198),
              "Inlet 2 Temp=" + qaxsim::EmulatorModel(*emu).InletTemperatureText(2));
    EXPECT_EQ(Text(buf, 1, 6) + "=" + Text(buf, 1, 198), "Inlet Temp=99");
    EXPECT_TRUE(buf[2] == 0 && buf[1492 + 2] != 0);  // the second is marked as one to skip
    ASSERT_EQ(qaxsim::SensorRecords(*emu, 1, buf.data(), buf.size(), &written), 0);
    EXPECT_EQ(Text(buf, 2, 6) + "=" + Text(buf, 2, 198) + " " + std::to_string(written),
              "PEN Inlet Temp=Unavailable 4476");
    EXPECT_TRUE(qaxsim::SensorRecords(*emu, 2, buf.data(), buf.size(), &written) == 0 && written == 0);  // other types
}

TEST(ScenarioTest, ErrorsNameTheLine) {
    const struct {
        const char *text, *error;  // expected start of the message
    } cases[] = {
        {"bogus 1", "line 1: unknown key \"bogus\""},
        {"family tower", "line 1: unknown family \"tower\""},
        {"sensor \"Inlet Temp", "line 1: unterminated quote"},
        {"register 7 3 1", "line 1: no register 3 in element 7"},
        {"register 7 0 70000", "line 1: value does not fit the 2-byte register"},
        {"fault sometimes on", "line 1: unknown fault \"sometimes\""},
        {"at 5 explode", "line 1: unknown action \"explode\""},
        {"family rack\n\n\n  at 1 reset\nat 2 register 7 3 1", "line 5: no register 3 in element 7"},
    };
    for (const auto &c : cases) {
        qaxsim::Scenario sc;
        std::string error;
        EXPECT_TRUE(!qaxsim::ParseScenario(c.text, false, &sc, &error) && error.rfind(c.error, 0) == 0)
            << c.text << ": " << error;
    }
    FakeClock clock;
    std::string error;
    const std::string path = ::testing::TempDir() + "/simcore_env.scn";  // the whole message names the file
    std::ofstream(path) << "family rack  # a comment\n\nmodule_handle 300\n";
    setenv("QAX_SIM_SCENARIO", path.c_str(), 1);
    EXPECT_FALSE(qaxsim::MakeEmulatorFromEnvironment(clock.Host(), &error));
    EXPECT_EQ(error, path + ": line 3: bad module handle \"300\" (1..255)");
    unsetenv("QAX_SIM_SCENARIO");
    std::remove(path.c_str());
    EXPECT_FALSE(qaxsim::MakeEmulator("min_watts 500\nmax_watts 100", 0, clock.Host(), &error));
    EXPECT_FALSE(qaxsim::MakeEmulator("", 0, qaxsim::Host{}, &error));  // no clocks
    EXPECT_TRUE(qaxsim::MakeEmulator("register 7 12 200\nextended_caps 0x7C", 0, clock.Host(), &error)) << error;
}

TEST(ScenarioTest, ShippedScenariosAreValid) {
    for (const char *name : {"default.scn", "blade.scn", "faults.scn"}) {
        std::stringstream text;
        text << std::ifstream(std::string(QAX_SOURCE_DIR) + "/sim/scenarios/" + name).rdbuf();
        FakeClock clock;
        std::string error;
        EXPECT_TRUE(!text.str().empty() && qaxsim::MakeEmulator(text.str(), 0, clock.Host(), &error)) << name << error;
    }
}

}  // namespace
