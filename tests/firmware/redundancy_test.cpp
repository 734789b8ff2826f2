// The power-supply redundancy description: its requests and records, each description format, a
// failed call and each bound.
#include "fake_firmware.h"
#include "firmware/redundancy.h"

namespace {

using fwtest::Bytes;
using fwtest::FakeFirmware;

struct Config {
    uint8_t id;
    uint16_t properties;
    uint8_t needed, redundant;
    Bytes types;  // a type index per supply
};

// The power-supply element: the rated watts of each supply type, the redundancy configurations.
std::function<void(FakeFirmware &)> Supplies(std::vector<uint16_t> watts, std::vector<Config> configs,
                                             std::function<void(FakeFirmware &)> then = nullptr) {
    return [=](FakeFirmware &fw) {
        fw.registers = {{{0x00, 16}, {0}}, {{0x0A, 30}, {0}}};  // policy, redundancy target
        fw.SetCapabilities(0x80, 0x200);                        // redundancy information exposed
        size_t longest = 0;
        for (size_t i = 0; i < watts.size(); i++)
            fw.buffers[{0, uint8_t(i)}] = {uint8_t(i), 0x00, uint8_t(watts[i] >> 8), uint8_t(watts[i])};
        for (size_t i = 0; i < configs.size(); i++) {
            const Config &c = configs[i];
            Bytes d = {c.id, uint8_t(c.properties >> 8), uint8_t(c.properties), c.needed, c.redundant, 1, 2, 3, 4, 5,
                       6};
            d.insert(d.end(), c.types.begin(), c.types.end());
            fw.buffers[{1, uint8_t(i)}] = d;
            longest = std::max(longest, c.types.size());
        }
        fw.configs[0x0A] = {5, 0x0A, uint8_t(watts.size()), uint8_t(configs.size()), uint8_t(longest), 1};
        if (then) then(fw);
    };
}

using Match = std::function<bool(const Bytes &)>;
const Match kElementConfig = [](const Bytes &rq) { return rq.size() == 6 && rq[5] == 0x80; };
const Match kType = [](const Bytes &rq) { return rq.size() == 9 && rq[5] == 0x87 && rq[6] == 0; };
const Match kConfig = [](const Bytes &rq) { return rq.size() == 9 && rq[5] == 0x87 && rq[6] == 1; };
// Edits the answers to matching requests, or (without `change`) fails them.
std::function<void(FakeFirmware &)> Edit(Match match, std::function<void(Bytes *)> change = nullptr) {
    return [=](FakeFirmware &fw) {
        fw.edit = [=](const Bytes &rq, fwtest::Answer *a) {
            if (match(rq)) change ? change(&a->bytes) : void(a->result = -1);
        };
    };
}
using Redundancy = fwtest::FirmwareTest;

TEST_F(Redundancy, RequestsAndRecords) {
    Supplies({900, 750}, {{9, 0x01FE, 2, 1, {0, 1, 0, 1}}})(fw_);
    PowerSupplyRedundancyInfo info = {};
    testing::internal::CaptureStdout();
    const unsigned status = DescribePowerSupplyRedundancy(&info);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, 0u) << info.szError;
    std::vector<std::pair<Bytes, int>> psu;
    for (const fwtest::Sent &s : fw_.sent)
        if (s.bytes.size() >= 6 && s.bytes[4] == 0x0A && s.bytes[5] != 0x82) psu.push_back({s.bytes, s.capacity});
    // Element configuration, two types, then the configuration (reading its length: 4 x 1 + 11).
    EXPECT_EQ(psu, (std::vector<std::pair<Bytes, int>>{{{0x4D, 0x4F, 0x00, 7, 0x0A, 0x80}, 10},
                                                       {{0x4D, 0x4F, 0x00, 7, 0x0A, 0x87, 0, 0, 4}, 11},
                                                       {{0x4D, 0x4F, 0x00, 7, 0x0A, 0x87, 0, 1, 4}, 11},
                                                       {{0x4D, 0x4F, 0x00, 7, 0x0A, 0x80}, 10},
                                                       {{0x4D, 0x4F, 0x00, 7, 0x0A, 0x87, 1, 0, 15}, 22}}));
    const RedundancyConfigRecord &c = info.psConfigs[0];
    EXPECT_EQ((std::vector<uint64_t>{c.u8ConfigId, c.u16Properties, c.u8PropertyBit0Clear, c.u8PowerMode,
                                     c.u8PropertyBit6, c.u8PropertyBit7Clear, c.u64Value1, c.u64Value3}),
              (std::vector<uint64_t>{9, 0x1FE, 1, 1, 1, 0, 0x0102, 0x0506}));
    FreePowerSupplyRedundancyInfo(&info);
}

const Config kActive = {1, 0x7E, 1, 1, {0, 0}}, kPlain = {2, 0x03, 2, 0, {0, 0}};
const std::string kElementFn = "[QAX_ReadPowerSupplyElementConfigurationRegister] ";
const std::string kTypeFn = "[QAX_ReadSupportedPSUTypesIndexedBuffer] ";
const std::string kConfigFn = "[QAX_ReadSupportedRedundancyConfigsIndexedBuffer] ";
const char kElementError[] = "Error reading power supply element configuration register, rc=255";
const char kTypeError[] = "Error reading supported PSU types indexed buffer for index=0, rc=255";
const char kConfigError[] = "Error reading supported redundancy configs indexed buffer for index=0, rc=255";

// Each description format, a failed call and each bound: result, `szError`, what is printed. What
// was filled before a failure is the caller's to release (the leak sanitizer checks).
TEST_F(Redundancy, DescriptionsAndErrors) {
    const struct {
        const char *name;
        std::function<void(FakeFirmware &)> setup;
        unsigned status;
        const char *error;
        std::string printed, description = "";  // of the first configuration
    } cases[] = {
        {"FirstIndexCounts", Supplies({900, 750}, {{1, 0x42, 1, 1, {1, 0}}}), 0, "", "",
         "1+1 with one 750W power supply per feed"},
        {"MixedPerFeed", Supplies({900, 750}, {{1, 0x42, 2, 1, {0, 1, 0, 1}}}), 0, "", "",
         "2+1 with one 900W and 750W power supply per feed"},
        {"TwoPerFeed", Supplies({900, 750}, {{1, 0x42, 2, 1, {1, 1, 0, 0}}}), 0, "", "",
         "2+1 with two 750W power supplies per feed"},
        {"LargeCounts", Supplies({65535}, {{1, 0x42, 255, 0, {0, 0}}}), 0, "", "",
         "255+0 with one 65535W power supply per feed"},
        {"NoActiveConfiguration", Supplies({900}, {kPlain}), 1, "Error, no active configuration found", "",
         "2+0 with one 900W power supply per feed"},
        {"NoFirmware",
         [](FakeFirmware &fw) {
             fw.handles = {{0, 0}};
         },
         1, "Error getting QAX module handle", ""},
        {"TargetRegister",
         [](FakeFirmware &fw) {
             fw.registers.erase({0x0A, 30});
         },
         0xCB, "Error reading redundancy target register, rc=203", ""},
        {"ElementConfigCall", Edit(kElementConfig), 255, kElementError,
         kElementFn + "Failed to call ipmi(NETFN_KEP,ELEMENT_METHOD) and the result code is -1.\n"},
        {"ElementConfigLength", Edit(kElementConfig, [](Bytes *a) { (*a)[4] = 4; }), 255, kElementError,
         kElementFn + "config len [4] is unexpected.\n"},
        {"NoConfigurations", Supplies({900}, {}), 1,
         "Error reading power supply element configuration register, unexpected values, supportedConfigs=0 "
         "supportedPSUTypes=1",
         ""},
        {"TypeDataTooShort", Edit(kType, [](Bytes *a) { (*a)[6] = 3; }), 255, kTypeError,
         kTypeFn + "Unexpected buffer length [3], expected at least 4.\n"},
        {"ConfigClaimsMoreThanReceived", Edit(kConfig, [](Bytes *a) { (*a)[6] = 200; }), 255, kConfigError,
         kConfigFn + "The response is too short (20 bytes, expected 207).\n"},
        {"ListLongerThanAByteCanAsk", Edit(kElementConfig, [](Bytes *a) { (*a)[8] = 62, (*a)[9] = 4; }), 255,
         kConfigError, kConfigFn + "Unexpected PSU type index list length [248].\n"},
        {"ListOfThree", Supplies({900}, {{1, 0x7E, 1, 1, {0, 0, 0}}}), 1,
         "Error, unexpected value for u8PSUTypeIndexLen=3", ""},
        {"IndexEqualToTypeCountHalfway", Supplies({900, 750}, {kActive, {1, 0x7E, 2, 1, {0, 1, 0, 2}}}), 1,
         "Error, PSU index (2) is larger than number of supported types (2)", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QAX_ResetSupportCacheForTest();
        aim_config_clear("qax_supported_0");
        FakeFirmware fw;
        Supplies({900}, {kActive})(fw);  // each case changes what it needs
        c.setup(fw);
        PowerSupplyRedundancyInfo info = {};
        testing::internal::CaptureStdout();
        EXPECT_EQ(DescribePowerSupplyRedundancy(&info), c.status);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_STREQ(info.szError, c.error);
        EXPECT_NE(printed.find(c.printed), std::string::npos) << printed;
        if (!c.description.empty()) {
            EXPECT_STREQ(info.ppszDescriptions[0], c.description.c_str());
        }
        FreePowerSupplyRedundancyInfo(&info);
    }
}

}  // namespace
