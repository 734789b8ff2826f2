// What a firmware request costs over the lan transport, against a bare
// FreeIPMI round trip on a session of its own, and what one snapshot fetch
// of the daemon costs when every request is an ipmitool process instead.
// Run by bench/ipmi, which starts ipmi_sim with the emulator on loopback and
// sets the lan environment (QAX_IPMI_HOST, QAX_IPMI_PORT, QAX_IPMI_USER,
// IPMI_PASSWORD, QAX_IPMI_WORKAROUNDS).
//
// Usage: qax-ipmi-bench [ROUNDS]      (default 2000 requests per measure)
// Prints median times in microseconds and the ratios.
#include <fcntl.h>
#include <freeipmi/freeipmi.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "firmware/snapshot.h"
#include "platform/ipmi_freeipmi.h"
#include "platform/ipmi_internal.h"
#include "platform/platform.h"

extern char **environ;

namespace {

using Bytes = std::vector<uint8_t>;

struct Request {
    int netFn, cmd;
    Bytes data;
};

double NowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

const Bytes kInstance = {0x4D, 0x4F, 0x00, 0x00, 0x00, 0x01};

// Records the requests of one real snapshot fetch while passing them on to
// the lan transport.
std::vector<Request> g_recorded;
int Record(void *, int netFn, int cmd, const uint8_t *rq, int rqLen, uint8_t *rs, int *rsLen) {
    g_recorded.push_back({netFn, cmd, Bytes(rq, rq + rqLen)});
    return QaxLinkRequest(QaxLinkKind::Lan, netFn, cmd, rq, rqLen, rs, rsLen);
}

int LanCall(const Request &r) {
    uint8_t rs[256];
    int len = sizeof rs;
    Bytes rq = r.data;
    return IPMI_DoIPMICmd(r.netFn, r.cmd, rq.data(), static_cast<int>(rq.size()), rs, &len);
}

// One ipmitool process for `r`; its exit status.
int Ipmitool(const Request &r, const std::string &port) {
    std::vector<std::string> args = {"/usr/bin/ipmitool",
                                     "-I",
                                     "lanplus",
                                     "-H",
                                     getenv("QAX_IPMI_HOST"),
                                     "-p",
                                     port,
                                     "-U",
                                     getenv("QAX_IPMI_USER") ? getenv("QAX_IPMI_USER") : "",
                                     "-E",
                                     "-C",
                                     "3",
                                     "raw"};
    char hex[8];
    snprintf(hex, sizeof hex, "0x%02x", r.netFn);
    args.push_back(hex);
    snprintf(hex, sizeof hex, "0x%02x", r.cmd);
    args.push_back(hex);
    for (uint8_t b : r.data) {
        snprintf(hex, sizeof hex, "0x%02x", b);
        args.push_back(hex);
    }
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? atoi(argv[1]) : 2000;
    const char *host = getenv("QAX_IPMI_HOST");
    const char *portText = getenv("QAX_IPMI_PORT");
    if (rounds < 10 || host == nullptr || portText == nullptr) {
        fprintf(stderr, "usage: QAX_IPMI_HOST=... QAX_IPMI_PORT=... %s [ROUNDS>=10]\n", argv[0]);
        return 2;
    }
    setenv("QAX_IPMI", "lan", 1);
    char root[] = "/tmp/qax-ipmi-bench-XXXXXX";
    if (mkdtemp(root) == nullptr) return 1;
    setenv("QAX_ROOT", root, 1);

    // 1. A bare round trip: FreeIPMI on a session of its own (and the cost
    //    of opening one).
    const std::string target = std::string(host) + ":" + portText;
    std::string error;
    QaxLinkConfig cfg;
    if (!QaxLinkParseConfig(
            QaxLinkKind::Lan, [](const char *n) -> const char * { return getenv(n); }, &cfg,
            &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::vector<double> opens;
    ipmi_ctx_t ctx = nullptr;
    for (int i = 0; i < 20; ++i) {
        if (ctx != nullptr) ipmi_ctx_destroy(ctx);
        ctx = ipmi_ctx_create();
        const double t0 = NowUs();
        if (ipmi_ctx_open_outofband_2_0(ctx, target.c_str(), cfg.user.c_str(), cfg.password.c_str(),
                                        nullptr, 0, IPMI_PRIVILEGE_LEVEL_ADMIN, 3, 0, 0,
                                        cfg.workarounds, IPMI_FLAGS_DEFAULT) < 0) {
            fprintf(stderr, "cannot open a session with %s: %s\n", target.c_str(),
                    ipmi_ctx_errormsg(ctx));
            return 1;
        }
        opens.push_back(NowUs() - t0);
        if (i < 19) ipmi_ctx_close(ctx);
    }
    // 2. The same request through IPMI_DoIPMICmd (its session set up once),
    //    alternating with the bare one so that both see the same load.
    const Request instance = {0x2E, 0x82, kInstance};
    if (LanCall(instance) != 0) {
        fprintf(stderr, "the lan transport got no answer\n");
        return 1;
    }
    uint8_t rq[16] = {0x82};
    memcpy(rq + 1, kInstance.data(), kInstance.size());
    std::vector<double> bare, lan;
    for (int i = 0; i < rounds; ++i) {
        uint8_t rs[64];
        double t0 = NowUs();
        if (ipmi_cmd_raw(ctx, 0, 0x2E, rq, 1 + kInstance.size(), rs, sizeof rs) < 3) return 1;
        bare.push_back(NowUs() - t0);
        t0 = NowUs();
        if (LanCall(instance) != 0) return 1;
        lan.push_back(NowUs() - t0);
    }
    ipmi_ctx_close(ctx);
    ipmi_ctx_destroy(ctx);

    // 3. One snapshot fetch of the daemon, recorded, then replayed over the
    //    transport and with one ipmitool process per request.
    QaxIpmiSetTransportOverride(Record, nullptr);
    MetricValue *value = nullptr;
    HistogramData histogram = {};
    const unsigned status = GetSnapshotBufferFromQAX(&value, &histogram);
    QaxIpmiSetTransportOverride(nullptr, nullptr);
    FreeMetricValue(value);
    free(histogram.pu8Counters);
    if (status != 0 || g_recorded.empty()) {
        fprintf(stderr, "the snapshot fetch failed (%u)\n", status);
        return 1;
    }
    std::vector<double> cycles;
    for (int i = 0; i < rounds / 10; ++i) {
        const double t0 = NowUs();
        for (const Request &r : g_recorded) LanCall(r);
        cycles.push_back(NowUs() - t0);
    }
    std::vector<double> tools;
    for (int i = 0; i < 3; ++i) {
        const double t0 = NowUs();
        for (const Request &r : g_recorded)
            if (Ipmitool(r, portText) != 0) {
                fprintf(stderr, "ipmitool failed\n");
                return 1;
            }
        tools.push_back(NowUs() - t0);
    }

    const double b = Median(bare), l = Median(lan), c = Median(cycles), t = Median(tools);
    printf("%-52s %10.1f\n", "session open (median, us)", Median(opens));
    printf("%-52s %10.1f\n", "bare FreeIPMI round trip (median, us)", b);
    printf("%-52s %10.1f\n", "IPMI_DoIPMICmd over lan (median, us)", l);
    printf("%-52s %10.2f  (target <= 1.5)\n", "request / bare round trip", l / b);
    printf("%-52s %10zu\n", "requests in one snapshot fetch", g_recorded.size());
    printf("%-52s %10.1f\n", "snapshot fetch over lan (median, us)", c);
    printf("%-52s %10.1f\n", "same fetch, one ipmitool per request (median, us)", t);
    printf("%-52s %10.1f\n", "ipmitool / lan transport", t / c);
    aim_config_close();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
