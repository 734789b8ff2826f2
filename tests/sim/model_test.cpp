// The power and snapshot model, checked through its bytes: a small reader of
// our own decodes every snapshot, and the ground truth must agree with what a
// client derives from the accumulators and the histogram.
#include "sim/model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using qaxsim::Model;
using qaxsim::ModelConfig;
using qaxsim::Truth;

constexpr uint64_t kMono0 = 5000000;                  // arbitrary monotonic origin
constexpr uint64_t kWall0 = 1700000000000ull + 123;   // arbitrary wall origin

struct Decoded {
    bool ok = false;
    uint8_t status = 0;
    uint64_t system = 0;
    std::vector<uint64_t> counters;
    uint16_t statusWord = 0;
    uint32_t cpuCounter = 0;
    uint64_t ac = 0;
    uint8_t outlet = 0, inlet = 0;
    std::vector<std::pair<uint64_t, uint64_t>> supplies;  // (avg, max) of record 0
    std::vector<std::vector<uint8_t>> supplyHeaders;      // header of record 0
    bool skippedRecordsPatterned = true;
    uint64_t timestamp = 0;
    std::vector<std::pair<uint8_t, uint64_t>> subsystems;
};

// Reads the snapshot the way a client that knows the configuration does.
class Reader {
  public:
    explicit Reader(const std::vector<uint8_t> &b) : b_(b) {}
    bool Has(size_t n) const { return pos_ + n <= b_.size(); }
    uint64_t Field(size_t n) {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | b_.at(pos_ + i);
        pos_ += n;
        return v;
    }
    std::vector<uint8_t> Bytes(size_t n) {
        std::vector<uint8_t> v(b_.begin() + pos_, b_.begin() + pos_ + n);
        pos_ += n;
        return v;
    }
    size_t pos() const { return pos_; }

  private:
    const std::vector<uint8_t> &b_;
    size_t pos_ = 0;
};

Decoded Decode(const ModelConfig &c, const std::vector<uint8_t> &bytes) {
    Decoded d;
    Reader r(bytes);
    const size_t counters = c.histogramBuckets + 2u, width = c.histogramCounterWidth;
    if (!r.Has(1 + 8 + counters * width + 2 + 4)) return d;
    d.status = static_cast<uint8_t>(r.Field(1));
    d.system = r.Field(8);
    for (size_t i = 0; i < counters; ++i) d.counters.push_back(r.Field(width));
    d.statusWord = static_cast<uint16_t>(r.Field(2));
    d.cpuCounter = static_cast<uint32_t>(r.Field(4));
    if (!c.blade) {
        if (!r.Has(10)) return d;
        d.ac = r.Field(8);
        d.outlet = static_cast<uint8_t>(r.Field(1));
        d.inlet = static_cast<uint8_t>(r.Field(1));
    }
    if (c.powerThermalCaps & 0x80) {
        if (c.extendedCaps & 0x08) {
            if (!r.Has(16)) return d;
            r.Bytes(16);
        }
        if ((c.extendedCaps & 0x04) && !c.blade) {
            const unsigned n = c.inputPowerConfig[1], rec = c.inputPowerConfig[2], hd = c.inputPowerConfig[3],
                           w1 = c.inputPowerConfig[4], w2 = c.inputPowerConfig[5];
            if (!r.Has(size_t{n} * rec * (hd + w1 + w2))) return d;
            for (unsigned i = 0; i < n; ++i) {
                for (unsigned k = 0; k < rec; ++k) {
                    auto header = r.Bytes(hd);
                    if (k == 0) {
                        d.supplyHeaders.push_back(header);
                        const uint64_t avg = r.Field(w1);
                        d.supplies.emplace_back(avg, r.Field(w2));
                    } else {
                        for (uint8_t byte : r.Bytes(w1 + w2)) d.skippedRecordsPatterned &= byte == 0xA5;
                    }
                }
            }
        }
        if (c.extendedCaps & 0x10) {
            if (!r.Has(8)) return d;
            d.timestamp = r.Field(8);
        }
        if (c.extendedCaps & 0x20) {
            if (!r.Has(1)) return d;
            const size_t k = r.Field(1);
            if (!r.Has(9 * k)) return d;
            for (size_t i = 0; i < k; ++i) {
                const uint8_t type = static_cast<uint8_t>(r.Field(1));
                d.subsystems.emplace_back(type, r.Field(8));
            }
        }
    }
    d.ok = r.pos() == bytes.size();
    return d;
}

uint64_t Mono(uint64_t s) { return kMono0 + s; }
uint64_t Wall(uint64_t s) { return kWall0 + s; }
void AdvanceMs(Model &m, uint64_t ms) { m.AdvanceTo(Mono(ms), Wall(ms)); }

// What a client derives: increase over elapsed ms, rounded half away from zero.
uint64_t ClientAverage(uint64_t before, uint64_t after, uint64_t ms) {
    return static_cast<uint64_t>(std::round(static_cast<double>(after - before) / static_cast<double>(ms)));
}

uint64_t SubsystemValue(const Decoded &d, uint8_t type) {
    for (auto &s : d.subsystems)
        if (s.first == type) return s.second;
    return 0;
}

// ---------------------------------------------------------------- layout

struct LayoutCase {
    const char *name;
    bool blade;
    uint8_t width;
    uint8_t caps;
    uint32_t ext;
    uint8_t supplies;                 // physical and configured entries
    uint8_t records, header, w1, w2;
    size_t expectedSize;
};

TEST(ModelLayout, SnapshotBytesFollowTheConfiguration) {
    const LayoutCase cases[] = {
        // 1+8+24+2+4+8+1+1 = 49, +16 reserved, +2*(1+2+2), +8 stamp, +1+27 subsystems
        {"default", false, 2, 0x80, 0x3C, 2, 1, 1, 2, 2, 49 + 16 + 10 + 8 + 28},
        {"blade skips supplies", true, 1, 0x80, 0x3C, 2, 1, 1, 2, 2, 1 + 8 + 12 + 2 + 4 + 16 + 8 + 28},
        {"no optional part", false, 2, 0x00, 0x3C, 2, 1, 1, 2, 2, 49},
        {"reserved and stamp only", false, 4, 0x80, 0x18, 2, 1, 1, 2, 2, 1 + 8 + 48 + 2 + 4 + 10 + 16 + 8},
        {"zero supplies", false, 2, 0x80, 0x34, 0, 1, 1, 2, 2, 49 + 8 + 28},
        {"three records, wide values", false, 8, 0x80, 0x34, 3, 3, 2, 1, 4,
         1 + 8 + 96 + 2 + 4 + 10 + 3 * 3 * 7 + 8 + 28},
        {"blade without optional part", true, 2, 0x7F, 0x3C, 2, 1, 1, 2, 2, 1 + 8 + 24 + 2 + 4},
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.name);
        ModelConfig c;
        c.blade = tc.blade;
        c.histogramCounterWidth = tc.width;
        c.powerThermalCaps = tc.caps;
        c.extendedCaps = tc.ext;
        c.supplies = tc.supplies;
        c.inputPowerConfig[1] = tc.supplies;
        c.inputPowerConfig[2] = tc.records;
        c.inputPowerConfig[3] = tc.header;
        c.inputPowerConfig[4] = tc.w1;
        c.inputPowerConfig[5] = tc.w2;
        c.priorUptimeS = 100;
        ASSERT_EQ(qaxsim::CheckModelConfig(c), "");
        Model m(c, Mono(0), Wall(0));
        m.SetStatusByte(0x5A);
        m.SetStatusWord(0xBEEF);
        AdvanceMs(m, 60000);  // the second boundary: two periods
        const auto &bytes = m.Snapshot();
        EXPECT_EQ(bytes.size(), tc.expectedSize);
        EXPECT_EQ(qaxsim::SnapshotLayoutSize(c), tc.expectedSize);
        const Decoded d = Decode(c, bytes);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.status, 0x5A);
        EXPECT_EQ(d.statusWord, 0xBEEF);
        EXPECT_EQ(d.system, m.DcEnergy());
        EXPECT_EQ(d.cpuCounter, m.EffectiveCpuCounter());
        uint64_t samples = 0;
        for (uint64_t v : d.counters) samples += v;
        EXPECT_EQ(samples, 100u + 60u);  // prior uptime + one sample per second
        if (!tc.blade) {
            EXPECT_EQ(d.ac, m.AcEnergy());
            EXPECT_GT(d.ac, d.system);
            EXPECT_EQ(d.inlet, m.InletTemperature());
            EXPECT_EQ(d.outlet, m.OutletTemperature());
            EXPECT_GT(d.outlet, d.inlet);
        }
        const bool optional = tc.caps & 0x80;
        EXPECT_EQ(d.timestamp, optional && (tc.ext & 0x10) ? Wall(60000) : 0u);
        if (optional && (tc.ext & 0x20)) {
            ASSERT_EQ(d.subsystems.size(), 3u);
            EXPECT_EQ(d.subsystems[0].first, 1);
            EXPECT_EQ(d.subsystems[1].first, 2);
            EXPECT_EQ(d.subsystems[2].first, 4);
            // CPU > memory > cooling by their shares, all below the DC total.
            EXPECT_GT(d.subsystems[0].second, d.subsystems[1].second);
            EXPECT_GT(d.subsystems[1].second, d.subsystems[2].second);
            EXPECT_LT(d.subsystems[0].second, d.system);
        } else {
            EXPECT_TRUE(d.subsystems.empty());
        }
        const bool supplySection = optional && (tc.ext & 0x04) && !tc.blade;
        ASSERT_EQ(d.supplies.size(), supplySection ? tc.supplies : 0u);
        EXPECT_TRUE(d.skippedRecordsPatterned);
        const Truth t = m.TruthMono(Mono(30000), Mono(60000));
        ASSERT_TRUE(t.valid);
        for (size_t i = 0; i < d.supplies.size(); ++i) {
            EXPECT_EQ(d.supplyHeaders[i][0], i + 1);
            EXPECT_EQ(d.supplies[i].first, t.supplies[i].RoundedMean());
            EXPECT_EQ(d.supplies[i].second, t.supplies[i].max);
        }
    }
}

TEST(ModelLayout, NarrowFieldsWrapOrSaturate) {
    ModelConfig c;
    c.histogramCounterWidth = 1;
    c.priorUptimeS = 1000;  // base bucket counts 1000 -> 232 in one byte
    c.baseWatts = 600;
    c.noiseWatts = 0;
    c.swingWatts = 0;
    c.inputPowerConfig[4] = 1;  // one-byte supply average saturates
    Model m(c, Mono(0), Wall(0));
    const Decoded d = Decode(c, m.Snapshot());
    ASSERT_TRUE(d.ok);
    // 600 W is at or above 100 + 10 * 50: the top counter.
    EXPECT_EQ(d.counters[11], 1000u % 256);
    ASSERT_EQ(d.supplies.size(), 2u);
    for (auto &s : d.supplies) EXPECT_EQ(s, (std::pair<uint64_t, uint64_t>(255, 326)));  // 652 W in two
}

TEST(ModelLayout, ConfigurationCheck) {
    ModelConfig c;
    EXPECT_EQ(qaxsim::CheckModelConfig(c), "");
    for (uint8_t w : {0, 9}) {
        ModelConfig bad = c;
        bad.histogramCounterWidth = w;
        EXPECT_NE(qaxsim::CheckModelConfig(bad), "");
    }
    ModelConfig big = c;
    big.inputPowerConfig[1] = big.inputPowerConfig[2] = 255;  // 255*255*5 bytes
    EXPECT_NE(qaxsim::CheckModelConfig(big), "");
    // Built anyway, the snapshot stops at what the transfer can carry.
    Model m(big, Mono(0), Wall(0));
    EXPECT_EQ(m.Snapshot().size(), 65535u);
    ModelConfig eff = c;
    eff.efficiency = 0;
    EXPECT_NE(qaxsim::CheckModelConfig(eff), "");
}

// ---------------------------------------------------------- accumulators

TEST(ModelAccumulators, LiveIncreaseEqualsTruthOverRandomIntervals) {
    ModelConfig c;
    c.seed = 42;
    c.supplies = 3;
    Model m(c, Mono(0), Wall(0));
    std::mt19937_64 rng(7);
    uint64_t t = 0;
    for (int i = 0; i < 300; ++i) {
        t += 1 + rng() % 4000;  // sub-second and multi-second steps
        AdvanceMs(m, t);
        const uint64_t dc1 = m.DcEnergy(), ac1 = m.AcEnergy(), t1 = t;
        t += 1 + rng() % 90000;
        if (i % 50 == 0) m.StepPower(static_cast<double>(rng() % 400) - 200);
        AdvanceMs(m, t);
        const Truth tr = m.TruthMono(Mono(t1), Mono(t));
        ASSERT_TRUE(tr.valid);
        EXPECT_EQ(tr.dc.ms, t - t1);
        EXPECT_EQ(tr.dc.energy, m.DcEnergy() - dc1);
        EXPECT_EQ(tr.ac.energy, m.AcEnergy() - ac1);
        EXPECT_EQ(tr.dc.RoundedMean(), ClientAverage(dc1, m.DcEnergy(), t - t1));
        EXPECT_LE(tr.dc.min, tr.dc.Mean());
        EXPECT_GE(tr.dc.max, tr.dc.Mean());
        uint64_t supplySum = 0;
        for (auto &s : tr.supplies) supplySum += s.energy;
        EXPECT_EQ(supplySum, tr.ac.energy);
    }
}

TEST(ModelAccumulators, SnapshotIncreasesEqualTruthBetweenSnapshots) {
    for (bool blade : {false, true}) {
        SCOPED_TRACE(blade ? "blade" : "rack");
        ModelConfig c;
        c.blade = blade;
        c.seed = 9;
        c.snapshotPeriodMs = 10000;
        Model m(c, Mono(0), Wall(0));
        Decoded last = Decode(c, m.Snapshot());
        uint64_t lastStamp = m.SnapshotWallMs();
        // Poll at an awkward rhythm; only new tags count.
        for (uint64_t t = 0; t < 3600000; t += 3700) {
            AdvanceMs(m, t);
            const Decoded d = Decode(c, m.Snapshot());
            ASSERT_TRUE(d.ok);
            if (d.timestamp == lastStamp) continue;
            const Truth tr = m.TruthBetweenSnapshots(lastStamp, d.timestamp);
            ASSERT_TRUE(tr.valid);
            const uint64_t elapsed = d.timestamp - lastStamp;
            EXPECT_EQ(elapsed, 10000u);
            EXPECT_EQ(ClientAverage(last.system, d.system, elapsed), tr.dc.RoundedMean());
            if (!blade) {
                EXPECT_EQ(ClientAverage(last.ac, d.ac, elapsed), tr.ac.RoundedMean());
            }
            EXPECT_EQ(SubsystemValue(d, 1) - SubsystemValue(last, 1), tr.cpu.energy);
            EXPECT_EQ(SubsystemValue(d, 2) - SubsystemValue(last, 2), tr.memory.energy);
            EXPECT_EQ(SubsystemValue(d, 4) - SubsystemValue(last, 4), tr.cooling.energy);
            // The counter grows by its rate each whole second (and wraps).
            EXPECT_EQ(static_cast<uint32_t>(d.cpuCounter - last.cpuCounter), tr.cpuRate.energy / 1000);
            EXPECT_EQ(tr.cpuRate.energy % 1000, 0u);
            last = d;
            lastStamp = d.timestamp;
        }
    }
}

TEST(ModelAccumulators, EffectiveCpuCounterWraps) {
    ModelConfig c;
    c.cpuMaxRate = 4000000000u;  // wraps within a few seconds
    c.priorUptimeS = 0;
    Model m(c, Mono(0), Wall(0));
    uint64_t total = 0;
    uint32_t last = m.EffectiveCpuCounter();
    for (uint64_t t = 1000; t <= 20000; t += 1000) {
        EXPECT_FALSE(m.TruthMono(Mono(t - 1000), Mono(t - 1000)).valid);  // empty
        AdvanceMs(m, t);
        total += m.TruthMono(Mono(t - 1000), Mono(t)).cpuRate.energy / 1000;
        EXPECT_EQ(static_cast<uint32_t>(m.EffectiveCpuCounter() - last),
                  m.TruthMono(Mono(t - 1000), Mono(t)).cpuRate.energy / 1000);
        last = m.EffectiveCpuCounter();
    }
    EXPECT_GT(total, uint64_t{1} << 32);
    EXPECT_EQ(m.EffectiveCpuCounter(), static_cast<uint32_t>(total));
}

// --------------------------------------------------------------- histogram

// The client's rule: bounds of the lowest and highest changed counters.
struct Range {
    bool any = false;
    size_t lowest = 0, highest = 0;
    uint64_t increments = 0;
};

Range ChangedBuckets(const ModelConfig &c, const Decoded &before, const Decoded &after) {
    Range r;
    const uint64_t mask = c.histogramCounterWidth >= 8 ? ~0ull : (1ull << (8 * c.histogramCounterWidth)) - 1;
    for (size_t i = 0; i < after.counters.size(); ++i) {
        const uint64_t inc = (after.counters[i] - before.counters[i]) & mask;
        if (!inc) continue;
        if (!r.any) r.lowest = i;
        r.highest = i;
        r.any = true;
        r.increments += inc;
    }
    return r;
}

TEST(ModelHistogram, ChangedBucketsBracketTrueExtremes) {
    struct Case {
        uint8_t width, buckets, step;
        uint16_t start;
        double swing, noise;
    } cases[] = {
        {2, 10, 50, 100, 80, 10},
        {1, 20, 5, 350, 60, 25},   // narrow buckets, one-byte counters that wrap
        {4, 6, 20, 380, 40, 40},   // many samples in the end buckets
        {8, 0, 10, 400, 30, 5},    // only "below" and "at or above"
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
        c.seed = 1234;
        Model m(c, Mono(0), Wall(0));
        Decoded last = Decode(c, m.Snapshot());
        uint64_t lastStamp = m.SnapshotWallMs();
        const unsigned n = tc.buckets + 2u;
        auto lower = [&](size_t i) { return uint32_t{tc.start} + (i - 1) * tc.step; };
        for (uint64_t t = 30000; t <= 12 * 3600 * 1000ull; t += 30000) {
            if (t % 3600000 == 0) m.StepPower(t % 7200000 ? 60 : -60);
            AdvanceMs(m, t);
            const Decoded d = Decode(c, m.Snapshot());
            const Truth tr = m.TruthBetweenSnapshots(lastStamp, d.timestamp);
            ASSERT_TRUE(tr.valid);
            const Range r = ChangedBuckets(c, last, d);
            ASSERT_TRUE(r.any);
            EXPECT_EQ(r.increments, 30u);  // one sample per second
            // Lowest changed bucket holds the true minimum, highest the maximum.
            if (r.lowest == 0) {
                EXPECT_LT(tr.dc.min, tc.start);
            } else {
                EXPECT_GE(tr.dc.min, lower(r.lowest));
                if (r.lowest < n - 1) {
                    EXPECT_LT(tr.dc.min, lower(r.lowest) + tc.step);
                }
            }
            if (r.highest == n - 1) {
                EXPECT_GE(tr.dc.max, lower(n - 1));
            } else if (r.highest > 0) {
                EXPECT_LT(tr.dc.max, lower(r.highest) + tc.step);
                EXPECT_GE(tr.dc.max, lower(r.highest));
            } else {
                EXPECT_LT(tr.dc.max, tc.start);
            }
            last = d;
            lastStamp = d.timestamp;
        }
    }
}

// ------------------------------------------------------- tags and resets

TEST(ModelTags, SequenceWrapsToTwoAndResetRestartsAtOne) {
    ModelConfig c;
    c.snapshotPeriodMs = 1000;
    c.priorUptimeS = 0;
    {
        Model m(c, Mono(0), Wall(0));
        EXPECT_EQ(m.Tag(), 1);
        AdvanceMs(m, 2999);
        EXPECT_EQ(m.Tag(), 3);
        AdvanceMs(m, 3000);
        EXPECT_EQ(m.Tag(), 4);
    }
    c.priorUptimeS = 65533;  // 65533 earlier snapshots: tag 65534
    Model m(c, Mono(0), Wall(0));
    std::vector<uint16_t> tags{m.Tag()};
    for (uint64_t t = 1000; t <= 4000; t += 1000) {
        AdvanceMs(m, t);
        tags.push_back(m.Tag());
    }
    EXPECT_EQ(tags, (std::vector<uint16_t>{65534, 65535, 2, 3, 4}));

    // A reset: tag 1 at once, everything cleared, the next snapshot one
    // period later with exactly the samples of that period.
    for (uint64_t at : {4500ull, 6500ull}) {  // mid-second, then on the new grid's boundary
        SCOPED_TRACE(at);
        m.SetStatusWord(static_cast<uint16_t>(at));
        m.Reset(Mono(at), Wall(at));
        EXPECT_EQ(m.Tag(), 1);
        EXPECT_EQ(m.SnapshotWallMs(), Wall(at));
        const Decoded d = Decode(c, m.Snapshot());
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.system, 0u);
        EXPECT_EQ(d.ac, 0u);
        EXPECT_EQ(d.cpuCounter, 0u);
        EXPECT_EQ(d.statusWord, at);
        for (uint64_t v : d.counters) EXPECT_EQ(v, 0u);
        for (auto &s : d.subsystems) EXPECT_EQ(s.second, 0u);
        for (auto &s : d.supplies) EXPECT_EQ(s, (std::pair<uint64_t, uint64_t>(0, 0)));
        AdvanceMs(m, at + 999);
        EXPECT_EQ(m.Tag(), 1);
        AdvanceMs(m, at + 1000);
        EXPECT_EQ(m.Tag(), 2);
        const Decoded after = Decode(c, m.Snapshot());
        uint64_t samples = 0;
        for (uint64_t v : after.counters) samples += v;
        EXPECT_EQ(samples, 1u);
        EXPECT_EQ(after.system, m.TruthMono(Mono(at), Mono(at + 1000)).dc.energy);
    }
}

TEST(ModelTags, TruthSpansResetsAtAndBetweenSecondBoundaries) {
    ModelConfig c;
    c.priorUptimeS = 0;
    Model m(c, Mono(0), Wall(0));
    uint64_t energy = 0;
    uint64_t mark = 0;
    // Resets on a boundary, mid-second, and twice at the same instant.
    for (uint64_t at : {7000ull, 12345ull, 20000ull, 20000ull, 31001ull}) {
        AdvanceMs(m, at);
        energy += m.DcEnergy() - mark;
        m.Reset(Mono(at), Wall(at));
        mark = m.DcEnergy();
        EXPECT_EQ(mark, 0u);
    }
    AdvanceMs(m, 45000);
    energy += m.DcEnergy() - mark;
    const Truth t = m.TruthMono(Mono(0), Mono(45000));
    ASSERT_TRUE(t.valid);
    EXPECT_EQ(t.dc.ms, 45000u);
    EXPECT_EQ(t.dc.energy, energy);
    // Each piece on its own as well.
    const Truth piece = m.TruthMono(Mono(12345), Mono(20000));
    EXPECT_EQ(piece.dc.ms, 20000u - 12345u);
}

// ------------------------------------------------------------ determinism

TEST(ModelDeterminism, SameSeedSameBytesWhateverTheStepping) {
    ModelConfig c;
    c.seed = 77;
    Model a(c, Mono(0), Wall(0)), b(c, Mono(0), Wall(0));
    std::mt19937_64 rng(3);
    uint64_t t = 0;
    while (t < 7200000) {
        t = std::min<uint64_t>(7200000, t + 1 + rng() % 20000);
        AdvanceMs(a, t);
    }
    AdvanceMs(b, 7200000);
    EXPECT_EQ(a.Snapshot(), b.Snapshot());
    EXPECT_EQ(a.Tag(), b.Tag());
    EXPECT_EQ(a.TruthMono(Mono(0), Mono(7200000)).dc.energy, b.TruthMono(Mono(0), Mono(7200000)).dc.energy);

    c.seed = 78;
    Model other(c, Mono(0), Wall(0));
    AdvanceMs(other, 7200000);
    EXPECT_NE(other.Snapshot(), a.Snapshot());
}

// ------------------------------------------------------- power and bounds

TEST(ModelPower, StepsShiftPowerAndStayInRange) {
    ModelConfig c;
    c.noiseWatts = 0;
    c.swingWatts = 0;
    c.maxWatts = 1000;
    Model m(c, Mono(0), Wall(0));
    AdvanceMs(m, 10000);
    EXPECT_EQ(m.TruthMono(Mono(0), Mono(10000)).dc.max, 400u);
    m.StepPower(250);
    AdvanceMs(m, 20000);
    // The step applies from the next whole second.
    const Truth t = m.TruthMono(Mono(11000), Mono(20000));
    EXPECT_EQ(t.dc.min, 650u);
    EXPECT_EQ(t.ac.min, 707u);  // round(650 / 0.92)
    m.StepPower(5000);
    AdvanceMs(m, 30000);
    EXPECT_EQ(m.TruthMono(Mono(21000), Mono(30000)).dc.max, 1000u);
    m.StepPower(-10000);
    AdvanceMs(m, 40000);
    EXPECT_EQ(m.TruthMono(Mono(31000), Mono(40000)).dc.min, 10u);
}

TEST(ModelPower, UtilisationAndTemperatures) {
    ModelConfig c;
    Model m(c, Mono(0), Wall(0));
    AdvanceMs(m, 90000);
    for (uint8_t domain : {0, 4, 5, 6}) {
        const int avg = m.Utilisation(domain, 0), max = m.Utilisation(domain, 1), min = m.Utilisation(domain, 2);
        EXPECT_LE(min, avg);
        EXPECT_LE(avg, max);
        EXPECT_LE(max, 100);
        EXPECT_GE(min, 0);
    }
    EXPECT_EQ(m.Utilisation(1, 0), -1);
    EXPECT_EQ(m.Utilisation(0, 3), -1);
    const std::string text = m.InletTemperatureText(0);
    const size_t dot = text.find('.');
    ASSERT_NE(dot, std::string::npos) << text;
    EXPECT_GT(dot, 0u) << text;
    EXPECT_EQ(text.size(), dot + 4) << text;  // three decimals
    EXPECT_EQ(text.find_first_not_of("0123456789."), std::string::npos) << text;
    EXPECT_LE(std::fabs(std::stod(text) - m.InletTemperature()), 0.5);
    EXPECT_GT(std::stod(m.InletTemperatureText(2)), std::stod(text));
}

TEST(ModelPower, SnapshotStampFollowsTheWallClock) {
    ModelConfig c;
    Model m(c, Mono(0), Wall(0));
    AdvanceMs(m, 30000);
    EXPECT_EQ(m.SnapshotWallMs(), Wall(30000));
    m.AdvanceTo(Mono(60000), Wall(60000) - 3600000);  // wall clock set back an hour
    EXPECT_EQ(m.SnapshotWallMs(), Wall(60000) - 3600000);
    EXPECT_EQ(Decode(c, m.Snapshot()).timestamp, Wall(60000) - 3600000);
}

TEST(ModelBounds, HistoryStaysBoundedOverAWeek) {
    ModelConfig c;
    c.historySeconds = 6 * 3600;
    c.snapshotPeriodMs = 10000;
    Model m(c, Mono(0), Wall(0));
    const uint64_t week = 7 * 86400 * 1000ull;
    size_t sizeAtDay = 0;
    for (uint64_t t = 0; t <= week; t += 600000) {
        AdvanceMs(m, t);
        if (t == 86400000) sizeAtDay = m.HistorySize();
        if (t == 3 * 86400000ull) m.Reset(Mono(t + 1), Wall(t + 1));
    }
    EXPECT_EQ(sizeAtDay, 6u * 3600);
    EXPECT_EQ(m.HistorySize(), 6u * 3600);
    EXPECT_TRUE(m.TruthMono(Mono(week - 3600000), Mono(week)).valid);
    EXPECT_FALSE(m.TruthMono(Mono(week - 7 * 3600000), Mono(week)).valid);
    EXPECT_FALSE(m.TruthBetweenSnapshots(Wall(0), Wall(10000)).valid);
    // Snapshots follow the reset's grid, 1 ms after the old one.
    EXPECT_EQ(m.SnapshotWallMs(), Wall(week - 10000 + 1));
    EXPECT_TRUE(m.TruthBetweenSnapshots(m.SnapshotWallMs() - 10000, m.SnapshotWallMs()).valid);
}

}  // namespace
