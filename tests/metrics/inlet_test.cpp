// Blade inlet temperatures: which sensor records become list nodes, in what
// order, with what text, and what a failing or odd sensor query does.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/daemon.h"
#include "metrics/metrics.h"
#include "platform/ipmi_internal.h"
#include "platform/platform.h"
#include "test_root.h"

namespace {

// One 1492-byte record: valid byte at 2, name at 6, reading at 198. Names
// and readings are written raw, so they may fill their field without a
// terminator.
struct SensorRecord {
    std::string name;
    std::string reading;
    uint8_t valid = 0;
};

std::string Encode(const std::vector<SensorRecord> &records) {
    std::string bytes;
    for (size_t i = 0; i < records.size(); i++) {
        std::string r(1492, '\0');
        r[0] = static_cast<char>(i);
        r[2] = static_cast<char>(records[i].valid);
        r[3] = 1;
        r.replace(6, std::min<size_t>(records[i].name.size(), 192), records[i].name.substr(0, 192));
        r.replace(198, std::min<size_t>(records[i].reading.size(), 1294), records[i].reading.substr(0, 1294));
        bytes += r;
    }
    return bytes;
}

// The platform's sensor query answered from a byte string (cut to the
// buffer, as the platform does), or failing with a code.
class SensorSource {
  public:
    SensorSource() { QaxSensorSetSourceOverride(&Answer, this); }
    ~SensorSource() { QaxSensorSetSourceOverride(nullptr, nullptr); }
    SensorSource(const SensorSource &) = delete;
    SensorSource &operator=(const SensorSource &) = delete;

    std::string bytes;
    int result = 0;
    int calls = 0;
    uint8_t typeAsked = 0;

  private:
    static int Answer(void *context, uint8_t type, uint8_t *buffer, uint32_t size, uint32_t *written) {
        auto *self = static_cast<SensorSource *>(context);
        self->calls++;
        self->typeAsked = type;
        if (self->result != 0) return self->result;
        const size_t n = std::min<size_t>(self->bytes.size(), size);
        memcpy(buffer, self->bytes.data(), n);
        *written = static_cast<uint32_t>(n);
        return 0;
    }
};

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::pair<uint32_t, std::string>> List() {
    std::vector<std::pair<uint32_t, std::string>> out;
    const InletTemperatureNode *n = sInletTemperatureBuffer.psFirst;
    for (unsigned i = 0; n != nullptr && i < sInletTemperatureBuffer.u8Count; i++, n = n->psNext) {
        EXPECT_EQ(n->szTemperature[63], '\0');
        out.emplace_back(n->u32SensorIndex, n->szTemperature);
    }
    return out;
}

class BladeInlet : public ::testing::Test {
  protected:
    void SetUp() override {
        mkdir((root_.Path() + "/tmp/qax_trace").c_str(), 0700);
        memset(&sInletTemperatureBuffer, 0, sizeof(sInletTemperatureBuffer));
        setenv("ZOQ_FAMILY", "blade", 1);
    }
    void TearDown() override {
        FreeInletTemperatureSnapshotBuffer(&sInletTemperatureBuffer);
        unsetenv("ZOQ_FAMILY");
    }
    std::string Trace() const { return ReadFile(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt"); }
    qaxtest::TestRoot root_;
};

TEST(InletSensorIndex, KnowsExactlyTheFiveNames) {
    const std::pair<const char *, uint32_t> cases[] = {
        {"Inlet Temp", 0},     {"Inlet 1 Temp", 1}, {"Inlet 2 Temp", 2}, {"PEN Inlet Temp", 3},
        {"SEN Inlet Temp", 4}, {"inlet temp", 5},   {"Inlet Temp ", 5},  {"", 5},
        {"CPU 1 Temp", 5},     {nullptr, 5},
    };
    for (const auto &c : cases) EXPECT_EQ(GetInletSensorIndex(c.first), c.second) << (c.first ? c.first : "null");
}

// Which records match and in what order the list holds them: the front of
// the list is the last matching record.
TEST_F(BladeInlet, PicksTheInletSensorsAndPrependsThem) {
    const std::string longReading = std::string(62, '1') + "xyz";
    struct Case {
        const char *name;
        std::vector<SensorRecord> records;
        std::vector<std::pair<uint32_t, std::string>> list;
    };
    const std::vector<Case> cases = {
        {"two sensors", {{"Inlet 1 Temp", "22.375"}, {"Inlet 2 Temp", "22.875"}},
         {{2, "22.875"}, {1, "22.375"}}},
        {"invalid record skipped", {{"Inlet Temp", "99", 1}, {"SEN Inlet Temp", "30"}}, {{4, "30"}}},
        {"names must match exactly",
         {{"inlet temp", "1"}, {"Inlet Temp ", "2"}, {"Inlet Temp\tX", "3"}, {"CPU 1 Temp", "45"}}, {}},
        {"reading cut to 63 characters", {{"PEN Inlet Temp", longReading}}, {{3, longReading.substr(0, 63)}}},
        {"name filling its whole field", {{std::string(192, 'N'), "1"}, {"Inlet Temp", "20"}}, {{0, "20"}}},
        {"reading without terminator up to the record end", {{"Inlet Temp", std::string(1294, '7')}},
         {{0, std::string(63, '7')}}},
        {"all five, one unavailable",
         {{"Inlet Temp", "20"}, {"Inlet 1 Temp", "Unavailable"}, {"Inlet 2 Temp", "21"},
          {"PEN Inlet Temp", "22"}, {"SEN Inlet Temp", ""}},
         {{4, ""}, {3, "22"}, {2, "21"}, {1, "Unavailable"}, {0, "20"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SensorSource source;
        source.bytes = Encode(c.records);
        EXPECT_EQ(WriteBladeInletTemperatureFromInletSensor(), 0);
        EXPECT_EQ(source.typeAsked, 1);
        EXPECT_EQ(List(), c.list);
        FreeInletTemperatureSnapshotBuffer(&sInletTemperatureBuffer);
    }
    EXPECT_NE(Trace().find("[WARN] \"WriteBladeInletTemperatureFromInletSensor\": Sensor[Inlet 1 Temp] 's "
                           "inlet temp is Unavailable\n"),
              std::string::npos)
        << Trace();
}

// Results and standard output of the query's outcomes.
TEST_F(BladeInlet, ReportsQueryOutcomes) {
    struct Case {
        const char *name;
        const char *family;
        std::string bytes;
        int queryResult;
        int result;
        unsigned nodes;
        std::string out;
    };
    const std::string one = Encode({{"Inlet Temp", "20"}});
    const std::vector<Case> cases = {
        {"not a blade", "rack", one, 0, 0, 0,
         "WriteBladeInletTemperatureFromInletSensor -- non-blade platform does not need read inlet "
         "temperature from ipmi sensor at all\n"},
        {"family unset", nullptr, one, 0, 0, 0,
         "WriteBladeInletTemperatureFromInletSensor -- non-blade platform does not need read inlet "
         "temperature from ipmi sensor at all\n"},
        {"query fails", "blade", one, 7, 1, 0, "Unable to get sensor info (type 1), AIM returned 7\n"},
        {"one byte short of a record", "iteblade", one.substr(0, 1491), 0, 1, 0, "No sensor info for type 1\n"},
        {"exactly one record", "blade", one, 0, 0, 1, "totally there are 1 sensor info for type 1\n"},
        {"a partial record behind", "blade", one + one.substr(0, 700), 0, 0, 1,
         "totally there are 1 sensor info for type 1\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.family != nullptr) setenv("ZOQ_FAMILY", c.family, 1);
        else unsetenv("ZOQ_FAMILY");
        SensorSource source;
        source.bytes = c.bytes;
        source.result = c.queryResult;
        testing::internal::CaptureStdout();
        EXPECT_EQ(WriteBladeInletTemperatureFromInletSensor(), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(sInletTemperatureBuffer.u8Count, c.nodes);
        if (c.family == nullptr || strcmp(c.family, "rack") == 0) {
            EXPECT_EQ(source.calls, 0);
        }
        FreeInletTemperatureSnapshotBuffer(&sInletTemperatureBuffer);
    }
}

// A full buffer of matching records (768) does not overflow the 8-bit
// count: the list stops at 255 nodes, and nodes already in the list stay.
TEST_F(BladeInlet, ListStopsAt255Nodes) {
    SensorSource source;
    source.bytes = Encode(std::vector<SensorRecord>(768, SensorRecord{"Inlet Temp", "20", 0}));
    ASSERT_EQ(WriteBladeInletTemperatureFromInletSensor(), 0);
    EXPECT_EQ(sInletTemperatureBuffer.u8Count, 255);
    EXPECT_EQ(List().size(), 255u);
    ASSERT_EQ(WriteBladeInletTemperatureFromInletSensor(), 0);
    EXPECT_EQ(sInletTemperatureBuffer.u8Count, 255);
}

}  // namespace
