// The two event checks against the real event sink and store, and the
// power-supply redundancy description, over one fake firmware.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "daemon/trace.h"
#include "events/events.h"
#include "events/events_testing.h"
#include "firmware/element_method_testing.h"
#include "firmware/element_method.h"
#include "firmware/redundancy.h"
#include "platform/ipmi_internal.h"
#include "platform/store_db.h"
#include "process.h"
#include "test_root.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

struct PsuConfig {
    uint8_t id;
    uint16_t properties;
    uint8_t needed, redundant;
    Bytes types;
};  // a type index per supply

// The firmware: handle, registers by (element, id), the power-supply element. `edit`
// sees each answer (completion code first) and may change it; false fails the call.
struct Firmware {
    Firmware() { QaxIpmiSetTransportOverride(&Firmware::Transport, this); }
    ~Firmware() { QaxIpmiSetTransportOverride(nullptr, nullptr); }
    uint8_t handle = 7;
    std::map<std::pair<int, int>, Bytes> registers = {
        {{0x00, 5}, {0x02}}, {{0x00, 9}, {0x02}},            // capping enabled, mode 2
        {{0x00, 7}, {0x80}}, {{0x00, 14}, {0, 0, 0x02, 0}},  // redundancy information exposed
        {{0x00, 16}, {0}},   {{0x0A, 30}, {0}}};             // policy, redundancy target
    std::vector<uint16_t> watts = {900};
    std::vector<PsuConfig> configs = {{1, 0x7E, 1, 1, {0, 0}}};
    std::function<bool(const Bytes &request, Bytes *answer)> edit;
    std::vector<std::pair<Bytes, int>> sent;  // request, capacity offered

    static Bytes Ok(Bytes data) {
        data.insert(data.begin(), {0x00, 0x4D, 0x4F, 0x00});
        return data;
    }
    Bytes Answer(int cmd, const Bytes &rq) const {
        if (cmd == 0x82) return Ok({0x00, 0x11, 0x22, handle, 0x00, 0x00});
        if (cmd != 0x81 || rq.size() < 6 || rq[3] != handle) return {0xC1};
        if (rq[5] == 0x82 && rq.size() == 8) {
            auto it = registers.find({rq[4], rq[6]});
            if (it == registers.end()) return {0xCB};
            Bytes data = it->second;
            data.resize(rq[7]);
            return Ok(data);
        }
        if (rq[4] != 0x0A) return {0xCC};
        if (rq[5] == 0x80 && rq.size() == 6) {
            size_t longest = 0;
            for (const PsuConfig &c : configs) longest = std::max(longest, c.types.size());
            return Ok({5, 0x0A, uint8_t(watts.size()), uint8_t(configs.size()), uint8_t(longest), 1});
        }
        if (rq[5] != 0x87 || rq.size() != 9) return {0xCC};
        const uint8_t buffer = rq[6], index = rq[7];
        Bytes data;
        if (buffer == 0 && index < watts.size())
            data = {index, 0x00, uint8_t(watts[index] >> 8), uint8_t(watts[index])};
        if (buffer == 1 && index < configs.size()) {
            const PsuConfig &c = configs[index];
            data = {c.id, uint8_t(c.properties >> 8), uint8_t(c.properties), c.needed, c.redundant, 1, 2, 3, 4, 5, 6};
            data.insert(data.end(), c.types.begin(), c.types.end());
        }
        if (data.empty() || data.size() > rq[8]) return {0xC9};
        data.insert(data.begin(), {buffer, index, uint8_t(data.size())});
        return Ok(data);
    }
    static int Transport(void *context, int netFn, int cmd, const uint8_t *request, int requestLen, uint8_t *response,
                         int *responseLen) {
        auto *self = static_cast<Firmware *>(context);
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

class Events : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetBufferEventLatchesForTest();
        QAX_ResetSupportCacheForTest();
        std::filesystem::create_directories(root_.Path() + "/tmp/qax_trace");
    }
    void TearDown() override { FreePowerSupplyRedundancyInfo(&info_); }
    // Creates the persistent database before the store does, with CHECK
    // constraints that make it refuse chosen writes (a key, an event id).
    void Refuse(const std::string &kvCheck, const std::string &eventCheck) const {
        std::filesystem::create_directories(root_.Path() + "/pstorage/aim");
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open((root_.Path() + "/pstorage/aim/aim.db").c_str(), &db), SQLITE_OK);
        const std::string sql =
            "CREATE TABLE kv(key TEXT PRIMARY KEY NOT NULL, value INTEGER NOT NULL CHECK(" + kvCheck +
            ")) WITHOUT ROWID; CREATE TABLE events(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, "
            "event INTEGER NOT NULL CHECK(" +
            eventCheck + "), old_value TEXT, new_value TEXT);";
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    // Events recorded so far: "127", or "115 400 420" with old and new value.
    static Lines Recorded() {
        std::vector<qaxstore::Event> events;
        EXPECT_TRUE(qaxstore::ReadEvents(&events));
        Lines out;
        for (const auto &e : events)
            out.push_back(std::to_string(e.id) + (e.hasOld ? " " + e.oldValue : "") +
                          (e.hasNew ? " " + e.newValue : ""));
        return out;
    }
    // Trace lines without their time stamp: `[TYPE] "function": message`.
    Lines Trace() const {
        std::istringstream in(qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt"));
        Lines lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l.substr(l.find(' ') + 1));
        return lines;
    }
    // One cycle, 10 s after the previous one: the events it raised.
    std::string Cycle(uint8_t status, uint16_t flags) {
        QaxClockSleepUs(10u * 1000 * 1000);
        MetricValue value = {};
        value.u8BufferStatus = status;
        value.u16StatusFlags = flags;
        CheckBufForSendSWEvent(&value);
        std::string ids;
        for (Lines all = Recorded(); seen_ < all.size(); seen_++) ids += (ids.empty() ? "" : " ") + all[seen_];
        return ids;
    }
    unsigned Describe() {
        FreePowerSupplyRedundancyInfo(&info_);
        testing::internal::CaptureStdout();
        unsigned status = DescribePowerSupplyRedundancy(&info_);
        stdout_ = testing::internal::GetCapturedStdout();
        return status;
    }

    qaxtest::TestRoot root_;
    Firmware fw_;
    size_t seen_ = 0;
    PowerSupplyRedundancyInfo info_ = {};
    std::string stdout_;
};

// Status event sequences, each from a new process's latches: the events of each cycle.
TEST_F(Events, StatusEventsOncePerEdge) {
    struct Step {
        uint8_t status;
        uint16_t flags;
        const char *events;
    };
    const std::vector<std::vector<Step>> sequences = {
        {{0x12, 0, "127"}, {0x12, 0, ""}, {0x12, 0, ""}},
        {{0x32, 0, "125"}, {0x12, 0, ""}, {0x02, 0, ""}, {0x12, 0, "127"}},
        {{0x12, 0, "127"}, {0x32, 0, "126 125"}, {0x32, 0, ""}},
        {{0x22, 0, "126"}, {0x32, 0, "127 125"}},
        // Status bits 1-3 other than 0b001: nothing, and the latches stay as they were.
        {{0x04, 0x0008, ""}, {0x14, 0x000C, ""}, {0x3A, 0x000C, ""}, {0x00, 0x0004, ""}},
        {{0x12, 0x0008, "127 117"}, {0x06, 0, ""}, {0x0A, 0, ""}, {0x12, 0x0008, ""}, {0x02, 0, "130"}},
        {{0x93, 0, "127"}, {0xC3, 0, ""}},
        {{0x02, 0x0004, "118"}, {0x02, 0, "131"}, {0x02, 0, ""}},
        {{0x02, 0, ""}, {0x02, 0xFFF3, ""}, {0x02, 0, ""}},
        {{0x32, 0x000C, "125 117 118"}, {0x02, 0, "130 131"}},
    };
    for (size_t n = 0; n < sequences.size(); n++) {
        ResetBufferEventLatchesForTest();
        for (const Step &s : sequences[n])
            EXPECT_EQ(Cycle(s.status, s.flags), s.events) << "sequence " << n << std::hex << ", 0x" << int(s.status);
    }
    EXPECT_TRUE(Trace().empty());
    CheckBufForSendSWEvent(nullptr);
    EXPECT_EQ(Trace(), Lines({"[ERROR] \"CheckBufForSendSWEvent\": Null parament."}));
}

// A refused event is traced once and not repeated.
TEST_F(Events, RefusedStatusEventsAreNotRepeated) {
    Refuse("1", "event NOT IN (127, 117, 131)");
    EXPECT_EQ(Cycle(0x12, 0x000C), "118");
    EXPECT_EQ(Cycle(0x12, 0x000C), "");
    EXPECT_EQ(Cycle(0x32, 0x0008), "126 125");
    EXPECT_EQ(Cycle(0x02, 0x0000), "130");
    const std::string error = "[ERROR] \"CheckBufForSendSWEvent\": Generate sw message ";
    EXPECT_EQ(Trace(), Lines({error + "127 failed!!", error + "117 failed!!", error + "131 failed!!"}));
}

const int kAbsent = -99999;  // the store holds no value

std::string Key(int i) {
    return std::string("pcap_") + (i == 0 ? "max" : i == 1 ? "min" : "soft_min") + "_aim_element_qax";
}
std::string Stored() {
    std::string out;
    for (int32_t i = 0, v = 0; i < 3; i++)
        out += (i ? " " : "") + (aim_config_get_int(Key(i).c_str(), &v) ? std::to_string(v) : "absent");
    return out;
}
std::string Send(const std::string &type, const std::string &message) {
    return "[" + type + "] \"SendPowerCapsChangedEvent\": " + message;
}
// The lines of limit i: the key absent from the store, then seeded.
std::string NotStored(int i) {
    return "[ERROR] \"CheckPowercapRelatedSettingForSendSWEvent\": [CheckPowercapRelatedSettingForSendSWEvent]:Failed "
           "to "
           "get aim element " +
           Key(i) + ".";
}
Lines Seeded(int i, int firmware) {
    return {Send("ERROR", "SendPowerCapsChangedEvent: failed to get [" + Key(i) + "] from aim"),
            firmware < 0 ? Send("ERROR", "SendPowerCapsChangedEvent: failed to get " + Key(i) + " from qax")
                         : Send("DBG", "SendPowerCapsChangedEvent: succeeds to get [" + Key(i) +
                                           "] from qax and value:[" + std::to_string(firmware) + "]")};
}
const Lines kWarnMode3 = {
    "[WARN] \"CheckPowercapRelatedSettingForSendSWEvent\": CheckPowercapRelatedSettingForSendSWEvent: "
    "Pcap can not be read as power capping is not enabled[3]"};

struct CapCase {
    const char *name;
    int store[3], firmware[3];  // max, min, soft min; firmware -1: the read fails
    Lines events;               // after two checks
    std::string stored;
    Lines trace;          // of the first check
    int post = 0x02;      // POST power settings register (bit 1: capping enabled)
    int settings = 0x02;  // server power settings register (capping mode: low three bits)
    const char *refuseKey = "1", *refuseEvent = "1";
};

class CapChanges : public Events, public ::testing::WithParamInterface<CapCase> {};

TEST_P(CapChanges, ComparedPublishedAndTraced) {
    const CapCase &c = GetParam();
    Refuse(c.refuseKey, c.refuseEvent);
    fw_.registers[{0x00, 5}] = {uint8_t(c.post)};
    fw_.registers[{0x00, 9}] = {uint8_t(c.settings)};
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(c.store[i] == kAbsent || aim_config_set_int(Key(i).c_str(), c.store[i], 1));
        if (c.firmware[i] >= 0)
            fw_.registers[{0x07, 2 + 2 * i}] = {uint8_t(c.firmware[i] >> 8), uint8_t(c.firmware[i])};
    }
    CheckPowercapRelatedSettingForSendSWEvent();
    Lines trace = Trace();
    // Only the store remembers what was reported: the same firmware again
    // reports nothing new unless the store refused the value.
    CheckPowercapRelatedSettingForSendSWEvent();
    EXPECT_EQ(Recorded(), c.events);
    EXPECT_EQ(Stored(), c.stored);
    EXPECT_EQ(trace, c.trace);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, CapChanges,
    ::testing::Values(
        CapCase{"MaxRaised", {400, 300, 250}, {420, 300, 250}, {"115 400 420"}, "420 300 250", {}},
        CapCase{"AllInTableOrder",
                {400, 300, 250},
                {650, 280, 240},
                {"115 400 650", "114 300 280", "116 250 240"},
                "650 280 240",
                {}},
        CapCase{"ComparedByLow16Bits", {65536 + 420, -65536 + 300, 250}, {420, 300, 250}, {}, "65956 -65236 250", {}},
        CapCase{"NegativeStoredAsUnsigned", {-1, 300, 250}, {420, 300, 250}, {"115 65535 420"}, "420 300 250", {}},
        CapCase{"AbsentKeysSeeded",
                {kAbsent, kAbsent, kAbsent},
                {300, 200, 100},
                {},
                "300 200 100",
                {NotStored(0), NotStored(1), NotStored(2), Seeded(0, 300)[0], Seeded(0, 300)[1], Seeded(1, 200)[0],
                 Seeded(1, 200)[1], Seeded(2, 100)[0], Seeded(2, 100)[1]}},
        CapCase{"AbsentAndUnreadableSeedsZero",
                {kAbsent, 300, 250},
                {-1, 300, 250},
                {},
                "0 300 250",
                {NotStored(0), Seeded(0, -1)[0], Seeded(0, -1)[1]}},
        CapCase{"UnreadableLeavesStoreAlone",
                {400, 300, 250},
                {420, 300, -1},
                {"115 400 420"},
                "420 300 250",
                {Send("DBG", "SendPowerCapsChangedEvent: succeeds to get [" + Key(2) + "] from aim and value:[250]"),
                 Send("ERROR", "SendPowerCapsChangedEvent: failed to get " + Key(2) + " from qax")}},
        // A capping mode other than 2 or 5 warns; the limits are compared anyway.
        CapCase{"Mode3Warns", {400, 300, 250}, {401, 300, 250}, {"115 400 401"}, "401 300 250", kWarnMode3, 2, 0xFB},
        CapCase{"CappingDisabledIsSilent",
                {kAbsent, kAbsent, kAbsent},
                {420, 300, 250},
                {},
                "absent absent absent",
                {},
                0xFD},
        // A refused event still updates the store; a refused store write is reported again.
        CapCase{"RefusedEvent",
                {400, 300, 250},
                {420, 290, 250},
                {"114 300 290"},
                "420 290 250",
                {Send("ERROR", "Generate sw message 115 failed!!")},
                2,
                2,
                "1",
                "event <> 115"},
        CapCase{"RefusedStoreWrite",
                {400, 300, 250},
                {420, 300, 250},
                {"115 400 420", "115 400 420"},
                "400 300 250",
                {Send("ERROR", "write pcaps [420] to aim failed!")},
                2,
                2,
                "NOT (key = 'pcap_max_aim_element_qax' AND value = 420)"}),
    [](const ::testing::TestParamInfo<CapCase> &info) { return std::string(info.param.name); });

TEST_F(Events, RedundancyRequestsAndRecords) {
    fw_.watts = {900, 750};
    fw_.configs = {{9, 0x01FE, 2, 1, {0, 1, 0, 1}}};
    ASSERT_EQ(Describe(), 0u) << info_.szError;
    std::vector<std::pair<Bytes, int>> psu;
    for (const auto &s : fw_.sent)
        if (s.first.size() >= 6 && s.first[4] == 0x0A && s.first[5] != 0x82) psu.push_back(s);
    // Element configuration, two types, then the configuration (reading its length: 4 x 1 + 11).
    EXPECT_EQ(psu, (std::vector<std::pair<Bytes, int>>{{{0x4D, 0x4F, 0x00, 7, 0x0A, 0x80}, 10},
                                                       {{0x4D, 0x4F, 0x00, 7, 0x0A, 0x87, 0, 0, 4}, 11},
                                                       {{0x4D, 0x4F, 0x00, 7, 0x0A, 0x87, 0, 1, 4}, 11},
                                                       {{0x4D, 0x4F, 0x00, 7, 0x0A, 0x80}, 10},
                                                       {{0x4D, 0x4F, 0x00, 7, 0x0A, 0x87, 1, 0, 15}, 22}}));
    const RedundancyConfigRecord &c = info_.psConfigs[0];
    EXPECT_EQ((std::vector<uint64_t>{c.u8ConfigId, c.u16Properties, c.u8PropertyBit0Clear, c.u8PowerMode,
                                     c.u8PropertyBit6, c.u8PropertyBit7Clear, c.u64Value1, c.u64Value3}),
              (std::vector<uint64_t>{9, 0x1FE, 1, 1, 1, 0, 0x0102, 0x0506}));
}

using Match = std::function<bool(const Bytes &)>;
const Match kElementConfig = [](const Bytes &rq) { return rq.size() == 6 && rq[5] == 0x80; };
const Match kType = [](const Bytes &rq) { return rq.size() == 9 && rq[5] == 0x87 && rq[6] == 0; };
const Match kConfig = [](const Bytes &rq) { return rq.size() == 9 && rq[5] == 0x87 && rq[6] == 1; };
Match Register(uint8_t element, uint8_t id) {
    return [=](const Bytes &rq) { return rq.size() == 8 && rq[5] == 0x82 && rq[4] == element && rq[6] == id; };
}
Match Second(Match m) {
    return [m](const Bytes &rq) { return m(rq) && rq[7] == 1; };
}
// Edits the answers to matching requests, or (without `change`) fails them.
std::function<void(Firmware *)> Edit(Match match, std::function<void(Bytes *)> change = nullptr) {
    return [=](Firmware *fw) {
        fw->edit = [=](const Bytes &rq, Bytes *a) { return !match(rq) || (change && (change(a), true)); };
    };
}
std::function<void(Firmware *)> Answer(Match match, Bytes answer) {
    return Edit(match, [answer](Bytes *a) { *a = answer; });
}
std::function<void(Firmware *)> Configs(
    std::vector<uint16_t> watts, std::vector<PsuConfig> configs,
    std::function<void(Firmware *)> then = [](Firmware *) {}) {
    return [=](Firmware *fw) { fw->watts = watts, fw->configs = configs, then(fw); };
}

const PsuConfig kActive = {1, 0x7E, 1, 1, {0, 0}}, kPlain = {2, 0x03, 2, 0, {0, 0}};
const std::string kElementFn = "[QAX_ReadPowerSupplyElementConfigurationRegister] ";
const std::string kTypeFn = "[QAX_ReadSupportedPSUTypesIndexedBuffer] ";
const std::string kConfigFn = "[QAX_ReadSupportedRedundancyConfigsIndexedBuffer] ";
const char kElementError[] = "Error reading power supply element configuration register, rc=255";
const char kTypeError[] = "Error reading supported PSU types indexed buffer for index=0, rc=255";
const char kConfigError[] = "Error reading supported redundancy configs indexed buffer for index=0, rc=255";

// Each description format and each failure: result, `szError`, what is printed. What
// was filled before a failure is the caller's to release (the leak sanitizer checks).
TEST_F(Events, RedundancyDescriptionsAndErrors) {
    const struct {
        const char *name;
        std::function<void(Firmware *)> setup;
        unsigned status;
        const char *error;
        std::string printed, description = "";  // of the first configuration
    } cases[] = {
        {"OnePerFeed", Configs({900}, {{1, 0x42, 2, 1, {0, 0}}}), 0, "", "", "2+1 with one 900W power supply per feed"},
        {"FirstIndexCounts", Configs({900, 750}, {{1, 0x42, 1, 1, {1, 0}}}), 0, "", "",
         "1+1 with one 750W power supply per feed"},
        {"MixedPerFeed", Configs({900, 750}, {{1, 0x42, 2, 1, {0, 1, 0, 1}}}), 0, "", "",
         "2+1 with one 900W and 750W power supply per feed"},
        {"TwoPerFeed", Configs({900, 750}, {{1, 0x42, 2, 1, {1, 1, 0, 0}}}), 0, "", "",
         "2+1 with two 750W power supplies per feed"},
        {"LargeCounts", Configs({65535}, {{1, 0x42, 255, 0, {0, 0}}}), 0, "", "",
         "255+0 with one 65535W power supply per feed"},
        {"NoActiveConfiguration", Configs({900}, {kPlain}), 1, "Error, no active configuration found", "",
         "2+0 with one 900W power supply per feed"},
        {"NoFirmware", [](Firmware *fw) { fw->handle = 0; }, 1, "Error getting QAX module handle", ""},
        {"TargetRegister", Answer(Register(0x0A, 30), {0xC1}), 0xC1, "Error reading redundancy target register, rc=193",
         ""},
        {"PolicyRegister", Answer(Register(0x00, 16), {0xD4}), 0xD4,
         "Error reading power control policy register, rc=212", ""},
        {"ElementConfigCall", Edit(kElementConfig), 255, kElementError,
         kElementFn + "Failed to call ipmi(NETFN_KEP,ELEMENT_METHOD) and the result code is -1.\n"},
        {"ElementConfigCompletion", Answer(kElementConfig, {0xC9}), 0xC9,
         "Error reading power supply element configuration register, rc=201",
         kElementFn + "Failed to call ipmi(NETFN_KEP,ELEMENT_METHOD) and the respbuf[0] is 201.\n"},
        {"ElementConfigLength", Edit(kElementConfig, [](Bytes *a) { (*a)[4] = 4; }), 255, kElementError,
         kElementFn + "config len [4] is unexpected.\n"},
        {"NoConfigurations", Configs({900}, {}), 1,
         "Error reading power supply element configuration register, unexpected values, supportedConfigs=0 "
         "supportedPSUTypes=1",
         ""},
        {"TypeCompletion", Configs({900, 750}, {kActive}, Answer(Second(kType), {0xC9})), 0xC9,
         "Error reading supported PSU types indexed buffer for index=1, rc=201",
         kTypeFn +
             "Failed to call IPMI Command(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) and the result code is 201.\n"},
        {"TypeCall", Edit(kType), 255, kTypeError,
         kTypeFn +
             "Failed to call IPMI_DoIPMICmd(NETFN_KEP, CMDID_QAX_INVOKE_ELEMENT_METHOD) and the result code is -1.\n"},
        {"TypeDataTooShort", Edit(kType, [](Bytes *a) { (*a)[6] = 3; }), 255, kTypeError,
         kTypeFn + "Unexpected buffer length [3], expected at least 4.\n"},
        {"TypeForAnotherIndex", Edit(kType, [](Bytes *a) { (*a)[5] ^= 1; }), 255, kTypeError,
         kTypeFn + "Answer for buffer [0] index [1], asked [0] [0].\n"},
        {"ConfigCompletion", Configs({900}, {kActive, kPlain}, Answer(Second(kConfig), {0xC9})), 0xC9,
         "Error reading supported redundancy configs indexed buffer for index=1, rc=201",
         kConfigFn + "Failed to call IPMICmd(0x2E,0x81) and the resp[0] is 201.\n"},
        {"ConfigCall", Edit(kConfig), 255, kConfigError,
         kConfigFn + "Failed to call IPMICmd(0x2E,0x81) and the result code is -1.\n"},
        {"ConfigWithoutElementConfig",  // its own element configuration read fails
         [](Firmware *fw) {
             Edit([n = std::make_shared<int>(0)](const Bytes &rq) { return kElementConfig(rq) && ++*n == 2; })(fw);
         },
         255, kConfigError, kConfigFn + "Failed to call get ps element configurations.\n"},
        {"ConfigClaimsMoreThanReceived", Edit(kConfig, [](Bytes *a) { (*a)[6] = 200; }), 255, kConfigError,
         kConfigFn + "The response is too short (20 bytes, expected 207).\n"},
        {"ListLongerThanAByteCanAsk", Edit(kElementConfig, [](Bytes *a) { (*a)[8] = 62, (*a)[9] = 4; }), 255,
         kConfigError, kConfigFn + "Unexpected PSU type index list length [248].\n"},
        {"ListOfThree", Configs({900}, {{1, 0x7E, 1, 1, {0, 0, 0}}}), 1,
         "Error, unexpected value for u8PSUTypeIndexLen=3", ""},
        {"IndexEqualToTypeCountHalfway", Configs({900, 750}, {kActive, {1, 0x7E, 2, 1, {0, 1, 0, 2}}}), 1,
         "Error, PSU index (2) is larger than number of supported types (2)", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QAX_ResetSupportCacheForTest();
        aim_config_clear("qax_supported_0");
        Firmware fw;
        c.setup(&fw);
        EXPECT_EQ(Describe(), c.status);
        EXPECT_STREQ(info_.szError, c.error);
        EXPECT_NE(stdout_.find(c.printed), std::string::npos) << stdout_;
        if (!c.description.empty()) {
            EXPECT_STREQ(info_.ppszDescriptions[0], c.description.c_str());
        }
    }
}

}  // namespace
