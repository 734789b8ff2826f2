// The "inband" and "lan" transports: FreeIPMI's local system interface (Linux
// IPMI driver device, KCS, SSIF) and its IPMI 2.0 (RMCP+) client.
//
// One connection per process, opened at the first request and kept. A lan
// request that gets no answer closes the session and opens a new one at once,
// once per call; when that fails too the link is down and later calls fail
// without waiting until a back-off of two session time-outs has passed, so a
// dead controller costs the daemon's cycle at most a couple of time-outs. An
// outage and its end are said once each on stderr.
//
// Network time-outs are real time, not the platform clock: the controller
// answers at its own pace whatever speed the daemon's clock runs at.
#include "platform/ipmi_freeipmi.h"

#include "platform/ipmi_internal.h"
#include "platform/platform.h"

#include <freeipmi/freeipmi.h>

#include <dlfcn.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <signal.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <mutex>
#include <vector>

namespace {

// FreeIPMI is loaded when the inband or lan transport is first used: a daemon
// on the emulator does not carry the library and its crypto dependencies in
// memory (about 2 MiB of resident pages).
#define QAX_FREEIPMI_FUNCTIONS(X)                                                          \
    X(ipmi_ctx_create) X(ipmi_ctx_destroy) X(ipmi_ctx_close) X(ipmi_ctx_errnum)            \
    X(ipmi_ctx_errormsg) X(ipmi_ctx_open_outofband_2_0) X(ipmi_ctx_find_inband)           \
    X(ipmi_cmd_raw) X(ipmi_sdr_ctx_create) X(ipmi_sdr_ctx_destroy)                        \
    X(ipmi_sdr_parse_sensor_type) X(ipmi_sdr_parse_sensor_number)                         \
    X(ipmi_sdr_parse_record_id_and_type) X(ipmi_sdr_parse_id_string)                      \
    X(ipmi_sensor_read_ctx_create) X(ipmi_sensor_read_ctx_destroy)                        \
    X(ipmi_sensor_read_ctx_set_flags) X(ipmi_sensor_read_ctx_errnum) X(ipmi_sensor_read)

struct FreeIpmiApi {
#define QAX_FREEIPMI_POINTER(name) decltype(&::name) name = nullptr;
    QAX_FREEIPMI_FUNCTIONS(QAX_FREEIPMI_POINTER)
#undef QAX_FREEIPMI_POINTER
    // Releases what FreeIPMI allocated. In a statically linked executable
    // (no program interpreter) FreeIPMI runs on a C library of its own, whose
    // heap is not ours; otherwise both share the process's allocator.
    decltype(&::free) free = ::free;
};
FreeIpmiApi g_fi;

// Loads the library once; false with the reason when it or a function is
// missing.
bool LoadFreeIpmi(std::string *why) {
    static bool tried = false, loaded = false;
    static std::string error;
    if (!tried) {
        tried = true;
        void *lib = dlopen("libfreeipmi.so.17", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) lib = dlopen("libfreeipmi.so", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) {
            const char *e = dlerror();
            error = std::string("cannot load FreeIPMI: ") + (e != nullptr ? e : "unknown error");
        } else {
            loaded = true;
#define QAX_FREEIPMI_LOAD(name)                                                              \
    g_fi.name = reinterpret_cast<decltype(g_fi.name)>(dlsym(lib, #name));                  \
    if (g_fi.name == nullptr && loaded) {                                                  \
        loaded = false;                                                                    \
        error = "FreeIPMI lacks " #name;                                                   \
    }
            QAX_FREEIPMI_FUNCTIONS(QAX_FREEIPMI_LOAD)
#undef QAX_FREEIPMI_LOAD
            if (getauxval(AT_BASE) == 0) {
                if (void *own = dlsym(lib, "free")) g_fi.free = reinterpret_cast<decltype(&::free)>(own);
            }
        }
    }
    if (!loaded && why != nullptr) *why = error;
    return loaded;
}

constexpr int kMaxMessage = 255;  // data bytes of an IPMI message
constexpr uint8_t kNetFnStorage = 0x0A;
constexpr uint8_t kCmdGetSdrRepositoryInfo = 0x20;
constexpr uint8_t kCmdReserveSdrRepository = 0x22;
constexpr uint8_t kCmdGetSdr = 0x23;
constexpr uint8_t kCcInvalidCommand = 0xC1;
constexpr uint8_t kCcReservationCancelled = 0xC5;
constexpr uint8_t kSdrFull = 0x01, kSdrCompact = 0x02;
constexpr unsigned kSdrHeader = 5;
constexpr unsigned kSdrPartial = 16;        // bytes per read when a whole record is refused
constexpr size_t kMaxSdrRecords = 1024;     // a repository larger than this is cut
constexpr uint64_t kSdrMaxAgeMs = 600000;   // re-read even when the repository says nothing changed
constexpr unsigned kNameOffset = 6, kReadingOffset = 198, kMaxReading = 63;

struct FlagName {
    const char *name;
    unsigned flag;
};

const FlagName kLanWorkarounds[] = {
    {"authcap", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_AUTHENTICATION_CAPABILITIES},
    {"intel20", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_INTEL_2_0_SESSION},
    {"supermicro20", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_SUPERMICRO_2_0_SESSION},
    {"sun20", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_SUN_2_0_SESSION},
    {"opensesspriv", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_OPEN_SESSION_PRIVILEGE},
    {"integritycheckvalue", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_NON_EMPTY_INTEGRITY_CHECK_VALUE},
    {"nochecksumcheck", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_NO_CHECKSUM_CHECK},
};
const FlagName kInbandWorkarounds[] = {
    {"assumeio", IPMI_WORKAROUND_FLAGS_INBAND_ASSUME_IO_BASE_ADDRESS},
    {"spinpoll", IPMI_WORKAROUND_FLAGS_INBAND_SPIN_POLL},
};

const char *KindName(QaxLinkKind kind) { return kind == QaxLinkKind::Lan ? "lan" : "inband"; }

uint64_t RealMonotonicMs() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Decimal, or hexadecimal after 0x; the whole text, at most `max`.
bool ParseNumber(const char *text, unsigned long long max, unsigned long long *value) {
    if (text == nullptr || *text == '\0') return false;
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *p = hex ? text + 2 : text;
    if (*p == '\0') return false;
    unsigned long long v = 0;
    for (; *p; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9') digit = static_cast<unsigned>(*p - '0');
        else if (hex && *p >= 'a' && *p <= 'f') digit = static_cast<unsigned>(*p - 'a' + 10);
        else if (hex && *p >= 'A' && *p <= 'F') digit = static_cast<unsigned>(*p - 'A' + 10);
        else return false;
        v = v * (hex ? 16 : 10) + digit;
        if (v > max) return false;
    }
    *value = v;
    return true;
}

// Printable ASCII without blanks, quotes or backslashes, within `maxLength`.
bool PlainText(const char *text, size_t maxLength) {
    size_t n = 0;
    for (const char *p = text; *p; ++p, ++n) {
        if (n >= maxLength) return false;
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c <= ' ' || c >= 0x7F || c == '"' || c == '\\' || c == '\'') return false;
    }
    return true;
}

std::string Quoted(const char *text) {
    std::string s = "\"";
    for (const char *p = text; *p && s.size() < 40; ++p)
        s += (*p >= ' ' && *p < 0x7F) ? *p : '?';
    return s + "\"";
}

// The errors after which a session cannot be trusted any more; anything else
// (our own arguments, memory) fails the one call and keeps the session.
bool SessionBroken(int errnum) {
    switch (errnum) {
    case IPMI_ERR_PARAMETERS:
    case IPMI_ERR_OUT_OF_MEMORY:
    case IPMI_ERR_COMMAND_INVALID_FOR_SELECTED_INTERFACE:
    case IPMI_ERR_COMMAND_INVALID_OR_UNSUPPORTED:
        return false;
    default:
        return true;
    }
}

// "25", "22.375", "-4.5": up to three decimals, no trailing zeros.
void FormatReading(double value, char *out, size_t size) {
    if (!isfinite(value) || fabs(value) > 1e12) {
        snprintf(out, size, "Unavailable");
        return;
    }
    snprintf(out, size, "%.3f", value);
    char *dot = strchr(out, '.');
    if (dot == nullptr) return;
    char *end = out + strlen(out) - 1;
    while (end > dot && *end == '0') *end-- = '\0';
    if (end == dot) *end = '\0';
    if (strcmp(out, "-0") == 0) snprintf(out, size, "0");
}

class Link {
  public:
    int Request(QaxLinkKind kind, int netFn, int cmd, const uint8_t *request, int requestLen,
                uint8_t *response, int *responseLen);
    int Sensors(QaxLinkKind kind, uint8_t type, uint8_t *buffer, uint32_t size, uint32_t *written);
    void Reset();

  private:
    // Failed: no answer, the session is suspect. Refused: not sent, the
    // session is fine.
    enum class Xfer { Ok, BadAnswer, Refused, Failed };

    bool Configure(QaxLinkKind kind);
    template <typename Op>
    int WithSession(Op op);
    bool Open(std::string *why);
    void Close();
    void NoteDown(const std::string &why);
    // After a call without an answer, later calls fail at once for this long.
    unsigned BackoffMs() const { return 2 * cfg_.sessionTimeoutMs; }
    Xfer Exchange(uint8_t netFn, uint8_t cmd, const uint8_t *request, int requestLen,
                  uint8_t *answer, int capacity, int *answerLen);
    Xfer RefreshSdr();
    Xfer LoadSdr();
    Xfer Reserve(uint16_t *reservation);
    Xfer ReadSdrRecord(uint16_t *reservation, uint16_t id, std::vector<uint8_t> *record,
                       uint16_t *next);
    Xfer ReadSdrPart(uint16_t reservation, uint16_t id, unsigned offset, unsigned count,
                     uint8_t *cc, uint8_t *data, uint16_t *next);
    Xfer SensorsOnce(uint8_t type, uint8_t *buffer, uint32_t size, uint32_t *written);
    Xfer Reading(const std::vector<uint8_t> &record, char *text, size_t size);
    std::string LastError() const;

    std::mutex mu_;
    bool loaded_ = false;
    bool configured_ = false;
    QaxLinkConfig cfg_;
    std::string target_;  // "host:port" as FreeIPMI takes it

    ipmi_ctx_t ctx_ = nullptr;
    ipmi_sensor_read_ctx_t sensorCtx_ = nullptr;
    ipmi_sdr_ctx_t sdrCtx_ = nullptr;
    bool open_ = false;
    bool everOpened_ = false;
    bool unavailable_ = false;  // in-band: the probe found no interface
    bool downReported_ = false;
    uint64_t retryAtMs_ = 0;

    bool sdrValid_ = false;
    uint16_t sdrCount_ = 0;
    uint32_t sdrAdded_ = 0, sdrErased_ = 0;
    uint64_t sdrLoadedMs_ = 0;
    std::vector<std::vector<uint8_t>> sdr_;  // full and compact sensor records
};

void Link::Reset() {
    std::lock_guard<std::mutex> lock(mu_);
    Close();
    if (sdrCtx_ != nullptr) g_fi.ipmi_sdr_ctx_destroy(sdrCtx_);
    sdrCtx_ = nullptr;
    loaded_ = configured_ = everOpened_ = downReported_ = unavailable_ = false;
    retryAtMs_ = 0;
    cfg_ = QaxLinkConfig();
    target_.clear();
    sdrValid_ = false;
    sdr_.clear();
}

// Caller holds mu_. Reads the environment once; a bad configuration is said
// once and fails every call.
bool Link::Configure(QaxLinkKind kind) {
    if (loaded_ && cfg_.kind == kind) return configured_;
    if (loaded_) {
        Close();
        everOpened_ = downReported_ = unavailable_ = false;
        retryAtMs_ = 0;
    }
    loaded_ = true;
    std::string error;
    configured_ = QaxLinkParseConfig(
        kind, [](const char *name) -> const char * { return getenv(name); }, &cfg_, &error);
    cfg_.kind = kind;
    if (!configured_) {
        fprintf(stderr, "qax: IPMI transport '%s' is not available: %s; every IPMI request fails\n",
                KindName(kind), error.c_str());
        return false;
    }
    if (kind == QaxLinkKind::Lan) {
        if (cfg_.port == 623) target_ = cfg_.host;
        else if (cfg_.host.find(':') != std::string::npos && cfg_.host[0] != '[')
            target_ = "[" + cfg_.host + "]:" + std::to_string(cfg_.port);
        else target_ = cfg_.host + ":" + std::to_string(cfg_.port);
    }
    return true;
}

std::string Link::LastError() const {
    if (ctx_ == nullptr) return "no context";
    const char *msg = g_fi.ipmi_ctx_errormsg(ctx_);
    return msg != nullptr ? msg : "unknown error";
}

void Link::Close() {
    if (sensorCtx_ != nullptr) g_fi.ipmi_sensor_read_ctx_destroy(sensorCtx_);
    sensorCtx_ = nullptr;
    if (ctx_ != nullptr) {
        if (open_) g_fi.ipmi_ctx_close(ctx_);
        g_fi.ipmi_ctx_destroy(ctx_);
    }
    ctx_ = nullptr;
    open_ = false;
}

// Caller holds mu_.
bool Link::Open(std::string *why) {
    Close();
    if (!LoadFreeIpmi(why)) return false;
    ctx_ = g_fi.ipmi_ctx_create();
    if (ctx_ == nullptr) {
        *why = "out of memory";
        return false;
    }
    if (cfg_.kind == QaxLinkKind::Lan) {
        const int rc = g_fi.ipmi_ctx_open_outofband_2_0(
            ctx_, target_.c_str(), cfg_.user.empty() ? nullptr : cfg_.user.c_str(),
            cfg_.password.empty() ? nullptr : cfg_.password.c_str(), nullptr, 0,
            static_cast<uint8_t>(cfg_.privilege), static_cast<uint8_t>(cfg_.cipherSuite),
            cfg_.sessionTimeoutMs, cfg_.retransmitTimeoutMs, cfg_.workarounds,
            IPMI_FLAGS_DEFAULT);
        if (rc < 0) {
            *why = LastError();
            Close();
            return false;
        }
    } else {
        ipmi_driver_type_t driver = IPMI_DEVICE_UNKNOWN;
        const int rc = g_fi.ipmi_ctx_find_inband(ctx_, &driver, 0, 0, 0,
                                            cfg_.device.empty() ? nullptr : cfg_.device.c_str(),
                                            cfg_.workarounds, IPMI_FLAGS_DEFAULT);
        if (rc != 1) {
            *why = rc == 0 ? "no local IPMI interface found (Linux IPMI driver device, KCS, SSIF)"
                           : LastError();
            Close();
            return false;
        }
    }
    open_ = true;
    sensorCtx_ = g_fi.ipmi_sensor_read_ctx_create(ctx_);
    if (sensorCtx_ != nullptr)
        g_fi.ipmi_sensor_read_ctx_set_flags(sensorCtx_, IPMI_SENSOR_READ_FLAGS_BRIDGE_SENSORS);
    // A different controller may stand behind the same address now.
    sdrValid_ = false;
    return true;
}

void Link::NoteDown(const std::string &why) {
    if (downReported_) return;
    downReported_ = true;
    if (cfg_.kind == QaxLinkKind::Lan)
        fprintf(stderr,
                "qax: IPMI lan: no session with %s (%s); requests fail until it answers again, "
                "retried at most every %u ms\n",
                target_.c_str(), why.c_str(), BackoffMs());
    else
        fprintf(stderr,
                "qax: IPMI inband: the local interface failed (%s); requests fail until it "
                "answers again, retried at most every %u ms\n",
                why.c_str(), BackoffMs());
}

// Caller holds mu_. Runs `op` (returns Xfer) on an open connection, opening it
// first when needed. A lan session that gave no answer is replaced at once and
// `op` tried again, once; the local interface has no session and is kept.
template <typename Op>
int Link::WithSession(Op op) {
    const bool lan = cfg_.kind == QaxLinkKind::Lan;
    if (unavailable_) return QAX_IPMI_ERR_NO_TRANSPORT;
    if (RealMonotonicMs() < retryAtMs_) return QAX_IPMI_ERR_LINK;
    bool fresh = false;
    if (!open_) {
        std::string why;
        if (!Open(&why)) {
            if (!lan) {
                // Probed once: a machine without an interface does not grow
                // one, and each probe costs (FreeIPMI's firmware-table scan).
                unavailable_ = true;
                fprintf(stderr,
                        "qax: IPMI transport 'inband' is not available: %s; every IPMI request "
                        "fails\n",
                        why.c_str());
                return QAX_IPMI_ERR_NO_TRANSPORT;
            }
            retryAtMs_ = RealMonotonicMs() + BackoffMs();
            if (!everOpened_ && !downReported_) {
                downReported_ = true;
                fprintf(stderr,
                        "qax: IPMI lan: cannot open a session with %s as %s (cipher suite %u): "
                        "%s; retried at most every %u ms\n",
                        target_.c_str(), Quoted(cfg_.user.c_str()).c_str(), cfg_.cipherSuite,
                        why.c_str(), BackoffMs());
            }
            NoteDown(why);
            return QAX_IPMI_ERR_LINK;
        }
        fresh = true;
        everOpened_ = true;
    }

    Xfer r = op();
    if (r == Xfer::Failed && lan && !fresh) {
        // The session may merely have been dropped (a controller ends idle
        // sessions): one new session, one more try.
        const std::string first = LastError();
        std::string why;
        if (!Open(&why)) {
            retryAtMs_ = RealMonotonicMs() + BackoffMs();
            NoteDown(first);
            return QAX_IPMI_ERR_LINK;
        }
        r = op();
        if (r != Xfer::Failed && !downReported_)
            fprintf(stderr, "qax: IPMI lan: session with %s re-opened after: %s\n",
                    target_.c_str(), first.c_str());
    }
    switch (r) {
    case Xfer::Ok:
    case Xfer::BadAnswer:
        // The controller answers again.
        if (downReported_)
            fprintf(stderr, "qax: IPMI %s: %s is back\n", KindName(cfg_.kind),
                    lan ? ("session with " + target_).c_str() : "the local interface");
        downReported_ = false;
        return r == Xfer::Ok ? 0 : QAX_IPMI_ERR_BAD_ANSWER;
    case Xfer::Refused:
        return QAX_IPMI_ERR_LINK;
    case Xfer::Failed:
        break;
    }
    const std::string why = LastError();
    if (lan) Close();
    retryAtMs_ = RealMonotonicMs() + BackoffMs();
    NoteDown(why);
    return QAX_IPMI_ERR_LINK;
}

// Caller holds mu_ and an open connection. `answer` receives the completion
// code first, then the data, at most `capacity` bytes.
Link::Xfer Link::Exchange(uint8_t netFn, uint8_t cmd, const uint8_t *request, int requestLen,
                          uint8_t *answer, int capacity, int *answerLen) {
    *answerLen = 0;
    if (requestLen < 0 || requestLen > kMaxMessage) return Xfer::Refused;
    uint8_t rq[1 + kMaxMessage];
    rq[0] = cmd;
    if (requestLen > 0) memcpy(rq + 1, request, static_cast<size_t>(requestLen));
    // FreeIPMI answers command, completion code, data.
    uint8_t rs[2 + kMaxMessage];
    const int n = g_fi.ipmi_cmd_raw(ctx_, 0, netFn, rq, static_cast<unsigned>(requestLen) + 1, rs,
                               sizeof rs);
    if (n < 0) {
        return SessionBroken(g_fi.ipmi_ctx_errnum(ctx_)) ? Xfer::Failed : Xfer::Refused;
    }
    if (n < 2 || n > static_cast<int>(sizeof rs) || rs[0] != cmd) return Xfer::BadAnswer;
    if (n - 1 > capacity) return Xfer::BadAnswer;
    memcpy(answer, rs + 1, static_cast<size_t>(n - 1));
    *answerLen = n - 1;
    return Xfer::Ok;
}

int Link::Request(QaxLinkKind kind, int netFn, int cmd, const uint8_t *request, int requestLen,
                  uint8_t *response, int *responseLen) {
    const int capacity = *responseLen;
    *responseLen = 0;
    std::lock_guard<std::mutex> lock(mu_);
    if (!Configure(kind)) return QAX_IPMI_ERR_NO_TRANSPORT;
    int length = 0;
    const int r = WithSession([&] {
        return Exchange(static_cast<uint8_t>(netFn), static_cast<uint8_t>(cmd), request,
                        requestLen, response, capacity, &length);
    });
    if (r == 0) *responseLen = length;
    return r;
}

// ---------------------------------------------------------------------------
// Sensor data repository. The full and compact sensor records are kept in
// memory and read again only when the repository's record count or its
// addition or erase time changes (or after ten minutes), so a query costs
// one repository-info request plus one reading per sensor of the type.

uint32_t Le32(const uint8_t *p) {
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

Link::Xfer Link::RefreshSdr() {
    uint8_t info[16];
    int n = 0;
    Xfer r = Exchange(kNetFnStorage, kCmdGetSdrRepositoryInfo, nullptr, 0, info, sizeof info, &n);
    if (r != Xfer::Ok) return r;
    if (n >= 1 && info[0] == kCcInvalidCommand) {
        // A controller without a repository has no sensors to offer.
        sdr_.clear();
        sdrValid_ = true;
        sdrLoadedMs_ = RealMonotonicMs();
        return Xfer::Ok;
    }
    if (n >= 1 && info[0] != 0) return Xfer::BadAnswer;
    if (n < 14) return Xfer::BadAnswer;
    const uint16_t count = static_cast<uint16_t>(info[2] | (info[3] << 8));
    const uint32_t added = Le32(info + 6), erased = Le32(info + 10);
    const uint64_t now = RealMonotonicMs();
    if (sdrValid_ && count == sdrCount_ && added == sdrAdded_ && erased == sdrErased_ &&
        now - sdrLoadedMs_ < kSdrMaxAgeMs)
        return Xfer::Ok;
    if (count == 0) {
        sdr_.clear();
        sdrValid_ = true;
    } else {
        r = LoadSdr();
    }
    if (r == Xfer::Ok) {
        sdrCount_ = count;
        sdrAdded_ = added;
        sdrErased_ = erased;
        sdrLoadedMs_ = now;
    }
    return r;
}

Link::Xfer Link::Reserve(uint16_t *reservation) {
    uint8_t rs[8];
    int n = 0;
    Xfer r = Exchange(kNetFnStorage, kCmdReserveSdrRepository, nullptr, 0, rs, sizeof rs, &n);
    if (r != Xfer::Ok) return r;
    // Without reservations (some controllers) whole-record reads still work.
    *reservation = (n >= 3 && rs[0] == 0) ? static_cast<uint16_t>(rs[1] | (rs[2] << 8)) : 0;
    return Xfer::Ok;
}

// One Get SDR: `count` bytes at `offset` of record `id` into `data`.
// Ok with *cc set; the data are valid only when *cc is 0.
Link::Xfer Link::ReadSdrPart(uint16_t reservation, uint16_t id, unsigned offset, unsigned count,
                             uint8_t *cc, uint8_t *data, uint16_t *next) {
    const uint8_t rq[6] = {static_cast<uint8_t>(reservation & 0xFF),
                           static_cast<uint8_t>(reservation >> 8),
                           static_cast<uint8_t>(id & 0xFF),
                           static_cast<uint8_t>(id >> 8),
                           static_cast<uint8_t>(offset),
                           static_cast<uint8_t>(count)};
    uint8_t rs[3 + kMaxMessage];
    int n = 0;
    Xfer r = Exchange(kNetFnStorage, kCmdGetSdr, rq, sizeof rq, rs, sizeof rs, &n);
    if (r != Xfer::Ok) return r;
    *cc = rs[0];
    if (*cc != 0) return Xfer::Ok;
    if (n < 3 + static_cast<int>(count)) return Xfer::BadAnswer;
    *next = static_cast<uint16_t>(rs[1] | (rs[2] << 8));
    memcpy(data, rs + 3, count);
    return Xfer::Ok;
}

Link::Xfer Link::ReadSdrRecord(uint16_t *reservation, uint16_t id, std::vector<uint8_t> *record,
                               uint16_t *next) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        uint8_t cc = 0;
        uint8_t data[kMaxMessage];
        Xfer r = ReadSdrPart(*reservation, id, 0, kSdrHeader, &cc, data, next);
        if (r != Xfer::Ok) return r;
        if (cc == kCcReservationCancelled) {
            if ((r = Reserve(reservation)) != Xfer::Ok) return r;
            continue;
        }
        if (cc != 0) return Xfer::BadAnswer;
        // Record id 0 names the first record: the rest is read by its own id.
        const uint16_t actual = static_cast<uint16_t>(data[0] | (data[1] << 8));
        const unsigned body = data[4];
        record->assign(data, data + kSdrHeader);
        if (body == 0) return Xfer::Ok;
        // The whole body at once, else in small parts (controllers with
        // small buffers refuse large reads). 0xFF would mean "all of it".
        uint16_t ignored;
        cc = 0xFF;
        if (body < 0xFF) {
            r = ReadSdrPart(*reservation, actual, kSdrHeader, body, &cc, data, &ignored);
            if (r != Xfer::Ok) return r;
            if (cc == 0) {
                record->insert(record->end(), data, data + body);
                return Xfer::Ok;
            }
        }
        bool cancelled = cc == kCcReservationCancelled;
        for (unsigned at = 0; at < body && !cancelled;) {
            const unsigned part = body - at < kSdrPartial ? body - at : kSdrPartial;
            r = ReadSdrPart(*reservation, actual, kSdrHeader + at, part, &cc, data, &ignored);
            if (r != Xfer::Ok) return r;
            if (cc == kCcReservationCancelled) cancelled = true;
            else if (cc != 0) return Xfer::BadAnswer;
            else {
                record->insert(record->end(), data, data + part);
                at += part;
            }
        }
        if (!cancelled) return Xfer::Ok;
        if ((r = Reserve(reservation)) != Xfer::Ok) return r;
    }
    return Xfer::BadAnswer;
}

Link::Xfer Link::LoadSdr() {
    sdrValid_ = false;
    std::vector<std::vector<uint8_t>> records;
    uint16_t reservation = 0;
    Xfer r = Reserve(&reservation);
    if (r != Xfer::Ok) return r;
    uint16_t id = 0;
    for (size_t i = 0; i < kMaxSdrRecords && id != 0xFFFF; ++i) {
        std::vector<uint8_t> record;
        uint16_t next = 0xFFFF;
        r = ReadSdrRecord(&reservation, id, &record, &next);
        if (r != Xfer::Ok) return r;
        if (record[3] == kSdrFull || record[3] == kSdrCompact) records.push_back(std::move(record));
        if (next == id) break;  // a repository that loops
        id = next;
    }
    sdr_.swap(records);
    sdrValid_ = true;
    return Xfer::Ok;
}

// The reading of one sensor as text; Failed only when the connection failed.
Link::Xfer Link::Reading(const std::vector<uint8_t> &record, char *text, size_t size) {
    snprintf(text, size, "Unavailable");
    if (sensorCtx_ == nullptr) return Xfer::Ok;
    uint8_t raw = 0;
    double *value = nullptr;
    uint16_t events = 0;
    const int rc = g_fi.ipmi_sensor_read(sensorCtx_, record.data(), static_cast<unsigned>(record.size()),
                                    0, &raw, &value, &events);
    if (rc == 1 && value != nullptr) FormatReading(*value, text, size);
    else if (rc == 1) snprintf(text, size, "0x%04X", events);  // a discrete sensor's states
    g_fi.free(value);
    if (rc < 0) {
        const int err = g_fi.ipmi_sensor_read_ctx_errnum(sensorCtx_);
        if ((err == IPMI_SENSOR_READ_ERR_IPMI_ERROR || err == IPMI_SENSOR_READ_ERR_SYSTEM_ERROR) &&
            g_fi.ipmi_ctx_errnum(ctx_) != IPMI_ERR_SUCCESS && SessionBroken(g_fi.ipmi_ctx_errnum(ctx_)))
            return Xfer::Failed;
    }
    return Xfer::Ok;
}

Link::Xfer Link::SensorsOnce(uint8_t type, uint8_t *buffer, uint32_t size, uint32_t *written) {
    *written = 0;
    Xfer r = RefreshSdr();
    if (r != Xfer::Ok) return r;
    if (sdrCtx_ == nullptr) sdrCtx_ = g_fi.ipmi_sdr_ctx_create();
    if (sdrCtx_ == nullptr) return Xfer::Refused;
    uint32_t at = 0;
    for (const std::vector<uint8_t> &record : sdr_) {
        const unsigned length = static_cast<unsigned>(record.size());
        uint8_t sensorType = 0, number = 0, recordType = 0;
        uint16_t recordId = 0;
        if (g_fi.ipmi_sdr_parse_sensor_type(sdrCtx_, record.data(), length, &sensorType) < 0 ||
            sensorType != type)
            continue;
        if (size - at < QAX_SENSOR_RECORD_SIZE) break;
        if (g_fi.ipmi_sdr_parse_record_id_and_type(sdrCtx_, record.data(), length, &recordId,
                                              &recordType) < 0 ||
            g_fi.ipmi_sdr_parse_sensor_number(sdrCtx_, record.data(), length, &number) < 0)
            continue;
        char name[IPMI_SDR_MAX_ID_STRING_LENGTH + 1] = {};
        if (g_fi.ipmi_sdr_parse_id_string(sdrCtx_, record.data(), length, name, sizeof name - 1) < 0)
            continue;
        char reading[kMaxReading + 1];
        if ((r = Reading(record, reading, sizeof reading)) != Xfer::Ok) return r;

        uint8_t *out = buffer + at;
        memset(out, 0, QAX_SENSOR_RECORD_SIZE);
        out[0] = static_cast<uint8_t>(recordId & 0xFF);
        out[1] = static_cast<uint8_t>(recordId >> 8);
        out[2] = 0;
        out[3] = sensorType;
        out[4] = number;
        memcpy(out + kNameOffset, name, strnlen(name, sizeof name - 1));
        memcpy(out + kReadingOffset, reading, strnlen(reading, kMaxReading));
        at += QAX_SENSOR_RECORD_SIZE;
    }
    *written = at;
    return Xfer::Ok;
}

int Link::Sensors(QaxLinkKind kind, uint8_t type, uint8_t *buffer, uint32_t size,
                  uint32_t *written) {
    *written = 0;
    std::lock_guard<std::mutex> lock(mu_);
    if (!Configure(kind)) return QAX_IPMI_ERR_NO_TRANSPORT;
    uint32_t count = 0;
    const int r = WithSession([&] { return SensorsOnce(type, buffer, size, &count); });
    if (r == 0) *written = count;
    return r;
}

Link g_link;

}  // namespace

bool QaxLinkParseWorkarounds(QaxLinkKind kind, const char *text, unsigned *flags,
                             std::string *error) {
    *flags = 0;
    if (text == nullptr || *text == '\0') return true;
    unsigned long long number = 0;
    if (ParseNumber(text, 0xFFFFFFFFULL, &number)) {
        *flags = static_cast<unsigned>(number);
        return true;
    }
    const FlagName *table = kind == QaxLinkKind::Lan ? kLanWorkarounds : kInbandWorkarounds;
    const size_t count = kind == QaxLinkKind::Lan ? sizeof kLanWorkarounds / sizeof *kLanWorkarounds
                                                  : sizeof kInbandWorkarounds / sizeof *kInbandWorkarounds;
    const std::string all = text;
    size_t at = 0;
    while (at <= all.size()) {
        size_t end = all.find(',', at);
        if (end == std::string::npos) end = all.size();
        const std::string name = all.substr(at, end - at);
        bool found = false;
        for (size_t i = 0; i < count && !found; ++i) {
            if (name == table[i].name) {
                *flags |= table[i].flag;
                found = true;
            }
        }
        if (!found) {
            std::string known;
            for (size_t i = 0; i < count; ++i) known += (i ? ", " : "") + std::string(table[i].name);
            *error = "QAX_IPMI_WORKAROUNDS: unknown " + std::string(KindName(kind)) +
                     " workaround " + Quoted(name.c_str()) + " (known: " + known +
                     ", or a number)";
            *flags = 0;
            return false;
        }
        at = end + 1;
    }
    return true;
}

bool QaxLinkParseConfig(QaxLinkKind kind, QaxEnvLookup lookup, QaxLinkConfig *config,
                        std::string *error) {
    QaxLinkConfig c;
    c.kind = kind;
    auto get = [lookup](const char *name) -> const char * {
        const char *v = lookup(name);
        return v != nullptr && *v != '\0' ? v : nullptr;
    };
    unsigned long long n = 0;
    const char *v;
    if (!QaxLinkParseWorkarounds(kind, lookup("QAX_IPMI_WORKAROUNDS"), &c.workarounds, error))
        return false;
    if (kind == QaxLinkKind::Inband) {
        if ((v = get("QAX_IPMI_DEVICE")) != nullptr) {
            if (v[0] != '/' || !PlainText(v, 255)) {
                *error = "QAX_IPMI_DEVICE must be an absolute device path";
                return false;
            }
            c.device = v;
        }
        *config = c;
        return true;
    }

    if ((v = get("QAX_IPMI_HOST")) == nullptr) {
        *error = "QAX_IPMI_HOST is not set";
        return false;
    }
    if (!PlainText(v, 255)) {
        *error = "QAX_IPMI_HOST " + Quoted(v) + " is not a host name or address";
        return false;
    }
    c.host = v;
    if ((v = get("QAX_IPMI_PORT")) != nullptr) {
        if (!ParseNumber(v, 65535, &n) || n == 0 || v[0] == '0') {
            *error = "QAX_IPMI_PORT " + Quoted(v) + " is not a port number (1..65535)";
            return false;
        }
        c.port = static_cast<unsigned>(n);
    }
    if ((v = get("QAX_IPMI_USER")) != nullptr) {
        if (!PlainText(v, IPMI_MAX_USER_NAME_LENGTH)) {
            *error = "QAX_IPMI_USER must be at most 16 printable characters without blanks";
            return false;
        }
        c.user = v;
    }
    if ((v = get("IPMI_PASSWORD")) != nullptr) {
        if (strlen(v) > IPMI_2_0_MAX_PASSWORD_LENGTH) {
            *error = "IPMI_PASSWORD is longer than 20 characters";
            return false;
        }
        c.password = v;
    }
    if ((v = get("QAX_IPMI_CIPHER")) != nullptr) {
        static const unsigned kSuites[] = {0, 1, 2, 3, 6, 7, 8, 11, 12, 15, 16, 17};
        bool ok = ParseNumber(v, 255, &n);
        bool known = false;
        for (unsigned s : kSuites) known = known || (ok && n == s);
        if (!known) {
            *error = "QAX_IPMI_CIPHER " + Quoted(v) +
                     " is not a cipher suite (0, 1, 2, 3, 6, 7, 8, 11, 12, 15, 16, 17)";
            return false;
        }
        c.cipherSuite = static_cast<unsigned>(n);
    }
    if ((v = get("QAX_IPMI_PRIVILEGE")) != nullptr) {
        if (strcmp(v, "user") == 0) c.privilege = IPMI_PRIVILEGE_LEVEL_USER;
        else if (strcmp(v, "operator") == 0) c.privilege = IPMI_PRIVILEGE_LEVEL_OPERATOR;
        else if (strcmp(v, "admin") == 0) c.privilege = IPMI_PRIVILEGE_LEVEL_ADMIN;
        else {
            *error = "QAX_IPMI_PRIVILEGE " + Quoted(v) + " is not user, operator or admin";
            return false;
        }
    }
    if ((v = get("QAX_IPMI_TIMEOUT_MS")) != nullptr) {
        if (!ParseNumber(v, 60000, &n) || n < 100) {
            *error = "QAX_IPMI_TIMEOUT_MS " + Quoted(v) + " is not 100..60000";
            return false;
        }
        c.sessionTimeoutMs = static_cast<unsigned>(n);
    }
    c.retransmitTimeoutMs = c.sessionTimeoutMs / 2 < 500 ? c.sessionTimeoutMs / 2 : 500;
    if ((v = get("QAX_IPMI_RETRANSMIT_MS")) != nullptr) {
        if (!ParseNumber(v, 60000, &n) || n < 10 || n >= c.sessionTimeoutMs) {
            *error = "QAX_IPMI_RETRANSMIT_MS " + Quoted(v) +
                     " is not 10.. and below the session time-out (" +
                     std::to_string(c.sessionTimeoutMs) + " ms)";
            return false;
        }
        c.retransmitTimeoutMs = static_cast<unsigned>(n);
    }
    *config = c;
    return true;
}

namespace {

// Holds the process's asynchronous signals while FreeIPMI exchanges messages.
// A signal that cuts its wait for an answer short makes it give up the
// exchange in a state that costs the session, and errno cannot tell us why
// (FreeIPMI may run on a C library of its own). A signal that arrives
// meanwhile is delivered when the exchange ends, which its time-outs bound.
class SignalsHeld {
  public:
    SignalsHeld() {
        sigset_t all;
        sigfillset(&all);
        for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&all, s);
        held_ = pthread_sigmask(SIG_BLOCK, &all, &previous_) == 0;
    }
    ~SignalsHeld() {
        if (held_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

  private:
    sigset_t previous_;
    bool held_ = false;
};

}  // namespace

int QaxLinkRequest(QaxLinkKind kind, int netFn, int cmd, const uint8_t *request, int requestLen,
                   uint8_t *response, int *responseLen) {
    if (responseLen == nullptr || response == nullptr || (request == nullptr && requestLen > 0))
        return QAX_IPMI_ERR_ARGUMENT;
    SignalsHeld held;
    return g_link.Request(kind, netFn, cmd, request, requestLen, response, responseLen);
}

int QaxLinkSensorRecords(QaxLinkKind kind, uint8_t sensorType, uint8_t *buffer,
                         uint32_t bufferSize, uint32_t *written) {
    if (buffer == nullptr || written == nullptr) return QAX_IPMI_ERR_ARGUMENT;
    SignalsHeld held;
    return g_link.Sensors(kind, sensorType, buffer, bufferSize, written);
}

void QaxLinkReset() { g_link.Reset(); }

// FreeIPMI's in-band probe leaks a few bytes of its firmware-table scan
// (ipmi_locate_acpi_spmi_get_device_info). It runs once per process; keep it
// out of the leak checker's report in sanitized builds.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QAX_LSAN_HOOK 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QAX_LSAN_HOOK)
extern "C" const char *__lsan_default_suppressions() {
    return "leak:ipmi_locate_acpi_spmi_get_device_info\n";
}
#endif
