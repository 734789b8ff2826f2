// The emulator as the daemon sees it: request bytes in, answer bytes out.
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/model.h"
#include "sim/sim.h"
#include "sim_test_util.h"

namespace {

using namespace simtest;

class EmulatorTest : public ::testing::Test {
  protected:
    std::shared_ptr<qaxsim::Emulator> Make(const std::string &text, uint64_t seed = 0) {
        std::string error;
        auto emu = qaxsim::MakeEmulator(text, seed, clock_.MakeHost(), &error);
        EXPECT_TRUE(emu) << error;
        return emu;
    }
    // The whole snapshot in chunks of `chunk`, with the tag of every chunk.
    Bytes ReadSnapshot(qaxsim::Emulator &emu, unsigned chunk, std::vector<unsigned> *tags) {
        const Answer cfg = Send(emu, kOem, kElement, Config(1, 0x03), 12);
        const unsigned total = cfg.U16(10);
        Bytes data;
        while (data.size() < total) {
            const unsigned want = std::min<unsigned>(chunk, total - data.size());
            const Answer a = Send(emu, kOem, kElement, SnapRead(1, data.size(), want), want + 8);
            EXPECT_EQ(a.cc(), 0);
            if (a.cc() != 0 || a.U16(6) == 0) break;
            if (tags) tags->push_back(a.U16(4));
            data.insert(data.end(), a.bytes.begin() + 8, a.bytes.end());
        }
        return data;
    }
    FakeClock clock_;
};

// --- error paths -------------------------------------------------------------

struct ErrorCase {
    const char *name;
    const char *scenario;
    int netFn;
    int cmd;
    Bytes request;
    int capacity;
    uint8_t cc;
};

TEST_F(EmulatorTest, RejectsMalformedRequestsWithTheirCompletionCode) {
    const ErrorCase cases[] = {
        {"other net function", "", 0x06, 0x81, RegRead(1, 7, 0, 2), 8, 0xC1},
        {"unknown command", "", kOem, 0x90, RegRead(1, 7, 0, 2), 8, 0xC1},
        {"shorter than the enterprise number", "", kOem, kElement, {0x4D, 0x4F}, 8, 0xC7},
        {"wrong enterprise number", "", kOem, kElement, {0x4D, 0x4E, 0x00, 1, 7, 0x82, 0, 2}, 8, 0xCC},
        {"instance request too short", "", kOem, kInstanceCmd, {0x4D, 0x4F, 0x00, 0, 0}, 10, 0xC7},
        {"instance request too long", "", kOem, kInstanceCmd, {0x4D, 0x4F, 0x00, 0, 0, 1, 0}, 10, 0xC7},
        {"instance request tail", "", kOem, kInstanceCmd, {0x4D, 0x4F, 0x00, 0, 1, 0}, 10, 0xCC},
        {"element method without method", "", kOem, kElement, {0x4D, 0x4F, 0x00, 1, 7}, 8, 0xC7},
        {"unknown module handle", "", kOem, kElement, RegRead(9, 7, 0, 2), 8, 0xCB},
        {"expansion handle while disabled", "", kOem, kElement, RegRead(2, 7, 9, 2), 8, 0xCB},
        {"no such register", "", kOem, kElement, RegRead(1, 7, 3, 2), 8, 0xCC},
        {"no such element", "", kOem, kElement, RegRead(1, 0x05, 0, 1), 8, 0xCC},
        {"register length differs", "", kOem, kElement, RegRead(1, 7, 0, 1), 8, 0xC9},
        {"register read too short", "", kOem, kElement, {0x4D, 0x4F, 0x00, 1, 7, 0x82, 0}, 8, 0xC7},
        {"register read too long", "", kOem, kElement, {0x4D, 0x4F, 0x00, 1, 7, 0x82, 0, 2, 0}, 8, 0xC7},
        {"write to a read-only register", "", kOem, kElement, RegWrite(1, 7, 2, 2, 600), 4, 0xD4},
        {"write length differs from data", "", kOem, kElement, {0x4D, 0x4F, 0x00, 1, 7, 0x83, 0, 2, 1}, 4, 0xC7},
        {"write with the wrong width", "", kOem, kElement, RegWrite(1, 7, 0, 1, 5), 4, 0xC9},
        {"write of a missing register", "", kOem, kElement, RegWrite(1, 7, 3, 2, 5), 4, 0xCC},
        {"read of a write-only register", "extended_caps 0x23C", kOem, kElement, RegRead(1, 0x0A, 31, 1), 8, 0xD4},
        {"register absent without its capability", "", kOem, kElement, RegRead(1, 0x0A, 31, 1), 8, 0xCC},
        {"hot-plug minimum absent without its capability", "", kOem, kElement, RegRead(1, 7, 12, 2), 8, 0xCC},
        {"extended capabilities absent without bit 7", "power_thermal_caps 0", kOem, kElement, RegRead(1, 0, 14, 4), 8, 0xCC},
        {"configuration of an element without one", "", kOem, kElement, Config(1, 0x07), 14, 0xCC},
        {"configuration request too long", "", kOem, kElement, {0x4D, 0x4F, 0x00, 1, 3, 0x80, 0}, 12, 0xC7},
        {"buffer read of another element", "", kOem, kElement, {0x4D, 0x4F, 0x00, 1, 2, 0x81, 0, 0, 0, 8}, 16, 0xCC},
        {"snapshot read too short", "", kOem, kElement, {0x4D, 0x4F, 0x00, 1, 3, 0x81, 0, 0, 0}, 16, 0xC7},
        {"snapshot offset past the end", "", kOem, kElement, SnapRead(1, 5000, 8), 16, 0xC9},
        {"unknown method", "", kOem, kElement, {0x4D, 0x4F, 0x00, 1, 3, 0x99}, 16, 0xCC},
        {"indexed read of another element", "", kOem, kElement, {0x4D, 0x4F, 0x00, 1, 3, 0x87, 0, 0, 4}, 16, 0xCC},
        {"indexed buffer unknown", "", kOem, kElement, Indexed(1, 2, 0, 4), 16, 0xCC},
        {"indexed index past the end", "", kOem, kElement, Indexed(1, 0, 1, 4), 16, 0xC9},
        {"indexed length too small", "", kOem, kElement, Indexed(1, 0, 0, 3), 16, 0xC9},
        {"expansion unit has no buffers", "expansion on", kOem, kElement, Config(2, 0x03), 12, 0xCC},
        {"performance request too short", "", kOem, kPerfCmd, {0x4D, 0x4F, 0x00, 4, 0, 0, 1, 0, 1, 0}, 11, 0xC7},
        {"performance domain unknown", "", kOem, kPerfCmd, Perf(3, 0), 11, 0xCC},
        {"performance statistic unknown", "", kOem, kPerfCmd, Perf(0, 3), 11, 0xCC},
        {"performance fixed byte wrong", "", kOem, kPerfCmd, {0x4D, 0x4F, 0x00, 5, 0, 0, 1, 0, 1, 0, 1}, 11, 0xCC},
        {"performance not supported", "performance off", kOem, kPerfCmd, Perf(0, 0), 11, 0xC1},
        {"element methods while firmware absent", "firmware absent", kOem, kElement, RegRead(1, 7, 0, 2), 8, 0xC1},
        {"register answer does not fit", "", kOem, kElement, RegRead(1, 7, 0, 2), 5, 0xCA},
        {"configuration answer does not fit", "", kOem, kElement, Config(1, 0x02), 13, 0xCA},
        {"snapshot answer does not fit", "", kOem, kElement, SnapRead(1, 0, 20), 27, 0xCA},
        {"instance answer does not fit", "", kOem, kInstanceCmd, Instance(0), 9, 0xCA},
        {"performance answer does not fit", "", kOem, kPerfCmd, Perf(0, 0), 10, 0xCA},
        {"write answer does not fit", "", kOem, kElement, RegWrite(1, 7, 0, 2, 300), 3, 0xCA},
        {"room for the completion code only", "", kOem, kElement, RegRead(1, 7, 0, 2), 1, 0xCA},
    };
    for (const ErrorCase &c : cases) {
        SCOPED_TRACE(c.name);
        auto emu = Make(c.scenario);
        ASSERT_TRUE(emu);
        const Answer a = Send(*emu, c.netFn, c.cmd, c.request, c.capacity);
        EXPECT_EQ(a.result, 0);
        ASSERT_FALSE(a.bytes.empty());
        EXPECT_EQ(a.cc(), c.cc);
        EXPECT_LE(a.bytes.size(), 4u);
    }
}

TEST_F(EmulatorTest, FailedWriteLeavesTheRegisterAlone) {
    auto emu = Make("");
    EXPECT_EQ(Send(*emu, kOem, kElement, RegWrite(1, 7, 0, 2, 300), 3).cc(), 0xCA);
    EXPECT_EQ(Send(*emu, kOem, kElement, RegRead(1, 7, 0, 2), 6).U16(4), 500u);
}

TEST_F(EmulatorTest, RejectsUnusableCallArguments) {
    auto emu = Make("");
    uint8_t out[16];
    int len = 0;
    const Bytes rq = RegRead(1, 7, 0, 2);
    EXPECT_NE(qaxsim::HandleRequest(*emu, kOem, kElement, rq.data(), 8, out, &len), 0);
    len = 16;
    EXPECT_NE(qaxsim::HandleRequest(*emu, kOem, kElement, nullptr, 8, out, &len), 0);
    EXPECT_NE(qaxsim::HandleRequest(*emu, kOem, kElement, rq.data(), 8, nullptr, &len), 0);
    EXPECT_NE(qaxsim::HandleRequest(*emu, kOem, kElement, rq.data(), 8, out, nullptr), 0);
}

// --- answers -----------------------------------------------------------------

TEST_F(EmulatorTest, InstanceRequestReportsHandles) {
    struct Case {
        const char *scenario;
        uint8_t instance;
        uint8_t handle;
    } cases[] = {
        {"", 0, 1},
        {"module_handle 7", 0, 7},
        {"", 1, 0},
        {"expansion on", 1, 2},
        {"expansion on\nexpansion_handle 9", 1, 9},
        {"expansion on", 2, 0},
        {"firmware absent", 0, 0},
        {"fault no_firmware on", 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scenario);
        auto emu = Make(c.scenario);
        const Answer a = Send(*emu, kOem, kInstanceCmd, Instance(c.instance), 10);
        const uint8_t info = c.handle ? 2 : 0, info2 = c.handle ? 6 : 0;
        EXPECT_EQ(a.bytes, (Bytes{0, 0x4D, 0x4F, 0x00, c.instance, info, info2, c.handle, 0, 0}));
    }
}

TEST_F(EmulatorTest, RegistersHoldTheirDefaults) {
    struct Case {
        uint8_t element, id, length;
        uint64_t value;
    } cases[] = {
        {0x00, 5, 1, 0x02},                  // POST settings: capping enabled
        {0x00, 7, 1, 0x80},                  // power/thermal capabilities
        {0x00, 14, 4, 0x3C},                 // extended capabilities
        {0x07, 0, 2, 500},                   // power cap
        {0x07, 2, 2, 650},                   // max
        {0x07, 4, 2, 300},                   // min
        {0x07, 6, 2, 250},                   // soft min
        {0x07, 9, 2, 800},                   // nameplate
        {0x0A, 0, 1, 1},                     // max supplies - 1
        {0x0A, 2, 1, 0x03},                  // two supplies present
        {0x0A, 10, 1, 0x00},                 // none in the second group
        {0x0A, 4, 2, 0x0305},                // both report 220 V
        {0x0A, 1, 8, 0x0320032000000000ull}, // 800 W labels
        {0x0D, 3, 4, 0x000C0003},
    };
    auto emu = Make("");
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "element " << int(c.element) << " id " << int(c.id));
        const Answer a = Send(*emu, kOem, kElement, RegRead(1, c.element, c.id, c.length), c.length + 4);
        ASSERT_EQ(a.cc(), 0);
        ASSERT_EQ(a.bytes.size(), c.length + 4u);
        EXPECT_EQ(Bytes(a.bytes.begin() + 1, a.bytes.begin() + 4), (Bytes{0x4D, 0x4F, 0x00}));
        uint64_t v = 0;
        for (size_t i = 4; i < a.bytes.size(); ++i) v = (v << 8) | a.bytes[i];
        EXPECT_EQ(v, c.value);
    }
}

TEST_F(EmulatorTest, ScenarioShapesRegisters) {
    auto emu = Make("supplies 5\nextended_caps 0x27C\nregister 7 2 0x2EE\nregister 0x0A 30 1");
    EXPECT_EQ(Send(*emu, kOem, kElement, RegRead(1, 7, 2, 2), 6).U16(4), 750u);
    EXPECT_EQ(Send(*emu, kOem, kElement, RegRead(1, 0x0A, 0, 1), 5).bytes.at(4), 4);
    EXPECT_EQ(Send(*emu, kOem, kElement, RegRead(1, 0x0A, 10, 1), 5).bytes.at(4), 0x01);
    EXPECT_EQ(Send(*emu, kOem, kElement, RegRead(1, 0x0A, 30, 1), 5).bytes.at(4), 1);
    EXPECT_EQ(Send(*emu, kOem, kElement, RegRead(1, 7, 12, 2), 6).U16(4), 280u);
    const Answer ext = Send(*emu, kOem, kElement, RegRead(1, 0, 14, 4), 8);
    EXPECT_EQ(ext.bytes, (Bytes{0, 0x4D, 0x4F, 0x00, 0x00, 0x00, 0x02, 0x7C}));
}

TEST_F(EmulatorTest, WrittenRegistersReadBack) {
    auto emu = Make("expansion on");
    EXPECT_EQ(Send(*emu, kOem, kElement, RegWrite(1, 7, 0, 2, 300), 4).bytes,
              (Bytes{0, 0x4D, 0x4F, 0x00}));
    EXPECT_EQ(Send(*emu, kOem, kElement, RegRead(1, 7, 0, 2), 6).bytes,
              (Bytes{0, 0x4D, 0x4F, 0x00, 0x01, 0x2C}));
    EXPECT_EQ(Send(*emu, kOem, kElement, RegWrite(1, 7, 10, 1, 2), 4).cc(), 0);
    EXPECT_EQ(Send(*emu, kOem, kElement, RegRead(1, 7, 10, 1), 5).bytes.at(4), 2);
    // The expansion instance keeps registers of its own.
    EXPECT_EQ(Send(*emu, kOem, kElement, RegRead(2, 7, 0, 2), 6).U16(4), 500u);
    EXPECT_EQ(Send(*emu, kOem, kElement, RegWrite(2, 0, 16, 1, 1), 4).cc(), 0);
    EXPECT_EQ(Send(*emu, kOem, kElement, RegRead(1, 0, 16, 1), 5).bytes.at(4), 0);
}

TEST_F(EmulatorTest, LiveRegistersFollowTheModel) {
    auto emu = Make("");
    const Answer before = Send(*emu, kOem, kElement, RegRead(1, 1, 0, 8), 12);
    clock_.Advance(10000);
    const Answer after = Send(*emu, kOem, kElement, RegRead(1, 1, 0, 8), 12);
    ASSERT_EQ(before.cc(), 0);
    ASSERT_EQ(after.cc(), 0);
    uint64_t e0 = 0, e1 = 0;
    for (int i = 4; i < 12; ++i) {
        e0 = (e0 << 8) | before.bytes[i];
        e1 = (e1 << 8) | after.bytes[i];
    }
    EXPECT_EQ(e1, qaxsim::EmulatorModel(*emu).DcEnergy());
    EXPECT_GT(e1, e0);
    EXPECT_EQ(Send(*emu, kOem, kElement, RegRead(1, 9, 1, 1), 5).bytes.at(4),
              qaxsim::EmulatorModel(*emu).InletTemperature());
    // A scenario pins a live register.
    auto pinned = Make("register 9 1 31");
    EXPECT_EQ(Send(*pinned, kOem, kElement, RegRead(1, 9, 1, 1), 5).bytes.at(4), 31);
}

TEST_F(EmulatorTest, ConfigurationAnswers) {
    auto emu = Make("");
    EXPECT_EQ(Send(*emu, kOem, kElement, Config(1, 0x02), 14).bytes,
              (Bytes{0, 0x4D, 0x4F, 0x00, 9, 0x02, 0x00, 100, 0x02, 0x58, 10, 50, 2, 1}));
    EXPECT_EQ(Send(*emu, kOem, kElement, Config(1, 0x0B), 14).bytes,
              (Bytes{0, 0x4D, 0x4F, 0x00, 9, 0x0B, 0, 2, 1, 1, 2, 2, 0, 0}));
    EXPECT_EQ(Send(*emu, kOem, kElement, Config(1, 0x0A), 10).bytes,
              (Bytes{0, 0x4D, 0x4F, 0x00, 5, 0x0A, 1, 2, 1, 2}));
    const Answer snap = Send(*emu, kOem, kElement, Config(1, 0x03), 12);
    ASSERT_EQ(snap.bytes.size(), 12u);
    EXPECT_EQ(snap.U16(6), 28u);
    EXPECT_EQ(snap.U16(8), 30u);
    EXPECT_EQ(snap.U16(10), qaxsim::EmulatorModel(*emu).Snapshot().size());
    // The default layout: fixed 49 bytes, reserved 16, two supplies of 5,
    // timestamp 8, three subsystems.
    EXPECT_EQ(snap.U16(10), 49u + 16 + 10 + 8 + 28);

    auto other = Make("chunk_size 40\nhistogram_buckets 4\nhistogram_counter_width 4\n"
                      "histogram_start 200\nhistogram_step 25\ninput_power_config 1 3 1 2 4 0 9 9");
    EXPECT_EQ(Send(*other, kOem, kElement, Config(1, 0x02), 14).bytes,
              (Bytes{0, 0x4D, 0x4F, 0x00, 9, 0x02, 0x00, 200, 0x01, 0x2C, 4, 25, 4, 1}));
    EXPECT_EQ(Send(*other, kOem, kElement, Config(1, 0x0B), 14).bytes,
              (Bytes{0, 0x4D, 0x4F, 0x00, 9, 0x0B, 1, 3, 1, 2, 4, 0, 9, 9}));
    EXPECT_EQ(Send(*other, kOem, kElement, Config(1, 0x03), 12).U16(6), 40u);
}

TEST_F(EmulatorTest, PowerSupplyIndexedBuffers) {
    auto emu = Make("psu_type 900\npsu_type 750\npsu_config 5 0x0042 2 1 0 1 0 1");
    EXPECT_EQ(Send(*emu, kOem, kElement, Config(1, 0x0A), 10).bytes,
              (Bytes{0, 0x4D, 0x4F, 0x00, 5, 0x0A, 2, 1, 2, 2}));
    EXPECT_EQ(Send(*emu, kOem, kElement, Indexed(1, 0, 1, 4), 11).bytes,
              (Bytes{0, 0x4D, 0x4F, 0x00, 0, 1, 4, 1, 0, 0x02, 0xEE}));
    const Answer c = Send(*emu, kOem, kElement, Indexed(1, 1, 0, 2 * 2 + 11), 2 * 2 + 11 + 7);
    EXPECT_EQ(c.bytes, (Bytes{0, 0x4D, 0x4F, 0x00, 1, 0, 15, 5, 0x00, 0x42, 2, 1, 0x07, 0x08,
                              0x0A, 0x8C, 0, 0, 0, 1, 0, 1}));
}

TEST_F(EmulatorTest, SnapshotChunksReassembleTheModelSnapshot) {
    for (unsigned chunk : {28u, 7u, 200u}) {
        SCOPED_TRACE(chunk);
        auto emu = Make("");
        std::vector<unsigned> tags;
        const Bytes data = ReadSnapshot(*emu, chunk, &tags);
        EXPECT_EQ(data, qaxsim::EmulatorModel(*emu).Snapshot());
        for (unsigned t : tags) EXPECT_EQ(t, tags.front());
        EXPECT_EQ(tags.front(), qaxsim::EmulatorModel(*emu).Tag());
    }
}

TEST_F(EmulatorTest, SnapshotChunkIsBoundedByChunkSizeAndEnd) {
    auto emu = Make("chunk_size 20");
    const size_t total = qaxsim::EmulatorModel(*emu).Snapshot().size();
    struct Case {
        unsigned offset, asked, returned;
    } cases[] = {
        {0, 100, 20},
        {0, 5, 5},
        {static_cast<unsigned>(total) - 3, 20, 3},
        {static_cast<unsigned>(total), 20, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.offset);
        const Answer a = Send(*emu, kOem, kElement, SnapRead(1, c.offset, c.asked), c.asked + 8);
        ASSERT_EQ(a.cc(), 0);
        EXPECT_EQ(a.U16(6), c.returned);
        EXPECT_EQ(a.bytes.size(), 8u + c.returned);
    }
}

// --- faults ------------------------------------------------------------------

TEST_F(EmulatorTest, ReplacementMidTransferChangesTheTagBetweenChunks) {
    auto emu = Make("fault replace_mid_transfer once");
    std::vector<unsigned> tags;
    ReadSnapshot(*emu, 28, &tags);
    ASSERT_GE(tags.size(), 3u);
    EXPECT_NE(tags[0], tags[1]);
    EXPECT_EQ(tags[1], tags[2]);
    // A restarted transfer sees one consistent tag from then on.
    tags.clear();
    ReadSnapshot(*emu, 28, &tags);
    for (unsigned t : tags) EXPECT_EQ(t, tags.front());

    // Always on: every continuation shows yet another tag.
    auto always = Make("fault replace_mid_transfer on");
    tags.clear();
    ReadSnapshot(*always, 28, &tags);
    for (size_t i = 1; i < tags.size(); ++i) EXPECT_NE(tags[i], tags[i - 1]);
    // A firmware reset starts the tags over at 1 all the same.
    auto reset = Make("fault replace_mid_transfer on\nprior_uptime 0\nat 1 reset");
    ReadSnapshot(*reset, 28, nullptr);
    clock_.Advance(1000);
    EXPECT_EQ(qaxsim::EmulatorTag(*reset), 1);
}

TEST_F(EmulatorTest, ChunkSizeFaults) {
    {
        auto emu = Make("fault oversized once");
        const Answer a = Send(*emu, kOem, kElement, SnapRead(1, 0, 20), 28);
        ASSERT_EQ(a.cc(), 0);
        EXPECT_EQ(a.U16(6), 21u);         // claims one byte more than asked
        EXPECT_EQ(a.bytes.size(), 28u);   // but writes only what was asked
        EXPECT_EQ(Send(*emu, kOem, kElement, SnapRead(1, 0, 20), 28).U16(6), 20u);
    }
    {
        auto emu = Make("fault short on");
        const Answer a = Send(*emu, kOem, kElement, SnapRead(1, 0, 20), 28);
        ASSERT_EQ(a.cc(), 0);
        EXPECT_EQ(a.U16(6), 10u);
        EXPECT_EQ(a.bytes.size(), 18u);
        EXPECT_EQ(Bytes(a.bytes.begin() + 8, a.bytes.end()),
                  Bytes(qaxsim::EmulatorModel(*emu).Snapshot().begin(),
                        qaxsim::EmulatorModel(*emu).Snapshot().begin() + 10));
    }
}

TEST_F(EmulatorTest, CallAndCompletionFaults) {
    auto emu = Make("fault ipmi_fail once");
    EXPECT_NE(Send(*emu, kOem, kInstanceCmd, Instance(0), 10).result, 0);
    EXPECT_EQ(Send(*emu, kOem, kInstanceCmd, Instance(0), 10).result, 0);

    auto cc = Make("fault completion 0xC0 on");
    EXPECT_EQ(Send(*cc, kOem, kElement, RegRead(1, 7, 0, 2), 6).bytes,
              (Bytes{0xC0, 0x4D, 0x4F, 0x00}));
    EXPECT_EQ(Send(*cc, kOem, kPerfCmd, Perf(0, 0), 11).cc(), 0xC0);

    // Missing firmware by fault: the instance request says so, the element
    // methods still answer (the handle is known from before).
    auto gone = Make("fault no_firmware on");
    EXPECT_EQ(Send(*gone, kOem, kInstanceCmd, Instance(0), 10).bytes.at(7), 0);
    EXPECT_EQ(Send(*gone, kOem, kElement, RegRead(1, 7, 0, 2), 6).cc(), 0);
}

TEST_F(EmulatorTest, RatedFaultsAreDeterministicForASeed) {
    const std::string text = "fault ipmi_fail rate 0.3\nfault short rate 0.5";
    auto run = [&](uint64_t seed) {
        FakeClock local;
        std::string error;
        auto emu = qaxsim::MakeEmulator(text, seed, local.MakeHost(), &error);
        std::string trace;
        for (int i = 0; i < 200; ++i) {
            local.Advance(700);
            const Answer a = Send(*emu, kOem, kElement, SnapRead(1, 0, 28), 36);
            trace += a.result != 0 ? 'F' : a.U16(6) < 28 ? 'S' : '.';
            for (uint8_t b : a.bytes) trace += static_cast<char>('a' + b % 26);
        }
        return trace;
    };
    const std::string a = run(11);
    EXPECT_EQ(a, run(11));
    EXPECT_NE(a, run(12));
    EXPECT_NE(a.find('F'), std::string::npos);
    EXPECT_NE(a.find('S'), std::string::npos);
    EXPECT_NE(a.find('.'), std::string::npos);
}

// --- timeline ----------------------------------------------------------------

TEST_F(EmulatorTest, TimelineFiresInOrderAtItsTime) {
    auto emu = Make("at 10 cap max 700\n"
                    "at 10 cap max 710\n"   // same moment: file order
                    "at 5 cap min 320\n"
                    "at 20 cap soft_min 260\n");
    auto read = [&](uint8_t id) { return Send(*emu, kOem, kElement, RegRead(1, 7, id, 2), 6).U16(4); };
    clock_.Advance(4999);
    EXPECT_EQ(read(4), 300u);
    clock_.Advance(1);
    EXPECT_EQ(read(4), 320u);
    EXPECT_EQ(read(2), 650u);
    clock_.Advance(60000);  // both remaining moments pass before one request
    EXPECT_EQ(read(2), 710u);
    EXPECT_EQ(read(6), 260u);
}

TEST_F(EmulatorTest, TimelineActions) {
    auto emu = Make("prior_uptime 600\n"
                    "at 1 clock_jump -3600\n"
                    "at 2 firmware absent\n"
                    "at 3 firmware present\n"
                    "at 4 performance off\n"
                    "at 5 fault completion 0xC3 on\n"
                    "at 6 fault completion off\n"
                    "at 7 sigterm\n"
                    "at 8 status_word 0x8001\n"
                    "at 40 reset\n");
    auto instance = [&] { return Send(*emu, kOem, kInstanceCmd, Instance(0), 10); };
    const uint64_t wall0 = clock_.wall;
    clock_.Advance(1000);
    instance();
    EXPECT_EQ(clock_.jumps, (std::vector<int64_t>{-3600}));
    EXPECT_EQ(clock_.wall, wall0 + 1000 - 3600000);
    clock_.Advance(1000);
    EXPECT_EQ(instance().bytes.at(7), 0);
    EXPECT_EQ(Send(*emu, kOem, kPerfCmd, Perf(0, 0), 11).cc(), 0xC1);
    clock_.Advance(1000);
    EXPECT_EQ(instance().bytes.at(7), 1);
    EXPECT_EQ(Send(*emu, kOem, kPerfCmd, Perf(0, 0), 11).cc(), 0);
    clock_.Advance(1000);
    EXPECT_EQ(Send(*emu, kOem, kPerfCmd, Perf(0, 0), 11).cc(), 0xC1);
    clock_.Advance(1000);
    EXPECT_EQ(instance().cc(), 0xC3);
    clock_.Advance(1000);
    EXPECT_EQ(instance().cc(), 0);
    EXPECT_TRUE(clock_.signals.empty());
    clock_.Advance(1000);
    EXPECT_EQ(instance().cc(), 0);  // answered, then the signal
    EXPECT_EQ(clock_.signals, (std::vector<int>{SIGTERM}));

    // The status word goes into the next snapshot (offset 9 + 24).
    const uint16_t tag = qaxsim::EmulatorTag(*emu);
    clock_.Advance(31000);
    ASSERT_NE(qaxsim::EmulatorTag(*emu), tag);
    std::vector<unsigned> tags;
    const Bytes snap = ReadSnapshot(*emu, 28, &tags);
    ASSERT_GT(snap.size(), 35u);
    EXPECT_EQ((snap[33] << 8) | snap[34], 0x8001);

    EXPECT_GT(qaxsim::EmulatorTag(*emu), 2);
    clock_.Advance(2000);  // past 40 s
    EXPECT_EQ(qaxsim::EmulatorTag(*emu), 1);
}

TEST_F(EmulatorTest, PowerStepRaisesThePower) {
    auto emu = Make("noise_watts 0\nswing_watts 0\nat 10 power_step 200");
    clock_.Advance(9000);
    const uint32_t before = qaxsim::EmulatorModel(*emu).Current().dc;
    clock_.Advance(3000);
    EXPECT_EQ(qaxsim::EmulatorModel(*emu).Current().dc, before + 200);
}

TEST_F(EmulatorTest, PerformanceAnswer) {
    auto emu = Make("");
    for (uint8_t domain : {0, 4, 5, 6}) {
        for (uint8_t statistic : {0, 1, 2}) {
            const Answer a = Send(*emu, kOem, kPerfCmd, Perf(domain, statistic), 11);
            ASSERT_EQ(a.bytes.size(), 11u);
            const uint32_t seconds = static_cast<uint32_t>(clock_.wall / 1000);
            EXPECT_EQ(a.bytes, (Bytes{0, 0x4D, 0x4F, 0x00, static_cast<uint8_t>(seconds >> 24),
                                      static_cast<uint8_t>(seconds >> 16),
                                      static_cast<uint8_t>(seconds >> 8),
                                      static_cast<uint8_t>(seconds), 7, 0,
                                      static_cast<uint8_t>(qaxsim::EmulatorModel(*emu).Utilisation(
                                          domain, statistic))}));
            EXPECT_LE(a.bytes[10], 100);
        }
    }
}

TEST_F(EmulatorTest, SameSeedSameAnswers) {
    auto run = [](uint64_t seed) {
        FakeClock local;
        std::string error;
        auto emu = qaxsim::MakeEmulator("noise_watts 40", seed, local.MakeHost(), &error);
        Bytes all;
        for (int i = 0; i < 12; ++i) {
            local.Advance(10000);
            const Answer a = Send(*emu, kOem, kElement, SnapRead(1, 0, 28), 36);
            all.insert(all.end(), a.bytes.begin(), a.bytes.end());
            const Answer p = Send(*emu, kOem, kPerfCmd, Perf(4, 1), 11);
            all.insert(all.end(), p.bytes.begin(), p.bytes.end());
        }
        return all;
    };
    EXPECT_EQ(run(5), run(5));
    EXPECT_NE(run(5), run(6));
}

// --- sensor records ----------------------------------------------------------

std::string Text(const uint8_t *p) { return reinterpret_cast<const char *>(p); }

TEST_F(EmulatorTest, BladeSensorRecords) {
    auto emu = Make("family blade");
    std::vector<uint8_t> buf(4 * 1492, 0xEE);
    uint32_t written = 0;
    ASSERT_EQ(qaxsim::SensorRecords(*emu, 1, buf.data(), buf.size(), &written), 0);
    ASSERT_EQ(written, 2u * 1492);
    EXPECT_EQ(buf[2], 0);
    EXPECT_EQ(Text(&buf[6]), "Inlet Temp");
    EXPECT_EQ(Text(&buf[198]), qaxsim::EmulatorModel(*emu).InletTemperatureText(0));
    EXPECT_EQ(buf[1492 + 2], 0);
    EXPECT_EQ(Text(&buf[1492 + 6]).find("Inlet"), std::string::npos);
    EXPECT_EQ(buf[2 * 1492], 0xEE);

    // Other sensor types have no records.
    ASSERT_EQ(qaxsim::SensorRecords(*emu, 2, buf.data(), buf.size(), &written), 0);
    EXPECT_EQ(written, 0u);
    // Only whole records that fit.
    ASSERT_EQ(qaxsim::SensorRecords(*emu, 1, buf.data(), 1492 + 1491, &written), 0);
    EXPECT_EQ(written, 1492u);
}

TEST_F(EmulatorTest, ScenarioSensorRecords) {
    auto emu = Make("family rack\nsensor \"Inlet 2 Temp\" model\nsensor \"Inlet Temp\" 99 skip\n"
                    "sensor \"PEN Inlet Temp\" Unavailable\nfault sensor_fail once");
    std::vector<uint8_t> buf(8 * 1492);
    uint32_t written = 7;
    EXPECT_NE(qaxsim::SensorRecords(*emu, 1, buf.data(), buf.size(), &written), 0);
    EXPECT_EQ(written, 0u);
    ASSERT_EQ(qaxsim::SensorRecords(*emu, 1, buf.data(), buf.size(), &written), 0);
    ASSERT_EQ(written, 3u * 1492);
    EXPECT_EQ(Text(&buf[198]), qaxsim::EmulatorModel(*emu).InletTemperatureText(2));
    EXPECT_NE(buf[1492 + 2], 0);
    EXPECT_EQ(Text(&buf[1492 + 198]), "99");
    EXPECT_EQ(Text(&buf[2 * 1492 + 6]), "PEN Inlet Temp");
    EXPECT_EQ(Text(&buf[2 * 1492 + 198]), "Unavailable");

    auto rack = Make("family rack");
    ASSERT_EQ(qaxsim::SensorRecords(*rack, 1, buf.data(), buf.size(), &written), 0);
    EXPECT_EQ(written, 0u);
}

}  // namespace
