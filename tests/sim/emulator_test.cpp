// The emulator: its snapshot model's layout and tags; then the emulator as the
// daemon sees it, scenario text and request bytes in, answer bytes out, on
// clocks the test moves.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/model.h"
#include "sim/scenario.h"
#include "sim/sim.h"

namespace {

using qaxsim::Model;
using qaxsim::ModelConfig;

uint64_t Mono(uint64_t ms) { return 5000000 + ms; }
uint64_t Wall(uint64_t ms) { return 1700000000123ull + ms; }
void Advance(Model &m, uint64_t ms) { m.AdvanceTo(Mono(ms), Wall(ms)); }

// The size of a snapshot after two periods under each configuration: which
// parts are present, how many supply records and how wide. (Their values, in
// the default layout, are read by the daemon's parser and compared with the
// ground truth in tests/firmware, SnapshotAgainstEmulator.)
TEST(ModelTest, SnapshotLayoutFollowsTheConfiguration) {
    const struct {
        const char *name;
        bool blade;
        uint8_t width, caps, ext, supplyConfig[8];  // supplyConfig: 0, supplies, records, header bytes, widths
        size_t size;
    } cases[] = {
        // 1+8+24+2+4+8+1+1 = 49, +16 reserved, +2*(1+2+2), +8 stamp, +1+27 subsystems
        {"default", false, 2, 0x80, 0x3C, {0, 2, 1, 1, 2, 2}, 49 + 16 + 10 + 8 + 28},
        {"blade skips supplies", true, 1, 0x80, 0x3C, {0, 2, 1, 1, 2, 2}, 1 + 8 + 12 + 2 + 4 + 16 + 8 + 28},
        {"no optional part", false, 2, 0x00, 0x3C, {0, 2, 1, 1, 2, 2}, 49},
        {"zero supplies", false, 2, 0x80, 0x34, {0, 0, 1, 1, 2, 2}, 49 + 8 + 28},
        {"three records, wide values", false, 8, 0x80, 0x34, {0, 3, 3, 2, 1, 4}, 1 + 8 + 96 + 2 + 4 + 10 + 63 + 8 + 28},
    };
    for (const auto &tc : cases) {
        ModelConfig c;
        c.blade = tc.blade;
        c.histogramCounterWidth = tc.width;
        c.powerThermalCaps = tc.caps;
        c.extendedCaps = tc.ext;
        std::copy(tc.supplyConfig, tc.supplyConfig + 8, c.inputPowerConfig);
        c.supplies = tc.supplyConfig[1];
        ASSERT_EQ(qaxsim::CheckModelConfig(c), "") << tc.name;
        Model m(c, Mono(0), Wall(0));
        Advance(m, 60000);
        EXPECT_EQ(m.Snapshot().size(), tc.size) << tc.name;
    }
}

// A client tells snapshots apart by their tag: it skips 0 and 1 when it wraps,
// and 1 means "reset", after which a new period starts.
TEST(ModelTest, TagsWrapPastOneAndRestartAtReset) {
    ModelConfig c;
    c.snapshotPeriodMs = 1000;
    c.priorUptimeS = 65533;  // 65533 earlier snapshots: tag 65534
    Model m(c, Mono(0), Wall(0));
    std::vector<uint16_t> tags;
    for (uint64_t t : {999, 1000, 2000, 3000, 4000, 4500, 5499, 5500}) {
        if (t == 4500)
            m.Reset(Mono(t), Wall(t));
        else
            Advance(m, t);
        tags.push_back(m.Tag());
    }
    EXPECT_EQ(tags, (std::vector<uint16_t>{65534, 65535, 2, 3, 4, 1, 1, 2}));
}

// --- the emulator as the daemon sees it ---------------------------------------

using Bytes = std::vector<uint8_t>;
constexpr int kOem = 0x2E, kElement = 0x81, kInstanceCmd = 0x82, kPerfCmd = 0x84;

struct FakeClock {
    uint64_t mono = 5000000, wall = 1700000000000ull;
    std::vector<int> signals;
    void Advance(uint64_t ms) { mono += ms, wall += ms; }
    qaxsim::Host Host() {
        return {[this] { return wall; }, [this] { return mono; },
                [this](int64_t s) { wall += static_cast<uint64_t>(s * 1000); },
                [this](int sig) { signals.push_back(sig); }};
    }
};

struct Answer {
    int result = 0;
    Bytes bytes;
    uint8_t cc() const { return bytes.empty() ? 0xFF : bytes[0]; }
    unsigned U16(size_t at) const { return (unsigned{bytes.at(at)} << 8) | bytes.at(at + 1); }
};

Answer Send(qaxsim::Emulator &emu, int cmd, const Bytes &rq, int capacity, int netFn = kOem) {
    Answer a;
    Bytes buf(capacity + 16u, 0xEE);  // guard bytes past the capacity
    int len = capacity;
    a.result = qaxsim::HandleRequest(emu, netFn, cmd, rq.data(), static_cast<int>(rq.size()), buf.data(), &len);
    if (std::count(buf.begin() + capacity, buf.end(), 0xEE) != 16 || len > capacity)
        ADD_FAILURE() << "answer runs past its capacity " << capacity;
    else if (a.result == 0)
        a.bytes.assign(buf.begin(), buf.begin() + len);
    return a;
}

Bytes Cat(Bytes head, std::initializer_list<uint8_t> tail) {
    head.insert(head.end(), tail);
    return head;
}
Bytes Rq(std::initializer_list<uint8_t> tail) { return Cat({0x4D, 0x4F, 0x00}, tail); }
Bytes Ok(std::initializer_list<uint8_t> tail) { return Cat({0, 0x4D, 0x4F, 0x00}, tail); }
Bytes Err(uint8_t cc) { return {cc, 0x4D, 0x4F, 0x00}; }
Bytes Instance(uint8_t instance) { return Rq({instance, 0x00, 0x01}); }
Bytes Config(uint8_t handle, uint8_t element) { return Rq({handle, element, 0x80}); }
Bytes Read(uint8_t handle, uint8_t element, uint8_t id, uint8_t len) { return Rq({handle, element, 0x82, id, len}); }
Bytes Write(uint8_t handle, uint8_t element, uint8_t id, uint8_t len, uint64_t value) {
    Bytes b = Rq({handle, element, 0x83, id, len});
    for (int i = len - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return b;
}
Bytes Snap(unsigned off, unsigned len) {
    return Rq({1, 3, 0x81, uint8_t(off >> 8), uint8_t(off), uint8_t(len >> 8), uint8_t(len)});
}
Bytes Indexed(uint8_t buffer, uint8_t index, uint8_t len) { return Rq({1, 0x0A, 0x87, buffer, index, len}); }
Bytes Perf(uint8_t domain, uint8_t statistic) { return Rq({4, domain, 0, 1, statistic, 1, 0, 1}); }

class EmulatorTest : public ::testing::Test {
  protected:
    std::shared_ptr<qaxsim::Emulator> Make(const std::string &text, uint64_t seed = 0) {
        std::string error;
        auto emu = qaxsim::MakeEmulator(text, seed, clock_.Host(), &error);
        EXPECT_TRUE(emu) << error;
        return emu;
    }
    // The whole snapshot in chunks of `chunk`, with the tag of every chunk.
    Bytes ReadSnapshot(qaxsim::Emulator &emu, unsigned chunk, std::vector<unsigned> *tags) {
        const unsigned total = Send(emu, kElement, Config(1, 0x03), 12).U16(10);
        Bytes data;
        while (data.size() < total) {
            const unsigned want = std::min<unsigned>(chunk, total - data.size());
            const Answer a = Send(emu, kElement, Snap(data.size(), want), want + 8);
            if (a.cc() != 0 || a.U16(6) == 0) break;
            if (tags) tags->push_back(a.U16(4));
            data.insert(data.end(), a.bytes.begin() + 8, a.bytes.end());
        }
        return data;
    }
    FakeClock clock_;
};

TEST_F(EmulatorTest, RequestAnswerTable) {
    const char *psu = "psu_type 900\npsu_type 750\npsu_config 5 0x0042 2 1 0 1 0 1";
    const char *hist = "histogram_buckets 4\nhistogram_counter_width 4\nhistogram_start 200\nhistogram_step 25";
    struct Case {
        const char *scenario;
        Bytes rq;
        int capacity;
        Bytes answer;
        int cmd = kElement, netFn = kOem;
    } cases[] = {
        {"", Instance(0), 10, Ok({0, 2, 6, 1, 0, 0}), kInstanceCmd},
        {"", Instance(1), 10, Ok({1, 0, 0, 0, 0, 0}), kInstanceCmd},
        {"expansion on\nexpansion_handle 9", Instance(1), 10, Ok({1, 2, 6, 9, 0, 0}), kInstanceCmd},
        {"fault no_firmware on", Instance(0), 10, Ok({0, 0, 0, 0, 0, 0}), kInstanceCmd},
        {hist, Config(1, 0x02), 14, Ok({9, 0x02, 0, 200, 0x01, 0x2C, 4, 25, 4, 1})},
        {"chunk_size 40\nsnapshot_period 60", Config(1, 0x03), 12, Ok({7, 0x03, 0, 40, 0, 60, 0, 111})},
        {psu, Config(1, 0x0A), 10, Ok({5, 0x0A, 2, 1, 2, 2})},
        {psu, Indexed(0, 1, 4), 11, Ok({0, 1, 4, 1, 0, 0x02, 0xEE})},
        {psu, Indexed(1, 0, 15), 22, Ok({1, 0, 15, 5, 0, 0x42, 2, 1, 0x07, 0x08, 0x0A, 0x8C, 0, 0, 0, 1, 0, 1})},
        // Refusals, with the completion code a client acts on.
        {"", Read(1, 7, 0, 2), 8, Err(0xC1), kElement, 0x06},
        {"", {0x4D, 0x4F}, 8, {0xC7}},
        {"", {0x4D, 0x4E, 0x00, 1, 7, 0x82, 0, 2}, 8, {0xCC}},
        {"", Read(9, 7, 0, 2), 8, Err(0xCB)},
        {"", Write(1, 7, 2, 2, 600), 4, Err(0xD4)},
        {"extended_caps 0x23C", Read(1, 0x0A, 31, 1), 8, Err(0xD4)},
        {"", Read(1, 0x0A, 31, 1), 8, Err(0xCC)},  // absent without its capability
        {"", Snap(5000, 8), 16, Err(0xC9)},
        {"", Perf(3, 0), 11, Err(0xCC), kPerfCmd},
        {"performance off", Perf(0, 0), 11, Err(0xC1), kPerfCmd},
        {"fault completion 0xC0 on", Read(1, 7, 0, 2), 6, Err(0xC0)},
        {"", Read(1, 7, 0, 2), 5, Err(0xCA)},  // answers that do not fit the buffer
        {"", Write(1, 7, 0, 2, 300), 3, {0xCA}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "\"" << c.scenario << "\" " << testing::PrintToString(c.rq));
        auto emu = Make(c.scenario);
        ASSERT_TRUE(emu);
        const Answer a = Send(*emu, c.cmd, c.rq, c.capacity, c.netFn);
        EXPECT_EQ(a.result, 0);
        EXPECT_EQ(a.bytes, c.answer);
    }
}

TEST_F(EmulatorTest, SnapshotChunksAndAReplacementMidTransfer) {
    for (unsigned chunk : {7u, 200u}) {
        auto emu = Make("");
        std::vector<unsigned> tags;
        EXPECT_EQ(ReadSnapshot(*emu, chunk, &tags), qaxsim::EmulatorModel(*emu).Snapshot()) << chunk;
        EXPECT_EQ(std::count(tags.begin(), tags.end(), qaxsim::EmulatorTag(*emu)), long(tags.size()));
    }
    auto emu = Make("chunk_size 20");
    const unsigned total = static_cast<unsigned>(qaxsim::EmulatorModel(*emu).Snapshot().size());
    const unsigned cases[][3] = {{0, 100, 20}, {0, 5, 5}, {total - 3, 20, 3}, {total, 20, 0}};
    for (const auto &c : cases) {  // offset, asked, returned
        const Answer a = Send(*emu, kElement, Snap(c[0], c[1]), c[1] + 8);
        EXPECT_EQ(a.U16(6), c[2]) << c[0];
        EXPECT_EQ(a.bytes.size(), 8u + c[2]) << c[0];
    }
    auto once = Make("fault replace_mid_transfer once");
    std::vector<unsigned> tags, again;
    ReadSnapshot(*once, 28, &tags);
    ReadSnapshot(*once, 28, &again);  // a restarted transfer sees one tag
    ASSERT_GE(tags.size(), 3u);
    EXPECT_TRUE(tags[0] != tags[1] && tags[1] == tags[2]);
    EXPECT_EQ(std::count(again.begin(), again.end(), again.front()), long(again.size()));
}

TEST_F(EmulatorTest, SameSeedSameAnswers) {
    auto run = [](uint64_t seed) {
        FakeClock local;
        std::string error, trace;
        auto emu = qaxsim::MakeEmulator("noise_watts 40\nfault ipmi_fail rate 0.3\nfault short rate 0.5", seed,
                                        local.Host(), &error);
        for (int i = 0; i < 60; ++i) {
            local.Advance(700);
            const Answer a = Send(*emu, kElement, Snap(0, 28), 36);
            trace += a.result != 0 ? 'F' : a.U16(6) < 28 ? 'S' : '.';
            trace.append(a.bytes.begin(), a.bytes.end());
        }
        return trace;
    };
    const std::string a = run(11);
    EXPECT_EQ(a, run(11));
    EXPECT_NE(a, run(12));
    for (char kind : {'F', 'S', '.'}) EXPECT_NE(a.find(kind), std::string::npos) << kind;
}

TEST(ScenarioTest, ErrorsNameTheLine) {
    const struct {
        const char *text, *error;  // expected start of the message
    } cases[] = {
        {"bogus 1", "line 1: unknown key \"bogus\""},
        {"family tower", "line 1: unknown family \"tower\""},
        {"sensor \"Inlet Temp", "line 1: unterminated quote"},
        {"register 7 3 1", "line 1: no register 3 in element 7"},
        {"register 7 0 70000", "line 1: value does not fit the 2-byte register"},
        {"fault sometimes on", "line 1: unknown fault \"sometimes\""},
        {"at 5 explode", "line 1: unknown action \"explode\""},
        {"family rack\n\n\n  at 1 reset\nat 2 register 7 3 1", "line 5: no register 3 in element 7"},
    };
    for (const auto &c : cases) {
        qaxsim::Scenario sc;
        std::string error;
        EXPECT_TRUE(!qaxsim::ParseScenario(c.text, false, &sc, &error) && error.rfind(c.error, 0) == 0)
            << c.text << ": " << error;
    }
    FakeClock clock;
    std::string error;
    const std::string path = ::testing::TempDir() + "/simcore_env.scn";  // the whole message names the file
    std::ofstream(path) << "family rack  # a comment\n\nmodule_handle 300\n";
    setenv("QAX_SIM_SCENARIO", path.c_str(), 1);
    EXPECT_FALSE(qaxsim::MakeEmulatorFromEnvironment(clock.Host(), &error));
    EXPECT_EQ(error, path + ": line 3: bad module handle \"300\" (1..255)");
    unsetenv("QAX_SIM_SCENARIO");
    std::remove(path.c_str());
    EXPECT_FALSE(qaxsim::MakeEmulator("min_watts 500\nmax_watts 100", 0, clock.Host(), &error));
}

TEST(ScenarioTest, ShippedScenariosAreValid) {
    for (const char *name : {"default.scn", "blade.scn", "faults.scn"}) {
        std::stringstream text;
        text << std::ifstream(std::string(QAX_SOURCE_DIR) + "/sim/scenarios/" + name).rdbuf();
        FakeClock clock;
        std::string error;
        EXPECT_TRUE(!text.str().empty() && qaxsim::MakeEmulator(text.str(), 0, clock.Host(), &error)) << name << error;
    }
}

}  // namespace
