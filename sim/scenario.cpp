#include "sim/scenario.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/registers.h"

namespace qaxsim {
namespace {

constexpr unsigned kMaxSupplies = 16;    // four groups of the indexed registers
constexpr uint16_t kMaxChunk = 255 - 8;  // an answer is one IPMI message
constexpr size_t kMaxSensorName = 191;   // offsets 6..197 of a record
constexpr size_t kMaxSensorReading = 255;
constexpr size_t kMaxPsuIndexes = 64;
constexpr size_t kMaxSubsystems = 32;
constexpr double kMaxSeconds = 10.0 * 365 * 86400;

// Splits a line into words; "..." is one word (without the quotes), '#'
// outside quotes starts a comment. False on an unterminated quote.
bool Tokenize(const std::string &line, std::vector<std::string> *words) {
    words->clear();
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            const size_t end = line.find('"', i + 1);
            if (end == std::string::npos) return false;
            words->push_back(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            size_t end = i;
            while (end < n && line[end] != ' ' && line[end] != '\t' && line[end] != '\r' &&
                   line[end] != '#')
                ++end;
            words->push_back(line.substr(i, end - i));
            i = end;
        }
    }
    return true;
}

// Decimal, or hexadecimal with 0x; no sign, no leading blanks.
bool ParseUnsigned(const std::string &s, uint64_t max, uint64_t *out) {
    size_t i = 0;
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= s.size()) return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        if (v > (~0ull - d) / base) return false;
        v = v * base + d;
    }
    if (v > max) return false;
    *out = v;
    return true;
}

bool ParseSigned(const std::string &s, int64_t limit, int64_t *out) {
    if (s.empty()) return false;
    const bool negative = s[0] == '-';
    const size_t skip = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    uint64_t v;
    if (!ParseUnsigned(s.substr(skip), static_cast<uint64_t>(limit), &v)) return false;
    *out = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

// [+-]digits[.digits]: no exponent, independent of the C locale.
bool ParseReal(const std::string &s, double *out) {
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    double v = 0;
    bool digits = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        digits = true;
    }
    if (i < s.size() && s[i] == '.') {
        double scale = 0.1;
        for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
            v += (s[i] - '0') * scale;
            scale /= 10;
            digits = true;
        }
    }
    if (!digits || i != s.size() || !std::isfinite(v) || v > 1e12) return false;
    *out = negative ? -v : v;
    return true;
}

// The power model's real-valued settings, by key.
double *RealKey(const std::string &key, ModelConfig *m) {
    if (key == "base_watts") return &m->baseWatts;
    if (key == "swing_watts") return &m->swingWatts;
    if (key == "noise_watts") return &m->noiseWatts;
    if (key == "efficiency") return &m->efficiency;
    if (key == "cpu_share") return &m->cpuShare;
    if (key == "memory_share") return &m->memoryShare;
    if (key == "cooling_share") return &m->coolingShare;
    if (key == "min_watts") return &m->minWatts;
    if (key == "max_watts") return &m->maxWatts;
    if (key == "inlet_celsius") return &m->inletCelsius;
    return nullptr;
}

class Parser {
  public:
    Parser(bool defaultBlade, Scenario *out, std::string *error) : sc_(out), error_(error) {
        sc_->model.blade = defaultBlade;
    }

    bool Run(const std::string &text);

  private:
    bool Fail(const std::string &why) {
        if (error_) *error_ = "line " + std::to_string(line_) + ": " + why;
        return false;
    }
    bool BadNumber(const std::string &word, const char *what) {
        return Fail("bad " + std::string(what) + " \"" + word + "\"");
    }
    bool Count(const std::vector<std::string> &w, size_t first, size_t min, size_t max,
               const char *usage) {
        const size_t args = w.size() - first;
        if (args < min || args > max) return Fail(std::string("usage: ") + usage);
        return true;
    }
    bool Unsigned(const std::string &word, uint64_t max, const char *what, uint64_t *v) {
        if (!ParseUnsigned(word, max, v)) {
            return Fail("bad " + std::string(what) + " \"" + word + "\" (0.." +
                        std::to_string(max) + ")");
        }
        return true;
    }
    bool Range(const std::string &word, uint64_t min, uint64_t max, const char *what, uint64_t *v) {
        if (!ParseUnsigned(word, max, v) || *v < min) {
            return Fail("bad " + std::string(what) + " \"" + word + "\" (" + std::to_string(min) +
                        ".." + std::to_string(max) + ")");
        }
        return true;
    }
    bool OnOff(const std::string &word, const char *on, const char *off, bool *v) {
        if (word == on) {
            *v = true;
        } else if (word == off) {
            *v = false;
        } else {
            return Fail("expected " + std::string(on) + " or " + off + ", got \"" + word + "\"");
        }
        return true;
    }

    bool Setting(const std::vector<std::string> &w);
    bool Timeline(const std::vector<std::string> &w);
    bool Fault(const std::vector<std::string> &w, size_t first, FaultKind *kind,
               FaultSetting *setting);
    bool Register(const std::vector<std::string> &w, size_t first, uint8_t *element, uint8_t *id,
                  uint64_t *value);
    bool Sensor(const std::vector<std::string> &w);
    bool Finish();

    Scenario *sc_;
    std::string *error_;
    int line_ = 0;
    bool sensorsGiven_ = false;
    bool psuTypesGiven_ = false;
    bool psuConfigsGiven_ = false;
};

bool Parser::Run(const std::string &text) {
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        ++line_;
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.find('\0') != std::string::npos) return Fail("NUL byte in the text");
        if (!Tokenize(line, &words)) return Fail("unterminated quote");
        if (words.empty()) continue;
        if (!(words[0] == "at" ? Timeline(words) : Setting(words))) return false;
    }
    return Finish();
}

bool Parser::Register(const std::vector<std::string> &w, size_t first, uint8_t *element,
                      uint8_t *id, uint64_t *value) {
    uint64_t e, i, v;
    if (!Count(w, first, 3, 3, "register ELEMENT ID VALUE") ||
        !Unsigned(w[first], 0xFF, "element", &e) ||
        !Unsigned(w[first + 1], 0xFF, "register id", &i) ||
        !Unsigned(w[first + 2], ~0ull, "register value", &v))
        return false;
    *element = static_cast<uint8_t>(e);
    *id = static_cast<uint8_t>(i);
    *value = v;
    return true;
}

bool Parser::Fault(const std::vector<std::string> &w, size_t first, FaultKind *kind,
                   FaultSetting *setting) {
    static const char *kUsage =
        "fault ipmi_fail|completion CODE|replace_mid_transfer|oversized|short|no_firmware|"
        "sensor_fail on|off|once|rate P";
    if (w.size() <= first) return Fail(std::string("usage: ") + kUsage);
    bool found = false;
    for (int k = 0; k < kFaultKinds; ++k) {
        if (w[first] == FaultName(static_cast<FaultKind>(k))) {
            *kind = static_cast<FaultKind>(k);
            found = true;
        }
    }
    if (!found) return Fail("unknown fault \"" + w[first] + "\"");
    size_t i = first + 1;
    *setting = FaultSetting();
    if (*kind == FaultKind::Completion && i < w.size() && w[i] != "off") {
        uint64_t code;
        if (!Range(w[i], 1, 0xFF, "completion code", &code)) return false;
        setting->code = static_cast<uint8_t>(code);
        ++i;
    }
    if (i >= w.size()) return Fail(std::string("usage: ") + kUsage);
    const std::string &mode = w[i];
    size_t expected = i + 1;
    if (mode == "on") {
        setting->mode = FaultMode::On;
    } else if (mode == "off") {
        setting->mode = FaultMode::Off;
    } else if (mode == "once") {
        setting->mode = FaultMode::Once;
    } else if (mode == "rate") {
        double p;
        if (i + 1 >= w.size()) return Fail(std::string("usage: ") + kUsage);
        if (!ParseReal(w[i + 1], &p) || p < 0 || p > 1) return BadNumber(w[i + 1], "rate (0..1)");
        setting->mode = FaultMode::Rate;
        setting->rate = p;
        expected = i + 2;
    } else {
        return Fail("unknown fault mode \"" + mode + "\"");
    }
    if (w.size() != expected) return Fail(std::string("usage: ") + kUsage);
    if (*kind == FaultKind::Completion && setting->mode != FaultMode::Off && setting->code == 0)
        return Fail("fault completion needs a code");
    return true;
}

bool Parser::Sensor(const std::vector<std::string> &w) {
    if (!Count(w, 1, 2, 3, "sensor \"NAME\" READING|model [skip]")) return false;
    SensorSpec s;
    s.name = w[1];
    if (s.name.empty() || s.name.size() > kMaxSensorName)
        return Fail("sensor name must have 1.." + std::to_string(kMaxSensorName) + " characters");
    if (w[2] == "model") {
        s.fromModel = true;
    } else {
        s.reading = w[2];
        if (s.reading.size() > kMaxSensorReading)
            return Fail("sensor reading longer than " + std::to_string(kMaxSensorReading) +
                        " characters");
    }
    if (w.size() == 4) {
        if (w[3] != "skip") return Fail("expected skip, got \"" + w[3] + "\"");
        s.skipped = true;
    }
    if (!sensorsGiven_) sc_->sensors.clear();
    sensorsGiven_ = true;
    sc_->sensors.push_back(std::move(s));
    return true;
}

bool Parser::Setting(const std::vector<std::string> &w) {
    const std::string &key = w[0];
    ModelConfig &m = sc_->model;
    uint64_t v;
    if (key == "family") {
        if (!Count(w, 1, 1, 1, "family blade|iteblade|rack")) return false;
        if (IsBladeFamily(w[1].c_str()))
            m.blade = true;
        else if (w[1] == "rack")
            m.blade = false;
        else
            return Fail("unknown family \"" + w[1] + "\" (blade, iteblade or rack)");
        return true;
    }
    if (key == "seed") {
        if (!Count(w, 1, 1, 1, "seed N") || !Unsigned(w[1], ~0ull, "seed", &v)) return false;
        m.seed = v;
        sc_->seedSet = true;
        return true;
    }
    if (key == "module_handle" || key == "expansion_handle") {
        if (!Count(w, 1, 1, 1, "module_handle N") || !Range(w[1], 1, 0xFF, "module handle", &v))
            return false;
        (key == "module_handle" ? sc_->moduleHandle : sc_->expansionHandle) =
            static_cast<uint8_t>(v);
        return true;
    }
    if (key == "expansion")
        return Count(w, 1, 1, 1, "expansion on|off") && OnOff(w[1], "on", "off", &sc_->expansion);
    if (key == "firmware")
        return Count(w, 1, 1, 1, "firmware present|absent") &&
               OnOff(w[1], "present", "absent", &sc_->firmwarePresent);
    if (key == "performance")
        return Count(w, 1, 1, 1, "performance on|off") &&
               OnOff(w[1], "on", "off", &sc_->performance);
    if (key == "chunk_size") {
        if (!Count(w, 1, 1, 1, "chunk_size N") || !Range(w[1], 1, kMaxChunk, "chunk size", &v))
            return false;
        sc_->chunkSize = static_cast<uint16_t>(v);
        return true;
    }
    if (key == "register" || key == "expansion_register") {
        RegisterOverride r;
        r.line = line_;
        r.expansion = key == "expansion_register";
        if (!Register(w, 1, &r.element, &r.id, &r.value)) return false;
        // The snapshot's layout follows the firmware's own capability registers.
        if (!r.expansion && r.element == 0x00 && r.id == 7 && r.value <= 0xFF)
            m.powerThermalCaps = static_cast<uint8_t>(r.value);
        if (!r.expansion && r.element == 0x00 && r.id == 14 && r.value <= 0xFFFFFFFFull)
            m.extendedCaps = static_cast<uint32_t>(r.value);
        sc_->registers.push_back(r);
        return true;
    }
    if (key == "histogram_buckets") {
        if (!Count(w, 1, 1, 1, "histogram_buckets N") || !Range(w[1], 1, 253, "bucket count", &v))
            return false;
        m.histogramBuckets = static_cast<uint8_t>(v);
        return true;
    }
    if (key == "histogram_counter_width") {
        if (!Count(w, 1, 1, 1, "histogram_counter_width N") ||
            !Range(w[1], 1, 8, "counter width", &v))
            return false;
        m.histogramCounterWidth = static_cast<uint8_t>(v);
        return true;
    }
    if (key == "histogram_start") {
        if (!Count(w, 1, 1, 1, "histogram_start WATTS") ||
            !Unsigned(w[1], 0xFFFF, "histogram start", &v))
            return false;
        m.histogramStart = static_cast<uint16_t>(v);
        return true;
    }
    if (key == "histogram_step") {
        if (!Count(w, 1, 1, 1, "histogram_step WATTS") ||
            !Range(w[1], 1, 0xFF, "histogram step", &v))
            return false;
        m.histogramStep = static_cast<uint8_t>(v);
        return true;
    }
    if (key == "power_thermal_caps") {
        if (!Count(w, 1, 1, 1, "power_thermal_caps BITS") ||
            !Unsigned(w[1], 0xFF, "capability bits", &v))
            return false;
        m.powerThermalCaps = static_cast<uint8_t>(v);
        return true;
    }
    if (key == "extended_caps") {
        if (!Count(w, 1, 1, 1, "extended_caps BITS") ||
            !Unsigned(w[1], 0xFFFFFFFFull, "capability bits", &v))
            return false;
        m.extendedCaps = static_cast<uint32_t>(v);
        return true;
    }
    if (key == "supplies") {
        if (!Count(w, 1, 1, 1, "supplies N") ||
            !Unsigned(w[1], kMaxSupplies, "number of supplies", &v))
            return false;
        m.supplies = static_cast<uint8_t>(v);
        m.inputPowerConfig[1] = m.supplies;
        return true;
    }
    if (key == "input_power_config") {
        if (!Count(w, 1, 8, 8, "input_power_config B6 B7 B8 B9 B10 B11 B12 B13")) return false;
        uint8_t bytes[8];
        for (int i = 0; i < 8; ++i) {
            if (!Unsigned(w[1 + i], 0xFF, "configuration byte", &v)) return false;
            bytes[i] = static_cast<uint8_t>(v);
        }
        if (bytes[1] > kMaxSupplies)
            return Fail("at most " + std::to_string(kMaxSupplies) + " supplies");
        std::memcpy(m.inputPowerConfig, bytes, sizeof bytes);
        m.supplies = bytes[1];
        return true;
    }
    if (key == "subsystems") {
        if (w.size() == 2 && w[1] == "none") {
            m.subsystems.clear();
            return true;
        }
        if (!Count(w, 1, 1, kMaxSubsystems, "subsystems TYPE... | subsystems none")) return false;
        std::vector<uint8_t> types;
        for (size_t i = 1; i < w.size(); ++i) {
            if (!Unsigned(w[i], 0xFF, "subsystem type", &v)) return false;
            types.push_back(static_cast<uint8_t>(v));
        }
        m.subsystems = std::move(types);
        return true;
    }
    if (key == "snapshot_period") {
        double s;
        if (!Count(w, 1, 1, 1, "snapshot_period SECONDS")) return false;
        if (!ParseReal(w[1], &s) || s < 0.001 || s > 86400) return BadNumber(w[1], "period");
        m.snapshotPeriodMs = static_cast<uint32_t>(std::llround(s * 1000));
        return true;
    }
    if (double *target = RealKey(key, &m)) {
        double d;
        if (!Count(w, 1, 1, 1, "KEY NUMBER")) return false;
        const bool share = key == "efficiency" || key.find("_share") != std::string::npos;
        const double max = share ? 1 : key == "inlet_celsius" ? 100 : 65535;
        if (!ParseReal(w[1], &d) || d < 0 || d > max || (key == "efficiency" && d <= 0.05))
            return Fail("bad number \"" + w[1] + "\" (0.." +
                        (share        ? "1"
                         : max == 100 ? "100"
                                      : "65535") +
                        ")");
        *target = d;
        return true;
    }
    if (key == "cpu_max_rate") {
        if (!Count(w, 1, 1, 1, "cpu_max_rate COUNTS") || !Unsigned(w[1], 0xFFFFFFFFull, "rate", &v))
            return false;
        m.cpuMaxRate = static_cast<uint32_t>(v);
        return true;
    }
    if (key == "prior_uptime" || key == "history_seconds") {
        if (!Count(w, 1, 1, 1, "KEY SECONDS") ||
            !Unsigned(w[1], key == "prior_uptime" ? 100ull * 365 * 86400 : 30ull * 86400, "seconds",
                      &v))
            return false;
        if (key == "prior_uptime")
            m.priorUptimeS = v;
        else
            m.historySeconds = static_cast<uint32_t>(v);
        return true;
    }
    if (key == "sensor") return Sensor(w);
    if (key == "sensors") {
        if (!Count(w, 1, 1, 1, "sensors none")) return false;
        if (w[1] != "none") return Fail("expected none, got \"" + w[1] + "\"");
        sc_->sensors.clear();
        sensorsGiven_ = true;
        return true;
    }
    if (key == "psu_type") {
        if (!Count(w, 1, 1, 1, "psu_type WATTS") || !Unsigned(w[1], 0xFFFF, "watts", &v))
            return false;
        if (!psuTypesGiven_) sc_->psuTypes.clear();
        psuTypesGiven_ = true;
        if (sc_->psuTypes.size() >= 255) return Fail("too many power-supply types");
        sc_->psuTypes.push_back(static_cast<uint16_t>(v));
        return true;
    }
    if (key == "psu_config") {
        if (!Count(w, 1, 5, 4 + kMaxPsuIndexes, "psu_config ID PROPERTIES N M INDEX..."))
            return false;
        PsuConfigSpec c;
        uint64_t id, props, n, mm;
        if (!Unsigned(w[1], 0xFF, "configuration id", &id) ||
            !Unsigned(w[2], 0xFFFF, "properties", &props) || !Unsigned(w[3], 0xFF, "N", &n) ||
            !Unsigned(w[4], 0xFF, "M", &mm))
            return false;
        c.id = static_cast<uint8_t>(id);
        c.properties = static_cast<uint16_t>(props);
        c.needed = static_cast<uint8_t>(n);
        c.redundant = static_cast<uint8_t>(mm);
        for (size_t i = 5; i < w.size(); ++i) {
            if (!Unsigned(w[i], 0xFF, "type index", &v)) return false;
            c.typeIndexes.push_back(static_cast<uint8_t>(v));
        }
        if (!psuConfigsGiven_) sc_->psuConfigs.clear();
        psuConfigsGiven_ = true;
        if (sc_->psuConfigs.size() >= 255) return Fail("too many redundancy configurations");
        sc_->psuConfigs.push_back(std::move(c));
        return true;
    }
    if (key == "fault") {
        FaultKind kind;
        FaultSetting setting;
        if (!Fault(w, 1, &kind, &setting)) return false;
        sc_->faults[static_cast<int>(kind)] = setting;
        return true;
    }
    return Fail("unknown key \"" + key + "\"");
}

bool Parser::Timeline(const std::vector<std::string> &w) {
    if (w.size() < 3) return Fail("usage: at SECONDS ACTION [ARGS]");
    double seconds;
    if (!ParseReal(w[1], &seconds) || seconds < 0 || seconds > kMaxSeconds)
        return BadNumber(w[1], "time");
    Action a;
    a.atMs = static_cast<uint64_t>(std::llround(seconds * 1000));
    a.line = line_;
    const std::string &act = w[2];
    if (act == "reset") {
        if (!Count(w, 3, 0, 0, "at SECONDS reset")) return false;
        a.kind = ActionKind::Reset;
    } else if (act == "cap") {
        if (!Count(w, 3, 2, 2, "at SECONDS cap max|min|soft_min|current WATTS")) return false;
        a.kind = ActionKind::SetRegister;
        a.element = 0x07;
        if (w[3] == "max")
            a.id = 2;
        else if (w[3] == "min")
            a.id = 4;
        else if (w[3] == "soft_min")
            a.id = 6;
        else if (w[3] == "current")
            a.id = 0;
        else
            return Fail("unknown cap \"" + w[3] + "\" (max, min, soft_min or current)");
        if (!Unsigned(w[4], 0xFFFF, "watts", &a.value)) return false;
    } else if (act == "register" || act == "expansion_register") {
        a.kind = ActionKind::SetRegister;
        a.expansion = act == "expansion_register";
        if (!Register(w, 3, &a.element, &a.id, &a.value)) return false;
    } else if (act == "status_byte" || act == "status_word") {
        const bool byte = act == "status_byte";
        if (!Count(w, 3, 1, 1, "at SECONDS status_byte|status_word VALUE") ||
            !Unsigned(w[3], byte ? 0xFF : 0xFFFF, "status value", &a.value))
            return false;
        a.kind = byte ? ActionKind::StatusByte : ActionKind::StatusWord;
    } else if (act == "clock_jump") {
        if (!Count(w, 3, 1, 1, "at SECONDS clock_jump +/-SECONDS")) return false;
        if (!ParseSigned(w[3], static_cast<int64_t>(kMaxSeconds), &a.seconds))
            return BadNumber(w[3], "clock jump");
        a.kind = ActionKind::ClockJump;
    } else if (act == "firmware") {
        if (!Count(w, 3, 1, 1, "at SECONDS firmware present|absent") ||
            !OnOff(w[3], "present", "absent", &a.on))
            return false;
        a.kind = ActionKind::Firmware;
    } else if (act == "performance") {
        if (!Count(w, 3, 1, 1, "at SECONDS performance on|off") || !OnOff(w[3], "on", "off", &a.on))
            return false;
        a.kind = ActionKind::Performance;
    } else if (act == "fault") {
        a.kind = ActionKind::Fault;
        if (!Fault(w, 3, &a.fault, &a.setting)) return false;
    } else if (act == "power_step") {
        if (!Count(w, 3, 1, 1, "at SECONDS power_step +/-WATTS")) return false;
        if (!ParseReal(w[3], &a.watts) || std::fabs(a.watts) > 1e6) return BadNumber(w[3], "watts");
        a.kind = ActionKind::PowerStep;
    } else if (act == "sigterm") {
        if (!Count(w, 3, 0, 0, "at SECONDS sigterm")) return false;
        a.kind = ActionKind::Sigterm;
    } else {
        return Fail("unknown action \"" + act + "\"");
    }
    sc_->timeline.push_back(a);
    return true;
}

// Checks that need the whole text: registers depend on capability bits that
// may be set further down.
bool Parser::Finish() {
    for (const RegisterOverride &r : sc_->registers) {
        line_ = r.line;
        const RegisterInfo *info = FindRegister(r.element, r.id, sc_->model);
        if (info == nullptr)
            return Fail("no register " + std::to_string(r.id) + " in element " +
                        std::to_string(r.element));
        if (r.value > RegisterMax(info->length))
            return Fail("value does not fit the " + std::to_string(info->length) +
                        "-byte register");
    }
    for (const Action &a : sc_->timeline) {
        if (a.kind != ActionKind::SetRegister) continue;
        line_ = a.line;
        const RegisterInfo *info = FindRegister(a.element, a.id, sc_->model);
        if (info == nullptr)
            return Fail("no register " + std::to_string(a.id) + " in element " +
                        std::to_string(a.element));
        if (a.value > RegisterMax(info->length))
            return Fail("value does not fit the " + std::to_string(info->length) +
                        "-byte register");
    }
    if (!sensorsGiven_ && sc_->model.blade) {
        // A blade's controller knows its inlet sensor and others besides.
        SensorSpec inlet;
        inlet.name = "Inlet Temp";
        inlet.fromModel = true;
        SensorSpec cpu;
        cpu.name = "CPU 1 Temp";
        cpu.reading = "45";
        sc_->sensors = {inlet, cpu};
    }
    std::stable_sort(sc_->timeline.begin(), sc_->timeline.end(),
                     [](const Action &x, const Action &y) { return x.atMs < y.atMs; });
    return true;
}

}  // namespace

bool IsBladeFamily(const char *family) {
    return family != nullptr &&
           (std::strcmp(family, "blade") == 0 || std::strcmp(family, "iteblade") == 0);
}

const char *FaultName(FaultKind kind) {
    switch (kind) {
    case FaultKind::IpmiFail:
        return "ipmi_fail";
    case FaultKind::Completion:
        return "completion";
    case FaultKind::ReplaceMidTransfer:
        return "replace_mid_transfer";
    case FaultKind::Oversized:
        return "oversized";
    case FaultKind::Short:
        return "short";
    case FaultKind::NoFirmware:
        return "no_firmware";
    case FaultKind::SensorFail:
        return "sensor_fail";
    }
    return "?";
}

bool ParseScenario(const std::string &text, bool defaultBlade, Scenario *out, std::string *error) {
    Scenario sc;
    // Platform defaults that a scenario replaces as a whole when it names its own.
    sc.psuTypes = {800};
    PsuConfigSpec redundant;  // 1+1, active, the target, valid, usable under every policy
    redundant.id = 1;
    redundant.properties = 0x7E;
    redundant.needed = 1;
    redundant.redundant = 1;
    redundant.typeIndexes = {0, 0};
    PsuConfigSpec plain;  // 2+0, valid, not usable
    plain.id = 2;
    plain.properties = 0x03;
    plain.needed = 2;
    plain.redundant = 0;
    plain.typeIndexes = {0, 0};
    sc.psuConfigs = {redundant, plain};

    Parser parser(defaultBlade, &sc, error);
    if (!parser.Run(text)) return false;
    *out = std::move(sc);
    return true;
}

}  // namespace qaxsim
