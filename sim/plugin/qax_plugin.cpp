// The QAX firmware emulator served by OpenIPMI's ipmi_sim: a loadable module
// that answers net function 0x2E for enterprise number 0x004F4D from the same
// emulator as the in-process transport, so that network clients (the daemon's
// lan transport, ipmitool) talk to a real IPMI stack.
//
// Loaded from the simulator's LAN configuration:
//   loadlib "/path/qax_ipmi_sim.so" "scenario=/path/x.scn seed=7 signal_pidfile=/path/pid"
// Every option may be left out; the environment supplies the rest
// (QAX_SIM_SCENARIO, QAX_SIM_SEED, ZOQ_FAMILY, QAX_SIM_SIGNAL_PIDFILE, and the
// clock: QAX_CLOCK, QAX_CLOCK_START).
// The simulator's headers declare C functions without saying so.
extern "C" {
#include <OpenIPMI/mcserv.h>
#include <OpenIPMI/serv.h>
}

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <string>

#include "sim/emulator.h"
#include "sim/sim.h"

#define QAX_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint32_t kEnterprise = 0x004F4D;  // wire order 4D 4F 00
constexpr int kEnterpriseBytes = 3;
// The simulator's answer buffer for these handlers holds 36 bytes, the
// enterprise number included: a snapshot chunk (tag, length, data) fits only
// when it carries at most 28 data bytes.
constexpr unsigned kMaxChunk = 28;
constexpr const char *kVersion = "qax emulator plugin 1";

// The platform clock's scaled mode, computed here so that the plugin does not
// drag the daemon's platform library (and its database) into the simulator:
// with QAX_CLOCK=xN the wall clock is S + (real - S) * N with S from
// QAX_CLOCK_START (default: the start of the current UTC day), and the
// monotonic clock is the real one times N, so the daemon and the emulator
// agree across processes.
class Clock {
  public:
    void Load() {
        const char *mode = getenv("QAX_CLOCK");
        if (mode == nullptr || *mode == '\0' || strcmp(mode, "real") == 0) return;
        unsigned long long n = 0;
        if (mode[0] != 'x' || !Digits(mode + 1, 1, 100000, &n)) {
            fprintf(stderr,
                    "qax plugin: QAX_CLOCK \"%.32s\" cannot be shared with another process "
                    "(expected xN); using the real clock\n",
                    mode);
            return;
        }
        factor_ = n;
        const long long nowS = RealNs(CLOCK_REALTIME) / 1000000000;
        startS_ = nowS - nowS % 86400;
        unsigned long long start = 0;
        const char *text = getenv("QAX_CLOCK_START");
        if (text != nullptr && *text != '\0') {
            if (Digits(text, 0, 253402300799ULL, &start))
                startS_ = static_cast<long long>(start);
            else
                fprintf(stderr, "qax plugin: invalid QAX_CLOCK_START \"%.32s\"; using %lld\n", text,
                        startS_);
        }
    }
    uint64_t WallMs() const {
        __int128 ns = RealNs(CLOCK_REALTIME);
        if (factor_ > 1) {
            const __int128 origin = static_cast<__int128>(startS_) * 1000000000;
            ns = origin + (ns - origin) * factor_;
        }
        const long long ms = static_cast<long long>(ns / 1000000) + offsetMs_;
        return ms < 0 ? 0 : static_cast<uint64_t>(ms);
    }
    uint64_t MonotonicMs() const {
        const __int128 ns = static_cast<__int128>(RealNs(CLOCK_MONOTONIC)) * factor_;
        return static_cast<uint64_t>(ns / 1000000);
    }
    void JumpWall(int64_t seconds) {
        const long long kLimit = 1000000000000LL;  // about 30 000 years in seconds
        if (seconds > kLimit) seconds = kLimit;
        if (seconds < -kLimit) seconds = -kLimit;
        offsetMs_ += seconds * 1000;
        if (offsetMs_ > kLimit * 1000) offsetMs_ = kLimit * 1000;
        if (offsetMs_ < -kLimit * 1000) offsetMs_ = -kLimit * 1000;
    }

  private:
    static long long RealNs(clockid_t id) {
        struct timespec ts;
        if (clock_gettime(id, &ts) != 0) return 0;
        return static_cast<long long>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
    static bool Digits(const char *text, unsigned long long lo, unsigned long long hi,
                       unsigned long long *value) {
        if (*text == '\0') return false;
        unsigned long long v = 0;
        for (const char *p = text; *p; ++p) {
            if (*p < '0' || *p > '9') return false;
            v = v * 10 + static_cast<unsigned>(*p - '0');
            if (v > hi) return false;
        }
        if (v < lo) return false;
        *value = v;
        return true;
    }

    unsigned long long factor_ = 1;
    long long startS_ = 0;
    long long offsetMs_ = 0;
};

struct Plugin {
    sys_data_t *sys = nullptr;
    Clock clock;
    std::string signalPidFile;
    ipmi_timer_t *signalTimer = nullptr;
    int pendingSignal = 0;
    qaxsim::Host host;
    std::shared_ptr<qaxsim::Emulator> emulator;  // built at the first request
};

Plugin *g_plugin = nullptr;  // the simulator loads the module once

// The timeline's "sigterm" is meant for the daemon under test, which is
// another process: its pid is read from a file when the action fires.
void SendSignal(Plugin *p, int sig) {
    if (p->signalPidFile.empty()) {
        fprintf(stderr, "qax plugin: timeline signal %d ignored (no signal_pidfile)\n", sig);
        return;
    }
    char text[32] = {};
    FILE *f = fopen(p->signalPidFile.c_str(), "r");
    size_t n = f != nullptr ? fread(text, 1, sizeof text - 1, f) : 0;
    if (f != nullptr) fclose(f);
    text[n] = '\0';
    char *end = nullptr;
    errno = 0;
    long pid = strtol(text, &end, 10);
    while (end != nullptr && (*end == '\n' || *end == ' ')) ++end;
    if (errno != 0 || end == text || (end != nullptr && *end != '\0') || pid <= 1 ||
        pid > 0x3FFFFFFF) {
        fprintf(stderr, "qax plugin: timeline signal %d not sent: no pid in %s\n", sig,
                p->signalPidFile.c_str());
        return;
    }
    if (kill(static_cast<pid_t>(pid), sig) != 0)
        fprintf(stderr, "qax plugin: signal %d to %ld failed: %s\n", sig, pid, strerror(errno));
}

void SignalTimer(void *cb_data) {
    Plugin *p = static_cast<Plugin *>(cb_data);
    const int sig = p->pendingSignal;
    p->pendingSignal = 0;
    if (sig != 0) SendSignal(p, sig);
}

// As in process, the signal follows the answer of the request that fired
// it: the simulator sends that answer after the handler returns, so the
// signal waits for the simulator's next turn of its event loop.
void RaiseSignal(Plugin *p, int sig) {
    if (p->signalTimer == nullptr) {
        SendSignal(p, sig);
        return;
    }
    p->pendingSignal = sig;
    struct timeval soon = {0, 1000};
    p->sys->start_timer(p->signalTimer, &soon);
}

// One request for the firmware. `msg->data` holds what followed the
// enterprise number on the wire; the answer goes to `rdata` as completion code
// then the bytes that follow the enterprise number, which the simulator puts
// back. On entry `*rdata_len` is the buffer's capacity, the enterprise bytes
// included, and writing past it would corrupt the simulator.
void HandleFirmwareRequest(lmc_data_t *, msg_t *msg, unsigned char *rdata, unsigned int *rdata_len,
                           void *cb_data) {
    Plugin *p = static_cast<Plugin *>(cb_data);
    const unsigned capacity = *rdata_len;
    if (capacity < 1) return;
    *rdata_len = 1;
    if (capacity < 1 + kEnterpriseBytes) {
        rdata[0] = qaxsim::kCcResponseTooLong;
        return;
    }
    // Nothing longer than an IPMI message can arrive; refuse it all the same.
    if (msg->len > IPMI_SIM_MAX_MSG_LENGTH) {
        rdata[0] = qaxsim::kCcRequestLength;
        return;
    }
    unsigned char request[kEnterpriseBytes + IPMI_SIM_MAX_MSG_LENGTH];
    request[0] = kEnterprise & 0xFF;
    request[1] = (kEnterprise >> 8) & 0xFF;
    request[2] = (kEnterprise >> 16) & 0xFF;
    if (msg->len > 0) memcpy(request + kEnterpriseBytes, msg->data, msg->len);

    // The timeline counts from the first request, as with the in-process
    // emulator, so that a scenario means the same under both. The scenario
    // was checked when the module was loaded.
    if (!p->emulator) {
        std::string error;
        p->emulator = qaxsim::MakeEmulatorFromEnvironment(p->host, &error);
        if (!p->emulator) {
            fprintf(stderr, "qax plugin: %s\n", error.c_str());
            rdata[0] = 0xC0;
            return;
        }
    }

    unsigned char answer[IPMI_SIM_MAX_MSG_LENGTH + 1];
    int length = static_cast<int>(capacity < sizeof answer ? capacity : sizeof answer);
    const int result =
        qaxsim::HandleRequest(*p->emulator, msg->netfn, msg->cmd, request,
                              static_cast<int>(msg->len) + kEnterpriseBytes, answer, &length);
    if (result != 0) {
        // A failed call has no answer, but the simulator always sends one
        // (even for an empty answer): "node busy" is the nearest, and the
        // client gets no firmware data.
        rdata[0] = 0xC0;
        return;
    }
    if (length < 1 || static_cast<unsigned>(length) > capacity) {
        rdata[0] = 0xFF;
        return;
    }
    rdata[0] = answer[0];
    if (length > 1 + kEnterpriseBytes) {
        memcpy(rdata + 1, answer + 1 + kEnterpriseBytes,
               static_cast<size_t>(length - 1 - kEnterpriseBytes));
        *rdata_len = static_cast<unsigned>(length - kEnterpriseBytes);
    }
}

// "key=value" words separated by blanks; an option overrides the environment.
bool ParseOptions(const char *options, Plugin *p, std::string *error) {
    std::string text = options != nullptr ? options : "";
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
        size_t end = at;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
        if (end == at) break;
        const std::string word = text.substr(at, end - at);
        at = end;
        const size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) {
            *error = "option \"" + word + "\" is not key=value";
            return false;
        }
        const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
        if (key == "scenario")
            setenv("QAX_SIM_SCENARIO", value.c_str(), 1);
        else if (key == "seed")
            setenv("QAX_SIM_SEED", value.c_str(), 1);
        else if (key == "family")
            setenv("ZOQ_FAMILY", value.c_str(), 1);
        else if (key == "signal_pidfile")
            p->signalPidFile = value;
        else {
            *error = "unknown option \"" + key + "\" (scenario, seed, family, signal_pidfile)";
            return false;
        }
    }
    return true;
}

}  // namespace

QAX_PLUGIN_EXPORT int ipmi_sim_module_init(sys_data_t *sys, const char *options) {
    if (g_plugin != nullptr) return 0;
    std::unique_ptr<Plugin> p(new Plugin);
    p->sys = sys;
    const char *pidFile = getenv("QAX_SIM_SIGNAL_PIDFILE");
    if (pidFile != nullptr) p->signalPidFile = pidFile;
    std::string error;
    if (!ParseOptions(options, p.get(), &error)) {
        fprintf(stderr, "qax plugin: %s\n", error.c_str());
        return EINVAL;
    }
    p->clock.Load();
    Plugin *raw = p.get();
    p->host = qaxsim::Host{
        [raw] { return raw->clock.WallMs(); },
        [raw] { return raw->clock.MonotonicMs(); },
        [raw](int64_t seconds) { raw->clock.JumpWall(seconds); },
        [raw](int sig) { RaiseSignal(raw, sig); },
    };
    // Built once here only to refuse a bad scenario at start.
    std::shared_ptr<qaxsim::Emulator> check = qaxsim::MakeEmulatorFromEnvironment(p->host, &error);
    if (!check) {
        fprintf(stderr, "qax plugin: %s\n", error.c_str());
        return EINVAL;
    }
    if (check->GetScenario().chunkSize > kMaxChunk) {
        fprintf(stderr,
                "qax plugin: chunk_size %u does not fit the simulator's answers (at most %u)\n",
                static_cast<unsigned>(check->GetScenario().chunkSize), kMaxChunk);
        return EINVAL;
    }
    if (sys->alloc_timer == nullptr ||
        sys->alloc_timer(sys, SignalTimer, raw, &p->signalTimer) != 0)
        p->signalTimer = nullptr;
    const int rv = ipmi_emu_register_iana_handler(kEnterprise, HandleFirmwareRequest, raw);
    if (rv != 0) {
        fprintf(stderr, "qax plugin: cannot register enterprise number 0x%06X: %s\n", kEnterprise,
                strerror(rv));
        return rv;
    }
    g_plugin = p.release();
    fprintf(stderr, "qax plugin: %s serving net function 0x2E, enterprise 0x%06X\n", kVersion,
            kEnterprise);
    return 0;
}

QAX_PLUGIN_EXPORT int ipmi_sim_module_print_version(sys_data_t *, char *) {
    printf("%s\n", kVersion);
    return 0;
}
