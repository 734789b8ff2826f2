// The two event checks against the real event sink and store, over the fake firmware.
#include <sqlite3.h>

#include "events/events.h"
#include "events/events_testing.h"
#include "fake_firmware.h"
#include "platform/store_db.h"
#include "process.h"

namespace {

using Lines = std::vector<std::string>;

class Events : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetBufferEventLatchesForTest();
        QAX_ResetSupportCacheForTest();
        std::filesystem::create_directories(root_.Path() + "/tmp/qax_trace");
        fw_.registers = {{{0x00, 5}, {0x02}}, {{0x00, 9}, {0x02}}};  // capping enabled, mode 2
    }
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
    std::string Trace() const {
        std::istringstream in(qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt"));
        std::string lines;
        for (std::string l; std::getline(in, l);) lines += l.substr(l.find(' ') + 1) + "\n";
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

    qaxtest::TestRoot root_;
    fwtest::FakeFirmware fw_;
    size_t seen_ = 0;
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
        // Status bits 1-3 other than 0b001: nothing, and the latches stay as they were.
        {{0x04, 0x0008, ""}, {0x14, 0x000C, ""}, {0x3A, 0x000C, ""}, {0x00, 0x0004, ""}},
        {{0x12, 0x0008, "127 117"}, {0x06, 0, ""}, {0x0A, 0, ""}, {0x12, 0x0008, ""}, {0x02, 0, "130"}},
        {{0x93, 0, "127"}, {0xC3, 0, ""}},
        {{0x02, 0, ""}, {0x02, 0xFFF3, ""}, {0x02, 0, ""}},
        {{0x32, 0x000C, "125 117 118"}, {0x02, 0, "130 131"}},
    };
    for (size_t n = 0; n < sequences.size(); n++) {
        ResetBufferEventLatchesForTest();
        for (const Step &s : sequences[n])
            EXPECT_EQ(Cycle(s.status, s.flags), s.events) << "sequence " << n << std::hex << ", 0x" << int(s.status);
    }
    EXPECT_TRUE(Trace().empty());
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
    return "[" + type + "] \"SendPowerCapsChangedEvent\": SendPowerCapsChangedEvent: " + message + "\n";
}
// The lines of limit i: the key absent from the store, then seeded.
std::string NotStored(int i) {
    return "[ERROR] \"CheckPowercapRelatedSettingForSendSWEvent\": [CheckPowercapRelatedSettingForSendSWEvent]:Failed "
           "to get aim element " +
           Key(i) + ".\n";
}
std::string Seeded(int i, int firmware) {
    return Send("ERROR", "failed to get [" + Key(i) + "] from aim") +
           (firmware < 0 ? Send("ERROR", "failed to get " + Key(i) + " from qax")
                         : Send("DBG", "succeeds to get [" + Key(i) + "] from qax and value:[" +
                                           std::to_string(firmware) + "]"));
}
const std::string kWarnMode3 =
    "[WARN] \"CheckPowercapRelatedSettingForSendSWEvent\": CheckPowercapRelatedSettingForSendSWEvent: "
    "Pcap can not be read as power capping is not enabled[3]\n";
// Limits "max min soft-min": numbers, or "-" for none (absent from the store, unreadable from the firmware).
std::vector<int> Limits(const char *text) {
    std::istringstream in(text);
    std::vector<int> out;
    for (std::string w; in >> w;) out.push_back(w == "-" ? kAbsent : std::stoi(w));
    return out;
}

struct CapCase {
    const char *name, *store, *firmware;
    std::string events, stored, trace;  // events (comma-separated) after two checks; the trace of the first
    int post = 0x02;                    // POST power settings register (bit 1: capping enabled)
    int settings = 0x02;                // server power settings register (capping mode: low three bits)
    const char *refuseKey = "1", *refuseEvent = "1";
};
const CapCase kCapCases[] = {
    {"AllInTableOrder", "400 300 250", "650 280 240", "115 400 650, 114 300 280, 116 250 240", "650 280 240", ""},
    {"NegativeStoredAsUnsigned", "-1 300 250", "420 300 250", "115 65535 420", "420 300 250", ""},
    {"AbsentKeysSeeded", "- - -", "300 200 100", "", "300 200 100",
     NotStored(0) + NotStored(1) + NotStored(2) + Seeded(0, 300) + Seeded(1, 200) + Seeded(2, 100)},
    {"AbsentAndUnreadableSeedsZero", "- 300 250", "- 300 250", "", "0 300 250", NotStored(0) + Seeded(0, -1)},
    {"UnreadableLeavesStoreAlone", "400 300 250", "420 300 -", "115 400 420", "420 300 250",
     Send("DBG", "succeeds to get [" + Key(2) + "] from aim and value:[250]") +
         Send("ERROR", "failed to get " + Key(2) + " from qax")},
    // A capping mode other than 2 or 5 warns; the limits are compared anyway.
    {"Mode3Warns", "400 300 250", "401 300 250", "115 400 401", "401 300 250", kWarnMode3, 2, 0xFB},
    {"CappingDisabledIsSilent", "- - -", "420 300 250", "", "absent absent absent", "", 0xFD},
    // A refused event still updates the store; a refused store write is reported again.
    {"RefusedEvent", "400 300 250", "420 290 250", "114 300 290", "420 290 250",
     "[ERROR] \"SendPowerCapsChangedEvent\": Generate sw message 115 failed!!\n", 2, 2, "1", "event <> 115"},
    {"RefusedStoreWrite", "400 300 250", "420 300 250", "115 400 420, 115 400 420", "400 300 250",
     "[ERROR] \"SendPowerCapsChangedEvent\": write pcaps [420] to aim failed!\n", 2, 2,
     "NOT (key = 'pcap_max_aim_element_qax' AND value = 420)"},
};

class CapChanges : public Events, public ::testing::WithParamInterface<CapCase> {};

TEST_P(CapChanges, ComparedPublishedAndTraced) {
    const CapCase &c = GetParam();
    Refuse(c.refuseKey, c.refuseEvent);
    fw_.registers[{0x00, 5}] = {uint8_t(c.post)};
    fw_.registers[{0x00, 9}] = {uint8_t(c.settings)};
    const std::vector<int> store = Limits(c.store), firmware = Limits(c.firmware);
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(store[i] == kAbsent || aim_config_set_int(Key(i).c_str(), store[i], 1));
        if (firmware[i] != kAbsent)
            fw_.registers[{0x07, uint8_t(2 + 2 * i)}] = {uint8_t(firmware[i] >> 8), uint8_t(firmware[i])};
    }
    CheckPowercapRelatedSettingForSendSWEvent();
    const std::string trace = Trace();
    // Only the store remembers what was reported: the same firmware again
    // reports nothing new unless the store refused the value.
    CheckPowercapRelatedSettingForSendSWEvent();
    std::string events;
    for (const std::string &e : Recorded()) events += (events.empty() ? "" : ", ") + e;
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(Stored(), c.stored);
    EXPECT_EQ(trace, c.trace);
}

INSTANTIATE_TEST_SUITE_P(Limits, CapChanges, ::testing::ValuesIn(kCapCases),
                         [](const ::testing::TestParamInfo<CapCase> &info) { return std::string(info.param.name); });

}  // namespace
