#include "sim/emulator.h"

#include <algorithm>
#include <csignal>
#include <cstring>

namespace qaxsim {
namespace {

constexpr int kNetFnOem = 0x2E;
constexpr int kCmdElementMethod = 0x81;
constexpr int kCmdInstance = 0x82;
constexpr int kCmdPerformance = 0x84;
const uint8_t kEnterprise[3] = {0x4D, 0x4F, 0x00};

constexpr uint8_t kMethodConfig = 0x80;
constexpr uint8_t kMethodBuffer = 0x81;
constexpr uint8_t kMethodRead = 0x82;
constexpr uint8_t kMethodWrite = 0x83;
constexpr uint8_t kMethodIndexed = 0x87;

constexpr uint8_t kElementHistogram = 0x02;
constexpr uint8_t kElementSnapshot = 0x03;
constexpr uint8_t kElementSupply = 0x0A;
constexpr uint8_t kElementInputPower = 0x0B;

// What the instance request reports besides the handle (firmware version).
constexpr uint8_t kInfo1 = 2;
constexpr uint8_t kInfo2 = 6;
constexpr uint8_t kSensorTemperature = 1;

const char *const kInletNames[] = {"Inlet Temp", "Inlet 1 Temp", "Inlet 2 Temp", "PEN Inlet Temp",
                                   "SEN Inlet Temp"};

void Put16(uint8_t *p, unsigned v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void PutBig(uint8_t *p, uint64_t v, unsigned width) {
    for (unsigned i = 0; i < width; ++i) p[i] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
}

uint64_t GetBig(const uint8_t *p, unsigned width) {
    uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | p[i];
    return v;
}

// The model's tag moved on by `shift` extra snapshots, with the firmware's
// wrap: 1 only right after a reset, then 2..65535 and round again.
uint16_t ShiftTag(uint16_t tag, uint64_t shift) {
    if (shift == 0) return tag;
    const uint64_t pos = tag <= 1 ? shift - 1 : (tag - 2u) + shift;
    return static_cast<uint16_t>(2 + pos % 65534);
}

uint64_t WallBefore(uint64_t wallNow, uint64_t msAgo) {
    return wallNow > msAgo ? wallNow - msAgo : 0;
}

// Longest type-index list of the redundancy configurations, split into the
// two factors the element configuration reports (supplies per feed x feeds).
void IndexFactors(const std::vector<PsuConfigSpec> &configs, uint8_t *perFeed, uint8_t *feeds) {
    size_t longest = 0;
    for (const PsuConfigSpec &c : configs) longest = std::max(longest, c.typeIndexes.size());
    *feeds = 2;
    *perFeed = static_cast<uint8_t>((longest + 1) / 2);
}

// A replaced snapshot is a real new one when the model can take one off its
// period grid (Model::ReplaceSnapshot(mono, wall)); otherwise only the tag
// moves on. Picked at compile time so either model builds.
template <typename M>
auto ReplaceSnapshotOf(M &model, uint64_t mono, uint64_t wall, int)
    -> decltype(model.ReplaceSnapshot(mono, wall), bool()) {
    model.ReplaceSnapshot(mono, wall);
    return true;
}
template <typename M>
bool ReplaceSnapshotOf(M &, uint64_t, uint64_t, long) {
    return false;
}

}  // namespace

Emulator::Emulator(const Scenario &scenario, const Host &host)
    : sc_(scenario),
      host_(host),
      model_(scenario.model, host.monotonicMs(), host.wallMs()),
      regs_(scenario.model),
      expansionRegs_(scenario.model),
      rng_(scenario.model.seed ^ 0x51AC0DE5EEDull),
      startMono_(host.monotonicMs()),
      lastMono_(startMono_),
      firmwarePresent_(scenario.firmwarePresent),
      performance_(scenario.performance) {
    for (const RegisterOverride &o : sc_.registers)
        (o.expansion ? expansionRegs_ : regs_).Set(o.element, o.id, o.value);
    std::copy(std::begin(sc_.faults), std::end(sc_.faults), std::begin(faults_));
}

uint16_t Emulator::Tag() const {
    std::lock_guard<std::mutex> lock(mu_);
    return TagLocked();
}

uint16_t Emulator::TagLocked() const { return ShiftTag(model_.Tag(), tagShift_); }

void Emulator::Advance() {
    std::vector<int> signals;
    {
        std::lock_guard<std::mutex> lock(mu_);
        AdvanceLocked(&signals);
    }
    for (int sig : signals)
        if (host_.raiseSignal) host_.raiseSignal(sig);
}

void Emulator::AdvanceLocked(std::vector<int> *signals) {
    uint64_t now = host_.monotonicMs();
    if (now < lastMono_) now = lastMono_;  // a host clock that steps back changes nothing
    lastMono_ = now;
    // Each due action happens at its own time: the model integrates up to it
    // first, so a power step or reset lands where the scenario put it.
    while (nextAction_ < sc_.timeline.size() &&
           sc_.timeline[nextAction_].atMs <= now - startMono_) {
        const Action &a = sc_.timeline[nextAction_++];
        const uint64_t at = startMono_ + a.atMs;
        model_.AdvanceTo(at, WallBefore(host_.wallMs(), now - at));
        Fire(a, at, signals);
    }
    model_.AdvanceTo(now, host_.wallMs());
}

void Emulator::Fire(const Action &a, uint64_t monoMs, std::vector<int> *signals) {
    switch (a.kind) {
    case ActionKind::Reset:
        model_.Reset(monoMs, WallBefore(host_.wallMs(), lastMono_ - monoMs));
        tagShift_ = 0;
        break;
    case ActionKind::SetRegister:
        (a.expansion ? expansionRegs_ : regs_).Set(a.element, a.id, a.value);
        break;
    case ActionKind::StatusByte:
        model_.SetStatusByte(static_cast<uint8_t>(a.value));
        break;
    case ActionKind::StatusWord:
        model_.SetStatusWord(static_cast<uint16_t>(a.value));
        break;
    case ActionKind::ClockJump:
        if (host_.jumpWall) host_.jumpWall(a.seconds);
        break;
    case ActionKind::Firmware:
        firmwarePresent_ = a.on;
        break;
    case ActionKind::Performance:
        performance_ = a.on;
        break;
    case ActionKind::Fault:
        faults_[static_cast<int>(a.fault)] = a.setting;
        break;
    case ActionKind::PowerStep:
        model_.StepPower(a.watts);
        break;
    case ActionKind::Sigterm:
        signals->push_back(SIGTERM);  // raised once the lock is released
        break;
    }
}

bool Emulator::Draw(FaultKind kind) {
    FaultSetting &f = faults_[static_cast<int>(kind)];
    switch (f.mode) {
    case FaultMode::Off:
        return false;
    case FaultMode::On:
        return true;
    case FaultMode::Once:
        f.mode = FaultMode::Off;
        return true;
    case FaultMode::Rate:
        return rng_.NextUnit() < f.rate;
    }
    return false;
}

// --- answers ---------------------------------------------------------------

// The completion code of a refused register access; 0 when it was allowed.
static uint8_t RefusedAccess(RegisterFile::Access access) {
    switch (access) {
    case RegisterFile::Access::Missing:
        return kCcInvalidField;
    case RegisterFile::Access::BadLength:
        return kCcOutOfRange;
    case RegisterFile::Access::Denied:
        return kCcAccessDenied;
    case RegisterFile::Access::Ok:
        break;
    }
    return 0;
}

int Emulator::Error(Reply *r, uint8_t code) {
    r->buf[0] = code;
    r->length = 1;
    if (r->capacity >= 4) {  // OEM answers carry the enterprise number, errors too
        std::memcpy(r->buf + 1, kEnterprise, 3);
        r->length = 4;
    }
    return 0;
}

bool Emulator::Begin(Reply *r, int length) {
    if (length > r->capacity) {
        Error(r, kCcResponseTooLong);
        return false;
    }
    std::memset(r->buf, 0, static_cast<size_t>(length));
    std::memcpy(r->buf + 1, kEnterprise, 3);
    r->length = length;
    return true;
}

int Emulator::Handle(int netFn, int cmd, const uint8_t *request, int requestLen, uint8_t *response,
                     int *responseLen) {
    if (response == nullptr || responseLen == nullptr || *responseLen < 1 || requestLen < 0 ||
        (request == nullptr && requestLen > 0))
        return kFailedCall;
    Reply r{response, *responseLen, 0};
    std::vector<int> signals;
    int result;
    {
        std::lock_guard<std::mutex> lock(mu_);
        AdvanceLocked(&signals);
        result = Dispatch(netFn, cmd, request, requestLen, &r);
    }
    *responseLen = result == 0 ? r.length : 0;
    for (int sig : signals)
        if (host_.raiseSignal) host_.raiseSignal(sig);
    return result;
}

int Emulator::Dispatch(int netFn, int cmd, const uint8_t *rq, int rqLen, Reply *r) {
    if (Draw(FaultKind::IpmiFail)) return kFailedCall;
    if (netFn != kNetFnOem) return Error(r, kCcInvalidCommand);
    if (cmd != kCmdElementMethod && cmd != kCmdInstance && cmd != kCmdPerformance)
        return Error(r, kCcInvalidCommand);
    if (rqLen < 3) {
        r->buf[0] = kCcRequestLength;
        r->length = 1;
        return 0;
    }
    if (std::memcmp(rq, kEnterprise, 3) != 0) {
        r->buf[0] = kCcInvalidField;
        r->length = 1;
        return 0;
    }
    if (Draw(FaultKind::Completion))
        return Error(r, faults_[static_cast<int>(FaultKind::Completion)].code);
    switch (cmd) {
    case kCmdInstance:
        return Instance(rq, rqLen, r);
    case kCmdElementMethod:
        return ElementMethod(rq, rqLen, r);
    default:
        return Performance(rq, rqLen, r);
    }
}

// 4D 4F 00, instance, 00, 01 -> cc, enterprise, instance, info1, info2, handle, 0, 0.
int Emulator::Instance(const uint8_t *rq, int rqLen, Reply *r) {
    if (rqLen != 6) return Error(r, kCcRequestLength);
    if (rq[4] != 0x00 || rq[5] != 0x01) return Error(r, kCcInvalidField);
    const uint8_t instance = rq[3];
    uint8_t handle = 0;
    if (instance == 0) handle = sc_.moduleHandle;
    if (instance == 1 && sc_.expansion) handle = sc_.expansionHandle;
    if (!firmwarePresent_) handle = 0;
    if (handle != 0 && Draw(FaultKind::NoFirmware)) handle = 0;
    if (!Begin(r, 10)) return 0;
    r->buf[4] = instance;
    if (handle != 0) {
        r->buf[5] = kInfo1;
        r->buf[6] = kInfo2;
    }
    r->buf[7] = handle;
    return 0;
}

int Emulator::ElementMethod(const uint8_t *rq, int rqLen, Reply *r) {
    if (rqLen < 6) return Error(r, kCcRequestLength);
    if (!firmwarePresent_) return Error(r, kCcInvalidCommand);
    const uint8_t handle = rq[3];
    const bool main = handle == sc_.moduleHandle;
    if (!main && !(sc_.expansion && handle == sc_.expansionHandle)) return Error(r, kCcNotPresent);
    RegisterFile &regs = main ? regs_ : expansionRegs_;
    const uint8_t element = rq[4];
    switch (rq[5]) {
    case kMethodRead:
        return RegisterRead(regs, rq, rqLen, r);
    case kMethodWrite:
        return RegisterWrite(regs, rq, rqLen, r);
    case kMethodConfig:
        if (!main) return Error(r, kCcInvalidField);  // the expansion unit keeps no buffers
        return Configuration(element, rqLen, r);
    case kMethodBuffer:
        if (!main || element != kElementSnapshot) return Error(r, kCcInvalidField);
        return SnapshotRead(rq, rqLen, r);
    case kMethodIndexed:
        if (!main || element != kElementSupply) return Error(r, kCcInvalidField);
        return IndexedRead(rq, rqLen, r);
    default:
        return Error(r, kCcInvalidField);
    }
}

uint64_t Emulator::LiveRegister(RegisterSource source) const {
    switch (source) {
    case RegisterSource::DcEnergy:
        return model_.DcEnergy();
    case RegisterSource::AcEnergy:
        return model_.AcEnergy();
    case RegisterSource::ClockAccumulator:
        return model_.EffectiveCpuCounter();
    case RegisterSource::ExhaustHeatIndex:
        return model_.OutletTemperature();
    case RegisterSource::InletTemperature:
        return model_.InletTemperature();
    case RegisterSource::Stored:
        break;
    }
    return 0;
}

// ..., register, length -> cc, enterprise, data (big-endian, `length` bytes).
int Emulator::RegisterRead(RegisterFile &regs, const uint8_t *rq, int rqLen, Reply *r) {
    if (rqLen != 8) return Error(r, kCcRequestLength);
    const uint8_t length = rq[7];
    uint64_t value = 0;
    RegisterSource source = RegisterSource::Stored;
    if (const uint8_t cc = RefusedAccess(regs.Read(rq[4], rq[6], length, &value, &source)))
        return Error(r, cc);
    if (source != RegisterSource::Stored) value = LiveRegister(source) & RegisterMax(length);
    if (!Begin(r, 4 + length)) return 0;
    PutBig(r->buf + 4, value, length);
    return 0;
}

// ..., register, length, data -> cc, enterprise.
int Emulator::RegisterWrite(RegisterFile &regs, const uint8_t *rq, int rqLen, Reply *r) {
    if (rqLen < 8 || rqLen != 8 + rq[7]) return Error(r, kCcRequestLength);
    const uint8_t length = rq[7];
    if (length < 1 || length > 8) return Error(r, kCcOutOfRange);
    if (r->capacity < 4) return Error(r, kCcResponseTooLong);  // nothing written then
    if (const uint8_t cc = RefusedAccess(regs.Write(rq[4], rq[6], length, GetBig(rq + 8, length))))
        return Error(r, cc);
    Begin(r, 4);
    return 0;
}

// Byte 4 of a configuration answer counts the bytes from 5 on; byte 5 names
// the element.
int Emulator::Configuration(uint8_t element, int rqLen, Reply *r) {
    if (rqLen != 6) return Error(r, kCcRequestLength);
    const ModelConfig &m = sc_.model;
    switch (element) {
    case kElementHistogram: {
        if (!Begin(r, 14)) return 0;
        const unsigned top = m.histogramStart + unsigned{m.histogramBuckets} * m.histogramStep;
        r->buf[4] = 9;
        r->buf[5] = element;
        Put16(r->buf + 6, m.histogramStart);
        Put16(r->buf + 8, std::min(top, 0xFFFFu));  // upper bound of the last regular bucket
        r->buf[10] = m.histogramBuckets;
        r->buf[11] = m.histogramStep;
        r->buf[12] = m.histogramCounterWidth;
        r->buf[13] = 1;  // seconds between samples
        return 0;
    }
    case kElementSnapshot: {
        if (!Begin(r, 12)) return 0;
        r->buf[4] = 7;
        r->buf[5] = element;
        Put16(r->buf + 6, sc_.chunkSize);
        Put16(r->buf + 8, std::min<uint32_t>(model_.PeriodMs() / 1000, 0xFFFF));
        Put16(r->buf + 10,
              static_cast<unsigned>(std::min<size_t>(model_.Snapshot().size(), 0xFFFF)));
        return 0;
    }
    case kElementInputPower: {
        if (!Begin(r, 14)) return 0;
        r->buf[4] = 9;
        r->buf[5] = element;
        std::memcpy(r->buf + 6, m.inputPowerConfig, 8);
        return 0;
    }
    case kElementSupply: {
        if (!Begin(r, 10)) return 0;
        r->buf[4] = 5;
        r->buf[5] = element;
        r->buf[6] = static_cast<uint8_t>(sc_.psuTypes.size());
        r->buf[7] = static_cast<uint8_t>(sc_.psuConfigs.size());
        IndexFactors(sc_.psuConfigs, &r->buf[8], &r->buf[9]);
        return 0;
    }
    default:
        return Error(r, kCcInvalidField);
    }
}

// ..., offset, length -> cc, enterprise, tag, returned length, data.
int Emulator::SnapshotRead(const uint8_t *rq, int rqLen, Reply *r) {
    if (rqLen != 10) return Error(r, kCcRequestLength);
    const unsigned offset = static_cast<unsigned>(GetBig(rq + 6, 2));
    const unsigned asked = static_cast<unsigned>(GetBig(rq + 8, 2));
    if (offset > model_.Snapshot().size()) return Error(r, kCcOutOfRange);
    unsigned n = std::min(
        {asked, unsigned{sc_.chunkSize}, static_cast<unsigned>(model_.Snapshot().size() - offset)});
    // A continuation is where a replaced snapshot shows.
    if (offset > 0 && Draw(FaultKind::ReplaceMidTransfer)) {
        if (!ReplaceSnapshotOf(model_, lastMono_, host_.wallMs(), 0)) ++tagShift_;
        if (offset > model_.Snapshot().size()) return Error(r, kCcOutOfRange);
        n = std::min({asked, unsigned{sc_.chunkSize},
                      static_cast<unsigned>(model_.Snapshot().size() - offset)});
    }
    if (Draw(FaultKind::Short)) n /= 2;
    unsigned claimed = n;
    if (Draw(FaultKind::Oversized)) claimed = std::min(asked + 1, 0xFFFFu);
    if (!Begin(r, 8 + static_cast<int>(n))) return 0;
    Put16(r->buf + 4, TagLocked());
    Put16(r->buf + 6, claimed);
    if (n > 0) std::memcpy(r->buf + 8, model_.Snapshot().data() + offset, n);
    return 0;
}

// ..., buffer id, index, length -> cc, enterprise, buffer id, index, data length, data.
int Emulator::IndexedRead(const uint8_t *rq, int rqLen, Reply *r) {
    if (rqLen != 9) return Error(r, kCcRequestLength);
    const uint8_t buffer = rq[6], index = rq[7], asked = rq[8];
    uint8_t data[11 + 255];
    size_t len = 0;
    if (buffer == 0) {
        if (index >= sc_.psuTypes.size()) return Error(r, kCcOutOfRange);
        data[0] = index;
        data[1] = 0;
        Put16(data + 2, sc_.psuTypes[index]);
        len = 4;
    } else if (buffer == 1) {
        if (index >= sc_.psuConfigs.size()) return Error(r, kCcOutOfRange);
        const PsuConfigSpec &c = sc_.psuConfigs[index];
        const unsigned watts = sc_.psuTypes.empty() ? 0 : sc_.psuTypes[0];
        data[0] = c.id;
        Put16(data + 1, c.properties);
        data[3] = c.needed;
        data[4] = c.redundant;
        Put16(data + 5, std::min(watts * c.needed, 0xFFFFu));                  // usable power
        Put16(data + 7, std::min(watts * (c.needed + c.redundant), 0xFFFFu));  // installed power
        Put16(data + 9, 0);
        len = 11;
        for (uint8_t t : c.typeIndexes) data[len++] = t;
    } else {
        return Error(r, kCcInvalidField);
    }
    if (asked < len) return Error(r, kCcOutOfRange);
    if (!Begin(r, 7 + static_cast<int>(len))) return 0;
    r->buf[4] = buffer;
    r->buf[5] = index;
    r->buf[6] = static_cast<uint8_t>(len);
    std::memcpy(r->buf + 7, data, len);
    return 0;
}

// 4D 4F 00 04 domain 00 01 statistic 01 00 01 ->
// cc, enterprise, seconds (4), returned length 7, 0, percent.
int Emulator::Performance(const uint8_t *rq, int rqLen, Reply *r) {
    if (rqLen != 11) return Error(r, kCcRequestLength);
    if (!firmwarePresent_ || !performance_) return Error(r, kCcInvalidCommand);
    if (rq[3] != 0x04 || rq[5] != 0x00 || rq[6] != 0x01 || rq[8] != 0x01 || rq[9] != 0x00 ||
        rq[10] != 0x01)
        return Error(r, kCcInvalidField);
    const int percent = model_.Utilisation(rq[4], rq[7]);
    if (percent < 0) return Error(r, kCcInvalidField);
    if (!Begin(r, 11)) return 0;
    PutBig(r->buf + 4, static_cast<uint32_t>(host_.wallMs() / 1000), 4);
    r->buf[8] = 7;
    r->buf[9] = 0;
    r->buf[10] = static_cast<uint8_t>(std::min(percent, 100));
    return 0;
}

// --- sensor records --------------------------------------------------------

int Emulator::Sensors(uint8_t sensorType, uint8_t *buffer, uint32_t bufferSize, uint32_t *written) {
    if (buffer == nullptr || written == nullptr) return kFailedCall;
    *written = 0;
    std::vector<int> signals;
    int result = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        AdvanceLocked(&signals);
        if (Draw(FaultKind::SensorFail)) {
            result = kFailedCall;
        } else if (sensorType == kSensorTemperature) {
            constexpr uint32_t kRecord = 1492;
            const size_t fit = bufferSize / kRecord;
            const size_t count = std::min(sc_.sensors.size(), fit);
            for (size_t i = 0; i < count; ++i) {
                const SensorSpec &s = sc_.sensors[i];
                uint8_t *rec = buffer + i * kRecord;
                std::memset(rec, 0, kRecord);
                rec[0] = static_cast<uint8_t>(i + 1);  // record id, little-endian
                rec[1] = static_cast<uint8_t>((i + 1) >> 8);
                rec[2] = s.skipped ? 1 : 0;
                rec[3] = kSensorTemperature;
                rec[4] = static_cast<uint8_t>(i + 1);  // sensor number
                std::memcpy(rec + 6, s.name.data(), std::min<size_t>(s.name.size(), 191));
                std::string reading = s.reading;
                if (s.fromModel) {
                    unsigned which = 0;
                    for (unsigned k = 0; k < 5; ++k)
                        if (s.name == kInletNames[k]) which = k;
                    reading = model_.InletTemperatureText(which);
                }
                std::memcpy(rec + 198, reading.data(),
                            std::min<size_t>(reading.size(), kRecord - 198 - 1));
            }
            *written = static_cast<uint32_t>(count * kRecord);
        }
    }
    for (int sig : signals)
        if (host_.raiseSignal) host_.raiseSignal(sig);
    return result;
}

}  // namespace qaxsim
