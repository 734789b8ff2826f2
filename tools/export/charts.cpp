// SVG charts and the page; see charts.h.
#include "tools/export/charts.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include <algorithm>

namespace qaxexport {

namespace {

constexpr double kDay = 86400;
constexpr int kPlotWidth = kChartWidth - kPlotLeft - kPlotRight;
constexpr int kPlotHeight = kChartHeight - kPlotTop - kPlotBottom;

struct Series {
    const char *name, *color;
    int lo, avg, hi;  // value indices; lo < 0: no band
};
const Series kPowerSeries[] = {{"AC", "#c0392b", 0, 1, 2}, {"DC", "#2471a3", 3, 4, 5}};
const Series kPerformanceSeries[] = {{"system", "#1e8449", 0, 1, 2},
                                     {"CPU", "#c0392b", -1, 3, -1},
                                     {"memory", "#7d3c98", -1, 4, -1},
                                     {"I/O", "#d68910", -1, 5, -1}};

std::string Fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char *format, ...) {
    char text[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    return text;
}

bool Valid(Chart chart, const Record &r) {
    return chart == Chart::kPower ? r.timestamp != 0 && PowerValid(r) : PerformanceValid(r);
}

// Runs of consecutive samples with data: an unknown sample, or a hole in the
// times longer than one period, ends a run.
std::vector<std::vector<const Record *>> Runs(Chart chart, const std::vector<Record> &records,
                                              uint32_t start) {
    std::vector<std::vector<const Record *>> runs;
    const Record *previous = nullptr;
    for (const Record &r : records) {
        if (!Valid(chart, r) || r.timestamp < start) {
            previous = nullptr;
            continue;
        }
        if (previous == nullptr || r.timestamp - previous->timestamp > 3 * kSlotSeconds / 2 ||
            r.timestamp <= previous->timestamp)
            runs.emplace_back();
        runs.back().push_back(&r);
        previous = &r;
    }
    return runs;
}

std::string Legend(const Series *series, size_t n, bool blade) {
    std::string out;
    int x = kPlotLeft + 220;
    for (size_t i = 0; i < n; i++) {
        if (blade && std::string(series[i].name) == "AC") continue;
        const std::string label =
            std::string(series[i].name) + (series[i].lo >= 0 ? " (avg, min-max band)" : "");
        out += Fmt("<rect x=\"%d\" y=\"12\" width=\"14\" height=\"4\" fill=\"%s\"/>", x,
                   series[i].color);
        out += Fmt("<text x=\"%d\" y=\"18\">%s</text>", x + 18, label.c_str());
        x += 34 + 7 * static_cast<int>(label.size());  // about 7 px a character
    }
    return out;
}

// The smallest step of 1, 2 or 5 times a power of ten that divides `top`
// into at most six parts.
double Step(double top) {
    for (double decade = 1;; decade *= 10)
        for (double m : {1.0, 2.0, 5.0})
            if (top / (m * decade) <= 6) return m * decade;
}

}  // namespace

double ScaleTop(Chart chart, const std::vector<Record> &records, bool blade) {
    if (chart == Chart::kPerformance) return 100;
    double top = 0;
    for (const Record &r : records) {
        if (!Valid(chart, r)) continue;
        if (!blade) top = std::max<double>(top, r.v[2]);
        top = std::max<double>(top, r.v[5]);
    }
    if (top <= 0) return 100;
    const double step = Step(top);
    return ceil(top / step) * step;
}

std::string RenderChart(Chart chart, const std::vector<Record> &records, bool blade,
                        bool standalone) {
    const bool power = chart == Chart::kPower;
    std::string svg =
        Fmt("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d "
            "%d\" "
            "font-family=\"sans-serif\" font-size=\"12\">",
            kChartWidth, kChartHeight, kChartWidth, kChartHeight);
    if (standalone) svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + svg;
    svg += Fmt("<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>", kChartWidth, kChartHeight);
    svg += Fmt("<text x=\"%d\" y=\"18\" font-weight=\"bold\">%s, last 24 hours</text>", kPlotLeft,
               power ? "Power" : "Utilisation");
    svg += power ? Legend(kPowerSeries, 2, blade) : Legend(kPerformanceSeries, 4, false);

    uint32_t end = 0;
    for (const Record &r : records) end = std::max(end, r.timestamp);
    const double top = ScaleTop(chart, records, blade);
    const int bottomY = kPlotTop + kPlotHeight;
    auto X = [&](uint32_t t) { return kPlotLeft + (t - (end - kDay)) / kDay * kPlotWidth; };
    auto Y = [&](double v) { return bottomY - std::min(v, top) / top * kPlotHeight; };

    // Value grid and labels.
    const double step = power ? Step(top) : 20;
    for (double v = 0; v <= top + 1e-9; v += step) {
        svg += Fmt("<line x1=\"%d\" x2=\"%d\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#e5e5e5\"/>",
                   kPlotLeft, kPlotLeft + kPlotWidth, Y(v), Y(v));
        svg += Fmt("<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%g %s</text>", kPlotLeft - 6,
                   Y(v) + 4, v, power ? "W" : "%");
    }
    svg +=
        Fmt("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#999999\"/>",
            kPlotLeft, kPlotTop, kPlotWidth, kPlotHeight);
    if (end < kDay) {
        svg += Fmt("<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">no history yet</text>",
                   kPlotLeft + kPlotWidth / 2, kPlotTop + kPlotHeight / 2);
        return svg + "</svg>\n";
    }
    const uint32_t start = end - static_cast<uint32_t>(kDay);

    // Hour ticks on the controller's local time; a label every three hours.
    time_t t = start;
    struct tm tm;
    localtime_r(&t, &tm);
    t += (60 - tm.tm_min) % 60 * 60 - tm.tm_sec;
    if (t < static_cast<time_t>(start)) t += 3600;
    for (; t <= static_cast<time_t>(end); t += 3600) {
        localtime_r(&t, &tm);
        const double x = X(static_cast<uint32_t>(t));
        svg += Fmt("<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%d\" y2=\"%d\" stroke=\"%s\"/>", x, x,
                   kPlotTop, bottomY + (tm.tm_hour % 3 == 0 ? 6 : 3),
                   tm.tm_hour % 3 == 0 ? "#d0d0d0" : "#f0f0f0");
        if (tm.tm_hour % 3 == 0)
            svg += Fmt("<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%02d:00</text>", x,
                       bottomY + 20, tm.tm_hour);
    }

    const auto runs = Runs(chart, records, start);
    const Series *series = power ? kPowerSeries : kPerformanceSeries;
    const size_t count = power ? 2 : 4;
    for (int pass = 0; pass < 2; pass++) {  // bands below, lines above
        for (size_t s = 0; s < count; s++) {
            const Series &se = series[s];
            if (blade && power && s == 0) continue;
            for (const auto &run : runs) {
                std::string d;
                if (pass == 0) {
                    if (se.lo < 0) continue;
                    for (const Record *r : run)
                        d += Fmt("%s%.1f %.1f ", d.empty() ? "M" : "L", X(r->timestamp),
                                 Y(r->v[se.hi]));
                    for (auto it = run.rbegin(); it != run.rend(); ++it)
                        d += Fmt("L%.1f %.1f ", X((*it)->timestamp), Y((*it)->v[se.lo]));
                    // The path itself is longer than Fmt's buffer.
                    svg += "<path d=\"" + d + "Z\"" +
                           Fmt(" fill=\"%s\" fill-opacity=\"0.2\" stroke=\"none\"/>", se.color);
                } else {
                    for (const Record *r : run)
                        d += Fmt("%s%.1f %.1f ", d.empty() ? "M" : "L", X(r->timestamp),
                                 Y(r->v[se.avg]));
                    if (run.size() == 1) d += "h0.1";
                    svg += "<path d=\"" + d + "\"" +
                           Fmt(" fill=\"none\" stroke=\"%s\" stroke-width=\"2\" "
                               "stroke-linejoin=\"round\" stroke-linecap=\"round\"/>",
                               se.color);
                }
            }
        }
    }
    return svg + "</svg>\n";
}

bool ReadFullHistory(Chart chart, std::vector<Record> *out) {
    std::string bytes;
    const char *path = chart == Chart::kPower ? "/pstorage/power/PowerHistoryFull"
                                              : "/pstorage/power/PowerPerformanceFull";
    if (!ReadDaemonFile(path, 2 + kFullSlots * 16, &bytes) || !ParseFullFile(bytes, out)) {
        out->clear();
        return false;
    }
    return true;
}

std::string RenderPage(const Outputs &o, const std::vector<Record> &power,
                       const std::vector<Record> &performance) {
    std::string html =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>qax</title>"
        "<meta http-equiv=\"refresh\" content=\"60\">"
        "<style>body{margin:0;font-family:sans-serif;font-size:14px}"
        "header{height:" +
        std::to_string(kPageHeader) +
        "px;overflow:hidden;padding:0 12px;line-height:40px;font-weight:bold}"
        "svg{display:block}table{border-collapse:collapse;margin:12px}"
        "td,th{padding:2px 10px;text-align:right}th:first-child,td:first-child{text-align:left}"
        "</style></head><body>\n";
    auto key = [&o](const std::string &k) -> const int64_t * {
        auto it = o.keys.find(k);
        return it == o.keys.end() || it->second < 0 ? nullptr : &it->second;
    };
    std::string when = "no snapshot yet";
    if (const int64_t *stamp = key("QAX_timestamp")) {
        time_t t = static_cast<time_t>(*stamp / 1000);
        struct tm tm;
        char text[64];
        localtime_r(&t, &tm);
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &tm);
        when = std::string("newest snapshot ") + text;
    }
    html += "<header>qax &mdash; " + when +
            (o.daemonRunning && !*o.daemonRunning ? " (daemon not running)" : "") + "</header>\n";
    html += RenderChart(Chart::kPower, power, o.blade, false);
    html += RenderChart(Chart::kPerformance, performance, o.blade, false);

    html += "<table><tr><th>Power (W)</th><th>avg</th><th>min</th><th>max</th></tr>\n";
    const char *const rows[][2] = {{"System AC", "QAX_total_ac_power_in_use_"},
                                   {"System DC", "QAX_total_dc_power_in_use_"},
                                   {"CPU", "QAX_consumptionCPU_"},
                                   {"Memory", "QAX_consumptionMemory_"},
                                   {"Cooling", "QAX_consumptionCooling_"}};
    for (const auto &row : rows) {
        if (o.blade && std::string(row[0]) == "System AC") continue;
        html += std::string("<tr><td>") + row[0] + "</td>";
        for (const char *stat : {"Avg", "Min", "Max"}) {
            const int64_t *v = key(std::string(row[1]) + stat);
            html += "<td>" + (v ? std::to_string(*v) : std::string("&ndash;")) + "</td>";
        }
        html += "</tr>\n";
    }
    html += "<tr><th>Utilisation (%)</th><th></th><th></th><th></th></tr>\n";
    const char *const perf[][2] = {{"System", "QAX_performanceSystem"},
                                   {"CPU", "QAX_performanceCPU"},
                                   {"Memory", "QAX_performanceMem"},
                                   {"I/O", "QAX_performanceIO"}};
    for (const auto &row : perf) {
        const int64_t *v = key(row[1]);
        html += std::string("<tr><td>") + row[0] + "</td><td>" +
                (v ? std::to_string(*v) : std::string("&ndash;")) +
                "</td><td></td><td></td></tr>\n";
    }
    html += "</table>\n</body></html>\n";
    return html;
}

}  // namespace qaxexport
