// The power chart's geometry, read from the SVG of the page "qax-export --page"
// writes from a full power history the test writes: the lines where the
// figures put them, a gap where the samples are unknown, hour ticks on the
// controller's local time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "export_files.h"
#include "process.h"
#include "test_root.h"
#include "tools/export/charts.h"

namespace {

using qaxexport::Record;
using Points = std::vector<std::pair<double, double>>;

constexpr uint32_t kEnd = 1798761600;  // newest sample: 2027-01-01 00:00 UTC
constexpr uint16_t kUnknown = qaxexport::kUnknownPower;

// Where the chart draws time t and value v (400 W at the top: the largest
// value is 360 W).
double X(double t) {
    const int width = qaxexport::kChartWidth - qaxexport::kPlotLeft - qaxexport::kPlotRight;
    return qaxexport::kPlotLeft + (t - (kEnd - 86400.0)) / 86400.0 * width;
}
double Y(double v) {
    const int height = qaxexport::kChartHeight - qaxexport::kPlotTop - qaxexport::kPlotBottom;
    return qaxexport::kPlotTop + (1 - v / 400) * height;
}
uint32_t SlotTime(int k) { return kEnd - uint32_t(575 - k) * 150; }

// The points of each line drawn in `color`, in drawing order.
std::vector<Points> Lines(const std::string &svg, const std::string &color) {
    std::vector<Points> lines;
    const std::regex path("<path d=\"([^\"]*)\" fill=\"none\" stroke=\"" + color + "\""),
        point("[ML]([\\d.]+) ([\\d.]+)");
    for (std::sregex_iterator p(svg.begin(), svg.end(), path), end; p != end; ++p) {
        const std::string d = (*p)[1];
        lines.emplace_back();
        for (std::sregex_iterator q(d.begin(), d.end(), point); q != end; ++q)
            lines.back().push_back({std::stod((*q)[1]), std::stod((*q)[2])});
    }
    return lines;
}

TEST(ExportChart, LinesGapsAndLocalHours) {
    qaxtest::TestRoot root;
    // AC 350 W then 250 W (band 10 W either side), DC 150 W, and an unknown
    // stretch of 40 samples (100 minutes), in a ring whose next slot is 123.
    std::vector<Record> slots;
    for (int k = 0; k < 576; k++) {
        const uint16_t ac = k < 300 ? 350 : 250;
        if (k >= 200 && k < 240)
            slots.push_back({SlotTime(k), {kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, kUnknown}});
        else
            slots.push_back({SlotTime(k), {uint16_t(ac - 10), ac, uint16_t(ac + 10), 140, 150, 160}});
    }
    ASSERT_EQ(mkdir((root.Path() + "/pstorage/power").c_str(), 0755), 0);
    qaxtest::WriteFile(root.Path() + "/pstorage/power/PowerHistoryFull", qaxtest::FullImage(slots, 123));
    // India is 5:30 ahead of UTC: its hours fall on the half hours of UTC. (No
    // performance history: its chart draws nothing.)
    const std::string page = root.Path() + "/page.html";
    ASSERT_EQ(qaxtest::Run({QAX_TOOLS_DIR "/qax-export", "--page", page},
                           {{"QAX_ROOT", root.Path()}, {"TZ", "Asia/Kolkata"}}, root.Path() + "/export.out", nullptr),
              0);
    const std::string svg = qaxtest::ReadAll(page);

    for (const char *color : {"#c0392b", "#2471a3"}) {  // AC, DC
        SCOPED_TRACE(color);
        const std::vector<Points> lines = Lines(svg, color);
        ASSERT_EQ(lines.size(), 2u);  // broken where the samples are unknown
        ASSERT_EQ(lines[0].size(), 200u);
        ASSERT_EQ(lines[1].size(), 336u);
        for (int k : {0, 199, 240, 299, 300, 575}) {
            const auto &at = k < 200 ? lines[0][k] : lines[1][k - 240];
            EXPECT_NEAR(at.first, X(SlotTime(k)), 0.06) << "slot " << k;
            EXPECT_NEAR(at.second, Y(color[1] == '2' ? 150 : k < 300 ? 350 : 250), 0.06) << "slot " << k;
        }
    }
    // The labelled tick of 00:00 India time lies at 18:30 UTC.
    char label[96];
    snprintf(label, sizeof label, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">00:00</text>", X(kEnd - 5.5 * 3600),
             qaxexport::kChartHeight - qaxexport::kPlotBottom + 20);
    EXPECT_NE(svg.find(label), std::string::npos) << svg.substr(0, 3000);
}

}  // namespace
