// Power-supply redundancy description: the requests of the three readers, each
// description format, the active, target and usable configurations, every
// error text, and answers whose lengths do not fit what was asked or received.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "firmware/element_method.h"
#include "firmware/redundancy.h"
#include "platform/platform.h"
#include "test_root.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct PsuConfig {
    uint8_t id;
    uint16_t properties;
    uint8_t needed, redundant;
    Bytes types;  // type index per supply position
};

// The firmware's power-supply element, answered from these fields. `edit`
// sees every answer (completion code first) before it is returned and may
// change it; returning false fails the call.
class PsuFirmware {
  public:
    PsuFirmware() { QaxIpmiSetTransportOverride(&PsuFirmware::Transport, this); }
    ~PsuFirmware() { QaxIpmiSetTransportOverride(nullptr, nullptr); }
    PsuFirmware(const PsuFirmware &) = delete;
    PsuFirmware &operator=(const PsuFirmware &) = delete;

    uint8_t handle = 7;
    uint8_t target = 0;
    uint8_t policy = 0;
    uint32_t extendedCaps = 0x200;
    std::vector<uint16_t> watts = {900};
    std::vector<PsuConfig> configs = {{1, 0x7E, 1, 1, {0, 0}}};
    int factorA = -1, factorB = 1;  // -1: the longest list, times 1
    std::function<bool(const Bytes &request, Bytes *answer)> edit;

    struct Sent {
        Bytes bytes;
        int capacity;
    };
    std::vector<Sent> sent;

  private:
    static Bytes Ok(const Bytes &data) {
        Bytes b = {0x00, 0x4D, 0x4F, 0x00};
        b.insert(b.end(), data.begin(), data.end());
        return b;
    }
    Bytes Answer(int cmd, const Bytes &rq) const {
        if (cmd == 0x82) return Ok({0x00, 0x11, 0x22, handle, 0x00, 0x00});
        if (cmd != 0x81 || rq.size() < 6 || rq[3] != handle) return {0xC1};
        const uint8_t element = rq[4], method = rq[5];
        if (method == 0x82 && rq.size() == 8) {
            const uint8_t id = rq[6];
            if (element == 0x00 && id == 7) return Ok({0x80});
            if (element == 0x00 && id == 14)
                return Ok({uint8_t(extendedCaps >> 24), uint8_t(extendedCaps >> 16),
                           uint8_t(extendedCaps >> 8), uint8_t(extendedCaps)});
            if (element == 0x00 && id == 16) return Ok({policy});
            if (element == 0x0A && id == 30) return Ok({target});
            return {0xCC};
        }
        if (element != 0x0A) return {0xCC};
        if (method == 0x80 && rq.size() == 6) {
            size_t longest = 0;
            for (const PsuConfig &c : configs) longest = std::max(longest, c.types.size());
            uint8_t a = factorA < 0 ? uint8_t(longest) : uint8_t(factorA);
            return Ok({5, 0x0A, uint8_t(watts.size()), uint8_t(configs.size()), a, uint8_t(factorB)});
        }
        if (method == 0x87 && rq.size() == 9) {
            const uint8_t buffer = rq[6], index = rq[7];
            Bytes data;
            if (buffer == 0 && index < watts.size()) {
                data = {index, 0x00, uint8_t(watts[index] >> 8), uint8_t(watts[index])};
            } else if (buffer == 1 && index < configs.size()) {
                const PsuConfig &c = configs[index];
                data = {c.id, uint8_t(c.properties >> 8), uint8_t(c.properties), c.needed,
                        c.redundant, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
                data.insert(data.end(), c.types.begin(), c.types.end());
            } else {
                return {0xC9};
            }
            if (data.size() > rq[8]) return {0xC9};
            Bytes head = {buffer, index, uint8_t(data.size())};
            head.insert(head.end(), data.begin(), data.end());
            return Ok(head);
        }
        return {0xCC};
    }
    static int Transport(void *context, int netFn, int cmd, const uint8_t *request,
                         int requestLen, uint8_t *response, int *responseLen) {
        auto *self = static_cast<PsuFirmware *>(context);
        Bytes rq(request, request + requestLen);
        self->sent.push_back({rq, *responseLen});
        Bytes answer = netFn == 0x2E ? self->Answer(cmd, rq) : Bytes{0xC1};
        if (self->edit && !self->edit(rq, &answer)) return -1;
        // Never past the capacity; an answer too long is reported as such.
        for (size_t i = 0; i < answer.size() && int(i) < *responseLen; i++) response[i] = answer[i];
        *responseLen = int(answer.size());
        return 0;
    }
};

bool IsTypeRead(const Bytes &rq) { return rq.size() == 9 && rq[5] == 0x87 && rq[6] == 0; }
bool IsConfigRead(const Bytes &rq) { return rq.size() == 9 && rq[5] == 0x87 && rq[6] == 1; }
bool IsElementConfigRead(const Bytes &rq) { return rq.size() == 6 && rq[5] == 0x80; }

class Redundancy : public ::testing::Test {
  protected:
    void SetUp() override { QAX_ResetSupportCacheForTest(); }
    void TearDown() override {
        FreePowerSupplyRedundancyInfo(&info_);
        QAX_ResetSupportCacheForTest();
    }
    unsigned Describe() {
        testing::internal::CaptureStdout();
        unsigned status = DescribePowerSupplyRedundancy(&info_);
        stdout_ = testing::internal::GetCapturedStdout();
        return status;
    }
    std::string Description(int i) const {
        if (info_.ppszDescriptions == nullptr || info_.ppszDescriptions[i] == nullptr) return "(none)";
        return info_.ppszDescriptions[i];
    }

    qaxtest::TestRoot root_;
    PsuFirmware fw_;
    PowerSupplyRedundancyInfo info_ = {};
    std::string stdout_;
};

TEST_F(Redundancy, RequestsAndTheRecordsTheyFill) {
    fw_.watts = {900, 750};
    fw_.configs = {{9, 0x01FE, 2, 1, {0, 1, 0, 1}}};
    ASSERT_EQ(Describe(), 0u) << info_.szError;
    EXPECT_STREQ(info_.szError, "");

    std::vector<Bytes> psu;
    std::vector<int> capacities;
    for (const auto &s : fw_.sent) {
        if (s.bytes.size() >= 6 && s.bytes[4] == 0x0A && s.bytes[5] != 0x82) {
            psu.push_back(s.bytes);
            capacities.push_back(s.capacity);
        }
    }
    // Element configuration, two types, then the configuration (which reads
    // the element configuration again for its length: 4 x 1 + 11).
    const std::vector<Bytes> expected = {
        {0x4D, 0x4F, 0x00, 7, 0x0A, 0x80},
        {0x4D, 0x4F, 0x00, 7, 0x0A, 0x87, 0, 0, 4},
        {0x4D, 0x4F, 0x00, 7, 0x0A, 0x87, 0, 1, 4},
        {0x4D, 0x4F, 0x00, 7, 0x0A, 0x80},
        {0x4D, 0x4F, 0x00, 7, 0x0A, 0x87, 1, 0, 15},
    };
    EXPECT_EQ(psu, expected);
    EXPECT_EQ(capacities, (std::vector<int>{10, 11, 11, 10, 22}));

    EXPECT_EQ(info_.supportedPSUTypes, 2);
    EXPECT_EQ(info_.supportedConfigs, 1);
    EXPECT_EQ(info_.psPSUTypes[1].u8Reserved0, 1);
    EXPECT_EQ(info_.psPSUTypes[1].u16RatedWatts, 750);
    const RedundancyConfigRecord &c = info_.psConfigs[0];
    EXPECT_EQ(c.u8ConfigId, 9);
    EXPECT_EQ(c.u16Properties, 0x01FE);
    // Bits 0 (clear), 1, 6 and 7 of 0x1FE, and the three values.
    EXPECT_EQ((Bytes{c.u8PropertyBit0, c.u8PropertyBit0Clear, c.u8PowerMode, c.u8ValidForPSUs,
                     c.u8PropertyBit6, c.u8PropertyBit7Clear, c.u8PropertyBit7}),
              (Bytes{0, 1, 1, 1, 1, 0, 1}));
    EXPECT_EQ(c.u8Needed * 100 + c.u8Redundant, 201);
    EXPECT_EQ((std::vector<uint64_t>{c.u64Value1, c.u64Value2, c.u64Value3}),
              (std::vector<uint64_t>{0x0102, 0x0304, 0x0506}));
    ASSERT_EQ(c.u8PSUTypeIndexLen, 4);
    EXPECT_EQ(Bytes(c.pu8PSUTypeIndex, c.pu8PSUTypeIndex + 4), (Bytes{0, 1, 0, 1}));

    for (const char *line :
         {"QAX_ReadSupportedPSUTypesIndexedBuffer : Bufer ID is [0]\n",
          "QAX_ReadSupportedPSUTypesIndexedBuffer : Bufer Index is [1]\n",
          "QAX_ReadSupportedPSUTypesIndexedBuffer : Bufer Length is [4]\n",
          "QAX_ReadSupportedRedundancyConfigsIndexedBuffer : Bufer ID is [1]\n",
          "QAX_ReadSupportedRedundancyConfigsIndexedBuffer : Bufer Length is [15]\n",
          "QAX_ReadSupportedRedundancyConfigsIndexedBuffer : Config properties is 0x1FE\n",
          "QAX_ReadSupportedRedundancyConfigsIndexedBuffer : Power Mode is 1\n",
          "QAX_ReadSupportedRedundancyConfigsIndexedBuffer : Config is valid for PSUs: 1\n",
          "QAX_ReadSupportedRedundancyConfigsIndexedBuffer : PSU type index buf length is [4]\n"})
        EXPECT_NE(stdout_.find(line), std::string::npos) << line << stdout_;

    FreePowerSupplyRedundancyInfo(&info_);
    FreePowerSupplyRedundancyInfo(&info_);  // released pointers are null
    EXPECT_EQ(info_.psConfigs, nullptr);
    EXPECT_EQ(info_.ppszDescriptions, nullptr);
}

struct FormatCase {
    const char *name;
    std::vector<uint16_t> watts;
    uint8_t needed, redundant;
    Bytes types;
    const char *description;
};

class Formats : public Redundancy, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(Formats, DescribesTheConfiguration) {
    const FormatCase &c = GetParam();
    fw_.watts = c.watts;
    fw_.configs = {{1, 0x42, c.needed, c.redundant, c.types}};
    ASSERT_EQ(Describe(), 0u) << info_.szError;
    EXPECT_EQ(Description(0), c.description);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Formats,
    ::testing::Values(
        FormatCase{"OnePerFeed", {900}, 2, 1, {0, 0}, "2+1 with one 900W power supply per feed"},
        FormatCase{"OnePerFeedFirstIndexCounts", {900, 750}, 1, 1, {1, 0},
                   "1+1 with one 750W power supply per feed"},
        FormatCase{"MixedPerFeed", {900, 750}, 2, 1, {0, 1, 0, 1},
                   "2+1 with one 900W and 750W power supply per feed"},
        FormatCase{"TwoPerFeed", {900, 750}, 2, 1, {1, 1, 0, 0},
                   "2+1 with two 750W power supplies per feed"},
        FormatCase{"LargeCounts", {65535}, 255, 0, {0, 0},
                   "255+0 with one 65535W power supply per feed"}),
    [](const ::testing::TestParamInfo<FormatCase> &info) { return std::string(info.param.name); });

// Active = last with bit 6, target = first with bit 0 clear, usable = the
// property bit chosen by policy bit 0 and the target register.
TEST_F(Redundancy, ActiveTargetAndUsableConfigurations) {
    fw_.configs = {
        {1, 0x0001 | 0x02 | 0x04, 1, 1, {0, 0}},         // bit 2, valid; target no
        {2, 0x0040 | 0x02 | 0x08, 1, 1, {0, 0}},         // active, bit 3, valid; target yes
        {3, 0x0041 | 0x10, 1, 1, {0, 0}},                // active, bit 4, not valid
        {4, 0x0000 | 0x02 | 0x20 | 0x04, 1, 1, {0, 0}},  // bits 2 and 5, valid
    };
    struct PolicyCase {
        uint8_t policy, target;
        Bytes usable;
        int count;
    };
    for (PolicyCase p : {PolicyCase{0x01, 0, {1, 0, 0, 1}, 2}, PolicyCase{0x03, 2, {0, 0, 0, 0}, 1},
                         PolicyCase{0x00, 0, {0, 1, 0, 0}, 1}, PolicyCase{0x02, 1, {0, 0, 0, 1}, 1}}) {
        SCOPED_TRACE(int(p.policy) * 1000 + p.target);
        fw_.policy = p.policy;
        fw_.target = p.target;
        FreePowerSupplyRedundancyInfo(&info_);
        ASSERT_EQ(Describe(), 0u) << info_.szError;
        EXPECT_EQ(info_.u8PowerControlPolicy, p.policy);
        EXPECT_EQ(info_.u8PolicyBit0Clear, (p.policy & 1) ? 0 : 1);
        EXPECT_EQ(info_.u8PolicyBit1Clear, (p.policy & 2) ? 0 : 1);
        EXPECT_EQ(info_.u8RedundancyTarget, p.target);
        EXPECT_EQ(info_.i32ActiveConfig, 2);
        EXPECT_EQ(info_.i32TargetConfig, 1);
        EXPECT_EQ(Bytes(info_.pu8Usable, info_.pu8Usable + 4), p.usable);
        EXPECT_EQ(info_.i32UsableConfigs, p.count);
    }
}

struct ErrorCase {
    const char *name;
    std::function<void(PsuFirmware *)> setup;
    unsigned status;
    const char *error;
    const char *printed;  // a message expected on standard output, or ""
};

class Errors : public Redundancy, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(Errors, SayWhy) {
    const ErrorCase &c = GetParam();
    c.setup(&fw_);
    EXPECT_EQ(Describe(), c.status);
    EXPECT_STREQ(info_.szError, c.error);
    EXPECT_NE(stdout_.find(c.printed), std::string::npos) << stdout_;
    // Whatever was filled before the failure is released by the caller.
}

// Replaces the answer to matching requests.
std::function<void(PsuFirmware *)> Answer(std::function<bool(const Bytes &)> match, Bytes answer) {
    return [match, answer](PsuFirmware *fw) {
        fw->edit = [match, answer](const Bytes &rq, Bytes *a) {
            if (match(rq)) *a = answer;
            return true;
        };
    };
}
// Edits the answer to matching requests.
std::function<void(PsuFirmware *)> Edit(std::function<bool(const Bytes &)> match,
                                        std::function<void(Bytes *)> change) {
    return [match, change](PsuFirmware *fw) {
        fw->edit = [match, change](const Bytes &rq, Bytes *a) {
            if (match(rq)) change(a);
            return true;
        };
    };
}
std::function<bool(const Bytes &)> Register(uint8_t element, uint8_t id) {
    return [element, id](const Bytes &rq) {
        return rq.size() == 8 && rq[5] == 0x82 && rq[4] == element && rq[6] == id;
    };
}
std::function<bool(const Bytes &)> ConfigIndex(uint8_t index) {
    return [index](const Bytes &rq) { return IsConfigRead(rq) && rq[7] == index; };
}

const PsuConfig kActive = {1, 0x7E, 1, 1, {0, 0}};
const PsuConfig kPlain = {2, 0x03, 2, 0, {0, 0}};

INSTANTIATE_TEST_SUITE_P(
    Failures, Errors,
    ::testing::Values(
        ErrorCase{"NoFirmware", [](PsuFirmware *fw) { fw->handle = 0; }, 1,
                  "Error getting QAX module handle", ""},
        ErrorCase{"TargetRegister", Answer(Register(0x0A, 30), {0xC1}), 0xC1,
                  "Error reading redundancy target register, rc=193", ""},
        ErrorCase{"PolicyRegister", Answer(Register(0x00, 16), {0xD4}), 0xD4,
                  "Error reading power control policy register, rc=212", ""},
        ErrorCase{"ElementConfigurationCall",
                  [](PsuFirmware *fw) {
                      fw->edit = [](const Bytes &rq, Bytes *) { return !IsElementConfigRead(rq); };
                  },
                  255, "Error reading power supply element configuration register, rc=255",
                  "[QAX_ReadPowerSupplyElementConfigurationRegister] Failed to call "
                  "ipmi(NETFN_KEP,ELEMENT_METHOD) and the result code is -1.\n"},
        ErrorCase{"ElementConfigurationCompletion", Answer(IsElementConfigRead, {0xC9}), 0xC9,
                  "Error reading power supply element configuration register, rc=201",
                  "[QAX_ReadPowerSupplyElementConfigurationRegister] Failed to call "
                  "ipmi(NETFN_KEP,ELEMENT_METHOD) and the respbuf[0] is 201.\n"},
        ErrorCase{"ElementConfigurationLength", Edit(IsElementConfigRead, [](Bytes *a) { (*a)[4] = 4; }),
                  255, "Error reading power supply element configuration register, rc=255",
                  "[QAX_ReadPowerSupplyElementConfigurationRegister] config len [4] is unexpected.\n"},
        ErrorCase{"ElementConfigurationShort",
                  Edit(IsElementConfigRead, [](Bytes *a) { a->resize(8); }), 255,
                  "Error reading power supply element configuration register, rc=255", ""},
        ErrorCase{"NoConfigurations", [](PsuFirmware *fw) { fw->configs.clear(); }, 1,
                  "Error reading power supply element configuration register, unexpected values, "
                  "supportedConfigs=0 supportedPSUTypes=1",
                  ""},
        ErrorCase{"TypesNotExposed", [](PsuFirmware *fw) { fw->extendedCaps = 0x3C; }, 255,
                  "Error reading supported PSU types indexed buffer for index=0, rc=255", ""},
        ErrorCase{"TypeCompletion",
                  [](PsuFirmware *fw) {
                      fw->watts = {900, 750};
                      Answer([](const Bytes &rq) { return IsTypeRead(rq) && rq[7] == 1; }, {0xC9})(fw);
                  },
                  0xC9,
                  "Error reading supported PSU types indexed buffer for index=1, rc=201",
                  "[QAX_ReadSupportedPSUTypesIndexedBuffer] Failed to call IPMI "
                  "Command(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) and the result code is "
                  "201.\n"},
        ErrorCase{"TypeCall",
                  [](PsuFirmware *fw) {
                      fw->edit = [](const Bytes &rq, Bytes *) { return !IsTypeRead(rq); };
                  },
                  255, "Error reading supported PSU types indexed buffer for index=0, rc=255",
                  "[QAX_ReadSupportedPSUTypesIndexedBuffer] Failed to call "
                  "IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) and the result code "
                  "is -1.\n"},
        ErrorCase{"TypeDataTooShort", Edit(IsTypeRead, [](Bytes *a) { (*a)[6] = 3; }), 255,
                  "Error reading supported PSU types indexed buffer for index=0, rc=255", ""},
        ErrorCase{"TypeForAnotherIndex", Edit(IsTypeRead, [](Bytes *a) { (*a)[5] ^= 1; }), 255,
                  "Error reading supported PSU types indexed buffer for index=0, rc=255", ""},
        ErrorCase{"ConfigCompletion",
                  [](PsuFirmware *fw) {
                      fw->configs = {kActive, kPlain};
                      Answer(ConfigIndex(1), {0xC9})(fw);
                  },
                  0xC9, "Error reading supported redundancy configs indexed buffer for index=1, rc=201",
                  "[QAX_ReadSupportedRedundancyConfigsIndexedBuffer] Failed to call "
                  "IPMICmd(0x2E,0x81) and the resp[0] is 201.\n"},
        ErrorCase{"ConfigCall",
                  [](PsuFirmware *fw) {
                      fw->edit = [](const Bytes &rq, Bytes *) { return !IsConfigRead(rq); };
                  },
                  255, "Error reading supported redundancy configs indexed buffer for index=0, rc=255",
                  "[QAX_ReadSupportedRedundancyConfigsIndexedBuffer] Failed to call "
                  "IPMICmd(0x2E,0x81) and the result code is -1.\n"},
        ErrorCase{"ConfigWithoutElementConfiguration",
                  [](PsuFirmware *fw) {
                      // The second element configuration read (the
                      // configuration reader's own) fails.
                      auto count = std::make_shared<int>(0);
                      fw->edit = [count](const Bytes &rq, Bytes *a) {
                          if (IsElementConfigRead(rq) && ++*count == 2) *a = {0xC1};
                          return true;
                      };
                  },
                  255, "Error reading supported redundancy configs indexed buffer for index=0, rc=255",
                  "[QAX_ReadSupportedRedundancyConfigsIndexedBuffer] Failed to call get ps element "
                  "configurations.\n"},
        // Lengths from the firmware that do not fit: rejected, never read past
        // what was received.
        ErrorCase{"ConfigClaimsMoreThanReceived",
                  Edit(IsConfigRead, [](Bytes *a) { (*a)[6] = 200; }), 255,
                  "Error reading supported redundancy configs indexed buffer for index=0, rc=255", ""},
        ErrorCase{"ConfigShorterThanItsFixedPart",
                  Edit(IsConfigRead, [](Bytes *a) { (*a)[6] = 10; a->resize(17); }), 255,
                  "Error reading supported redundancy configs indexed buffer for index=0, rc=255", ""},
        ErrorCase{"ConfigAnswerCutShort", Edit(IsConfigRead, [](Bytes *a) { a->resize(19); }), 255,
                  "Error reading supported redundancy configs indexed buffer for index=0, rc=255", ""},
        ErrorCase{"ListLongerThanAByteCanAsk", [](PsuFirmware *fw) { fw->factorA = 62; fw->factorB = 4; },
                  255, "Error reading supported redundancy configs indexed buffer for index=0, rc=255",
                  "[QAX_ReadSupportedRedundancyConfigsIndexedBuffer] Unexpected PSU type index list "
                  "length [248].\n"},
        ErrorCase{"EmptyList",
                  [](PsuFirmware *fw) { fw->configs = {{1, 0x7E, 1, 1, {}}}; fw->factorA = 2; }, 1,
                  "Error, unexpected value for u8PSUTypeIndexLen=0", ""},
        ErrorCase{"ListOfThree", [](PsuFirmware *fw) { fw->configs = {{1, 0x7E, 1, 1, {0, 0, 0}}}; },
                  1, "Error, unexpected value for u8PSUTypeIndexLen=3", ""},
        ErrorCase{"IndexEqualToTypeCount",
                  [](PsuFirmware *fw) {
                      fw->watts = {900, 750};
                      fw->configs = {{1, 0x7E, 2, 1, {0, 1, 0, 2}}};
                  },
                  1, "Error, PSU index (2) is larger than number of supported types (2)", ""}),
    [](const ::testing::TestParamInfo<ErrorCase> &info) { return std::string(info.param.name); });

TEST_F(Redundancy, WithoutActiveConfigurationTheRecordIsStillComplete) {
    fw_.configs = {kPlain, {3, 0x02, 1, 1, {0, 0}}};
    ASSERT_EQ(Describe(), 1u);
    EXPECT_STREQ(info_.szError, "Error, no active configuration found");
    EXPECT_EQ(info_.i32ActiveConfig, -1);
    EXPECT_EQ(info_.i32TargetConfig, 1);
    EXPECT_EQ(Description(0), "2+0 with one 900W power supply per feed");
    EXPECT_EQ(Description(1), "1+1 with one 900W power supply per feed");
}

// A failure halfway leaves earlier configurations filled; releasing them is
// the caller's (checked by the leak sanitizer).
TEST_F(Redundancy, FailureHalfwayIsReleasedByTheCaller) {
    fw_.configs = {kActive, kActive, {3, 0x7E, 1, 1, {0, 5}}};
    EXPECT_EQ(Describe(), 1u);
    EXPECT_STREQ(info_.szError, "Error, PSU index (5) is larger than number of supported types (1)");
    EXPECT_EQ(Description(1), "1+1 with one 900W power supply per feed");
    EXPECT_EQ(Description(2), "(none)");
}

}  // namespace
