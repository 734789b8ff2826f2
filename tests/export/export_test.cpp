// qax-export's exposition built from files and store keys the test writes:
// what is exported, what is left out (unknown, missing, damaged), and that
// promtool accepts the text.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "export_files.h"
#include "process.h"
#include "platform/platform.h"
#include "test_root.h"
#include "tools/export/exposition.h"

namespace {

using qaxexport::Record;

// The samples of the OpenMetrics text.
std::map<std::string, double> Exported(qaxexport::EventCounter *events = nullptr) {
    qaxexport::EventCounter fresh;
    const auto families = qaxexport::BuildFamilies(qaxexport::ReadOutputs(events ? events : &fresh));
    return qaxtest::Samples(qaxexport::Render(families, qaxexport::Format::kOpenMetrics));
}

std::vector<Record> Window(std::vector<Record> records) {
    records.resize(qaxexport::kWindowRecords);  // the rest: records without data
    return records;
}

const std::vector<Record> kPower =
    Window({{1000, {100, 110, 120, 90, 95, 99}}, {0, {0, 0, 0, 0, 0, 0}}, {1300, {105, 130, 150, 80, 100, 120}}});
const std::vector<Record> kPerformance = Window({{1000, {0, 0, 0, 0, 0, 0}},  // a gap's fill
                                                 {1150, {20, 30, 40, 50, 60, 70}}});

TEST(ExportWindows, FiguresOnlyFromWholeFilesAndRecordsWithData) {
    struct Case {
        const char *name;
        std::string image;  // written at the 1-hour power window ("": a FIFO there)
        bool ok, figures;
    };
    const std::string good = qaxtest::WindowImage(kPower);
    const Case cases[] = {
        {"valid", good, true, true},
        {"no data at all", qaxtest::WindowImage(Window({})), true, false},
        {"short", good.substr(0, good.size() - 1), false, false},
        {"count 23", "\x17" + good.substr(1), false, false},
        {"a FIFO", "", false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        qaxtest::TestRoot root;
        const std::string path = root.Path() + "/tmp/PowerHistoryLast1Hour";
        qaxtest::WriteFile(root.Path() + "/tmp/PowerPerformanceLast1Hour", qaxtest::WindowImage(kPerformance));
        if (c.image.empty())
            ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        else
            qaxtest::WriteFile(path, c.image);
        auto s = Exported();
        EXPECT_EQ(s["qax_exporter_source_ok{source=\"power_window_1h\"}"], c.ok ? 1 : 0);
        const std::string ac = "qax_window_power_watts{window=\"1h\",domain=\"ac\",stat=";
        EXPECT_EQ(s.count(ac + "\"avg\"}"), c.figures ? 1u : 0u);
        EXPECT_EQ(s.count("qax_window_records{window=\"1h\",history=\"power\"}"), c.ok ? 1u : 0u);
        if (c.figures) {
            EXPECT_EQ(s[ac + "\"min\"}"], 100);
            EXPECT_EQ(s[ac + "\"avg\"}"], 120);
            EXPECT_EQ(s[ac + "\"max\"}"], 150);
            EXPECT_EQ(s["qax_window_power_watts{window=\"1h\",domain=\"dc\",stat=\"avg\"}"], 97.5);
            EXPECT_EQ(s["qax_window_records{window=\"1h\",history=\"power\"}"], 2);
        }
        // The performance window beside it: the all-zero fill is no data.
        EXPECT_DOUBLE_EQ(s["qax_window_utilization_ratio{window=\"1h\",domain=\"io\",stat=\"avg\"}"], 0.7);
        EXPECT_EQ(s["qax_window_records{window=\"1h\",history=\"performance\"}"], 1);
    }
}

TEST(ExportStore, KeysBecomeSamplesOnlyWhenTheyHoldAFigure) {
    qaxtest::TestRoot root;
    const int64_t stamp = 1798762290000;  // the known record's
    // Each key, its value, and the sample it gives (-1: none).
    const struct {
        const char *key;
        int64_t value;
        const char *sample;
        double want;
    } keys[] = {
        {"QAX_total_ac_power_in_use_Avg", 361, "qax_power_watts{domain=\"ac\",stat=\"avg\"}", 361},
        {"QAX_consumptionMemory_Avg", 0, "qax_power_watts{domain=\"memory\",stat=\"avg\"}", -1},  // not in the log
        {"QAX_timestamp", stamp, "qax_snapshot_timestamp_seconds", 1798762290},
        {"QAX_performanceCPU", 35, "qax_utilization_ratio{domain=\"cpu\"}", 0.35},
        {"QAX_performanceIO", 150, "qax_utilization_ratio{domain=\"io\"}", -1},
        {"QAX_max_ac_last_24hours", -1, "qax_power_max_24h_watts{domain=\"ac\"}", -1},
        {"QAX_max_dc_last_24hours", 480, "qax_power_max_24h_watts{domain=\"dc\"}", 480},
    };
    for (const auto &k : keys) ASSERT_TRUE(aim_config_set_int64(k.key, k.value, 0));
    ASSERT_TRUE(aim_config_set_int("pcap_min_aim_element_qax", 300, 1));
    ASSERT_TRUE(aim_config_set_bool("qax_supported_0", 1, 1));
    ASSERT_EQ(mkdir((root.Path() + "/tmp/qax_log").c_str(), 0755), 0);
    qaxtest::WriteFile(root.Path() + "/tmp/qax_log/qax_last.log", std::string(1, '\x07'));
    qaxtest::WriteFile(root.Path() + "/tmp/qax_log/qax_7.log", qaxtest::KnownRecord());

    auto s = Exported();
    for (const auto &k : keys) EXPECT_DOUBLE_EQ(s.count(k.sample) ? s[k.sample] : -1, k.want) << k.sample;
    EXPECT_EQ(s["qax_psu_power_watts{psu=\"1\",stat=\"max\"}"], 179);
    EXPECT_EQ(s["qax_power_cap_watts{limit=\"min\"}"], 300);
    EXPECT_EQ(s["qax_firmware_present"], 1);
    EXPECT_EQ(s["qax_daemon_up"], 0);

    // A log of another snapshot says nothing about this one's slots.
    ASSERT_TRUE(aim_config_set_int64("QAX_timestamp", stamp + 30000, 0));
    s = Exported();
    EXPECT_EQ(s.count("qax_psu_power_watts{psu=\"1\",stat=\"max\"}"), 0u);
    EXPECT_EQ(s.count("qax_power_watts{domain=\"memory\",stat=\"avg\"}"), 1u);

    // A damaged store: no figures from it, and the health figure says so.
    aim_config_close();
    qaxtest::WriteFile(root.Path() + "/tmp/aim/aim.db", std::string(4096, 'x'));
    unlink((root.Path() + "/tmp/aim/aim.db-wal").c_str());
    unlink((root.Path() + "/tmp/aim/aim.db-shm").c_str());
    s = Exported();
    EXPECT_EQ(s["qax_exporter_source_ok{source=\"store_volatile\"}"], 0);
    EXPECT_EQ(s.count("qax_power_watts{domain=\"ac\",stat=\"avg\"}"), 0u);
    EXPECT_EQ(s["qax_power_cap_watts{limit=\"min\"}"], 300);
}

TEST(ExportEvents, CountersNeverGoDownWhenTheStoreDropsOldEvents) {
    qaxtest::TestRoot root;
    char texts[128] = "300\0";
    memcpy(texts + 64, "350", 4);
    ASSERT_EQ(sw_msg_dispatcher(115, texts), 0);
    ASSERT_EQ(sw_msg_dispatcher(115, texts), 0);
    ASSERT_EQ(sw_msg_dispatcher(127, nullptr), 0);
    qaxexport::EventCounter events;
    auto s = Exported(&events);
    EXPECT_EQ(s["qax_events_total{event=\"115\"}"], 2);
    EXPECT_EQ(s["qax_events_total{event=\"127\"}"], 1);

    sqlite3 *db = nullptr;  // the store's pruning of its oldest rows
    ASSERT_EQ(sqlite3_open((root.Path() + "/pstorage/aim/aim.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DELETE FROM events WHERE event = 115", 0, 0, 0), SQLITE_OK);
    sqlite3_close(db);
    ASSERT_EQ(sw_msg_dispatcher(127, nullptr), 0);
    s = Exported(&events);
    EXPECT_EQ(s["qax_events_total{event=\"115\"}"], 2);
    EXPECT_EQ(s["qax_events_total{event=\"127\"}"], 2);
}

// What node_exporter and promtool read: the Prometheus text through
// "--textfile", renamed into place, nothing left beside it, and no time stamp
// on any sample (node_exporter drops a file that has one). promtool (Debian 12)
// lints this format only; Prometheus itself parses the OpenMetrics text in the
// fleet test.
TEST(ExportText, PromtoolAcceptsTheTextfile) {
    if (system("command -v promtool >/dev/null") != 0)
        GTEST_SKIP() << "promtool not installed (Debian package prometheus; scripts/setup)";
    qaxtest::TestRoot root;
    qaxtest::WriteFile(root.Path() + "/tmp/PowerHistoryLast1Hour", qaxtest::WindowImage(kPower));
    ASSERT_TRUE(aim_config_set_int64("QAX_total_ac_power_in_use_Avg", 361, 0));
    ASSERT_EQ(sw_msg_dispatcher(127, nullptr), 0);
    const std::string dir = root.Path() + "/textfile", file = dir + "/qax.prom";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::string out;
    ASSERT_EQ(qaxtest::Run({QAX_TOOLS_DIR "/qax-export", "--textfile", dir}, {{"QAX_ROOT", root.Path()}},
                           root.Path() + "/export.out", &out),
              0)
        << out;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
    const std::string written = qaxtest::ReadAll(file);
    EXPECT_NE(written.find("qax_events_total{event=\"127\"} 1\n"), std::string::npos) << written;
    EXPECT_EQ(written.find("# UNIT"), std::string::npos);
    std::istringstream lines(written);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line[0] == '#' || std::count(line.begin(), line.end(), ' ') == 1) << line;
    EXPECT_EQ(system(("promtool check metrics < " + file + " >&2").c_str()), 0) << written;
}

}  // namespace
