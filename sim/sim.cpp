// The emulator's public face: construction from scenario text or the
// environment, and the calls the platform's "sim" transport makes.
#include "sim/sim.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/emulator.h"

namespace qaxsim {
namespace {

constexpr long kMaxScenarioBytes = 1 << 20;

bool ReadFile(const char *path, std::string *text, std::string *error) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        *error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    text->clear();
    char chunk[4096];
    size_t n;
    bool ok = true;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (text->size() + n > static_cast<size_t>(kMaxScenarioBytes)) {
            *error = "larger than 1 MiB";
            ok = false;
            break;
        }
        text->append(chunk, n);
    }
    if (ok && std::ferror(f)) {
        *error = std::string("cannot read: ") + std::strerror(errno);
        ok = false;
    }
    std::fclose(f);
    return ok;
}

// Decimal or 0x hexadecimal, the whole text.
bool ParseSeed(const char *text, uint64_t *seed) {
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+' || *text == ' ')
        return false;
    errno = 0;
    char *end = nullptr;
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const unsigned long long v = std::strtoull(hex ? text + 2 : text, &end, hex ? 16 : 10);
    if (errno != 0 || end == (hex ? text + 2 : text) || *end != '\0') return false;
    *seed = v;
    return true;
}

}  // namespace

std::shared_ptr<Emulator> MakeEmulator(const std::string &scenarioText, uint64_t seed,
                                       const Host &host, std::string *error) {
    std::string why;
    if (!host.wallMs || !host.monotonicMs) {
        if (error) *error = "the host provides no clock";
        return nullptr;
    }
    Scenario sc;
    if (!ParseScenario(scenarioText, IsBladeFamily(std::getenv("ZOQ_FAMILY")), &sc, &why)) {
        if (error) *error = why;
        return nullptr;
    }
    if (seed != 0) sc.model.seed = seed;
    why = CheckModelConfig(sc.model);
    if (!why.empty()) {
        if (error) *error = why;
        return nullptr;
    }
    return std::make_shared<Emulator>(sc, host);
}

std::shared_ptr<Emulator> MakeEmulatorFromEnvironment(const Host &host, std::string *error,
                                                      uint32_t historySeconds) {
    std::string text, why;
    const char *path = std::getenv("QAX_SIM_SCENARIO");
    const bool fromFile = path != nullptr && *path != '\0';
    if (fromFile && !ReadFile(path, &text, &why)) {
        if (error) *error = std::string(path) + ": " + why;
        return nullptr;
    }
    uint64_t seed = 0;
    const char *seedText = std::getenv("QAX_SIM_SEED");
    if (seedText != nullptr && *seedText != '\0' && !ParseSeed(seedText, &seed)) {
        if (error) *error = "QAX_SIM_SEED: not a number: \"" + std::string(seedText) + "\"";
        return nullptr;
    }
    // A default history length goes after the scenario's own lines, so that
    // their numbers in error messages stay right; a scenario that sets its
    // own keeps it.
    if (historySeconds != 0 && text.find("history_seconds") == std::string::npos)
        text += "\nhistory_seconds " + std::to_string(historySeconds) + "\n";
    std::shared_ptr<Emulator> emu = MakeEmulator(text, seed, host, &why);
    if (!emu && error)
        *error = (fromFile ? std::string(path) : std::string("scenario")) + ": " + why;
    return emu;
}

// The daemon's own emulator answers requests and never asks for ground truth
// beyond the last period: an hour of it keeps the daemon's memory small.
constexpr uint32_t kProcessHistory = 3600;

Emulator *ProcessEmulator(const Host &host) {
    // Built once; a bad scenario is reported once and stays bad.
    static const std::shared_ptr<Emulator> emulator = [&host] {
        std::string error;
        std::shared_ptr<Emulator> emu = MakeEmulatorFromEnvironment(host, &error, kProcessHistory);
        if (!emu) std::fprintf(stderr, "qax emulator: %s\n", error.c_str());
        return emu;
    }();
    return emulator.get();
}

int HandleRequest(Emulator &emu, int netFn, int cmd, const uint8_t *request, int requestLen,
                  uint8_t *response, int *responseLen) {
    return emu.Handle(netFn, cmd, request, requestLen, response, responseLen);
}

int SensorRecords(Emulator &emu, uint8_t sensorType, uint8_t *buffer, uint32_t bufferSize,
                  uint32_t *written) {
    return emu.Sensors(sensorType, buffer, bufferSize, written);
}

const Model &EmulatorModel(Emulator &emu) {
    emu.Advance();
    return emu.GetModel();
}

uint16_t EmulatorTag(Emulator &emu) {
    emu.Advance();
    return emu.Tag();
}

}  // namespace qaxsim
