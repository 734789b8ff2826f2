// The two event checks against the real event sink and store: snapshot status
// events over sequences of cycles, power-cap change events with the store
// seeded, missing or refusing, and the trace lines of each.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "daemon/daemon.h"
#include "events/events.h"
#include "firmware/element_method.h"
#include "firmware/fake_firmware.h"
#include "platform/platform.h"
#include "platform/store_db.h"
#include "process.h"
#include "test_root.h"

namespace {

using Ids = std::vector<int>;
using Lines = std::vector<std::string>;

const uint64_t kCycleUs = 10u * 1000 * 1000;

class EventsFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("ZOQ_FAMILY");
        ResetBufferEventLatchesForTest();
        QAX_ResetSupportCacheForTest();
        mkdir((root_.Path() + "/tmp/qax_trace").c_str(), 0755);
    }
    void TearDown() override {
        unsetenv("ZOQ_FAMILY");
        QAX_ResetSupportCacheForTest();
    }

    // Creates the persistent database before the store does, with CHECK
    // constraints that make it refuse chosen writes (a key, an event id).
    void RefuseInStore(const std::string &kvCheck, const std::string &eventCheck) {
        const std::string dir = root_.Path() + "/pstorage/aim";
        mkdir(dir.c_str(), 0755);
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open((dir + "/aim.db").c_str(), &db), SQLITE_OK);
        const std::string sql =
            "CREATE TABLE kv(key TEXT PRIMARY KEY NOT NULL, value INTEGER NOT NULL CHECK(" +
            kvCheck + ")) WITHOUT ROWID;"
            "CREATE TABLE events(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, "
            "event INTEGER NOT NULL CHECK(" + eventCheck + "), old_value TEXT, new_value TEXT);";
        char *error = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
            << (error != nullptr ? error : "");
        sqlite3_free(error);
        sqlite3_close(db);
    }

    static std::vector<qaxstore::Event> Events() {
        std::vector<qaxstore::Event> events;
        EXPECT_TRUE(qaxstore::ReadEvents(&events));
        return events;
    }
    static Ids EventIds() {
        Ids ids;
        for (const auto &e : Events()) ids.push_back(static_cast<int>(e.id));
        return ids;
    }

    // Trace lines without their time stamp: `[TYPE] "function": message`.
    Lines Trace() const {
        std::string text = qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt");
        Lines lines;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            size_t space = line.find(' ');
            lines.push_back(space == std::string::npos ? line : line.substr(space + 1));
            start = end + 1;
        }
        return lines;
    }
    void ClearTrace() const {
        std::string path = root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt";
        remove(path.c_str());
    }

    qaxtest::TestRoot root_;
};

// ---------------------------------------------------------------------------
// Snapshot status events

struct Cycle {
    uint8_t status;
    uint16_t flags;
    Ids expected;
};

struct SequenceCase {
    const char *name;
    std::vector<Cycle> cycles;
};

// Runs the cycles, one virtual 10 s apart, and answers the event ids of each
// cycle (grouped by the time the sink recorded).
std::vector<Ids> RunCycles(const std::vector<Cycle> &cycles) {
    MetricValue value;
    memset(&value, 0, sizeof value);
    std::vector<uint64_t> starts;
    for (const Cycle &c : cycles) {
        QaxClockSleepUs(kCycleUs);
        starts.push_back(QaxClockWallMs());
        value.u8BufferStatus = c.status;
        value.u16StatusFlags = c.flags;
        CheckBufForSendSWEvent(&value);
    }
    std::vector<Ids> seen(cycles.size());
    std::vector<qaxstore::Event> events;
    EXPECT_TRUE(qaxstore::ReadEvents(&events));
    for (const auto &e : events) {
        size_t i = 0;
        while (i + 1 < starts.size() && static_cast<uint64_t>(e.timeMs) >= starts[i + 1]) i++;
        EXPECT_FALSE(e.hasOld || e.hasNew) << "status event " << e.id << " carries values";
        seen[i].push_back(static_cast<int>(e.id));
    }
    return seen;
}

class StatusEvents : public EventsFixture, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(StatusEvents, EachConditionReportedOnce) {
    const SequenceCase &c = GetParam();
    std::vector<Ids> seen = RunCycles(c.cycles);
    for (size_t i = 0; i < c.cycles.size(); i++) {
        EXPECT_EQ(seen[i], c.cycles[i].expected)
            << "cycle " << i << " status 0x" << std::hex << int(c.cycles[i].status) << " flags 0x"
            << c.cycles[i].flags;
    }
    EXPECT_TRUE(Trace().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, StatusEvents,
    ::testing::Values(
        SequenceCase{"Bit4Lasting", {{0x12, 0, {127}}, {0x12, 0, {}}, {0x12, 0, {}}}},
        SequenceCase{"PairFirstThenBit4ThenNone",
                     {{0x32, 0, {125}}, {0x12, 0, {}}, {0x02, 0, {}}, {0x12, 0, {127}}}},
        SequenceCase{"Bit4ThenPair", {{0x12, 0, {127}}, {0x32, 0, {126, 125}}, {0x32, 0, {}}}},
        SequenceCase{"Bit5ThenPair", {{0x22, 0, {126}}, {0x32, 0, {127, 125}}}},
        SequenceCase{"GateNotMetRaisesNothing",
                     {{0x04, 0x0008, {}}, {0x14, 0x000C, {}}, {0x3A, 0x000C, {}}, {0x00, 0x0004, {}}}},
        SequenceCase{"GateNotMetKeepsLatches",
                     {{0x12, 0x0008, {127, 117}}, {0x06, 0x0000, {}}, {0x0A, 0x0000, {}},
                      {0x12, 0x0008, {}}, {0x02, 0x0000, {130}}}},
        SequenceCase{"GateIgnoresOtherBits", {{0x93, 0x0000, {127}}, {0xC3, 0x0000, {}}}},
        SequenceCase{"Flag2SetClearClear", {{0x02, 0x0004, {118}}, {0x02, 0, {131}}, {0x02, 0, {}}}},
        SequenceCase{"Flag3NeverSetNeverCleared", {{0x02, 0, {}}, {0x02, 0xFFF3, {}}, {0x02, 0, {}}}},
        SequenceCase{"AllAtOnceInOrder",
                     {{0x32, 0x000C, {125, 117, 118}}, {0x02, 0x0000, {130, 131}}}}),
    [](const ::testing::TestParamInfo<SequenceCase> &info) { return std::string(info.param.name); });

// Many cycles of random bits. The latches mirror the last cycle whose gate
// was met, so the events are the edges of that gated sequence.
TEST_F(EventsFixture, RandomSequenceGivesTheEdgesOfTheGatedSequence) {
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    std::vector<Cycle> cycles;
    bool s4 = false, s5 = false, f3 = false, f2 = false;
    for (int i = 0; i < 400; i++) {
        uint64_t r = next();
        // Mostly a valid gate, with bits that change now and then.
        uint8_t status = (r & 0x7) == 0 ? static_cast<uint8_t>(r >> 8) : 0x02;
        status = static_cast<uint8_t>(status | ((r >> 16) & 0x30));
        uint16_t flags = static_cast<uint16_t>((r >> 24) & 0xFFFF);
        Cycle c{status, flags, {}};
        if ((status & 0x0E) == 0x02) {
            bool n4 = status & 0x10, n5 = status & 0x20;
            if (n4 && n5) {
                if (!(s4 && s5)) {
                    if (!s4 && s5) c.expected.push_back(127);
                    if (s4 && !s5) c.expected.push_back(126);
                    c.expected.push_back(125);
                }
            } else if (n4 && !s4) {
                c.expected.push_back(127);
            } else if (n5 && !s5) {
                c.expected.push_back(126);
            }
            s4 = n4;
            s5 = n5;
            bool n3 = flags & 0x8, n2 = flags & 0x4;
            if (n3 != f3) c.expected.push_back(n3 ? 117 : 130);
            if (n2 != f2) c.expected.push_back(n2 ? 118 : 131);
            f3 = n3;
            f2 = n2;
        }
        cycles.push_back(c);
    }
    std::vector<Ids> seen = RunCycles(cycles);
    int total = 0;
    for (size_t i = 0; i < cycles.size(); i++) {
        EXPECT_EQ(seen[i], cycles[i].expected) << "cycle " << i;
        total += static_cast<int>(cycles[i].expected.size());
    }
    EXPECT_GT(total, 100);  // the sequence really exercised the edges
}

TEST_F(EventsFixture, NullRecordIsTracedAndChangesNothing) {
    CheckBufForSendSWEvent(nullptr);
    EXPECT_EQ(Trace(), Lines({"[ERROR] \"CheckBufForSendSWEvent\": Null parament."}));
    EXPECT_TRUE(EventIds().empty());
    std::vector<Ids> seen = RunCycles({{0x12, 0, {127}}});
    EXPECT_EQ(seen[0], Ids({127}));
}

// A refused event is traced once and not repeated; the check goes on with the
// next condition.
TEST_F(EventsFixture, RefusedStatusEventsAreTracedAndNotRepeated) {
    RefuseInStore("1", "event NOT IN (127, 117, 131)");
    std::vector<Ids> seen = RunCycles({{0x12, 0x000C, {}},
                                       {0x12, 0x000C, {}},
                                       {0x32, 0x0008, {126, 125}},
                                       {0x02, 0x0000, {130}}});
    EXPECT_EQ(seen[0], Ids({118}));
    EXPECT_EQ(seen[1], Ids());
    EXPECT_EQ(seen[2], Ids({126, 125}));
    EXPECT_EQ(seen[3], Ids({130}));
    EXPECT_EQ(Trace(), Lines({"[ERROR] \"CheckBufForSendSWEvent\": Generate sw message 127 failed!!",
                              "[ERROR] \"CheckBufForSendSWEvent\": Generate sw message 117 failed!!",
                              "[ERROR] \"CheckBufForSendSWEvent\": Generate sw message 131 failed!!"}));
}

// ---------------------------------------------------------------------------
// Power-cap change events

const char kMaxKey[] = "pcap_max_aim_element_qax";
const char kMinKey[] = "pcap_min_aim_element_qax";
const char kSoftMinKey[] = "pcap_soft_min_aim_element_qax";
const char kCheck[] = "\"CheckPowercapRelatedSettingForSendSWEvent\": ";
const char kSend[] = "\"SendPowerCapsChangedEvent\": ";

struct Change {
    int id;
    std::string oldValue, newValue;
    bool operator==(const Change &o) const {
        return id == o.id && oldValue == o.oldValue && newValue == o.newValue;
    }
};
std::ostream &operator<<(std::ostream &os, const Change &c) {
    return os << c.id << " " << c.oldValue << "->" << c.newValue;
}

constexpr int kAbsent = INT_MIN;  // store: the key holds no value

class PowerCapEvents : public EventsFixture {
  public:
    void SetUp() override {
        EventsFixture::SetUp();
        fake_.SetRegister(0x00, 5, {0x02});  // capping enabled
        fake_.SetRegister(0x00, 9, {0x02});  // capping mode 2
    }
    void Firmware(int max, int min, int softMin) {  // -1: the read fails
        SetCap(2, max);
        SetCap(4, min);
        SetCap(6, softMin);
    }
    void SetCap(uint8_t id, int value) {
        if (value < 0) {
            fake_.registers.erase({0x07, id});
        } else {
            fake_.SetRegister(0x07, id, {uint8_t(value >> 8), uint8_t(value)});
        }
    }
    static void Store(const char *key, int32_t value) {
        ASSERT_NE(aim_config_set_int(key, value, 1), 0);
    }
    static std::string Stored(const char *key) {
        int32_t v = 0;
        return aim_config_get_int(key, &v) ? std::to_string(v) : "absent";
    }
    static std::vector<Change> Changes() {
        std::vector<Change> out;
        for (const auto &e : Events()) {
            EXPECT_TRUE(e.hasOld && e.hasNew) << e.id;
            out.push_back({static_cast<int>(e.id), e.oldValue, e.newValue});
        }
        return out;
    }
    fwtest::FakeFirmware fake_;
};

struct CapCase {
    const char *name;
    int store[3];     // max, min, soft min; kAbsent = no value
    int firmware[3];  // -1 = read fails
    std::vector<Change> changes;
    std::string storedAfter[3];
    Lines trace;
};

class PowerCapCases : public PowerCapEvents, public ::testing::WithParamInterface<CapCase> {};

TEST_P(PowerCapCases, ComparesPublishesAndTraces) {
    const CapCase &c = GetParam();
    const char *keys[3] = {kMaxKey, kMinKey, kSoftMinKey};
    for (int i = 0; i < 3; i++)
        if (c.store[i] != kAbsent) Store(keys[i], c.store[i]);
    Firmware(c.firmware[0], c.firmware[1], c.firmware[2]);

    CheckPowercapRelatedSettingForSendSWEvent();
    EXPECT_EQ(Changes(), c.changes);
    for (int i = 0; i < 3; i++) EXPECT_EQ(Stored(keys[i]), c.storedAfter[i]) << keys[i];
    EXPECT_EQ(Trace(), c.trace);

    // The store now remembers what the firmware said: a second call with the
    // same firmware raises nothing new.
    ClearTrace();
    CheckPowercapRelatedSettingForSendSWEvent();
    EXPECT_EQ(Changes(), c.changes);
}

std::string Line(const char *type, const char *function, const std::string &message) {
    return std::string("[") + type + "] " + function + message;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, PowerCapCases,
    ::testing::Values(
        CapCase{"MaxRaised", {400, 300, 250}, {420, 300, 250}, {{115, "400", "420"}},
                {"420", "300", "250"}, {}},
        CapCase{"AllChangedInTableOrder", {400, 300, 250}, {650, 280, 240},
                {{115, "400", "650"}, {114, "300", "280"}, {116, "250", "240"}},
                {"650", "280", "240"}, {}},
        CapCase{"ComparedByLow16Bits", {65536 + 420, -65536 + 300, 250}, {420, 300, 250}, {},
                {"65956", "-65236", "250"}, {}},
        CapCase{"NegativeStoreValueReportedAsUnsigned", {-1, 300, 250}, {420, 300, 250},
                {{115, "65535", "420"}}, {"420", "300", "250"}, {}},
        CapCase{"AbsentKeysSeededFromFirmware",
                {kAbsent, kAbsent, kAbsent},
                {300, 200, 100},
                {},
                {"300", "200", "100"},
                {Line("ERROR", kCheck,
                      "[CheckPowercapRelatedSettingForSendSWEvent]:Failed to get aim element "
                      "pcap_max_aim_element_qax."),
                 Line("ERROR", kCheck,
                      "[CheckPowercapRelatedSettingForSendSWEvent]:Failed to get aim element "
                      "pcap_min_aim_element_qax."),
                 Line("ERROR", kCheck,
                      "[CheckPowercapRelatedSettingForSendSWEvent]:Failed to get aim element "
                      "pcap_soft_min_aim_element_qax."),
                 Line("ERROR", kSend,
                      "SendPowerCapsChangedEvent: failed to get [pcap_max_aim_element_qax] from aim"),
                 Line("DBG", kSend,
                      "SendPowerCapsChangedEvent: succeeds to get [pcap_max_aim_element_qax] from "
                      "qax and value:[300]"),
                 Line("ERROR", kSend,
                      "SendPowerCapsChangedEvent: failed to get [pcap_min_aim_element_qax] from aim"),
                 Line("DBG", kSend,
                      "SendPowerCapsChangedEvent: succeeds to get [pcap_min_aim_element_qax] from "
                      "qax and value:[200]"),
                 Line("ERROR", kSend,
                      "SendPowerCapsChangedEvent: failed to get [pcap_soft_min_aim_element_qax] "
                      "from aim"),
                 Line("DBG", kSend,
                      "SendPowerCapsChangedEvent: succeeds to get [pcap_soft_min_aim_element_qax] "
                      "from qax and value:[100]")}},
        CapCase{"AbsentKeyAndFailedReadSeedZero",
                {kAbsent, 300, 250},
                {-1, 300, 250},
                {},
                {"0", "300", "250"},
                {Line("ERROR", kCheck,
                      "[CheckPowercapRelatedSettingForSendSWEvent]:Failed to get aim element "
                      "pcap_max_aim_element_qax."),
                 Line("ERROR", kSend,
                      "SendPowerCapsChangedEvent: failed to get [pcap_max_aim_element_qax] from aim"),
                 Line("ERROR", kSend,
                      "SendPowerCapsChangedEvent: failed to get pcap_max_aim_element_qax from qax")}},
        CapCase{"FailedReadLeavesStoreAlone",
                {400, 300, 250},
                {420, 300, -1},
                {{115, "400", "420"}},
                {"420", "300", "250"},
                {Line("DBG", kSend,
                      "SendPowerCapsChangedEvent: succeeds to get [pcap_soft_min_aim_element_qax] "
                      "from aim and value:[250]"),
                 Line("ERROR", kSend,
                      "SendPowerCapsChangedEvent: failed to get pcap_soft_min_aim_element_qax from "
                      "qax")}}),
    [](const ::testing::TestParamInfo<CapCase> &info) { return std::string(info.param.name); });

TEST_F(PowerCapEvents, CappingModeOtherThanTwoOrFiveWarnsAndComparesAnyway) {
    struct ModeCase {
        int settings;  // -1: the read fails
        bool warns;
        int mode;
    };
    for (ModeCase m : {ModeCase{0x03, true, 3}, ModeCase{0x00, true, 0}, ModeCase{0x02, false, 2},
                       ModeCase{0x05, false, 5}, ModeCase{0xFA, false, 2}, ModeCase{0x0F, true, 7},
                       ModeCase{-1, false, 0}}) {
        SCOPED_TRACE(m.settings);
        ClearTrace();
        if (m.settings < 0) {
            fake_.registers.erase({0x00, 9});
        } else {
            fake_.SetRegister(0x00, 9, {uint8_t(m.settings)});
        }
        Store(kMaxKey, 400);
        Store(kMinKey, 300);
        Store(kSoftMinKey, 250);
        Firmware(401, 300, 250);
        size_t before = Changes().size();
        CheckPowercapRelatedSettingForSendSWEvent();
        ASSERT_EQ(Changes().size(), before + 1);
        EXPECT_EQ(Changes().back(), (Change{115, "400", "401"}));
        Lines expected;
        if (m.warns)
            expected.push_back(Line("WARN", kCheck,
                                    "CheckPowercapRelatedSettingForSendSWEvent: Pcap can not be "
                                    "read as power capping is not enabled[" +
                                        std::to_string(m.mode) + "]"));
        EXPECT_EQ(Trace(), expected);
    }
}

// Capping disabled, a blade, or no firmware: silent, and the store is not
// touched (not even seeded).
TEST_F(PowerCapEvents, InactiveCappingIsSilentAndLeavesTheStoreAlone) {
    struct InactiveCase {
        const char *name;
        std::function<void(PowerCapEvents *)> setup;
    };
    const std::vector<InactiveCase> cases = {
        {"capping disabled", [](PowerCapEvents *t) { t->fake_.SetRegister(0x00, 5, {0xFD}); }},
        {"blade", [](PowerCapEvents *) { setenv("ZOQ_FAMILY", "blade", 1); }},
        {"no firmware", [](PowerCapEvents *t) { t->fake_.handles[0] = 0; }},
    };
    for (const InactiveCase &c : cases) {
        SCOPED_TRACE(c.name);
        QAX_ResetSupportCacheForTest();
        aim_config_clear("qax_supported_0");
        fake_.SetRegister(0x00, 5, {0x02});
        fake_.handles[0] = 7;
        unsetenv("ZOQ_FAMILY");
        c.setup(this);
        Firmware(420, 300, 250);
        CheckPowercapRelatedSettingForSendSWEvent();
        EXPECT_EQ(Stored(kMaxKey), "absent");
        EXPECT_EQ(Stored(kMinKey), "absent");
        EXPECT_EQ(Stored(kSoftMinKey), "absent");
        EXPECT_TRUE(Changes().empty());
        EXPECT_TRUE(Trace().empty());
        EXPECT_EQ(fake_.CountRegister(0x07, 2), 0);
    }
}

// The dispatcher refuses: traced, the store is updated all the same, and the
// change is not reported again.
TEST_F(PowerCapEvents, RefusedEventStillUpdatesTheStore) {
    RefuseInStore("1", "event <> 115");
    Store(kMaxKey, 400);
    Store(kMinKey, 300);
    Store(kSoftMinKey, 250);
    Firmware(420, 290, 250);
    CheckPowercapRelatedSettingForSendSWEvent();
    EXPECT_EQ(Changes(), (std::vector<Change>{{114, "300", "290"}}));
    EXPECT_EQ(Stored(kMaxKey), "420");
    EXPECT_EQ(Trace(), Lines({Line("ERROR", kSend, "Generate sw message 115 failed!!")}));
    ClearTrace();
    CheckPowercapRelatedSettingForSendSWEvent();
    EXPECT_EQ(Changes().size(), 1u);
    EXPECT_TRUE(Trace().empty());
}

// The store refuses the new value: traced, and the change is reported again
// by the next call, which sees the old value.
TEST_F(PowerCapEvents, RefusedStoreWriteReportsTheChangeAgain) {
    RefuseInStore("NOT (key = 'pcap_max_aim_element_qax' AND value = 420)", "1");
    Store(kMaxKey, 400);
    Store(kMinKey, 300);
    Store(kSoftMinKey, 250);
    Firmware(420, 300, 250);
    CheckPowercapRelatedSettingForSendSWEvent();
    CheckPowercapRelatedSettingForSendSWEvent();
    EXPECT_EQ(Changes(), (std::vector<Change>{{115, "400", "420"}, {115, "400", "420"}}));
    EXPECT_EQ(Stored(kMaxKey), "400");
    EXPECT_EQ(Trace(), Lines({Line("ERROR", kSend, "write pcaps [420] to aim failed!"),
                              Line("ERROR", kSend, "write pcaps [420] to aim failed!")}));
}

// One limit handled directly: ids outside 114-116 are refused without an
// event but the store is still updated; a 16-bit value is reported whole.
TEST_F(PowerCapEvents, SendHandlesMasksAndUnexpectedIds) {
    SendPowerCapsChangedEvent(0x02, 0x02, 400, 420, 0x02, 117, kMaxKey);
    EXPECT_TRUE(Changes().empty());
    EXPECT_EQ(Stored(kMaxKey), "420");
    EXPECT_EQ(Trace(), Lines({Line("ERROR", kSend, "117 unexpected event id !!")}));

    ClearTrace();
    SendPowerCapsChangedEvent(0x08, 0x08, 250, 65535, 0x08, 116, kSoftMinKey);
    EXPECT_EQ(Changes(), (std::vector<Change>{{116, "250", "65535"}}));
    EXPECT_TRUE(Trace().empty());
}

}  // namespace
