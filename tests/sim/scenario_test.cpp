// Scenario text: what it sets, and how it tells what is wrong with it.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "sim/scenario.h"
#include "sim/sim.h"
#include "sim_test_util.h"

namespace {

using qaxsim::ActionKind;
using qaxsim::FaultKind;
using qaxsim::FaultMode;
using qaxsim::ParseScenario;
using qaxsim::Scenario;

struct BadCase {
    const char *text;
    const char *error;  // expected start of the message
};

TEST(ScenarioTest, ErrorsNameTheLine) {
    const BadCase cases[] = {
        {"bogus 1", "line 1: unknown key \"bogus\""},
        {"# comment\n\nchunk_size 0", "line 3: bad chunk size \"0\""},
        {"chunk_size 248", "line 1: bad chunk size"},
        {"chunk_size 28 29", "line 1: usage: chunk_size N"},
        {"chunk_size -1", "line 1: bad chunk size"},
        {"chunk_size 1e3", "line 1: bad chunk size"},
        {"histogram_buckets 254", "line 1: bad bucket count"},
        {"histogram_start 0x10000", "line 1: bad histogram start"},
        {"seed 0x", "line 1: bad seed"},
        {"seed 18446744073709551616", "line 1: bad seed"},
        {"supplies 17", "line 1: bad number of supplies"},
        {"input_power_config 0 17 1 1 2 2 0 0", "line 1: at most 16 supplies"},
        {"module_handle 0", "line 1: bad module handle"},
        {"family tower", "line 1: unknown family \"tower\""},
        {"firmware gone", "line 1: expected present or absent"},
        {"efficiency 0", "line 1: bad number \"0\""},
        {"base_watts 12abc", "line 1: bad number"},
        {"snapshot_period 0", "line 1: bad period"},
        {"sensor \"Inlet Temp", "line 1: unterminated quote"},
        {"sensor \"Inlet Temp\"", "line 1: usage: sensor"},
        {"sensor \"Inlet Temp\" 20 hide", "line 1: expected skip"},
        {"psu_config 1 0x7E 1 1", "line 1: usage: psu_config"},
        {"register 7 3 1", "line 1: no register 3 in element 7"},
        {"register 7 0 70000", "line 1: value does not fit the 2-byte register"},
        {"register 0x0A 31 1", "line 1: no register 31 in element 10"},
        {"fault", "line 1: usage: fault"},
        {"fault sometimes on", "line 1: unknown fault \"sometimes\""},
        {"fault short always", "line 1: unknown fault mode \"always\""},
        {"fault short rate 1.5", "line 1: bad rate"},
        {"fault short on now", "line 1: usage: fault"},
        {"fault completion on", "line 1: bad completion code \"on\""},
        {"fault completion 0xC0", "line 1: usage: fault"},
        {"at 5", "line 1: usage: at SECONDS ACTION"},
        {"at -1 reset", "line 1: bad time \"-1\""},
        {"at 5 explode", "line 1: unknown action \"explode\""},
        {"at 5 cap huge 5", "line 1: unknown cap \"huge\""},
        {"at 5 cap max 65536", "line 1: bad watts"},
        {"at 5 clock_jump soon", "line 1: bad clock jump"},
        {"at 5 power_step lots", "line 1: bad watts"},
        {"at 5 fault oversized", "line 1: usage: fault"},
        {"family rack\n\n\n  at 1 reset\nat 2 register 7 3 1", "line 5: no register 3 in element 7"},
    };
    for (const BadCase &c : cases) {
        SCOPED_TRACE(c.text);
        Scenario sc;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, false, &sc, &error));
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
}

TEST(ScenarioTest, RegisterChecksSeeCapabilitiesSetLater) {
    Scenario sc;
    std::string error;
    EXPECT_TRUE(ParseScenario("register 7 12 200\nextended_caps 0x7C", false, &sc, &error)) << error;
}

TEST(ScenarioTest, SettingsReachTheirFields) {
    const char *text =
        "# every key once\n"
        "family iteblade\n"
        "seed 0x2A\n"
        "module_handle 4   # trailing comment\n"
        "expansion on\n"
        "expansion_handle 5\n"
        "firmware absent\n"
        "chunk_size 40\n"
        "performance off\n"
        "histogram_buckets 6\n"
        "histogram_counter_width 3\n"
        "histogram_start 150\n"
        "histogram_step 20\n"
        "power_thermal_caps 0x81\n"
        "extended_caps 0x30\n"
        "input_power_config 9 3 2 1 2 2 7 8\n"
        "subsystems 1 3 1\n"
        "snapshot_period 12.5\n"
        "base_watts 350.5\n"
        "swing_watts 0\n"
        "noise_watts 2\n"
        "efficiency 0.9\n"
        "cpu_share 0.5\n"
        "inlet_celsius 25\n"
        "prior_uptime 0\n"
        "register 7 2 700\n"
        "expansion_register 7 9 1200\n"
        "sensor \"Inlet Temp\" model\n"
        "sensor \"Odd # name\" \"no reading\" skip\n"
        "psu_type 900\n"
        "psu_config 3 0x41 2 1 0 0\n"
        "fault completion 0xD5 rate 0.25\n"
        "fault short once\n";
    Scenario sc;
    std::string error;
    ASSERT_TRUE(ParseScenario(text, false, &sc, &error)) << error;
    EXPECT_TRUE(sc.model.blade);
    EXPECT_TRUE(sc.seedSet);
    EXPECT_EQ(sc.model.seed, 42u);
    EXPECT_EQ(sc.moduleHandle, 4);
    EXPECT_TRUE(sc.expansion);
    EXPECT_EQ(sc.expansionHandle, 5);
    EXPECT_FALSE(sc.firmwarePresent);
    EXPECT_EQ(sc.chunkSize, 40);
    EXPECT_FALSE(sc.performance);
    EXPECT_EQ(sc.model.histogramBuckets, 6);
    EXPECT_EQ(sc.model.histogramCounterWidth, 3);
    EXPECT_EQ(sc.model.histogramStart, 150);
    EXPECT_EQ(sc.model.histogramStep, 20);
    EXPECT_EQ(sc.model.powerThermalCaps, 0x81);
    EXPECT_EQ(sc.model.extendedCaps, 0x30u);
    EXPECT_EQ(sc.model.supplies, 3);
    EXPECT_EQ(sc.model.inputPowerConfig[0], 9);
    EXPECT_EQ(sc.model.inputPowerConfig[7], 8);
    EXPECT_EQ(sc.model.subsystems, (std::vector<uint8_t>{1, 3, 1}));
    EXPECT_EQ(sc.model.snapshotPeriodMs, 12500u);
    EXPECT_DOUBLE_EQ(sc.model.baseWatts, 350.5);
    EXPECT_DOUBLE_EQ(sc.model.swingWatts, 0);
    EXPECT_DOUBLE_EQ(sc.model.efficiency, 0.9);
    EXPECT_DOUBLE_EQ(sc.model.cpuShare, 0.5);
    EXPECT_DOUBLE_EQ(sc.model.inletCelsius, 25);
    EXPECT_EQ(sc.model.priorUptimeS, 0u);
    ASSERT_EQ(sc.registers.size(), 2u);
    EXPECT_FALSE(sc.registers[0].expansion);
    EXPECT_EQ(sc.registers[0].value, 700u);
    EXPECT_TRUE(sc.registers[1].expansion);
    ASSERT_EQ(sc.sensors.size(), 2u);
    EXPECT_TRUE(sc.sensors[0].fromModel);
    EXPECT_EQ(sc.sensors[1].name, "Odd # name");
    EXPECT_EQ(sc.sensors[1].reading, "no reading");
    EXPECT_TRUE(sc.sensors[1].skipped);
    EXPECT_EQ(sc.psuTypes, (std::vector<uint16_t>{900}));
    ASSERT_EQ(sc.psuConfigs.size(), 1u);
    EXPECT_EQ(sc.psuConfigs[0].properties, 0x41);
    const qaxsim::FaultSetting &cc = sc.faults[static_cast<int>(FaultKind::Completion)];
    EXPECT_EQ(cc.mode, FaultMode::Rate);
    EXPECT_EQ(cc.code, 0xD5);
    EXPECT_DOUBLE_EQ(cc.rate, 0.25);
    EXPECT_EQ(sc.faults[static_cast<int>(FaultKind::Short)].mode, FaultMode::Once);
    EXPECT_EQ(sc.faults[static_cast<int>(FaultKind::IpmiFail)].mode, FaultMode::Off);
}

TEST(ScenarioTest, CapabilityRegistersShapeTheSnapshot) {
    Scenario sc;
    std::string error;
    ASSERT_TRUE(ParseScenario("register 0 14 0x10\nregister 0 7 0x80\nsupplies 4", false, &sc, &error));
    EXPECT_EQ(sc.model.extendedCaps, 0x10u);
    EXPECT_EQ(sc.model.supplies, 4);
    EXPECT_EQ(sc.model.inputPowerConfig[1], 4);
}

TEST(ScenarioTest, FamilyAndSensorDefaults) {
    struct Case {
        const char *text;
        bool defaultBlade;
        bool blade;
        size_t sensors;
    } cases[] = {
        {"", false, false, 0},
        {"", true, true, 2},
        {"family rack", true, false, 0},
        {"family blade", false, true, 2},
        {"family blade\nsensors none", false, true, 0},
        {"family blade\nsensor \"SEN Inlet Temp\" 21", false, true, 1},
        {"sensor \"Inlet Temp\" 21", false, false, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Scenario sc;
        std::string error;
        ASSERT_TRUE(ParseScenario(c.text, c.defaultBlade, &sc, &error)) << error;
        EXPECT_EQ(sc.model.blade, c.blade);
        EXPECT_EQ(sc.sensors.size(), c.sensors);
    }
    Scenario sc;
    std::string error;
    ASSERT_TRUE(ParseScenario("", true, &sc, &error));
    EXPECT_EQ(sc.sensors[0].name, "Inlet Temp");
    EXPECT_TRUE(sc.sensors[0].fromModel);
    EXPECT_TRUE(qaxsim::IsBladeFamily("iteblade"));
    EXPECT_FALSE(qaxsim::IsBladeFamily("Blade"));
    EXPECT_FALSE(qaxsim::IsBladeFamily("blade "));
    EXPECT_FALSE(qaxsim::IsBladeFamily(nullptr));
}

TEST(ScenarioTest, TimelineIsOrderedByTimeThenLine) {
    Scenario sc;
    std::string error;
    ASSERT_TRUE(ParseScenario("at 20 reset\n"
                              "at 5.5 cap max 700\n"
                              "at 5.5 cap soft_min 260\n"
                              "at 0 sigterm\n"
                              "at 7 clock_jump -30\n"
                              "at 8 power_step -12.5\n"
                              "at 9 fault completion off\n"
                              "at 9 expansion_register 7 9 100\n",
                              false, &sc, &error))
        << error;
    ASSERT_EQ(sc.timeline.size(), 8u);
    const int lines[] = {4, 2, 3, 5, 6, 7, 8, 1};
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(sc.timeline[i].line, lines[i]);
    EXPECT_EQ(sc.timeline[1].atMs, 5500u);
    EXPECT_EQ(sc.timeline[1].kind, ActionKind::SetRegister);
    EXPECT_EQ(sc.timeline[1].element, 0x07);
    EXPECT_EQ(sc.timeline[1].id, 2);
    EXPECT_EQ(sc.timeline[2].id, 6);
    EXPECT_EQ(sc.timeline[3].seconds, -30);
    EXPECT_DOUBLE_EQ(sc.timeline[4].watts, -12.5);
    EXPECT_EQ(sc.timeline[5].setting.mode, FaultMode::Off);
    EXPECT_TRUE(sc.timeline[6].expansion);
}

TEST(ScenarioTest, MakeEmulatorReportsProblems) {
    simtest::FakeClock clock;
    std::string error;
    EXPECT_FALSE(qaxsim::MakeEmulator("family rack\nchunk_size x", 0, clock.MakeHost(), &error));
    EXPECT_EQ(error, "line 2: bad chunk size \"x\" (1..247)");
    // Figures that only the model can judge.
    EXPECT_FALSE(qaxsim::MakeEmulator("min_watts 500\nmax_watts 100", 0, clock.MakeHost(), &error));
    EXPECT_FALSE(error.empty());
    qaxsim::Host noClock;
    EXPECT_FALSE(qaxsim::MakeEmulator("", 0, noClock, &error));
}

TEST(ScenarioTest, ShippedScenariosAreValid) {
    for (const char *name : {"default.scn", "blade.scn", "faults.scn"}) {
        SCOPED_TRACE(name);
        std::ifstream in(std::string(QAX_SOURCE_DIR) + "/sim/scenarios/" + name);
        ASSERT_TRUE(in.good());
        std::stringstream text;
        text << in.rdbuf();
        simtest::FakeClock clock;
        std::string error;
        EXPECT_TRUE(qaxsim::MakeEmulator(text.str(), 0, clock.MakeHost(), &error)) << error;
    }
}

TEST(ScenarioTest, EnvironmentChoosesFileAndSeed) {
    const std::string dir = ::testing::TempDir();
    const std::string path = dir + "/simcore_env.scn";
    {
        std::ofstream out(path);
        out << "family rack\nseed 9\nmodule_handle 6\n";
    }
    simtest::FakeClock clock;
    std::string error;
    setenv("QAX_SIM_SCENARIO", path.c_str(), 1);
    setenv("QAX_SIM_SEED", "12", 1);
    auto emu = qaxsim::MakeEmulatorFromEnvironment(clock.MakeHost(), &error);
    ASSERT_TRUE(emu) << error;
    EXPECT_EQ(simtest::Send(*emu, simtest::kOem, simtest::kInstanceCmd, simtest::Instance(0), 10)
                  .bytes.at(7),
              6);

    setenv("QAX_SIM_SEED", "twelve", 1);
    EXPECT_FALSE(qaxsim::MakeEmulatorFromEnvironment(clock.MakeHost(), &error));
    EXPECT_NE(error.find("QAX_SIM_SEED"), std::string::npos);

    unsetenv("QAX_SIM_SEED");
    {
        std::ofstream out(path);
        out << "family rack\n\nmodule_handle 300\n";
    }
    EXPECT_FALSE(qaxsim::MakeEmulatorFromEnvironment(clock.MakeHost(), &error));
    EXPECT_EQ(error, path + ": line 3: bad module handle \"300\" (1..255)");

    setenv("QAX_SIM_SCENARIO", (dir + "/simcore_missing.scn").c_str(), 1);
    EXPECT_FALSE(qaxsim::MakeEmulatorFromEnvironment(clock.MakeHost(), &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
    unsetenv("QAX_SIM_SCENARIO");
    std::remove(path.c_str());
}

}  // namespace
