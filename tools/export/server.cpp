// The answers of qax-export and its HTTP server; see server.h.
#include "tools/export/server.h"

#include <civetweb.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

namespace qaxexport {

namespace {

uint64_t MonotonicNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

void Send(mg_connection *conn, int status, const char *reason, const char *type,
          const std::string &body, bool head, const char *extra = "") {
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n%s\r\n",
              status, reason, type, body.size(), extra);
    if (!head) mg_write(conn, body.data(), body.size());
}

int Handle(mg_connection *conn, void *data) {
    auto *exporter = static_cast<Exporter *>(data);
    const mg_request_info *ri = mg_get_request_info(conn);
    const bool head = strcmp(ri->request_method, "HEAD") == 0;
    if (!head && strcmp(ri->request_method, "GET") != 0) {
        Send(conn, 405, "Method Not Allowed", "text/plain", "GET and HEAD only\n", false,
             "Allow: GET, HEAD\r\n");
        return 405;
    }
    const std::string uri = ri->local_uri != nullptr ? ri->local_uri : "";
    if (uri == "/metrics") {
        const Format format = Negotiate(mg_get_header(conn, "Accept"));
        Send(conn, 200, "OK", ContentType(format), exporter->Metrics(format), head);
    } else if (uri == "/") {
        Send(conn, 200, "OK", "text/html; charset=utf-8", exporter->Page(), head);
    } else if (uri == "/power.svg" || uri == "/performance.svg") {
        Send(conn, 200, "OK", "image/svg+xml",
             exporter->Svg(uri == "/power.svg" ? Chart::kPower : Chart::kPerformance), head);
    } else {
        Send(conn, 404, "Not Found", "text/plain", "not found\n", head);
        return 404;
    }
    return 200;
}

// civetweb's own messages (a refused port, say) go to stderr; the rest of
// its logging stays off.
int LogMessage(const mg_connection *, const char *message) {
    fprintf(stderr, "qax-export: %s\n", message);
    return 1;
}

}  // namespace

Outputs Exporter::Read() {
    const uint64_t arrived = MonotonicNs();
    std::lock_guard<std::mutex> lock(mutex_);
    if (readStartedNs_ <= arrived) {
        readStartedNs_ = MonotonicNs();
        outputs_ = ReadOutputs(&events_);
    }
    return outputs_;
}

std::string Exporter::Metrics(Format format) {
    return Render(BuildFamilies(Read()), format, labels_);
}

std::string Exporter::Page() {
    std::vector<Record> power, performance;
    ReadFullHistory(Chart::kPower, &power);
    ReadFullHistory(Chart::kPerformance, &performance);
    return RenderPage(Read(), power, performance);
}

std::string Exporter::Svg(Chart chart) {
    std::vector<Record> records;
    ReadFullHistory(chart, &records);
    return RenderChart(chart, records, Blade(), true);
}

int Serve(const ServerOptions &options, Exporter *exporter) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    // Blocked before civetweb's threads start, so that they inherit the mask
    // and the signal reaches the sigwait below.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    mg_init_library(0);
    const std::string threads = std::to_string(options.threads);
    const std::string queue = std::to_string(options.queue);
    const std::string timeout = std::to_string(options.timeoutMs);
    const char *config[] = {"listening_ports",
                            options.listen.c_str(),
                            "num_threads",
                            threads.c_str(),
                            "connection_queue",
                            queue.c_str(),
                            "listen_backlog",
                            queue.c_str(),
                            "request_timeout_ms",
                            timeout.c_str(),
                            "enable_keep_alive",
                            "no",
                            "max_request_size",
                            "8192",
                            nullptr};
    mg_callbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.log_message = LogMessage;
    mg_context *ctx = mg_start(&callbacks, nullptr, config);
    if (ctx == nullptr) {
        fprintf(stderr, "qax-export: cannot listen on %s\n", options.listen.c_str());
        mg_exit_library();
        return 1;
    }
    mg_set_request_handler(ctx, "/", Handle, exporter);
    int signo = 0;
    sigwait(&stop, &signo);
    mg_stop(ctx);
    mg_exit_library();
    return 0;
}

}  // namespace qaxexport
