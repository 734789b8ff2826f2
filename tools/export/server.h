// What qax-export serves, and its HTTP server (civetweb, docs/export.md).
#ifndef QAX_TOOLS_EXPORT_SERVER_H
#define QAX_TOOLS_EXPORT_SERVER_H

#include <stdint.h>

#include <mutex>
#include <string>
#include <vector>

#include "tools/export/charts.h"
#include "tools/export/exposition.h"

namespace qaxexport {

// The answers, built from the daemon's outputs at request time. Requests
// that arrive while a reading is under way wait for it and share it, so a
// flood of scrapes costs one reading at a time, and no answer is older than
// its request.
class Exporter {
  public:
    // `labels`: added to every sample (e.g. `controller="bmc1"`), may be empty.
    explicit Exporter(std::string labels = "") : labels_(std::move(labels)) {}
    std::string Metrics(Format format);
    std::string Page();
    std::string Svg(Chart chart);

  private:
    Outputs Read();

    std::string labels_;
    EventCounter events_;
    std::mutex mutex_;
    uint64_t readStartedNs_ = 0;
    Outputs outputs_;
};

struct ServerOptions {
    std::string listen = "127.0.0.1:9798";
    int threads = 4;       // requests served at once
    int queue = 16;        // accepted connections waiting for a thread
    int timeoutMs = 5000;  // for a whole request, headers included
};

// Serves until SIGTERM or SIGINT. Answers 0, or 1 when the server could not
// start (the reason on stderr).
int Serve(const ServerOptions &options, Exporter *exporter);

}  // namespace qaxexport

#endif
