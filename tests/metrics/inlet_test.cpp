// Blade inlet temperatures: which sensor records become list nodes (the
// index is the name's place in the name table), in what order and with what
// text, and what the query's outcomes print.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "metrics/metrics.h"
#include "platform/ipmi_internal.h"
#include "process.h"
#include "test_root.h"

namespace {

// 1492-byte records: valid byte at 2, name at 6, reading at 198, written raw
// so that they may fill their field without a terminator.
struct Sensor {
    std::string name, reading;
    uint8_t valid = 0;
};

std::string Encode(const std::vector<Sensor> &sensors) {
    std::string bytes;
    for (const Sensor &s : sensors) {
        std::string r(1492, '\0');
        r[2] = static_cast<char>(s.valid);
        r.replace(6, s.name.size(), s.name);
        r.replace(198, s.reading.size(), s.reading);
        bytes += r;
    }
    return bytes;
}

// The platform's sensor query, answered from `answer` or failing with `result`.
std::string answer;
int result = 0;
int Query(void *, uint8_t type, uint8_t *buffer, uint32_t size, uint32_t *written) {
    if (type != 1 || result != 0) return type != 1 ? 99 : result;
    *written = static_cast<uint32_t>(std::min<size_t>(answer.size(), size));
    memcpy(buffer, answer.data(), *written);
    return 0;
}

// The list, front first: "index=text ...".
std::string List() {
    std::string out;
    const InletTemperatureNode *n = sInletTemperatureBuffer.psFirst;
    for (unsigned i = 0; n != nullptr && i < sInletTemperatureBuffer.u8Count; i++, n = n->psNext)
        out += (i ? " " : "") + std::to_string(n->u32SensorIndex) + "=" +
               std::string(n->szTemperature, strnlen(n->szTemperature, 64));
    return out;
}

TEST(BladeInlet, PicksTheInletSensors) {
    qaxtest::TestRoot root;
    mkdir((root.Path() + "/tmp/qax_trace").c_str(), 0700);
    QaxSensorSetSourceOverride(&Query, nullptr);
    const std::string nonBlade =
        "WriteBladeInletTemperatureFromInletSensor -- non-blade platform does not need read inlet "
        "temperature from ipmi sensor at all\n";
    const std::string one = "totally there are 1 sensor info for type 1\n";
    const std::string two = "totally there are 2 sensor info for type 1\n";
    // The list, and the exact standard output.
    struct Case {
        const char *name, *family;
        std::string bytes;
        int queryResult, result;
        std::string list, out;
    };
    const std::string single = Encode({{"Inlet Temp", "20"}}), ones(62, '1');
    std::string many = "0=20";
    for (int i = 1; i < 255; i++) many += " 0=20";
    const std::vector<Case> cases = {
        {"two sensors, prepended", "blade", Encode({{"Inlet 1 Temp", "22.375"}, {"Inlet 2 Temp", "22.875"}}), 0, 0,
         "2=22.875 1=22.375", two},
        {"invalid record skipped", "iteblade", Encode({{"Inlet Temp", "99", 1}, {"SEN Inlet Temp", "30"}}), 0, 0,
         "4=30", two},
        {"names must match exactly", "blade", Encode({{"inlet temp", "1"}, {"Inlet Temp ", "2"}}), 0, 0, "", two},
        {"reading cut to 63", "blade", Encode({{"PEN Inlet Temp", ones + "xyz"}}), 0, 0, "3=" + ones + "x", one},
        // Name and reading fill their fields up to the record's end: no overread.
        {"unterminated fields", "blade", Encode({{std::string(192, 'N'), "1"}, {"Inlet Temp", std::string(1294, '7')}}),
         0, 0, "0=" + std::string(63, '7'), two},
        {"unavailable kept", "blade", Encode({{"Inlet 1 Temp", "Unavailable"}}), 0, 0, "1=Unavailable", one},
        {"not a blade", "rack", single, 0, 0, "", nonBlade},
        {"family unset", nullptr, single, 0, 0, "", nonBlade},
        {"query fails", "blade", single, 7, 1, "", "Unable to get sensor info (type 1), AIM returned 7\n"},
        {"one byte short", "blade", single.substr(0, 1491), 0, 1, "", "No sensor info for type 1\n"},
        {"partial record behind", "blade", single + single.substr(0, 700), 0, 0, "0=20", one},
        {"more matches than the 8-bit count holds", "blade", Encode(std::vector<Sensor>(768, {"Inlet Temp", "20"})), 0,
         0, many, "totally there are 768 sensor info for type 1\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.family != nullptr ? setenv("ZOQ_FAMILY", c.family, 1) : unsetenv("ZOQ_FAMILY");
        answer = c.bytes;
        result = c.queryResult;
        testing::internal::CaptureStdout();
        EXPECT_EQ(WriteBladeInletTemperatureFromInletSensor(), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(List(), c.list);
        FreeInletTemperatureSnapshotBuffer(&sInletTemperatureBuffer);
    }
    const std::string trace = qaxtest::ReadAll(root.Path() + "/tmp/qax_trace/qax_trace_log_0.txt");
    EXPECT_NE(trace.find("[WARN] \"WriteBladeInletTemperatureFromInletSensor\": Sensor[Inlet 1 Temp] 's "
                         "inlet temp is Unavailable\n"),
              std::string::npos)
        << trace;

    QaxSensorSetSourceOverride(nullptr, nullptr);
    unsetenv("ZOQ_FAMILY");
}

}  // namespace
