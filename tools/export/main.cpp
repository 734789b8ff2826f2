// qax-export: the daemon's figures for Prometheus (HTTP or node_exporter's
// textfile collector) and charts of its histories. Read-only towards the
// daemon's files and stores. Exit status: 0 done, 1 failed, 2 bad usage.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "tools/export/server.h"

namespace {

using namespace qaxexport;

constexpr char kUsage[] =
    "usage: qax-export --listen [ADDR:]PORT [--threads N] [--timeout-ms MS] [--controller NAME]\n"
    "       qax-export --textfile DIR [--every SECONDS] [--controller NAME]\n"
    "       qax-export --print [--prometheus] [--controller NAME]\n"
    "       qax-export --svg power|performance FILE\n"
    "       qax-export --page FILE\n"
    "Serves or writes the figures of the qax daemon of this installation\n"
    "(QAX_ROOT): GET /metrics (OpenMetrics, or the Prometheus text format when\n"
    "asked), GET / (a page with charts), /power.svg, /performance.svg.\n"
    "--listen PORT alone listens on 127.0.0.1.\n";

int Usage() {
    fputs(kUsage, stderr);
    return 2;
}

bool Number(const char *text, int low, int high, int *out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
    *out = static_cast<int>(v);
    return true;
}

// Writes `text` to `path` through a new file beside it and a rename: a
// reader (node_exporter) sees the old file or the new one, never a part.
bool WriteAtomically(const std::string &path, const std::string &text) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // Not ending in ".prom", so the collector never reads a half-written file.
    std::string temp = dir + "." + base + ".XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0644) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    ok = close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
    const int saved = errno;
    unlink(temp.c_str());
    errno = saved;
    return false;
}

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

int Textfile(const std::string &dir, int every, const std::string &controller, Exporter *exporter) {
    const std::string path =
        dir + "/" + (controller.empty() ? "qax" : "qax-" + controller) + ".prom";
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    for (;;) {
        if (!WriteAtomically(path, exporter->Metrics(Format::kPrometheus))) {
            fprintf(stderr, "qax-export: cannot write %s: %s\n", path.c_str(), strerror(errno));
            if (every == 0) return 1;
        }
        if (every == 0) return 0;
        struct timespec ts = {every, 0};
        while (!g_stop && nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
        if (g_stop) return 0;
    }
}

bool WriteFile(const std::string &path, const std::string &text) {
    if (WriteAtomically(path, text)) return true;
    fprintf(stderr, "qax-export: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return false;
}

int Run(int argc, char **argv) {
    enum { kNone, kListen, kTextfile, kPrint, kSvg, kPage } mode = kNone;
    ServerOptions server;
    std::string target, controller, chart;
    int every = 0;
    bool prometheus = false;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        auto setMode = [&](decltype(mode) m) {
            if (mode != kNone || !hasValue) return false;
            mode = m;
            target = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--listen") {
            if (!setMode(kListen)) return Usage();
            server.listen = target.find(':') == std::string::npos ? "127.0.0.1:" + target : target;
        } else if (arg == "--textfile") {
            if (!setMode(kTextfile)) return Usage();
        } else if (arg == "--page") {
            if (!setMode(kPage)) return Usage();
        } else if (arg == "--svg") {
            if (mode != kNone || i + 2 >= argc) return Usage();
            mode = kSvg;
            chart = argv[++i];
            target = argv[++i];
            if (chart != "power" && chart != "performance") return Usage();
        } else if (arg == "--print" && mode == kNone) {
            mode = kPrint;
        } else if (arg == "--prometheus") {
            prometheus = true;
        } else if (arg == "--every" && hasValue) {
            if (!Number(argv[++i], 1, 86400, &every)) return Usage();
        } else if (arg == "--threads" && hasValue) {
            if (!Number(argv[++i], 1, 64, &server.threads)) return Usage();
        } else if (arg == "--timeout-ms" && hasValue) {
            if (!Number(argv[++i], 100, 600000, &server.timeoutMs)) return Usage();
        } else if (arg == "--controller" && hasValue) {
            controller = argv[++i];
            if (controller.empty() ||
                controller.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                             "0123456789_.-") != std::string::npos)
                return Usage();
        } else {
            return Usage();
        }
    }
    if (every != 0 && mode != kTextfile) return Usage();
    Exporter exporter(controller.empty() ? "" : Label("controller", controller));
    switch (mode) {
    case kListen:
        return Serve(server, &exporter);
    case kTextfile:
        return Textfile(target, every, controller, &exporter);
    case kPrint: {
        const std::string text =
            exporter.Metrics(prometheus ? Format::kPrometheus : Format::kOpenMetrics);
        return fwrite(text.data(), 1, text.size(), stdout) == text.size() && fflush(stdout) == 0
                   ? 0
                   : 1;
    }
    case kSvg:
        return WriteFile(target,
                         exporter.Svg(chart == "power" ? Chart::kPower : Chart::kPerformance))
                   ? 0
                   : 1;
    case kPage:
        return WriteFile(target, exporter.Page()) ? 0 : 1;
    case kNone:
        break;
    }
    return Usage();
}

}  // namespace

int main(int argc, char **argv) { return Run(argc, argv); }
