// The real daemon raising events against the emulator: status bits and cap
// changes on the scenario's timeline show up in "qax-aim events", each once,
// with the old and new values of the caps; and qax-psu describing the
// emulator's power-supply configurations.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"
#include "test_root.h"

namespace {

class EventsEndToEnd : public ::testing::Test {
  protected:
    std::map<std::string, std::string> Env() const {
        return {{"QAX_ROOT", root_.Path()}, {"QAX_CLOCK", "virtual"},
                {"QAX_CLOCK_START", "1798761600"}, {"QAX_IPMI", "sim"},
                {"QAX_SIM_SEED", "3"}, {"TZ", "UTC"}, {"ZOQ_FAMILY", ""},
                {"QAX_SIM_SCENARIO", root_.Path() + "/scenario.scn"}};
    }
    void Scenario(const std::string &text) const {
        std::ofstream(root_.Path() + "/scenario.scn") << text;
    }
    std::string Tool(const std::string &name, const std::vector<std::string> &args,
                     int *status = nullptr) const {
        std::vector<std::string> argv = {std::string(QAX_TOOLS_DIR) + "/" + name};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        int rc = qaxtest::Run(argv, Env(), root_.Path() + "/" + name + ".out", &out);
        if (status != nullptr) *status = rc;
        return out;
    }
    std::string Trace() const {
        return qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt") +
               qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_1.txt");
    }
    static int Count(const std::string &text, const std::string &what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
        return n;
    }
    qaxtest::TestRoot root_;
};

// "qax-aim events" lines without their time stamp: "ID[ old=.. new=..]".
std::vector<std::string> WithoutTime(const std::string &events) {
    std::vector<std::string> out;
    std::istringstream in(events);
    std::string line;
    while (std::getline(in, line)) {
        size_t space = line.find(' ');
        out.push_back(space == std::string::npos ? line : line.substr(space + 1));
    }
    return out;
}

TEST_F(EventsEndToEnd, StatusBitsAndCapChangesAreEachReportedOnce) {
    // Snapshots every 30 s; every change lands in the next one and lasts.
    Scenario(
        "register 0 9 2\n"  // capping mode 2: the limits are in force
        "at 100 status_byte 0x12\n"
        "at 200 status_byte 0x32\n"
        "at 300 status_word 0x000C\n"
        "at 400 status_byte 0x02\n"
        "at 400 status_word 0x0000\n"
        "at 430 status_byte 0x14\n"  // gate not met: no event either way
        "at 430 status_word 0x0008\n"
        "at 500 status_byte 0x02\n"
        "at 500 status_word 0x0000\n"
        "at 560 cap max 700\n"
        "at 650 cap min 280\n"
        "at 740 cap soft_min 240\n"
        "at 1200 sigterm\n");
    const std::string out = root_.Path() + "/daemon.out";
    std::string stdoutText;
    ASSERT_EQ(qaxtest::Run({QAX_BINARY}, Env(), out, &stdoutText, 120000), 15) << stdoutText;

    std::vector<std::string> events = WithoutTime(Tool("qax-aim", {"events"}));
    const std::vector<std::string> expected = {
        "127", "126", "125", "117", "118", "130", "131",
        "115 old=650 new=700", "114 old=300 new=280", "116 old=250 new=240"};
    EXPECT_EQ(events, expected) << Trace();

    // The first new data seeded the store from the firmware; the changes
    // then replaced the values.
    EXPECT_EQ(Tool("qax-aim", {"get", "pcap_max_aim_element_qax"}), "700\n");
    EXPECT_EQ(Tool("qax-aim", {"get", "pcap_min_aim_element_qax"}), "280\n");
    EXPECT_EQ(Tool("qax-aim", {"get", "pcap_soft_min_aim_element_qax"}), "240\n");
    const std::string trace = Trace();
    EXPECT_EQ(Count(trace, "[DBG] \"SendPowerCapsChangedEvent\": SendPowerCapsChangedEvent: "
                           "succeeds to get [pcap_max_aim_element_qax] from qax and value:[650]"),
              1)
        << trace;
    EXPECT_EQ(Count(trace, "Generate sw message"), 0) << trace;
    EXPECT_EQ(Count(trace, "Pcap can not be read"), 0) << trace;
}

// A daemon restarted with the store already seeded raises nothing for caps
// that did not change while it was away, and reports a lasting status bit
// again (the latches start afresh with the process).
TEST_F(EventsEndToEnd, RestartKeepsCapsButReportsLastingStatusAgain) {
    Scenario("register 0 9 5\nat 50 status_byte 0x12\nat 200 sigterm\n");
    const std::string out = root_.Path() + "/daemon.out";
    ASSERT_EQ(qaxtest::Run({QAX_BINARY}, Env(), out, nullptr, 120000), 15);
    Scenario("register 0 9 5\nat 10 status_byte 0x12\nat 200 sigterm\n");
    ASSERT_EQ(qaxtest::Run({QAX_BINARY}, Env(), out, nullptr, 120000), 15);
    EXPECT_EQ(WithoutTime(Tool("qax-aim", {"events"})), (std::vector<std::string>{"127", "127"}))
        << Trace();
}

TEST_F(EventsEndToEnd, QaxPsuDescribesTheConfigurations) {
    Scenario(
        "extended_caps 0x23C\n"
        "register 0 16 1\n"  // power control policy bit 0: usable by property bit 2
        "psu_type 900\n"
        "psu_type 750\n"
        "psu_config 1 0x07 2 1 0 1 0 1\n"
        "psu_config 2 0x5E 2 1 1 1 0 0\n"
        "psu_config 3 0x7E 1 1 0 0\n");
    int status = -1;
    EXPECT_EQ(Tool("qax-psu", {}, &status),
              "Power control policy: 0x01\n"
              "Redundancy target: 0\n"
              "Supported power-supply types: 2\n"
              "  0: 900 W\n"
              "  1: 750 W\n"
              "Supported configurations: 3\n"
              "  0: id 1, properties 0x0007, 2+1 with one 900W and 750W power supply per feed "
              "[usable]\n"
              "  1: id 2, properties 0x005E, 2+1 with two 750W power supplies per feed [target] "
              "[usable]\n"
              "  2: id 3, properties 0x007E, 1+1 with one 900W power supply per feed [active] "
              "[usable]\n"
              "Active configuration: 2 (1+1 with one 900W power supply per feed)\n"
              "Targeted configuration: 1 (2+1 with two 750W power supplies per feed)\n"
              "Usable configurations: 3\n");
    EXPECT_EQ(status, 0);
}

TEST_F(EventsEndToEnd, QaxPsuSaysWhyItFails) {
    struct FailCase {
        const char *scenario;
        const char *error;
    };
    for (FailCase c : {FailCase{"extended_caps 0x3C\n",
                                "qax-psu: Error reading supported PSU types indexed buffer for "
                                "index=0, rc=255 (status 255)\n"},
                       FailCase{"firmware absent\n",
                                "qax-psu: Error getting QAX module handle (status 1)\n"},
                       FailCase{"extended_caps 0x23C\npsu_config 1 0x03 1 1 0 0\n",
                                "qax-psu: Error, no active configuration found (status 1)\n"}}) {
        SCOPED_TRACE(c.scenario);
        Scenario(c.scenario);
        // Each case is another machine: forget the firmware presence that the
        // previous one left in the store.
        Tool("qax-aim", {"clear", "qax_supported_0"});
        std::string errPath = root_.Path() + "/psu.err";
        // Standard error is what carries the reason.
        std::vector<std::string> argv = {"/bin/sh", "-c",
                                         std::string(QAX_TOOLS_DIR) + "/qax-psu 2>" + errPath};
        std::string out;
        int rc = qaxtest::Run(argv, Env(), root_.Path() + "/psu.out", &out);
        EXPECT_EQ(rc, 1) << out;
        EXPECT_EQ(qaxtest::ReadAll(errPath), c.error);
        // Nothing of the firmware exchange without -v.
        EXPECT_EQ(out.find("Bufer"), std::string::npos) << out;
    }
}

}  // namespace
