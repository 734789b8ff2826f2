#include "sim/registers.h"

#include "sim/model.h"

namespace qaxsim {
namespace {

constexpr bool R = true;
constexpr bool W = true;
constexpr bool NO = false;
constexpr RegisterSource kStored = RegisterSource::Stored;

const RegisterInfo kTable[] = {
    // Status and control.
    {0x00, 0, 1, R, NO, kStored},   // power status
    {0x00, 1, 2, R, NO, kStored},   // power events
    {0x00, 2, 1, R, NO, kStored},   // hardware errors
    {0x00, 3, 1, R, W, kStored},    // SMS power control policy
    {0x00, 5, 1, R, NO, kStored},   // POST power settings
    {0x00, 7, 1, R, NO, kStored},   // power/thermal capabilities
    {0x00, 8, 1, R, NO, kStored},   // server power capabilities
    {0x00, 9, 1, R, NO, kStored},   // server power settings
    {0x00, 14, 4, R, NO, kStored},  // extended capabilities (needs power/thermal bit 7)
    {0x00, 16, 1, R, W, kStored},   // CFF power control policy
    // Energy accumulators.
    {0x01, 0, 8, R, NO, RegisterSource::DcEnergy},
    {0x01, 1, 8, R, NO, RegisterSource::AcEnergy},
    // Clock accumulation.
    {0x04, 0, 4, R, NO, RegisterSource::ClockAccumulator},
    {0x04, 1, 2, R, NO, kStored},  // clock rate
    // Power control.
    {0x07, 0, 2, R, W, kStored},    // power cap
    {0x07, 1, 2, R, NO, kStored},   // max power cap, hot-plug
    {0x07, 2, 2, R, NO, kStored},   // max power cap
    {0x07, 4, 2, R, NO, kStored},   // min power cap
    {0x07, 5, 2, R, NO, kStored},   // max auxiliary power
    {0x07, 6, 2, R, NO, kStored},   // soft min power cap
    {0x07, 9, 2, R, NO, kStored},   // nameplate power
    {0x07, 10, 1, R, W, kStored},   // capping mode
    {0x07, 12, 2, R, NO, kStored},  // min power cap, hot-plug (needs extended bit 6 or 9)
    // Exhaust heat index and inlet temperature.
    {0x09, 0, 1, R, NO, RegisterSource::ExhaustHeatIndex},
    {0x09, 1, 1, R, NO, RegisterSource::InletTemperature},
    // Power supplies: bits 3-4 of an indexed id select a group of four.
    {0x0A, 0, 1, R, NO, kStored},  // max number of supplies - 1
    {0x0A, 1, 8, R, NO, kStored},  // output label power, group 0
    {0x0A, 9, 8, R, NO, kStored},
    {0x0A, 17, 8, R, NO, kStored},
    {0x0A, 25, 8, R, NO, kStored},
    {0x0A, 2, 1, R, NO, kStored},  // presence, group 0
    {0x0A, 10, 1, R, NO, kStored},
    {0x0A, 18, 1, R, NO, kStored},
    {0x0A, 26, 1, R, NO, kStored},
    {0x0A, 4, 2, R, NO, kStored},  // input voltage, group 0
    {0x0A, 12, 2, R, NO, kStored},
    {0x0A, 20, 2, R, NO, kStored},
    {0x0A, 28, 2, R, NO, kStored},
    {0x0A, 30, 1, R, W, kStored},   // redundancy target
    {0x0A, 31, 1, NO, W, kStored},  // target redundancy configuration (needs extended bit 9)
    // Server power-down.
    {0x0D, 0, 2, R, NO, kStored},  // support
    {0x0D, 1, 8, R, NO, kStored},  // standby power
    {0x0D, 2, 2, R, NO, kStored},  // IPL time
    {0x0D, 3, 4, R, NO, kStored},  // power cycles
    {0x0D, 4, 2, R, NO, kStored},  // wakes from S3
    // Power maximizer.
    {0x0E, 6, 1, R, NO, kStored},
};

constexpr uint16_t kLabelPowerWatts = 800;

bool Present(const RegisterInfo &r, const ModelConfig &cfg) {
    if (r.element == 0x00 && r.id == 14) return (cfg.powerThermalCaps & 0x80) != 0;
    if (r.element == 0x07 && r.id == 12) return (cfg.extendedCaps & 0x240) != 0;
    if (r.element == 0x0A && r.id == 31) return (cfg.extendedCaps & 0x200) != 0;
    return true;
}

// Supplies 4*group .. 4*group+3 that exist, as a bit mask.
unsigned GroupPresence(unsigned group, const ModelConfig &cfg) {
    unsigned mask = 0;
    for (unsigned i = 0; i < 4; ++i)
        if (group * 4 + i < cfg.supplies) mask |= 1u << i;
    return mask;
}

uint64_t DefaultValue(const RegisterInfo &r, const ModelConfig &cfg) {
    const unsigned group = (r.id >> 3) & 3;
    switch (r.element) {
    case 0x00:
        switch (r.id) {
        case 0:
            return 0x01;  // host powered on
        case 5:
            return 0x02;  // power capping enabled
        case 7:
            return cfg.powerThermalCaps;
        case 8:
            return 0x01;
        case 9:
            return 0x02;  // capping mode 2: capping in force, limits readable
        case 14:
            return cfg.extendedCaps;
        default:
            return 0;
        }
    case 0x04:
        return r.id == 1 ? 1000 : 0;  // accumulator ticks per second
    case 0x07:
        switch (r.id) {
        case 0:
            return 500;
        case 1:
            return 650;
        case 2:
            return 650;
        case 4:
            return 300;
        case 5:
            return 30;
        case 6:
            return 250;
        case 9:
            return 800;
        case 12:
            return 280;
        default:
            return 0;
        }
    case 0x0A:
        if (r.id == 0) return cfg.supplies > 0 ? cfg.supplies - 1u : 0u;
        if (r.id == 30 || r.id == 31) return 0;
        switch (r.id & 0xE7) {
        case 1: {  // four 16-bit label powers, first supply in the leading bytes
            uint64_t v = 0;
            const unsigned present = GroupPresence(group, cfg);
            for (unsigned i = 0; i < 4; ++i)
                v = (v << 16) | ((present >> i) & 1u ? kLabelPowerWatts : 0u);
            return v;
        }
        case 2:
            return GroupPresence(group, cfg);
        case 4: {  // byte 0: which supplies report; byte 1: 2-bit codes, 1 = 220 V
            const unsigned present = GroupPresence(group, cfg);
            unsigned codes = 0;
            for (unsigned i = 0; i < 4; ++i)
                if ((present >> i) & 1u) codes |= 1u << (2 * i);
            return (present << 8) | codes;
        }
        default:
            return 0;
        }
    case 0x0D:
        switch (r.id) {
        case 0:
            return 0x0001;
        case 1:
            return (1ull << 40) | (12ull << 24);  // data byte 2 = 1, bytes 3-4 = 12 W
        case 2:
            return 120;
        case 3:
            return (12ull << 16) | 3;  // 12 power cycles, 3 of them AC
        default:
            return 0;
        }
    default:
        return 0;
    }
}

}  // namespace

const RegisterInfo *FindRegister(uint8_t element, uint8_t id, const ModelConfig &cfg) {
    for (const RegisterInfo &r : kTable)
        if (r.element == element && r.id == id) return Present(r, cfg) ? &r : nullptr;
    return nullptr;
}

RegisterFile::RegisterFile(const ModelConfig &cfg) {
    slots_.reserve(sizeof kTable / sizeof kTable[0]);
    for (const RegisterInfo &r : kTable)
        if (Present(r, cfg)) slots_.push_back(Slot{&r, DefaultValue(r, cfg), false});
}

RegisterFile::Slot *RegisterFile::Find(uint8_t element, uint8_t id) {
    for (Slot &s : slots_)
        if (s.info->element == element && s.info->id == id) return &s;
    return nullptr;
}

const RegisterFile::Slot *RegisterFile::Find(uint8_t element, uint8_t id) const {
    for (const Slot &s : slots_)
        if (s.info->element == element && s.info->id == id) return &s;
    return nullptr;
}

RegisterFile::Access RegisterFile::Read(uint8_t element, uint8_t id, uint8_t length,
                                        uint64_t *value, RegisterSource *source) const {
    const Slot *s = Find(element, id);
    if (s == nullptr) return Access::Missing;
    if (!s->info->readable) return Access::Denied;
    if (length != s->info->length) return Access::BadLength;
    *value = s->value;
    *source = s->pinned ? RegisterSource::Stored : s->info->source;
    return Access::Ok;
}

RegisterFile::Access RegisterFile::Write(uint8_t element, uint8_t id, uint8_t length,
                                         uint64_t value) {
    Slot *s = Find(element, id);
    if (s == nullptr) return Access::Missing;
    if (!s->info->writable) return Access::Denied;
    if (length != s->info->length) return Access::BadLength;
    s->value = value;
    return Access::Ok;
}

bool RegisterFile::Set(uint8_t element, uint8_t id, uint64_t value) {
    Slot *s = Find(element, id);
    if (s == nullptr || value > RegisterMax(s->info->length)) return false;
    s->value = value;
    s->pinned = true;
    return true;
}

}  // namespace qaxsim
