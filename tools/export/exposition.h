// The metrics qax-export exposes, and their text: OpenMetrics 1.0 or the
// Prometheus text format 0.0.4. docs/export.md lists the names.
#ifndef QAX_TOOLS_EXPORT_EXPOSITION_H
#define QAX_TOOLS_EXPORT_EXPOSITION_H

#include <string>
#include <vector>

#include "tools/export/reader.h"

namespace qaxexport {

enum class Format { kOpenMetrics, kPrometheus };

struct Sample {
    std::string labels;  // `domain="ac",stat="avg"`, already escaped
    double value;
};

struct Family {
    std::string name;  // without "_total" for counters
    const char *type;  // "gauge" or "counter"
    const char *unit;  // OpenMetrics unit, "" for none
    const char *help;
    std::vector<Sample> samples;
};

// The metric families of one reading of the daemon's outputs. Families
// without samples are left out; a figure the outputs do not hold (a missing
// file, an unknown sample, a window without data) gives no sample.
std::vector<Family> BuildFamilies(const Outputs &o);

// The exposition text. OpenMetrics ends with "# EOF"; neither format carries
// time stamps on samples (node_exporter's textfile collector refuses them).
// `labels` (already escaped, may be empty) is added to every sample.
std::string Render(const std::vector<Family> &families, Format format,
                   const std::string &labels = "");

// `name="value"` with the value escaped for the text formats.
std::string Label(const char *name, const std::string &value);

// The format a scraper's Accept header asks for: OpenMetrics unless the
// header prefers text/plain (or names only it).
Format Negotiate(const char *accept);
const char *ContentType(Format format);

}  // namespace qaxexport

#endif
