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
#include "platform/ipmi_freeipmi_internal.h"

#include "platform/ipmi_internal.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

namespace qaxfreeipmi {

uint64_t RealMonotonicMs() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Our own errors (arguments, memory) and a command the interface refuses fail
// the one call and keep the session; anything else costs it.
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
        if (cfg_.port == 623)
            target_ = cfg_.host;
        else if (cfg_.host.find(':') != std::string::npos && cfg_.host[0] != '[')
            target_ = "[" + cfg_.host + "]:" + std::to_string(cfg_.port);
        else
            target_ = cfg_.host + ":" + std::to_string(cfg_.port);
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
            cfg_.sessionTimeoutMs, cfg_.retransmitTimeoutMs, cfg_.workarounds, IPMI_FLAGS_DEFAULT);
        if (rc < 0) {
            *why = LastError();
            Close();
            return false;
        }
    } else {
        ipmi_driver_type_t driver = IPMI_DEVICE_UNKNOWN;
        const int rc = g_fi.ipmi_ctx_find_inband(
            ctx_, &driver, 0, 0, 0, cfg_.device.empty() ? nullptr : cfg_.device.c_str(),
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
            fprintf(stderr, "qax: IPMI lan: session with %s re-opened after: %s\n", target_.c_str(),
                    first.c_str());
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
    const int n =
        g_fi.ipmi_cmd_raw(ctx_, 0, netFn, rq, static_cast<unsigned>(requestLen) + 1, rs, sizeof rs);
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
        return Exchange(static_cast<uint8_t>(netFn), static_cast<uint8_t>(cmd), request, requestLen,
                        response, capacity, &length);
    });
    if (r == 0) *responseLen = length;
    return r;
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

}  // namespace qaxfreeipmi

namespace {

qaxfreeipmi::Link g_link;

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
        for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS})
            sigdelset(&all, s);
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

int InbandRequest(void *, int netFn, int cmd, const uint8_t *request, int requestLen,
                  uint8_t *response, int *responseLen) {
    return QaxLinkRequest(QaxLinkKind::Inband, netFn, cmd, request, requestLen, response,
                          responseLen);
}
int LanRequest(void *, int netFn, int cmd, const uint8_t *request, int requestLen,
               uint8_t *response, int *responseLen) {
    return QaxLinkRequest(QaxLinkKind::Lan, netFn, cmd, request, requestLen, response, responseLen);
}
int InbandSensors(void *, uint8_t type, uint8_t *buffer, uint32_t size, uint32_t *written) {
    return QaxLinkSensorRecords(QaxLinkKind::Inband, type, buffer, size, written);
}
int LanSensors(void *, uint8_t type, uint8_t *buffer, uint32_t size, uint32_t *written) {
    return QaxLinkSensorRecords(QaxLinkKind::Lan, type, buffer, size, written);
}

}  // namespace

int QaxLinkRequest(QaxLinkKind kind, int netFn, int cmd, const uint8_t *request, int requestLen,
                   uint8_t *response, int *responseLen) {
    if (responseLen == nullptr || response == nullptr || (request == nullptr && requestLen > 0))
        return QAX_IPMI_ERR_ARGUMENT;
    SignalsHeld held;
    return g_link.Request(kind, netFn, cmd, request, requestLen, response, responseLen);
}

int QaxLinkSensorRecords(QaxLinkKind kind, uint8_t sensorType, uint8_t *buffer, uint32_t bufferSize,
                         uint32_t *written) {
    if (buffer == nullptr || written == nullptr) return QAX_IPMI_ERR_ARGUMENT;
    SignalsHeld held;
    return g_link.Sensors(kind, sensorType, buffer, bufferSize, written);
}

void QaxLinkReset() { g_link.Reset(); }

const QaxIpmiBackend kQaxIpmiInband = {"inband", InbandRequest, InbandSensors, QaxLinkReset};
const QaxIpmiBackend kQaxIpmiLan = {"lan", LanRequest, LanSensors, QaxLinkReset};
