// SVG charts of the two full histories and the small page that shows them
// beside the newest figures. No script: the page is plain HTML with inline SVG.
#ifndef QAX_TOOLS_EXPORT_CHARTS_H
#define QAX_TOOLS_EXPORT_CHARTS_H

#include <string>
#include <vector>

#include "tools/export/reader.h"

namespace qaxexport {

enum class Chart { kPower, kPerformance };

// The drawing's geometry, fixed so that a picture of it can be checked: the
// plot area spans [kPlotLeft, kChartWidth - kPlotRight] across 24 hours ending
// at the newest sample, and [kPlotTop, kChartHeight - kPlotBottom] from the
// scale's top value down to 0.
constexpr int kChartWidth = 800;
constexpr int kChartHeight = 260;
constexpr int kPlotLeft = 60;
constexpr int kPlotRight = 20;
constexpr int kPlotTop = 30;
constexpr int kPlotBottom = 40;
// The page's header above the two charts, in CSS pixels.
constexpr int kPageHeader = 40;

// The top of the value axis: the largest value rounded up to a step of 1, 2
// or 5 times a power of ten (at most six steps); 100 for utilisation.
double ScaleTop(Chart chart, const std::vector<Record> &oldestFirst, bool blade);

// One chart of a full history (records oldest first, as ParseFullFile gives
// them; empty = no history). Unknown samples are gaps; hour ticks in the
// local time zone (TZ).
std::string RenderChart(Chart chart, const std::vector<Record> &oldestFirst, bool blade,
                        bool standalone);

// Reads a full history file of the daemon; false when missing or damaged.
bool ReadFullHistory(Chart chart, std::vector<Record> *oldestFirst);

// The page: header, the two charts, the newest figures.
std::string RenderPage(const Outputs &o, const std::vector<Record> &power,
                       const std::vector<Record> &performance);

}  // namespace qaxexport

#endif
