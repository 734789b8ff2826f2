#include "sim/model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qaxsim {

namespace {

constexpr uint64_t kSecondMs = 1000;
constexpr uint64_t kDayS = 86400;
constexpr size_t kMaxSnapshot = 65535;
constexpr double kPi = 3.14159265358979323846;

// Stateless mix of (seed, second): a second's noise does not depend on how
// the caller chunks its advances.
uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint32_t ClampRound(double v, double lo, double hi) {
    if (!(v >= lo)) v = lo;  // also catches NaN
    if (v > hi) v = hi;
    return static_cast<uint32_t>(std::llround(v));
}

uint8_t Percent(double v) { return static_cast<uint8_t>(ClampRound(v, 0, 100)); }

uint64_t RoundDiv(uint64_t num, uint64_t den) { return den ? (2 * num + den) / (2 * den) : 0; }

// Tag after `k` snapshots counted from a fresh start at 1. 1 means "reset",
// so after 65535 the sequence continues at 2.
uint16_t TagAfter(uint64_t k) {
    if (k <= 65534) return static_cast<uint16_t>(1 + k);
    return static_cast<uint16_t>(2 + (k - 65535) % 65534);
}

uint16_t NextTag(uint16_t tag) { return tag >= 65535 ? 2 : static_cast<uint16_t>(tag + 1); }

// Appends big-endian fields, silently dropping what would pass the largest
// snapshot the transfer can carry.
class Writer {
  public:
    explicit Writer(std::vector<uint8_t> &out) : out_(out) { out_.clear(); }
    void Byte(uint8_t b) {
        if (out_.size() < kMaxSnapshot) out_.push_back(b);
    }
    // `width` bytes of `v`; widths above 8 are padded with leading zeros.
    void Field(uint64_t v, unsigned width) {
        for (unsigned i = width; i > 0; --i)
            Byte(i > 8 ? 0 : static_cast<uint8_t>(v >> (8 * (i - 1))));
    }
    void Fill(uint8_t b, size_t n) {
        for (size_t i = 0; i < n; ++i) Byte(b);
    }

  private:
    std::vector<uint8_t> &out_;
};

uint64_t FieldMax(unsigned width) { return width >= 8 ? ~0ull : (1ull << (8 * width)) - 1; }

}  // namespace

size_t SnapshotLayoutSize(const ModelConfig &cfg) {
    size_t h = (static_cast<size_t>(cfg.histogramBuckets) + 2) * cfg.histogramCounterWidth;
    size_t n = 1 + 8 + h + 2 + 4;
    if (!cfg.blade) n += 8 + 1 + 1;
    if (!(cfg.powerThermalCaps & 0x80)) return n;
    if (cfg.extendedCaps & 0x08) n += 16;
    if ((cfg.extendedCaps & 0x04) && !cfg.blade) {
        const uint8_t *c = cfg.inputPowerConfig;
        n += static_cast<size_t>(c[1]) * c[2] * (static_cast<size_t>(c[3]) + c[4] + c[5]);
    }
    if (cfg.extendedCaps & 0x10) n += 8;
    if (cfg.extendedCaps & 0x20) n += 1 + 9 * std::min<size_t>(cfg.subsystems.size(), 255);
    return n;
}

std::string CheckModelConfig(const ModelConfig &cfg) {
    if (cfg.histogramCounterWidth < 1 || cfg.histogramCounterWidth > 8)
        return "histogram counter width must be 1..8 bytes";
    if (SnapshotLayoutSize(cfg) > kMaxSnapshot) return "snapshot larger than 65535 bytes";
    if (cfg.subsystems.size() > 255) return "more than 255 subsystem records";
    if (!(cfg.efficiency > 0.05 && cfg.efficiency <= 1.0)) return "efficiency must be in (0.05, 1]";
    if (!(cfg.minWatts >= 0 && cfg.minWatts <= cfg.maxWatts && cfg.maxWatts <= 65535))
        return "power range must satisfy 0 <= min <= max <= 65535";
    if (!std::isfinite(cfg.baseWatts) || !std::isfinite(cfg.swingWatts) ||
        !std::isfinite(cfg.noiseWatts))
        return "power figures must be finite";
    if (cfg.snapshotPeriodMs == 0) return "snapshot period must be positive";
    if (cfg.historySeconds == 0) return "history must keep at least one second";
    return "";
}

Model::Model(const ModelConfig &cfg, uint64_t monotonicMs, uint64_t wallMs) : cfg_(cfg) {
    // Whatever the parser let through, keep the model's own arithmetic sound.
    cfg_.histogramCounterWidth =
        std::min<uint8_t>(std::max<uint8_t>(cfg_.histogramCounterWidth, 1), 8);
    if (!(cfg_.efficiency > 0.05 && cfg_.efficiency <= 1.0)) cfg_.efficiency = 1.0;
    if (!(cfg_.maxWatts <= 65535)) cfg_.maxWatts = 65535;
    if (!(cfg_.minWatts >= 0)) cfg_.minWatts = 0;
    if (cfg_.minWatts > cfg_.maxWatts) cfg_.minWatts = cfg_.maxWatts;
    if (cfg_.subsystems.size() > 255) cfg_.subsystems.resize(255);
    if (cfg_.historySeconds == 0) cfg_.historySeconds = 1;
    // Whole seconds keep every histogram sample inside one snapshot period.
    periodMs_ =
        static_cast<uint32_t>(std::max<uint64_t>(1, (cfg_.snapshotPeriodMs + 500) / 1000) * 1000);
    physicalSupplies_ = cfg_.supplies;

    now_ = monotonicMs;
    wallOffset_ = static_cast<int64_t>(wallMs - monotonicMs);
    hist_.assign(static_cast<size_t>(cfg_.histogramBuckets) + 2, 0);
    supplyE_.assign(physicalSupplies_, 0);
    supplyMax_.assign(physicalSupplies_, 0);
    lastSupplyAvg_.assign(physicalSupplies_, 0);
    lastSupplyMax_.assign(physicalSupplies_, 0);
    ring_.reserve(std::min<size_t>(cfg_.historySeconds, 4096));
    segments_.push_back({0, now_});

    // The firmware's life before the model: constant base power.
    const uint64_t priorMs = cfg_.priorUptimeS * kSecondMs;
    const uint32_t baseDc = ClampRound(cfg_.baseWatts, cfg_.minWatts, cfg_.maxWatts);
    const SecondValues base = Derive(baseDc);
    dcE_ = uint64_t{base.dc} * priorMs;
    acE_ = uint64_t{base.ac} * priorMs;
    cpuE_ = uint64_t{base.cpu} * priorMs;
    memE_ = uint64_t{base.memory} * priorMs;
    coolE_ = uint64_t{base.cooling} * priorMs;
    rateE_ = uint64_t{base.cpuRate} * priorMs;
    hist_[Bucket(baseDc)] = cfg_.priorUptimeS;
    for (unsigned i = 0; i < physicalSupplies_; ++i)
        lastSupplyAvg_[i] = lastSupplyMax_[i] = SupplyWatts(base.ac, i);
    for (int d = 0; d < 4; ++d) lastUtil_[d][0] = lastUtil_[d][1] = lastUtil_[d][2] = base.util[d];
    cur_ = base;
    curInlet_ = InletAt(WallAt(now_));

    tag_ = TagAfter(priorMs / periodMs_);
    BuildSnapshot();
    snaps_.push_back({tag_, snapWall_, snapMono_});
    nextSnapshot_ = now_ + periodMs_;
    secIndex_ = 0;
    secStart_ = now_;
    BeginSecond();
}

uint64_t Model::WallAt(uint64_t monoMs) const {
    const int64_t w = static_cast<int64_t>(monoMs) + wallOffset_;
    return w < 0 ? 0 : static_cast<uint64_t>(w);
}

double Model::InletAt(uint64_t wallMs) const {
    // Room air follows the day a little, lagging the load by two hours.
    const double phase = static_cast<double>((wallMs / kSecondMs) % kDayS) / kDayS;
    return cfg_.inletCelsius + 2.0 * std::sin(2 * kPi * (phase - 0.25 - 2.0 / 24));
}

uint32_t Model::DcAt(uint64_t secondIndex, uint64_t wallMs) const {
    // Daily swing: lowest at midnight, highest at noon (wall clock, UTC).
    const double phase = static_cast<double>((wallMs / kSecondMs) % kDayS) / kDayS;
    const double daily = cfg_.swingWatts * std::sin(2 * kPi * (phase - 0.25));
    const uint64_t h = Mix(cfg_.seed ^ Mix(secondIndex));
    const double unit = static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);
    const double noise = cfg_.noiseWatts * (2 * unit - 1);
    return ClampRound(cfg_.baseWatts + daily + stepWatts_ + noise, cfg_.minWatts, cfg_.maxWatts);
}

SecondValues Model::Derive(uint32_t dc) const {
    SecondValues v;
    v.dc = dc;
    v.ac = ClampRound(dc / cfg_.efficiency, 0, 4294967295.0);
    v.cpu = ClampRound(dc * cfg_.cpuShare, 0, dc);
    v.memory = ClampRound(dc * cfg_.memoryShare, 0, dc);
    v.cooling = ClampRound(dc * cfg_.coolingShare, 0, dc);
    // Utilisation follows the load: 20 % at the day's lowest expected power,
    // 80 % at its highest; steps push it to the ends.
    const double spread = std::fabs(cfg_.swingWatts) + std::fabs(cfg_.noiseWatts);
    const double lo = cfg_.baseWatts - spread;
    const double sys = spread > 0 ? 20 + 60 * (dc - lo) / (2 * spread) : 50;
    v.util[0] = Percent(sys);
    v.util[1] = Percent(sys + 8);
    v.util[2] = Percent(0.5 * sys + 15);
    v.util[3] = Percent(0.3 * sys + 5);
    v.cpuRate = static_cast<uint32_t>((uint64_t{v.util[1]} * cfg_.cpuMaxRate + 50) / 100);
    return v;
}

uint32_t Model::SupplyWatts(uint32_t acWatts, unsigned supply) const {
    // Equal shares; the first supplies carry the remainder so the sum is exact.
    if (supply >= physicalSupplies_) return 0;
    return acWatts / physicalSupplies_ + (supply < acWatts % physicalSupplies_ ? 1 : 0);
}

unsigned Model::Bucket(uint32_t dc) const {
    // Counter 0 below start, counter i in [start+(i-1)*step, start+i*step),
    // the last one at or above start+buckets*step.
    const unsigned n = cfg_.histogramBuckets;
    if (dc < cfg_.histogramStart) return 0;
    if (cfg_.histogramStep == 0) return n + 1;
    const uint64_t i = 1 + (uint64_t{dc} - cfg_.histogramStart) / cfg_.histogramStep;
    return i > n ? n + 1 : static_cast<unsigned>(i);
}

void Model::BeginSecond() {
    cur_ = Derive(DcAt(secIndex_, WallAt(secStart_)));
    curInlet_ = InletAt(WallAt(secStart_));
    if (ring_.size() < cfg_.historySeconds) {
        if (ring_.empty()) ringFirst_ = secIndex_;
        ring_.push_back(static_cast<uint16_t>(cur_.dc));
    } else {
        ring_[ringHead_] = static_cast<uint16_t>(cur_.dc);
        ringHead_ = (ringHead_ + 1) % ring_.size();
        ++ringFirst_;
        while (segments_.size() > 1 && segments_[1].firstIndex <= ringFirst_) segments_.pop_front();
        const uint64_t oldest = SecondStart(SegmentOf(ringFirst_), ringFirst_);
        while (!snaps_.empty() && snaps_.front().monoMs < oldest) snaps_.pop_front();
    }
    CountSecond();
}

void Model::CountSecond() {
    // The sample belongs to the period in which its second starts.
    ++hist_[Bucket(cur_.dc)];
    for (unsigned i = 0; i < physicalSupplies_; ++i)
        supplyMax_[i] = std::max(supplyMax_[i], SupplyWatts(cur_.ac, i));
    for (int d = 0; d < 4; ++d) {
        utilMax_[d] = periodSeconds_ ? std::max(utilMax_[d], cur_.util[d]) : cur_.util[d];
        utilMin_[d] = periodSeconds_ ? std::min(utilMin_[d], cur_.util[d]) : cur_.util[d];
    }
    ++periodSeconds_;
}

void Model::Integrate(uint64_t ms) {
    dcE_ += uint64_t{cur_.dc} * ms;
    acE_ += uint64_t{cur_.ac} * ms;
    cpuE_ += uint64_t{cur_.cpu} * ms;
    memE_ += uint64_t{cur_.memory} * ms;
    coolE_ += uint64_t{cur_.cooling} * ms;
    rateE_ += uint64_t{cur_.cpuRate} * ms;
    for (unsigned i = 0; i < physicalSupplies_; ++i)
        supplyE_[i] += uint64_t{SupplyWatts(cur_.ac, i)} * ms;
    for (int d = 0; d < 4; ++d) utilE_[d] += uint64_t{cur_.util[d]} * ms;
    periodMsSoFar_ += ms;
}

void Model::ClearPeriod() {
    periodMsSoFar_ = 0;
    periodSeconds_ = 0;
    std::fill(supplyE_.begin(), supplyE_.end(), 0);
    std::fill(supplyMax_.begin(), supplyMax_.end(), 0);
    for (int d = 0; d < 4; ++d) utilE_[d] = utilMax_[d] = utilMin_[d] = 0;
}

void Model::ClosePeriod() {
    for (unsigned i = 0; i < physicalSupplies_; ++i) {
        lastSupplyAvg_[i] = static_cast<uint32_t>(RoundDiv(supplyE_[i], periodMsSoFar_));
        lastSupplyMax_[i] = supplyMax_[i];
    }
    for (int d = 0; d < 4; ++d) {
        lastUtil_[d][0] = static_cast<uint8_t>(RoundDiv(utilE_[d], periodMsSoFar_));
        lastUtil_[d][1] = utilMax_[d];
        lastUtil_[d][2] = utilMin_[d];
    }
    ClearPeriod();
}

void Model::TakeSnapshot() {
    ClosePeriod();
    tag_ = NextTag(tag_);
    BuildSnapshot();
    snaps_.push_back({tag_, snapWall_, snapMono_});
    // Bounded even if resets come faster than seconds.
    while (snaps_.size() > size_t{cfg_.historySeconds} + 16) snaps_.pop_front();
}

void Model::BuildSnapshot() {
    snapWall_ = WallAt(now_);
    snapMono_ = now_;
    snapshot_.reserve(std::min(SnapshotLayoutSize(cfg_), kMaxSnapshot));
    Writer w(snapshot_);
    const unsigned cw = cfg_.histogramCounterWidth;
    w.Byte(statusByte_);
    w.Field(dcE_, 8);                         // DC on every platform
    for (uint64_t c : hist_) w.Field(c, cw);  // wraps at the counter's width
    w.Field(statusWord_, 2);
    w.Field(EffectiveCpuCounter(), 4);
    if (!cfg_.blade) {
        w.Field(acE_, 8);
        w.Byte(OutletTemperature());
        w.Byte(InletTemperature());
    }
    if (!(cfg_.powerThermalCaps & 0x80)) return;
    const uint32_t ext = cfg_.extendedCaps;
    if (ext & 0x08) w.Fill(0, 16);
    if ((ext & 0x04) && !cfg_.blade) {
        const uint8_t *c = cfg_.inputPowerConfig;
        const unsigned n = c[1], r = c[2], d = c[3], w1 = c[4], w2 = c[5];
        for (unsigned i = 0; i < n; ++i) {
            for (unsigned k = 0; k < r; ++k) {
                // Header: supply number, record number, zeros.
                for (unsigned b = 0; b < d; ++b)
                    w.Byte(b == 0   ? static_cast<uint8_t>(i + 1)
                           : b == 1 ? static_cast<uint8_t>(k)
                                    : 0);
                if (k > 0) {
                    // Records the reader must skip carry a pattern that shows up if it does not.
                    w.Fill(0xA5, size_t{w1} + w2);
                    continue;
                }
                const uint64_t avg = i < physicalSupplies_ ? lastSupplyAvg_[i] : 0;
                const uint64_t max = i < physicalSupplies_ ? lastSupplyMax_[i] : 0;
                w.Field(std::min(avg, FieldMax(w1)), w1);  // saturates in narrow fields
                w.Field(std::min(max, FieldMax(w2)), w2);
            }
        }
    }
    if (ext & 0x10) w.Field(snapWall_, 8);
    if (ext & 0x20) {
        w.Byte(static_cast<uint8_t>(cfg_.subsystems.size()));
        for (uint8_t type : cfg_.subsystems) {
            w.Byte(type);
            w.Field(type == 1 ? cpuE_ : type == 2 ? memE_ : type == 4 ? coolE_ : 0, 8);
        }
    }
}

void Model::AdvanceTo(uint64_t monotonicMs, uint64_t wallMs) {
    wallOffset_ = static_cast<int64_t>(wallMs - monotonicMs);
    while (now_ < monotonicMs) {
        const uint64_t secEnd = secStart_ + kSecondMs;
        const uint64_t next = std::min({secEnd, nextSnapshot_, monotonicMs});
        Integrate(next - now_);
        now_ = next;
        if (now_ == nextSnapshot_) {
            TakeSnapshot();
            nextSnapshot_ += periodMs_;
        }
        if (now_ == secEnd) {
            secStart_ = now_;
            ++secIndex_;
            BeginSecond();
        }
    }
}

void Model::Reset(uint64_t monotonicMs, uint64_t wallMs) {
    AdvanceTo(monotonicMs, wallMs);
    dcE_ = acE_ = cpuE_ = memE_ = coolE_ = rateE_ = 0;
    std::fill(hist_.begin(), hist_.end(), 0);
    ClearPeriod();
    std::fill(lastSupplyAvg_.begin(), lastSupplyAvg_.end(), 0);
    std::fill(lastSupplyMax_.begin(), lastSupplyMax_.end(), 0);
    for (auto &u : lastUtil_) u[0] = u[1] = u[2] = 0;
    tag_ = 1;
    BuildSnapshot();
    snaps_.push_back({tag_, snapWall_, snapMono_});
    nextSnapshot_ = now_ + periodMs_;
    // A new grid of seconds starts now; a second that began at this very
    // instant is kept (its sample counted again in the cleared counters).
    if (secStart_ == now_) {
        segments_.push_back({secIndex_, now_});
        CountSecond();
    } else {
        secStart_ = now_;
        ++secIndex_;
        segments_.push_back({secIndex_, now_});
        BeginSecond();
    }
}

void Model::StepPower(double deltaWatts) {
    if (std::isfinite(deltaWatts)) stepWatts_ += deltaWatts;
}

uint16_t Model::Tag() const { return tag_; }
const std::vector<uint8_t> &Model::Snapshot() const { return snapshot_; }
uint16_t Model::StatusWord() const { return statusWord_; }
void Model::SetStatusWord(uint16_t w) { statusWord_ = w; }
uint8_t Model::StatusByte() const { return statusByte_; }
void Model::SetStatusByte(uint8_t b) { statusByte_ = b; }

uint8_t Model::InletTemperature() const {
    return static_cast<uint8_t>(ClampRound(curInlet_, 0, 255));
}

uint8_t Model::OutletTemperature() const {
    // Exhaust air warms by about 2.5 degrees per 100 W.
    return static_cast<uint8_t>(ClampRound(curInlet_ + 0.025 * cur_.dc, 0, 255));
}

std::string Model::InletTemperatureText(unsigned sensor) const {
    // Sensors read in eighths of a degree; each sits a little warmer.
    const double v = std::round((curInlet_ + 0.5 * sensor) * 8) / 8;
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", v);
    return text;
}

int Model::Utilisation(uint8_t domain, uint8_t statistic) const {
    int d;
    switch (domain) {
    case 0:
        d = 0;
        break;
    case 4:
        d = 1;
        break;
    case 5:
        d = 2;
        break;
    case 6:
        d = 3;
        break;
    default:
        return -1;
    }
    if (statistic > 2) return -1;
    return lastUtil_[d][statistic];
}

size_t Model::SegmentOf(uint64_t index) const {
    size_t seg = 0;
    while (seg + 1 < segments_.size() && segments_[seg + 1].firstIndex <= index) ++seg;
    return seg;
}

uint64_t Model::SecondStart(size_t segment, uint64_t index) const {
    const Segment &s = segments_[segment];
    return s.originMs + (index - s.firstIndex) * kSecondMs;
}

uint64_t Model::SecondEnd(size_t segment, uint64_t index) const {
    uint64_t end = SecondStart(segment, index) + kSecondMs;
    if (segment + 1 < segments_.size()) end = std::min(end, segments_[segment + 1].originMs);
    return end;
}

Truth Model::TruthMono(uint64_t fromMonoMs, uint64_t toMonoMs) const {
    Truth t;
    if (ring_.empty() || fromMonoMs >= toMonoMs || toMonoMs > now_) return t;
    if (fromMonoMs < SecondStart(SegmentOf(ringFirst_), ringFirst_)) return t;
    // Segment holding `from`: the last one starting at or before it.
    size_t seg = 0;
    while (seg + 1 < segments_.size() && segments_[seg + 1].originMs <= fromMonoMs) ++seg;
    uint64_t k = std::max(
        ringFirst_, segments_[seg].firstIndex + (fromMonoMs - segments_[seg].originMs) / kSecondMs);
    t.supplies.assign(physicalSupplies_, TruthStat{});
    bool first = true;
    auto add = [&](TruthStat &s, uint32_t v, uint64_t ms) {
        s.energy += uint64_t{v} * ms;
        s.ms += ms;
        if (first || v < s.min) s.min = v;
        if (first || v > s.max) s.max = v;
    };
    for (; k <= secIndex_; ++k) {
        while (seg + 1 < segments_.size() && segments_[seg + 1].firstIndex <= k) ++seg;
        const uint64_t start = SecondStart(seg, k);
        if (start >= toMonoMs) break;
        const uint64_t end = SecondEnd(seg, k);
        const uint64_t a = std::max(start, fromMonoMs), b = std::min(end, toMonoMs);
        if (b <= a) continue;
        const size_t slot = ring_.size() < cfg_.historySeconds
                                ? static_cast<size_t>(k - ringFirst_)
                                : (ringHead_ + static_cast<size_t>(k - ringFirst_)) % ring_.size();
        const SecondValues v = Derive(ring_[slot]);
        const uint64_t ms = b - a;
        add(t.dc, v.dc, ms);
        add(t.ac, v.ac, ms);
        add(t.cpu, v.cpu, ms);
        add(t.memory, v.memory, ms);
        add(t.cooling, v.cooling, ms);
        add(t.cpuRate, v.cpuRate, ms);
        for (unsigned i = 0; i < physicalSupplies_; ++i)
            add(t.supplies[i], SupplyWatts(v.ac, i), ms);
        first = false;
    }
    t.valid = !first;
    return t;
}

Truth Model::TruthBetweenSnapshots(uint64_t fromWallMs, uint64_t toWallMs) const {
    auto it = snaps_.rbegin();
    while (it != snaps_.rend() && it->wallMs != toWallMs) ++it;
    if (it == snaps_.rend()) return Truth{};
    const uint64_t toMono = it->monoMs;
    for (++it; it != snaps_.rend() && it->wallMs != fromWallMs; ++it) {
    }
    if (it == snaps_.rend()) return Truth{};
    return TruthMono(it->monoMs, toMono);
}

}  // namespace qaxsim
