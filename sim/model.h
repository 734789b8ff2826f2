// The emulated firmware's power and snapshot model: what the host draws over
// time, the accumulators and histogram the firmware keeps, the snapshot bytes
// it publishes every period, and the ground truth tests compare against.
//
// Time: the model runs on monotonic milliseconds; power is constant over each
// whole second of a grid that starts at construction and restarts at every
// firmware reset. Wall time only stamps snapshots and drives the daily swing.
#ifndef QAX_SIM_MODEL_H
#define QAX_SIM_MODEL_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <iterator>
#include <vector>

namespace qaxsim {

struct ModelConfig {  // filled by the core's scenario parser
    bool blade = false;
    uint8_t histogramBuckets = 10;      // regular buckets (counters = buckets + 2)
    uint8_t histogramCounterWidth = 2;  // bytes per counter, 1..8
    uint16_t histogramStart = 100;      // lower bound of first regular bucket (W)
    uint8_t histogramStep = 50;         // bucket width (W)
    uint8_t powerThermalCaps = 0x80;    // register element 0 id 7
    uint32_t extendedCaps = 0x3C;       // register element 0 id 14
    uint8_t supplies = 2;               // power supplies sharing the AC input
    uint8_t inputPowerConfig[8] = {
        0, 2, 1, 1, 2,
        2, 0, 0};  // bytes 6..13 of element 0x0B config; [1]=N supplies,[2]=R records,[3]=D header
                   // bytes,[4]=W1,[5]=W2
    // Subsystem record types in the snapshot (CPU, memory, cooling). Built
    // from a static array: g++ 12 at -O2 misreports the initializer-list form
    // as reading uninitialised bytes.
    static constexpr uint8_t kDefaultSubsystems[3] = {1, 2, 4};
    std::vector<uint8_t> subsystems{std::begin(kDefaultSubsystems), std::end(kDefaultSubsystems)};
    uint32_t snapshotPeriodMs = 30000;  // rounded to whole seconds, at least 1 s
    double baseWatts = 400, swingWatts = 80, noiseWatts = 10, efficiency = 0.92;  // power model

    uint64_t seed = 1;

    // Shares of DC power drawn by the subsystems.
    double cpuShare = 0.45, memoryShare = 0.20, coolingShare = 0.10;
    double minWatts = 10, maxWatts = 30000;  // DC clamp (at most 65535)
    uint32_t cpuMaxRate = 134400;            // effective CPU counts per second at 100 % CPU
    double inletCelsius = 22.0;              // mean inlet air temperature
    // The firmware had been running this long, at base power, before the
    // model starts: the first snapshot carries non-zero accumulators and a
    // tag of 1 + uptime / period (0 = a freshly started firmware, tag 1).
    uint64_t priorUptimeS = 3600;
    uint32_t historySeconds = 48 * 3600;  // seconds of ground truth kept
};

// Empty when the configuration describes a snapshot the firmware could send
// (counter width 1..8, at most 65535 bytes, sane power figures), otherwise
// why not.
std::string CheckModelConfig(const ModelConfig &cfg);
// Size in bytes of the snapshot this configuration lays out (not capped).
size_t SnapshotLayoutSize(const ModelConfig &cfg);

// One quantity over an interval: exact energy (unit x ms) and duration, and
// the extreme per-second values of the seconds that overlap it.
struct TruthStat {
    uint64_t energy = 0;  // sum of value x ms
    uint64_t ms = 0;
    uint32_t min = 0, max = 0;
    double Mean() const { return ms ? static_cast<double>(energy) / static_cast<double>(ms) : 0.0; }
    // Nearest integer, halves up: what a reader dividing the accumulator
    // increase by the elapsed milliseconds gets after rounding.
    uint64_t RoundedMean() const { return ms ? (2 * energy + ms) / (2 * ms) : 0; }
};

struct Truth {
    bool valid = false;
    TruthStat dc, ac, cpu, memory, cooling;
    TruthStat cpuRate;                // effective CPU, counts per second
    std::vector<TruthStat> supplies;  // AC input of each supply
};

// Values the model holds for one second.
struct SecondValues {
    uint32_t dc = 0, ac = 0, cpu = 0, memory = 0, cooling = 0;
    uint32_t cpuRate = 0;
    uint8_t util[4] = {0, 0, 0, 0};  // system, CPU, memory, IO percent
};

class Model {
  public:
    Model(const ModelConfig &cfg, uint64_t monotonicMs, uint64_t wallMs);
    void AdvanceTo(uint64_t monotonicMs,
                   uint64_t wallMs);  // integrates; takes a snapshot at each period boundary
    void Reset(uint64_t monotonicMs,
               uint64_t wallMs);        // firmware reset: tag back to 1, counters cleared
    void StepPower(double deltaWatts);  // timeline "power step"
    uint16_t Tag() const;
    const std::vector<uint8_t> &Snapshot() const;  // bytes of the current snapshot
    uint16_t StatusWord() const;
    void SetStatusWord(uint16_t);  // frozen into the next snapshot
    uint8_t StatusByte() const;
    void SetStatusByte(uint8_t);  // frozen into the next snapshot

    const ModelConfig &Config() const { return cfg_; }
    uint32_t PeriodMs() const { return periodMs_; }
    uint64_t SnapshotWallMs() const { return snapWall_; }  // timestamp of the current snapshot
    uint64_t SnapshotMonoMs() const { return snapMono_; }
    uint64_t NowMs() const { return now_; }  // monotonic time integrated up to

    // Live readings (registers), as of the last AdvanceTo.
    uint64_t DcEnergy() const { return dcE_; }  // W x ms
    uint64_t AcEnergy() const { return acE_; }  // W x ms
    uint32_t EffectiveCpuCounter() const { return static_cast<uint32_t>(rateE_ / 1000); }
    const SecondValues &Current() const { return cur_; }
    uint32_t SupplyWatts(uint32_t acWatts, unsigned supply) const;
    uint8_t InletTemperature() const;  // whole degrees C
    uint8_t OutletTemperature() const;
    // Reading text of inlet sensor `sensor` (0..4), e.g. "23.125".
    std::string InletTemperatureText(unsigned sensor) const;

    // Utilisation in percent over the last completed snapshot period.
    // domain: 0 system, 4 CPU, 5 memory, 6 IO; statistic: 0 average, 1
    // maximum, 2 minimum. -1 for an unknown domain or statistic.
    int Utilisation(uint8_t domain, uint8_t statistic) const;

    // Ground truth over [fromMonoMs, toMonoMs): invalid when the interval is
    // empty, ends after NowMs() or starts before the kept history.
    Truth TruthMono(uint64_t fromMonoMs, uint64_t toMonoMs) const;
    // Ground truth between two snapshots named by their wall timestamps (the
    // most recent snapshots with these stamps, `from` taken before `to`).
    Truth TruthBetweenSnapshots(uint64_t fromWallMs, uint64_t toWallMs) const;
    // Seconds of history kept (bounded by historySeconds).
    size_t HistorySize() const { return ring_.size(); }

  private:
    struct Segment {  // a run of whole seconds starting at origin
        uint64_t firstIndex;
        uint64_t originMs;
    };
    struct SnapRecord {
        uint16_t tag;
        uint64_t wallMs;
        uint64_t monoMs;
    };

    SecondValues Derive(uint32_t dc) const;
    uint32_t DcAt(uint64_t secondIndex, uint64_t wallMs) const;
    double InletAt(uint64_t wallMs) const;
    unsigned Bucket(uint32_t dc) const;
    void BeginSecond();
    void CountSecond();
    void Integrate(uint64_t ms);
    void ClearPeriod();
    void ClosePeriod();
    void TakeSnapshot();
    void BuildSnapshot();
    uint64_t WallAt(uint64_t monoMs) const;
    size_t SegmentOf(uint64_t index) const;
    uint64_t SecondStart(size_t segment, uint64_t index) const;
    uint64_t SecondEnd(size_t segment, uint64_t index) const;

    ModelConfig cfg_;
    uint32_t periodMs_ = 30000;
    unsigned physicalSupplies_ = 0;

    uint64_t now_ = 0;
    int64_t wallOffset_ = 0;  // wall - monotonic, from the last call
    uint64_t nextSnapshot_ = 0;
    uint64_t secStart_ = 0;  // start of the current second
    uint64_t secIndex_ = 0;  // index of the current second (never restarts)
    SecondValues cur_;
    double curInlet_ = 0;
    double stepWatts_ = 0;

    // Firmware counters.
    uint64_t dcE_ = 0, acE_ = 0, cpuE_ = 0, memE_ = 0, coolE_ = 0;
    uint64_t rateE_ = 0;  // counts x ms
    std::vector<uint64_t> hist_;

    // The open snapshot period.
    uint64_t periodMsSoFar_ = 0;
    uint64_t periodSeconds_ = 0;
    std::vector<uint64_t> supplyE_;
    std::vector<uint32_t> supplyMax_;
    uint64_t utilE_[4] = {0, 0, 0, 0};
    uint8_t utilMax_[4] = {0, 0, 0, 0}, utilMin_[4] = {0, 0, 0, 0};
    // The last closed one.
    std::vector<uint32_t> lastSupplyAvg_, lastSupplyMax_;
    uint8_t lastUtil_[4][3] = {};

    uint16_t tag_ = 1;
    uint16_t statusWord_ = 0;
    uint8_t statusByte_ = 0;
    std::vector<uint8_t> snapshot_;
    uint64_t snapWall_ = 0, snapMono_ = 0;

    // Ground truth: DC of the last seconds (everything else derives from it).
    std::vector<uint16_t> ring_;
    size_t ringHead_ = 0;     // slot of the oldest second once full
    uint64_t ringFirst_ = 0;  // index of the oldest second kept
    std::deque<Segment> segments_;
    std::deque<SnapRecord> snaps_;
};

}  // namespace qaxsim

#endif
