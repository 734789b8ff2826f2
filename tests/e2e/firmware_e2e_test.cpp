// The real daemon against the emulator: finding the firmware, waiting for it
// when it is absent, and the cycle's classification of snapshots; its status
// bits and cap changes as events.
#include <gtest/gtest.h>

#include "test_root.h"

namespace {

using qaxtest::Count;

// Absent, the firmware is probed at most every two seconds and the reason
// said; once it appears, it is found and its handle published. Then one
// new-data cycle per firmware snapshot (every 30 s, the daemon polls every
// 10 s), and a reset handled where the scenario resets the firmware.
TEST(DaemonWithEmulator, FindsTheFirmwareThenClassifiesNewDataNothingNewAndReset) {
    qaxtest::Site site;
    std::string out;
    // Known power-cap limits: the first new snapshot then has nothing to seed.
    site.Aim({"set", "pcap_max_aim_element_qax", "650", "--persistent"});
    site.Aim({"set", "pcap_min_aim_element_qax", "300", "--persistent"});
    site.Aim({"set", "pcap_soft_min_aim_element_qax", "250", "--persistent"});
    // Everything the daemon writes stays under QAX_ROOT.
    const char *outside[] = {"/pstorage", "/tmp/qax_log", "/tmp/qax_trace", "/tmp/aim", "/tmp/PowerHistoryLast1Hour"};
    std::vector<bool> existed;
    for (const char *path : outside) existed.push_back(access(path, F_OK) == 0);
    site.Run({"qax-aim", "set", "QAX_power_history_log_level", "1", "--persistent"});  // traces every tag
    ASSERT_EQ(site.RunDaemon(
                  "module_handle 5\nfirmware absent\nat 600 firmware present\nat 2400 reset\nat 4200 sigterm\n", &out),
              15)
        << out;
    for (size_t i = 0; i < existed.size(); i++)
        EXPECT_TRUE(existed[i] || access(outside[i], F_OK) != 0) << outside[i] << " written outside QAX_ROOT";
    EXPECT_EQ(site.Aim({"get", "qax_supported_0"}) + site.Aim({"get", "qax_module_handle_0"}), "1\n5\n");
    const int probes = Count(out, "[QAX_FindFirmwareInstance] Failed to call IPMI Command");
    EXPECT_TRUE(probes >= 1 && probes <= 600 / 2 + 1) << probes;
    EXPECT_NE(out.find("Failed to call QAX_GetModuleHandle()"), std::string::npos);
    const std::string trace = site.Trace();
    const int absent = Count(trace, "[ERROR] \"main\": Get Snapshot buffer from QAX is fail when get first data");
    EXPECT_GE(absent, 600 / 10 - 1);
    const auto [newData, same, resets] = site.Fetches();
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(Count(trace, "\"main\": Reset the QAX."), 1);
    // An hour holds 120 snapshots; the first is the reference and the reset's
    // snapshot starts afresh.
    EXPECT_NEAR(newData, 118, 2);
    EXPECT_NEAR(same, 360 - 120, 6);
    EXPECT_EQ(Count(trace, "[ERROR]") + Count(trace, "[WARNING]"), absent) << trace;
}

// Status bits and cap changes of the scenario show up in "qax-aim events",
// each once, the caps with their old and new values.
TEST(DaemonWithEmulator, StatusBitsAndCapChangesAreEachReportedOnce) {
    qaxtest::Site site;
    std::string out;
    // Capping mode 2 puts the limits in force. Snapshots come every 30 s; each
    // change lands in the next one and lasts. At 430 the gate is not met.
    site.env["QAX_SIM_SEED"] = "3";
    ASSERT_EQ(site.RunDaemon("register 0 9 2\nat 100 status_byte 0x12\nat 200 status_byte 0x32\n"
                             "at 300 status_word 0x000C\nat 400 status_byte 0x02\nat 400 status_word 0x0000\n"
                             "at 430 status_byte 0x14\nat 430 status_word 0x0008\n"
                             "at 500 status_byte 0x02\nat 500 status_word 0x0000\n"
                             "at 560 cap max 700\nat 650 cap min 280\nat 740 cap soft_min 240\nat 1200 sigterm\n",
                             &out),
              15)
        << out;
    // "TIME ID[ old=.. new=..]" per event, oldest first.
    std::istringstream lines(site.Aim({"events"}));
    std::vector<std::string> events;
    for (std::string line; std::getline(lines, line);) events.push_back(line.substr(line.find(' ') + 1));
    EXPECT_EQ(events, (std::vector<std::string>{"127", "126", "125", "117", "118", "130", "131", "115 old=650 new=700",
                                                "114 old=300 new=280", "116 old=250 new=240"}))
        << site.Trace();  // (the old values of the caps are those the first snapshot seeded)
    EXPECT_EQ(site.Trace().find("Pcap can not be read"), std::string::npos);
}

}  // namespace
