// The metric families of qax-export and their text; see exposition.h.
#include "tools/export/exposition.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace qaxexport {

std::string Label(const char *name, const std::string &value) {
    std::string out = std::string(name) + "=\"";
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

namespace {

std::string Labels(const char *n1, const std::string &v1) { return Label(n1, v1); }
std::string Labels(const char *n1, const std::string &v1, const char *n2, const std::string &v2) {
    return Label(n1, v1) + "," + Label(n2, v2);
}
std::string Labels(const char *n1, const std::string &v1, const char *n2, const std::string &v2,
                   const char *n3, const std::string &v3) {
    return Labels(n1, v1, n2, v2) + "," + Label(n3, v3);
}

std::string Number(double v) {
    char text[64];
    if (v == floor(v) && fabs(v) < 9007199254740992.0)
        snprintf(text, sizeof text, "%.0f", v);
    else
        snprintf(text, sizeof text, "%.10g", v);
    return text;
}

const int64_t *Key(const Outputs &o, const char *key) {
    auto it = o.keys.find(key);
    return it == o.keys.end() ? nullptr : &it->second;
}

// Indices into LogRecord::present.
enum { kSystemAC, kSystemDC, kCPU, kMemory, kCooling };

// The newest snapshot's powers. A key the daemon filled with 0 for a slot
// the snapshot did not have is left out when the metric log of that same
// snapshot says so; on a blade the AC figures are that filler too.
void NewestPower(const Outputs &o, Family *f) {
    const int64_t *stamp = Key(o, "QAX_timestamp");
    const bool logMatches =
        o.log && stamp != nullptr && static_cast<uint64_t>(*stamp) == o.log->timestampMs;
    struct Domain {
        const char *label, *prefix;
        int slot;
    };
    const Domain domains[] = {
        {"ac", "QAX_total_ac_power_in_use_", o.blade ? kSystemDC : kSystemAC},
        {"dc", "QAX_total_dc_power_in_use_", o.blade ? kSystemAC : kSystemDC},
        {"cpu", "QAX_consumptionCPU_", kCPU},
        {"memory", "QAX_consumptionMemory_", kMemory},
        {"cooling", "QAX_consumptionCooling_", kCooling},
    };
    for (const Domain &d : domains) {
        if (o.blade && strcmp(d.label, "ac") == 0) continue;
        if (logMatches && !o.log->present[d.slot]) continue;
        for (const char *stat : {"Avg", "Min", "Max"}) {
            const int64_t *v = Key(o, (std::string(d.prefix) + stat).c_str());
            if (v == nullptr || *v < 0) continue;
            std::string s(stat);
            std::transform(s.begin(), s.end(), s.begin(), ::tolower);
            f->samples.push_back({Labels("domain", d.label, "stat", s), static_cast<double>(*v)});
        }
    }
}

// Minimum, average (of the records' averages) and maximum of one value over
// the records with data; `count` receives their number.
struct Span {
    int count = 0;
    double min = 0, sum = 0, max = 0;
    void Add(double lo, double avg, double hi) {
        min = count == 0 ? lo : std::min(min, lo);
        max = count == 0 ? hi : std::max(max, hi);
        sum += avg;
        count++;
    }
};

void AddSpan(Family *f, const std::string &window, const char *domain, const Span &s, double scale,
             bool all) {
    if (s.count == 0) return;
    if (all)
        f->samples.push_back(
            {Labels("window", window, "domain", domain, "stat", "min"), s.min * scale});
    f->samples.push_back(
        {Labels("window", window, "domain", domain, "stat", "avg"), s.sum / s.count * scale});
    if (all)
        f->samples.push_back(
            {Labels("window", window, "domain", domain, "stat", "max"), s.max * scale});
}

}  // namespace

std::vector<Family> BuildFamilies(const Outputs &o) {
    std::vector<Family> out;
    auto family = [&out](const char *name, const char *type, const char *unit, const char *help) {
        out.push_back({name, type, unit, help, {}});
        return &out.back();
    };

    NewestPower(o,
                family("qax_power_watts", "gauge", "watts",
                       "Power of the newest firmware snapshot, by domain (system ac and dc, cpu, "
                       "memory, cooling) and statistic over the snapshot's interval."));

    Family *f = family("qax_psu_power_watts", "gauge", "watts",
                       "Input power of each power supply in the newest snapshot.");
    const int64_t *stamp = Key(o, "QAX_timestamp");
    if (o.log && stamp != nullptr && static_cast<uint64_t>(*stamp) == o.log->timestampMs) {
        for (size_t i = 0; i < o.log->supplies.size(); i++) {
            const auto &e = o.log->supplies[i];  // avg, max, min
            const std::string psu = std::to_string(i);
            f->samples.push_back({Labels("psu", psu, "stat", "avg"), static_cast<double>(e[0])});
            f->samples.push_back({Labels("psu", psu, "stat", "min"), static_cast<double>(e[2])});
            f->samples.push_back({Labels("psu", psu, "stat", "max"), static_cast<double>(e[1])});
        }
    }

    f = family("qax_utilization_ratio", "gauge", "ratio",
               "Utilisation reported by the firmware (0 to 1), by domain.");
    const char *const perfKeys[][2] = {{"system", "QAX_performanceSystem"},
                                       {"cpu", "QAX_performanceCPU"},
                                       {"memory", "QAX_performanceMem"},
                                       {"io", "QAX_performanceIO"}};
    for (const auto &k : perfKeys) {
        const int64_t *v = Key(o, k[1]);
        if (v != nullptr && *v >= 0 && *v <= 100)
            f->samples.push_back({Labels("domain", k[0]), *v / 100.0});
    }

    f = family("qax_snapshot_timestamp_seconds", "gauge", "seconds",
               "Time stamp of the newest firmware snapshot (Unix time).");
    if (stamp != nullptr && *stamp > 0) f->samples.push_back({"", *stamp / 1000.0});

    // The daemon publishes -1 when an hour of the last 24 has no data and 0
    // when it could not write its 24-hour window: neither is a power.
    f = family("qax_power_max_24h_watts", "gauge", "watts",
               "Largest power of the last 24 hours, as the daemon publishes it.");
    const char *const maxKeys[][2] = {{"ac", "QAX_max_ac_last_24hours"},
                                      {"dc", "QAX_max_dc_last_24hours"}};
    for (const auto &k : maxKeys) {
        if (o.blade && strcmp(k[0], "ac") == 0) continue;
        const int64_t *v = Key(o, k[1]);
        if (v != nullptr && *v > 0)
            f->samples.push_back({Labels("domain", k[0]), static_cast<double>(*v)});
    }

    Family *wp =
        family("qax_window_power_watts", "gauge", "watts",
               "Power over the last hours from the daemon's window files: minimum, "
               "average of the records' averages, maximum; records without data left out.");
    Family *wu = family("qax_window_utilization_ratio", "gauge", "ratio",
                        "Utilisation over the last hours from the daemon's window files (0 to 1): "
                        "system minimum, average and maximum, cpu, memory and io averages.");
    Family *wr =
        family("qax_window_records", "gauge", "", "Records with data in a window file (of 24).");
    for (size_t w = 0; w < kWindows.size(); w++) {
        const std::string window = kWindows[w].label;
        if (o.ok.powerWindows[w]) {
            Span ac, dc;
            for (const Record &r : o.powerWindows[w]) {
                if (!PowerValid(r)) continue;
                ac.Add(r.v[0], r.v[1], r.v[2]);
                dc.Add(r.v[3], r.v[4], r.v[5]);
            }
            if (!o.blade) AddSpan(wp, window, "ac", ac, 1, true);
            AddSpan(wp, window, "dc", dc, 1, true);
            wr->samples.push_back({Labels("window", window, "history", "power"), double(dc.count)});
        }
        if (o.ok.performanceWindows[w]) {
            Span sys, cpu, mem, io;
            for (const Record &r : o.performanceWindows[w]) {
                if (!PerformanceValid(r)) continue;
                sys.Add(r.v[0], r.v[1], r.v[2]);
                cpu.Add(r.v[3], r.v[3], r.v[3]);
                mem.Add(r.v[4], r.v[4], r.v[4]);
                io.Add(r.v[5], r.v[5], r.v[5]);
            }
            AddSpan(wu, window, "system", sys, 0.01, true);
            AddSpan(wu, window, "cpu", cpu, 0.01, false);
            AddSpan(wu, window, "memory", mem, 0.01, false);
            AddSpan(wu, window, "io", io, 0.01, false);
            wr->samples.push_back(
                {Labels("window", window, "history", "performance"), double(sys.count)});
        }
    }

    f = family("qax_power_cap_watts", "gauge", "watts",
               "Power-cap limits of the firmware, as last recorded by the daemon.");
    const char *const capKeys[][2] = {{"max", "pcap_max_aim_element_qax"},
                                      {"min", "pcap_min_aim_element_qax"},
                                      {"soft_min", "pcap_soft_min_aim_element_qax"}};
    for (const auto &k : capKeys) {
        const int64_t *v = Key(o, k[1]);
        if (v != nullptr && *v >= 0 && *v <= 65535)
            f->samples.push_back({Labels("limit", k[0]), static_cast<double>(*v)});
    }

    f = family("qax_events", "counter", "",
               "Software events raised by the daemon, by event id (counted from the store's "
               "events table, which keeps the newest 1000).");
    for (const auto &e : o.eventCounts)
        f->samples.push_back(
            {Labels("event", std::to_string(e.first)), static_cast<double>(e.second)});

    f = family("qax_daemon_up", "gauge", "", "1 when a qax daemon of this installation runs.");
    if (o.daemonRunning) f->samples.push_back({"", *o.daemonRunning ? 1.0 : 0.0});

    f = family("qax_snapshot_age_seconds", "gauge", "seconds",
               "Age of the newest firmware snapshot on the controller's clock.");
    if (stamp != nullptr && *stamp > 0)
        f->samples.push_back(
            {"", (static_cast<double>(o.nowMs) - static_cast<double>(*stamp)) / 1000.0});

    f = family("qax_firmware_present", "gauge", "",
               "1 when the firmware answered since the daemon started.");
    if (o.ok.persistentStore) {
        const int64_t *v = Key(o, "qax_supported_0");
        f->samples.push_back({"", v != nullptr && *v == 1 ? 1.0 : 0.0});
    }

    f = family("qax_exporter_source_ok", "gauge", "",
               "1 when qax-export could read a source of the daemon's outputs.");
    auto source = [f](const std::string &name, bool ok) {
        f->samples.push_back({Labels("source", name), ok ? 1.0 : 0.0});
    };
    source("store_volatile", o.ok.volatileStore);
    source("store_persistent", o.ok.persistentStore);
    source("events", o.ok.events);
    source("metric_log", o.ok.metricLog);
    for (size_t w = 0; w < kWindows.size(); w++) {
        source(std::string("power_window_") + kWindows[w].label, o.ok.powerWindows[w]);
        source(std::string("performance_window_") + kWindows[w].label, o.ok.performanceWindows[w]);
    }

    out.erase(std::remove_if(out.begin(), out.end(),
                             [](const Family &fam) { return fam.samples.empty(); }),
              out.end());
    return out;
}

std::string Render(const std::vector<Family> &families, Format format, const std::string &labels) {
    std::string text;
    text.reserve(8192);
    const bool om = format == Format::kOpenMetrics;
    for (const Family &fam : families) {
        const bool counter = strcmp(fam.type, "counter") == 0;
        const std::string sampleName = counter ? fam.name + "_total" : fam.name;
        const std::string metaName = om ? fam.name : sampleName;
        text += "# HELP " + metaName + " " + fam.help + "\n";
        text += "# TYPE " + metaName + " " + fam.type + "\n";
        if (om && fam.unit[0] != '\0') text += "# UNIT " + metaName + " " + fam.unit + "\n";
        for (const Sample &s : fam.samples) {
            text += sampleName;
            const std::string all = labels.empty()     ? s.labels
                                    : s.labels.empty() ? labels
                                                       : labels + "," + s.labels;
            if (!all.empty()) text += "{" + all + "}";
            text += " " + Number(s.value) + "\n";
        }
    }
    if (om) text += "# EOF\n";
    return text;
}

Format Negotiate(const char *accept) {
    if (accept == nullptr) return Format::kOpenMetrics;
    // The highest q among the two formats wins; OpenMetrics on a tie.
    double om = -1, prom = -1;
    std::string header(accept);
    size_t at = 0;
    while (at <= header.size()) {
        size_t end = header.find(',', at);
        if (end == std::string::npos) end = header.size();
        std::string item = header.substr(at, end - at);
        at = end + 1;
        double q = 1;
        size_t qat = item.find("q=");
        if (qat != std::string::npos) q = atof(item.c_str() + qat + 2);
        if (item.find("application/openmetrics-text") != std::string::npos) om = std::max(om, q);
        if (item.find("text/plain") != std::string::npos) prom = std::max(prom, q);
    }
    return prom > om ? Format::kPrometheus : Format::kOpenMetrics;
}

const char *ContentType(Format format) {
    return format == Format::kOpenMetrics
               ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
               : "text/plain; version=0.0.4; charset=utf-8";
}

}  // namespace qaxexport
