// Element-method transport: request bytes on the wire, status codes, the
// firmware-instance probe and its support cache under a moving clock, the
// request builders and the two shared helpers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_firmware.h"
#include "firmware/element_method.h"
#include "platform/platform.h"
#include "test_root.h"

namespace {

using Bytes = std::vector<uint8_t>;

void SleepSeconds(int s) { QaxClockSleepUs(static_cast<uint64_t>(s) * 1000000u); }

bool StoredBool(const char *key, uint8_t *value) {
    *value = 0xEE;
    return aim_config_get_bool(key, value) != 0;
}

// --- Helpers -----------------------------------------------------------------

TEST(IsBladePlatform, OnlyTheTwoExactFamilies) {
    const struct {
        const char *family;  // null = unset
        int blade;
    } cases[] = {{nullptr, 0}, {"", 0},        {"blade", 1},    {"iteblade", 1}, {"Blade", 0},
                 {"BLADE", 0}, {"blade ", 0}, {"iteblade2", 0}, {"rack", 0}};
    for (const auto &c : cases) {
        if (c.family == nullptr)
            unsetenv("ZOQ_FAMILY");
        else
            setenv("ZOQ_FAMILY", c.family, 1);
        EXPECT_EQ(IsBladePlatform(), c.blade) << (c.family ? c.family : "(unset)");
    }
    unsetenv("ZOQ_FAMILY");
}

TEST(ReadBigEndianField, MostSignificantByteFirst) {
    const uint8_t buf[] = {0x01, 0x02, 0x03, 0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0x77};
    EXPECT_EQ(ReadBigEndianField(0, buf, 3), 66051u);
    EXPECT_EQ(ReadBigEndianField(0, buf, 0), 0u);
    EXPECT_EQ(ReadBigEndianField(2, buf, 2), 0x03FFu);
    EXPECT_EQ(ReadBigEndianField(3, buf, 8), 0xFFFEFDFCFBFAF977ull);
    // More than 8 bytes: only the first 8 are read, the rest are left alone.
    EXPECT_EQ(ReadBigEndianField(0, buf, 11), 0x010203FFFEFDFCFBull);
    EXPECT_EQ(ReadBigEndianField(0, nullptr, 4), 0u);
}

// --- Request builders --------------------------------------------------------

// The per-element read builders are exercised on the wire by the register
// tests; these are the ones with sizes of their own.
TEST(RequestBuilders, WriteTheProtocolBytes) {
    const uint8_t h = 0x33;
    const struct {
        const char *name;
        std::function<unsigned(uint8_t **)> build;
        Bytes bytes;  // the whole allocation
    } cases[] = {
        {"configuration read", [&](uint8_t **r) { return GetInvokeElementMethodRequestBuffer(h, 2, 0x80, 6, r); },
         {0x4D, 0x4F, 0x00, h, 0x02, 0x80}},
        {"snapshot read", [&](uint8_t **r) { return GetInvokeElementMethodRequestBuffer(h, 3, 0x81, 10, r); },
         {0x4D, 0x4F, 0x00, h, 0x03, 0x81, 0, 0, 0, 0}},
        {"too small a size still holds the header",
         [&](uint8_t **r) { return GetInvokeElementMethodRequestBuffer(h, 3, 0x81, 2, r); },
         {0x4D, 0x4F, 0x00, h, 0x03, 0x81}},
        {"register write",
         [&](uint8_t **r) {
             uint32_t size = 0;
             unsigned s = GetWritePowerControlRegisterRequestBuffer(h, 0, 2, r, &size);
             return size == 10 ? s : 999u;
         },
         {0x4D, 0x4F, 0x00, h, 0x07, 0x83, 0, 2, 0, 0}},
        {"performance", [&](uint8_t **r) { return GetXPMRequestBuffer(5, 0, 1, 2, 11, r); },
         {0x4D, 0x4F, 0x00, 0x04, 5, 0, 1, 2, 0x01, 0x00, 0x01}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t *request = nullptr;
        ASSERT_EQ(c.build(&request), 0u);
        ASSERT_NE(request, nullptr);
        // Reading the whole expected size also checks the allocation (ASan).
        EXPECT_EQ(Bytes(request, request + c.bytes.size()), c.bytes);
        FreeRequestResponseBuffers(request, nullptr);
    }
    EXPECT_EQ(GetReadStatusRegisterRequestBuffer(1, nullptr), QAX_STATUS_MISSING_ARGUMENT);
    FreeRequestResponseBuffers(nullptr, nullptr);  // both skipped
}

// --- Transport -----------------------------------------------------------------

TEST(ReadRegister, SendsIdAndLengthAndDecodesTheStatus) {
    const struct {
        const char *name;
        fwtest::Answer answer;
        unsigned status;
    } cases[] = {
        {"success", {0, {0x00, 0x4D, 0x4F, 0x00, 0x12, 0x34}}, 0},
        {"completion code", {0, {0xC0}}, 0xC0},
        {"failed call", {-1, {}}, 255},
        {"short answer", {0, {0x00, 0x4D, 0x4F, 0x00, 0x12}}, 255},
        {"oversized answer", {0, {0x00, 0x4D, 0x4F, 0x00, 0x12, 0x34, 0x56}}, 255},
    };
    for (const auto &c : cases) {
        fwtest::FakeFirmware fw;
        fw.Script(c.answer);
        uint8_t *request = nullptr;
        ASSERT_EQ(GetReadPowerControlRegisterRequestBuffer(9, &request), 0u);
        uint8_t *response = nullptr;
        EXPECT_EQ(ReadRegister(request, 4, 2, &response), c.status) << c.name;
        // The response is handed over whatever the outcome.
        ASSERT_NE(response, nullptr) << c.name;
        if (c.status == 0) {
            EXPECT_EQ(ReadBigEndianField(4, response, 2), 0x1234u);
        }
        ASSERT_EQ(fw.sent.size(), 1u);
        EXPECT_EQ(fw.sent[0].netFn, 0x2E);
        EXPECT_EQ(fw.sent[0].cmd, 0x81);
        EXPECT_EQ(fw.sent[0].bytes, (Bytes{0x4D, 0x4F, 0x00, 9, 0x07, 0x82, 4, 2}));
        EXPECT_EQ(fw.sent[0].capacity, 6);
        FreeRequestResponseBuffers(request, response);
    }
}

TEST(WriteRegister, SendsTheRequestAsIsAndReturnsTheCompletionCode) {
    const struct {
        fwtest::Answer answer;
        unsigned status;
    } cases[] = {{{0, {0x00, 0x4D, 0x4F, 0x00}}, 0}, {{0, {0xD4}}, 0xD4}, {{-1, {}}, 255}};
    for (const auto &c : cases) {
        fwtest::FakeFirmware fw;
        fw.Script(c.answer);
        uint8_t request[] = {0x4D, 0x4F, 0x00, 3, 0x07, 0x83, 0, 2, 0x01, 0x2C};
        EXPECT_EQ(WriteRegister(request, sizeof(request)), c.status);
        ASSERT_EQ(fw.sent.size(), 1u);
        EXPECT_EQ(fw.sent[0].cmd, 0x81);
        EXPECT_EQ(fw.sent[0].bytes, Bytes(request, request + sizeof(request)));
        EXPECT_EQ(fw.sent[0].capacity, 4);
    }
}

TEST(FindFirmwareInstance, StatusAndOutputsPerAnswer) {
    const struct {
        const char *name;
        fwtest::Answer answer;
        unsigned status;
        uint8_t handle, info1, info2;
    } cases[] = {
        {"found", {0, {0, 0x4D, 0x4F, 0, 0, 0x11, 0x22, 9, 0, 0}}, 0, 9, 0x11, 0x22},
        {"handle 0", {0, {0, 0x4D, 0x4F, 0, 0, 0x11, 0x22, 0, 0, 0}}, 213, 0, 0, 0},
        {"completion code", {0, {0xC1}}, 0xC1, 0, 0, 0},
        {"failed call", {-1, {}}, 255, 0, 0, 0},
        {"answer ends before the handle", {0, {0, 0x4D, 0x4F, 0, 0, 0x11, 0x22}}, 255, 0, 0, 0},
    };
    for (const auto &c : cases) {
        fwtest::FakeFirmware fw;
        fw.Script(c.answer);
        uint8_t info1 = 0xEE, info2 = 0xEE, handle = 0xEE;
        EXPECT_EQ(QAX_FindFirmwareInstance(1, &info1, &info2, &handle), c.status) << c.name;
        EXPECT_EQ(handle, c.handle) << c.name;
        EXPECT_EQ(info1, c.info1) << c.name;
        EXPECT_EQ(info2, c.info2) << c.name;
        ASSERT_EQ(fw.sent.size(), 1u);
        EXPECT_EQ(fw.sent[0].netFn, 0x2E);
        EXPECT_EQ(fw.sent[0].cmd, 0x82);
        EXPECT_EQ(fw.sent[0].bytes, (Bytes{0x4D, 0x4F, 0x00, 1, 0x00, 0x01}));
        EXPECT_EQ(fw.sent[0].capacity, 10);
    }
}

// --- Support cache and module handles -----------------------------------------

class SupportCache : public ::testing::Test {
  protected:
    void SetUp() override { QAX_ResetSupportCacheForTest(); }
    void TearDown() override { QAX_ResetSupportCacheForTest(); }
    qaxtest::TestRoot root_;
    fwtest::FakeFirmware fw_;
};

TEST_F(SupportCache, FoundFirmwareIsStoredAndNeverProbedAgain) {
    fw_.handles[0] = 5;
    EXPECT_EQ(QAX_IsSupported(0), 1);
    EXPECT_EQ(fw_.CountCommand(0x82), 1);
    uint8_t supported = 0;
    ASSERT_TRUE(StoredBool("qax_supported_0", &supported));
    EXPECT_EQ(supported, 1);
    int32_t handle = 0;
    ASSERT_NE(aim_config_get_int("qax_module_handle_0", &handle), 0);
    EXPECT_EQ(handle, 5);
    EXPECT_EQ(QAX_GetModuleHandle(0), 5);
    EXPECT_EQ(QAX_GetSupportedModuleHandle(0), 5);

    fw_.handles[0] = 0;  // even a vanished firmware is not asked again
    SleepSeconds(100);
    EXPECT_EQ(QAX_IsSupported(0), 1);
    EXPECT_EQ(fw_.CountCommand(0x82), 1);
}

TEST_F(SupportCache, AbsentFirmwareIsProbedAtMostOncePerTwoSecondsOfUptime) {
    fw_.handles[0] = 0;
    EXPECT_EQ(QAX_IsSupported(0), 0);
    EXPECT_EQ(fw_.CountCommand(0x82), 1);
    uint8_t supported = 0;
    ASSERT_TRUE(StoredBool("qax_supported_0", &supported));
    EXPECT_EQ(supported, 0);
    int32_t handle = 0;
    EXPECT_EQ(aim_config_get_int("qax_module_handle_0", &handle), 0);
    EXPECT_EQ(QAX_GetModuleHandle(0), 0);
    EXPECT_EQ(QAX_GetSupportedModuleHandle(0), 0);

    EXPECT_EQ(QAX_IsSupported(0), 0);
    SleepSeconds(1);
    EXPECT_EQ(QAX_IsSupported(0), 0);
    EXPECT_EQ(fw_.CountCommand(0x82), 1);
    SleepSeconds(1);
    EXPECT_EQ(QAX_IsSupported(0), 0);
    EXPECT_EQ(fw_.CountCommand(0x82), 2);

    // The firmware comes up: found at the next allowed probe.
    fw_.handles[0] = 12;
    EXPECT_EQ(QAX_IsSupported(0), 0);
    SleepSeconds(2);
    EXPECT_EQ(QAX_IsSupported(0), 1);
    EXPECT_EQ(fw_.CountCommand(0x82), 3);
    ASSERT_TRUE(StoredBool("qax_supported_0", &supported));
    EXPECT_EQ(supported, 1);
    EXPECT_EQ(QAX_GetModuleHandle(0), 12);
}

TEST_F(SupportCache, AFlagStoredByAnotherProcessIsAcceptedWithoutAProbe) {
    ASSERT_NE(aim_config_set_bool("qax_supported_0", 1, 1), 0);
    EXPECT_EQ(QAX_IsSupported(0), 1);
    EXPECT_TRUE(fw_.sent.empty());

    // Also at a later re-check.
    QAX_ResetSupportCacheForTest();
    ASSERT_NE(aim_config_set_bool("qax_supported_0", 0, 1), 0);
    fw_.handles[0] = 0;
    EXPECT_EQ(QAX_IsSupported(0), 0);
    EXPECT_EQ(fw_.CountCommand(0x82), 1);
    ASSERT_NE(aim_config_set_bool("qax_supported_0", 1, 1), 0);
    SleepSeconds(2);
    EXPECT_EQ(QAX_IsSupported(0), 1);
    EXPECT_EQ(fw_.CountCommand(0x82), 1);
}

TEST_F(SupportCache, KeysCarryTheInstanceNumber) {
    fw_.handles = {{1, 3}};
    EXPECT_EQ(QAX_IsSupported(1), 1);
    EXPECT_EQ(fw_.sent.at(0).bytes.at(3), 1);
    EXPECT_EQ(QAX_GetModuleHandle(1), 3);
    uint8_t supported = 0;
    EXPECT_FALSE(StoredBool("qax_supported_0", &supported));
    ASSERT_TRUE(StoredBool("qax_supported_1", &supported));
    EXPECT_EQ(supported, 1);
}

TEST_F(SupportCache, OnlyTheLowByteOfAStoredHandleCounts) {
    ASSERT_NE(aim_config_set_int("qax_module_handle_0", 0x1234, 1), 0);
    EXPECT_EQ(QAX_GetModuleHandle(0), 0x34);
    aim_config_clear("qax_module_handle_0");
    EXPECT_EQ(QAX_GetModuleHandle(0), 0);
}

}  // namespace
