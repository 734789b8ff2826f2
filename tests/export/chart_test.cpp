// The page as a person sees it: qax-export renders it from a full power
// history the test writes, headless Chromium takes a picture, and the test
// looks at the pixels: the lines where the figures put them, a gap where the
// samples are unknown, hour ticks on the controller's local time.
#include <gtest/gtest.h>
#include <png.h>

#include "export_files.h"
#include "process.h"
#include "test_root.h"
#include "tools/export/charts.h"

namespace {

using qaxexport::Record;

constexpr uint32_t kEnd = 1798761600;  // newest sample: 2027-01-01 00:00 UTC
constexpr uint16_t kUnknown = qaxexport::kUnknownPower;

struct Picture {
    int width = 0, height = 0;
    std::vector<png_byte> rgba;
    const png_byte *At(int x, int y) const { return &rgba[4 * (size_t(y) * width + x)]; }
};

bool LoadPng(const std::string &path, Picture *p) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGBA;
    p->width = int(image.width);
    p->height = int(image.height);
    p->rgba.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, p->rgba.data(), 0, nullptr) != 0;
}

// Rows of column x, within the plot, whose pixel is close to `rgb`.
std::vector<int> Rows(const Picture &p, int x, unsigned rgb) {
    std::vector<int> rows;
    const int top = qaxexport::kPageHeader + qaxexport::kPlotTop;
    const int bottom = qaxexport::kPageHeader + qaxexport::kChartHeight - qaxexport::kPlotBottom;
    for (int y = top; y <= bottom; y++) {
        const png_byte *px = p.At(x, y);
        if (abs(px[0] - int(rgb >> 16)) + abs(px[1] - int(rgb >> 8 & 255)) + abs(px[2] - int(rgb & 255)) < 60)
            rows.push_back(y);
    }
    return rows;
}
double Mean(const std::vector<int> &v) {
    double sum = 0;
    for (int x : v) sum += x;
    return v.empty() ? -1 : sum / v.size();
}

// Where the chart draws time t and value v (400 W at the top: the largest
// value is 360 W), in the page's pixels.
int X(double t) {
    const int width = qaxexport::kChartWidth - qaxexport::kPlotLeft - qaxexport::kPlotRight;
    return int(qaxexport::kPlotLeft + (t - (kEnd - 86400.0)) / 86400.0 * width + 0.5);
}
double Y(double v) {
    const int height = qaxexport::kChartHeight - qaxexport::kPlotTop - qaxexport::kPlotBottom;
    return qaxexport::kPageHeader + qaxexport::kPlotTop + (1 - v / 400) * height;
}
uint32_t SlotTime(int k) { return kEnd - uint32_t(575 - k) * 150; }

TEST(ExportChart, ChromiumShowsLinesGapsAndLocalHours) {
    if (system("command -v chromium >/dev/null") != 0)
        GTEST_SKIP() << "chromium not installed (Debian package chromium; scripts/setup installs it)";
    qaxtest::TestRoot root;
    // AC 350 W then 250 W (band 10 W either side), DC 150 W, and an unknown
    // stretch of 40 samples (100 minutes).
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
    const std::string page = root.Path() + "/page.html", png = root.Path() + "/page.png";
    std::string out;
    // India is 5:30 ahead of UTC: its hours fall on the half hours of UTC.
    const std::map<std::string, std::string> env = {{"QAX_ROOT", root.Path()}, {"TZ", "Asia/Kolkata"}};
    ASSERT_EQ(qaxtest::Run({std::string(QAX_TOOLS_DIR) + "/qax-export", "--page", page}, env,
                           root.Path() + "/export.out", &out),
              0);
    const std::string chromium =
        "chromium --headless --no-sandbox --disable-gpu "
        "--disable-background-networking --disable-component-update "
        "--disable-sync --no-first-run --disable-quic --hide-scrollbars "
        "--force-device-scale-factor=1 --window-size=800,600 --user-data-dir=" +
        root.Path() + "/chromium --screenshot=" + png + " file://" + page + " >/dev/null 2>&1";
    ASSERT_EQ(system(("timeout 60 " + chromium).c_str()), 0);
    Picture p;
    ASSERT_TRUE(LoadPng(png, &p));
    ASSERT_EQ(p.width, 800);

    const unsigned ac = 0xc0392b, dc = 0x2471a3;
    for (int k : {60, 150, 280}) {
        EXPECT_NEAR(Mean(Rows(p, X(SlotTime(k)), ac)), Y(350), 1.5) << "slot " << k;
        EXPECT_NEAR(Mean(Rows(p, X(SlotTime(k)), dc)), Y(150), 1.5) << "slot " << k;
    }
    for (int k : {340, 450, 560}) EXPECT_NEAR(Mean(Rows(p, X(SlotTime(k)), ac)), Y(250), 1.5) << "slot " << k;
    for (int k : {205, 220, 235}) {  // the unknown stretch: nothing drawn
        EXPECT_TRUE(Rows(p, X(SlotTime(k)), ac).empty()) << "slot " << k;
        EXPECT_TRUE(Rows(p, X(SlotTime(k)), dc).empty()) << "slot " << k;
    }
    // Ticks below the plot: at 00:00 India time (18:30 UTC), not at 18:00 UTC.
    const int tickRow = qaxexport::kPageHeader + qaxexport::kChartHeight - qaxexport::kPlotBottom + 4;
    auto darkest = [&](int x) {
        int v = 255;
        for (int dx = -1; dx <= 1; dx++) v = std::min<int>(v, p.At(x + dx, tickRow)[1]);
        return v;
    };
    EXPECT_LT(darkest(X(kEnd - 5.5 * 3600)), 235);
    EXPECT_GT(darkest(X(kEnd - 6 * 3600)), 250);
}

}  // namespace
