// The firmware-instance probe and its support cache under a moving clock.
#include "fake_firmware.h"

namespace {

using fwtest::Bytes;

void SleepSeconds(int s) { QaxClockSleepUs(static_cast<uint64_t>(s) * 1000000u); }

TEST(FindFirmwareInstance, RequestStatusAndOutputs) {
    const std::pair<fwtest::Answer, Bytes> cases[] = {
        // answer, (status, handle, info1, info2)
        {{0, fwtest::Ok({0, 0x11, 0x22, 9, 0, 0})}, {0, 9, 0x11, 0x22}},
        {{0, fwtest::Ok({0, 0x11, 0x22, 0, 0, 0})}, {213, 0, 0, 0}},  // handle 0
        {{0, {0xC1}}, {0xC1, 0, 0, 0}},
        {{-1, {}}, {255, 0, 0, 0}},
        {{0, fwtest::Ok({0, 0x11, 0x22})}, {255, 0, 0, 0}},  // ends before the handle
    };
    for (const auto &c : cases) {
        fwtest::FakeFirmware fw;
        fw.script = {c.first};
        uint8_t info1 = 0xEE, info2 = 0xEE, handle = 0xEE;
        const unsigned status = QAX_FindFirmwareInstance(1, &info1, &info2, &handle);
        EXPECT_EQ(Bytes({uint8_t(status), handle, info1, info2}), c.second);
        ASSERT_EQ(fw.sent.size(), 1u);
        EXPECT_EQ(std::make_tuple(fw.sent[0].netFn, fw.sent[0].cmd, fw.sent[0].bytes, fw.sent[0].capacity),
                  std::make_tuple(0x2E, 0x82, Bytes{0x4D, 0x4F, 0x00, 1, 0x00, 0x01}, 10));
    }
}

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
