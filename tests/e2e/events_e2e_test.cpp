// The real daemon raising events against the emulator: status bits and cap
// changes of the scenario show up in "qax-aim events", each once, the caps
// with their old and new values.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"
#include "test_root.h"

namespace {

TEST(EventsEndToEnd, StatusBitsAndCapChangesAreEachReportedOnce) {
    qaxtest::TestRoot root;
    const std::string scenario = root.Path() + "/scenario.scn";
    // Capping mode 2 puts the limits in force. Snapshots come every 30 s; each
    // change lands in the next one and lasts. At 430 the gate is not met.
    std::ofstream(scenario) << "register 0 9 2\nat 100 status_byte 0x12\nat 200 status_byte 0x32\n"
                               "at 300 status_word 0x000C\nat 400 status_byte 0x02\nat 400 status_word 0x0000\n"
                               "at 430 status_byte 0x14\nat 430 status_word 0x0008\n"
                               "at 500 status_byte 0x02\nat 500 status_word 0x0000\n"
                               "at 560 cap max 700\nat 650 cap min 280\nat 740 cap soft_min 240\nat 1200 sigterm\n";
    const std::map<std::string, std::string> env = {
        {"QAX_ROOT", root.Path()}, {"QAX_CLOCK", "virtual"},      {"QAX_CLOCK_START", "1798761600"},
        {"QAX_IPMI", "sim"},       {"QAX_SIM_SEED", "3"},         {"TZ", "UTC"},
        {"ZOQ_FAMILY", ""},        {"QAX_SIM_SCENARIO", scenario}};
    std::string out;
    ASSERT_EQ(qaxtest::Run({QAX_BINARY}, env, root.Path() + "/daemon.out", &out, 120000), 15) << out;
    const std::string trace = qaxtest::ReadAll(root.Path() + "/tmp/qax_trace/qax_trace_log_0.txt") +
                              qaxtest::ReadAll(root.Path() + "/tmp/qax_trace/qax_trace_log_1.txt");

    // "TIME ID[ old=.. new=..]" per event, oldest first.
    ASSERT_EQ(qaxtest::Run({std::string(QAX_TOOLS_DIR) + "/qax-aim", "events"}, env, root.Path() + "/aim.out", &out),
              0);
    std::istringstream lines(out);
    std::vector<std::string> events;
    for (std::string line; std::getline(lines, line);) events.push_back(line.substr(line.find(' ') + 1));
    EXPECT_EQ(events, (std::vector<std::string>{"127", "126", "125", "117", "118", "130", "131", "115 old=650 new=700",
                                                "114 old=300 new=280", "116 old=250 new=240"}))
        << trace;  // (the old values of the caps are those the first snapshot seeded)
    EXPECT_EQ(trace.find("Pcap can not be read"), std::string::npos);
}

}  // namespace
