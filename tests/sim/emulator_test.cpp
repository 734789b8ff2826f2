// The emulator as the daemon's tests rely on it: scenario text and request
// bytes in, answer bytes out, on clocks the test moves, the same for the same seed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/model.h"
#include "sim/sim.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kOem = 0x2E, kElement = 0x81, kInstanceCmd = 0x82, kPerfCmd = 0x84;

struct FakeClock {
    uint64_t mono = 5000000, wall = 1700000000000ull;
    void Advance(uint64_t ms) { mono += ms, wall += ms; }
    qaxsim::Host Host() {
        return {[this] { return wall; }, [this] { return mono; },
                [this](int64_t s) { wall += static_cast<uint64_t>(s * 1000); }, [](int) {}};
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
    struct Case {
        const char *scenario;
        Bytes rq;
        int capacity;
        Bytes answer;
        int cmd = kElement, netFn = kOem;
    } cases[] = {
        {"", Instance(0), 10, Ok({0, 2, 6, 1, 0, 0}), kInstanceCmd},
        {"expansion on\nexpansion_handle 9", Instance(1), 10, Ok({1, 2, 6, 9, 0, 0}), kInstanceCmd},
        {"firmware absent", Instance(0), 10, Ok({0, 0, 0, 0, 0, 0}), kInstanceCmd},
        {"chunk_size 40\nsnapshot_period 60", Config(1, 0x03), 12, Ok({7, 0x03, 0, 40, 0, 60, 0, 111})},
        {psu, Config(1, 0x0A), 10, Ok({5, 0x0A, 2, 1, 2, 2})},
        {psu, Indexed(0, 1, 4), 11, Ok({0, 1, 4, 1, 0, 0x02, 0xEE})},
        {psu, Indexed(1, 0, 15), 22, Ok({1, 0, 15, 5, 0, 0x42, 2, 1, 0x07, 0x08, 0x0A, 0x8C, 0, 0, 0, 1, 0, 1})},
        // Refusals, with the completion code a client acts on.
        {"", Read(1, 7, 0, 2), 8, Err(0xC1), kElement, 0x06},
        {"", {0x4D, 0x4F}, 8, {0xC7}},
        {"", {0x4D, 0x4E, 0x00, 1, 7, 0x82, 0, 2}, 8, {0xCC}},
        {"", Read(9, 7, 0, 2), 8, Err(0xCB)},
        {"", Rq({1, 7, 0x83, 2, 2, 0x02, 0x58}), 4, Err(0xD4)},  // a read-only register
        {"", Read(1, 0x0A, 31, 1), 8, Err(0xCC)},                // absent without its capability
        {"", Snap(5000, 8), 16, Err(0xC9)},
        {"", Perf(3, 0), 11, Err(0xCC), kPerfCmd},
        {"performance off", Perf(0, 0), 11, Err(0xC1), kPerfCmd},
        {"", Read(1, 7, 0, 2), 5, Err(0xCA)},  // an answer that does not fit the buffer
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

// A snapshot read in chunks is the model's, under one tag; a replacement
// mid-transfer changes the tag once, and the restarted transfer sees one.
TEST_F(EmulatorTest, SnapshotChunksAndAReplacementMidTransfer) {
    auto emu = Make("");
    std::vector<unsigned> tags;
    EXPECT_EQ(ReadSnapshot(*emu, 7, &tags), qaxsim::EmulatorModel(*emu).Snapshot());
    EXPECT_EQ(std::count(tags.begin(), tags.end(), qaxsim::EmulatorTag(*emu)), long(tags.size()));
    auto once = Make("fault replace_mid_transfer once");
    std::vector<unsigned> again;
    tags.clear();
    ReadSnapshot(*once, 28, &tags);
    ReadSnapshot(*once, 28, &again);
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

// The message names the file and the line (past a comment and a blank line).
TEST(ScenarioTest, ErrorsNameTheFileAndLine) {
    FakeClock clock;
    std::string error;
    const std::string path = ::testing::TempDir() + "/simcore_env.scn";
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
