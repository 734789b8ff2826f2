// The firmware-instance support cache under a moving clock.
#include "fake_firmware.h"

namespace {

void SleepSeconds(int s) { QaxClockSleepUs(static_cast<uint64_t>(s) * 1000000u); }

using SupportCache = fwtest::FirmwareTest;

// Absent, the firmware is asked at most once per 2 s of uptime; found, never again.
TEST_F(SupportCache, ProbedAtMostOncePerTwoSecondsUntilFound) {
    const struct {
        int sleep, handle, supported, probes;
    } steps[] = {{0, 0, 0, 1},  {0, 0, 0, 1},  {1, 0, 0, 1},  {1, 0, 0, 2},     // absent
                 {0, 12, 0, 2}, {1, 12, 0, 2}, {1, 12, 1, 3}, {100, 0, 1, 3}};  // comes up, then vanishes
    for (const auto &s : steps) {
        SleepSeconds(s.sleep);
        fw_.handles[0] = uint8_t(s.handle);
        EXPECT_EQ(QAX_IsSupported(0), s.supported);
        EXPECT_EQ(fw_.Count(0x82), s.probes);
        uint8_t flag = 0xEE;
        EXPECT_TRUE(aim_config_get_bool("qax_supported_0", &flag) && flag == s.supported);
        EXPECT_EQ(QAX_GetSupportedModuleHandle(0), s.supported ? 12 : 0);
    }
    int32_t handle = 0;
    EXPECT_NE(aim_config_get_int("qax_module_handle_0", &handle), 0);
    EXPECT_EQ(handle, 12);
}

// A flag stored by another process is trusted, also at a re-check; cleared
// (as at the daemon's start), the firmware is probed afresh.
TEST_F(SupportCache, StoredKeysTrustedAndClearedKeysReprobed) {
    ASSERT_NE(aim_config_set_bool("qax_supported_0", 1, 1), 0);
    ASSERT_NE(aim_config_set_int("qax_module_handle_0", 0x1234, 1), 0);
    EXPECT_EQ(QAX_IsSupported(0), 1);
    EXPECT_EQ(QAX_GetModuleHandle(0), 0x34);  // only the low byte counts
    EXPECT_TRUE(fw_.sent.empty());
    aim_config_clear("qax_supported_0");
    aim_config_clear("qax_module_handle_0");
    EXPECT_EQ(QAX_GetModuleHandle(0), 0);
    QAX_ResetSupportCacheForTest();
    fw_.handles[0] = 0;
    EXPECT_EQ(QAX_IsSupported(0), 0);                            // probed afresh
    ASSERT_NE(aim_config_set_bool("qax_supported_0", 1, 1), 0);  // another process finds it
    SleepSeconds(2);
    EXPECT_EQ(QAX_IsSupported(0), 1);
    EXPECT_EQ(fw_.Count(0x82), 1);
}

}  // namespace
