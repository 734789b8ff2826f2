// Register accessors: the request each one sends, the decoding of each
// width, what failures leave behind, the power-supply id checks, and the
// capability tests.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_firmware.h"
#include "firmware/element_method.h"
#include "firmware/registers.h"
#include "platform/platform.h"
#include "sim/registers.h"
#include "sim/scenario.h"
#include "sim/sim.h"
#include "test_root.h"

namespace {

using Bytes = std::vector<uint8_t>;
const uint8_t kHandle = 0x2A;
const Bytes kPattern = {0x81, 0x42, 0x23, 0x14, 0x95, 0x66, 0x37, 0x08};

uint64_t BigEndian(const Bytes &data) {
    uint64_t v = 0;
    for (uint8_t b : data) v = v * 256 + b;
    return v;
}

// Every reader, flattened to one 64-bit result; outputs start as garbage so
// that a reader which forgets to clear them is caught.
struct ReadCase {
    const char *name;
    uint8_t element, id, length;
    std::function<unsigned(uint64_t *)> read;
    std::function<uint64_t(const Bytes &)> expected;
};

template <typename T>
std::function<unsigned(uint64_t *)> Single(unsigned (*fn)(uint8_t, T *)) {
    return [fn](uint64_t *out) {
        T v = static_cast<T>(0xA5A5A5A5A5A5A5A5ull);
        unsigned s = fn(kHandle, &v);
        *out = v;
        return s;
    };
}

const std::vector<ReadCase> &ReadCases() {
    static const std::vector<ReadCase> cases = {
        {"PowerStatus", 0x00, 0, 1, Single(QAX_ReadPowerStatusRegister), BigEndian},
        {"PowerEvent", 0x00, 1, 2, Single(QAX_2_6_ReadPowerEventRegister), BigEndian},
        {"PowerHardwareError", 0x00, 2, 1, Single(QAX_ReadPowerHardwareErrorRegister), BigEndian},
        {"SMSPowerControlPolicy", 0x00, 3, 1, Single(QAX_ReadSMSPowerControlPolicyRegister), BigEndian},
        {"POSTPowerSettings", 0x00, 5, 1, Single(QAX_ReadPOSTPowerSettingsRegister), BigEndian},
        {"FirmwarePowerThermalCapabilities", 0x00, 7, 1,
         Single(QAX_ReadFirmwarePowerThermalCapabilitiesRegister), BigEndian},
        {"ServerPowerCapabilities", 0x00, 8, 1, Single(QAX_ReadServerPowerCapabilitiesRegister), BigEndian},
        {"ServerPowerSettings", 0x00, 9, 1, Single(QAX_ReadServerPowerSettingsRegister), BigEndian},
        {"ExtendedFirmwareCapabilities", 0x00, 14, 4,
         Single(QAX_ReadExtendedFirmwareCapabilitiesRegister), BigEndian},
        {"CFFPowerControlPolicy", 0x00, 16, 1, Single(QAX_ReadCFFPowerControlPolicyRegister), BigEndian},
        {"EARDC", 0x01, 0, 8, Single(QAX_ReadEARDCRegister), BigEndian},
        {"EARAC", 0x01, 1, 8, Single(QAX_ReadEARACRegister), BigEndian},
        {"CAR", 0x04, 0, 4, Single(QAX_ReadCARRegister), BigEndian},
        {"ClockRate", 0x04, 1, 2, Single(QAX_ReadClockRateRegister), BigEndian},
        {"Pcap", 0x07, 0, 2, Single(QAX_ReadPcapRegister), BigEndian},
        {"PcapMaxHotplug", 0x07, 1, 2, Single(QAX_ReadPcapMaxHotplugRegister), BigEndian},
        {"PcapMax", 0x07, 2, 2, Single(QAX_ReadPcapMaxRegister), BigEndian},
        {"PcapMin", 0x07, 4, 2, Single(QAX_ReadPcapMinRegister), BigEndian},
        {"PauxMax", 0x07, 5, 2, Single(QAX_ReadPauxMaxRegister), BigEndian},
        {"PcapSoftMin", 0x07, 6, 2, Single(QAX_ReadPcapSoftMinRegister), BigEndian},
        {"Pnameplate", 0x07, 9, 2, Single(QAX_ReadPnameplateRegister), BigEndian},
        {"PcapMode", 0x07, 10, 1, Single(QAX_ReadPcapModeRegister), BigEndian},
        {"EHI", 0x09, 0, 1, Single(QAX_ReadEHIRegister), BigEndian},
        {"InletTemperature", 0x09, 1, 1, Single(QAX_ReadInletTemperatureRegister), BigEndian},
        {"MaxNumberOfPowerSupplies", 0x0A, 0, 1, Single(QAX_ReadMaxNumberOfPowerSuppliesRegister),
         [](const Bytes &d) { return BigEndian(d) + 1; }},
        {"RedundancyTarget", 0x0A, 30, 1, Single(QAX_ReadRedundancyTargetRegister), BigEndian},
        {"ServerPowerDownSupport", 0x0D, 0, 2, Single(QAX_ReadServerPowerDownSupportRegister), BigEndian},
        {"StandbyPower", 0x0D, 1, 8,
         [](uint64_t *out) {
             uint8_t v = 0xA5;
             uint16_t power = 0xA5A5;
             unsigned s = QAX_ReadStandbyPowerRegister(kHandle, &v, &power);
             *out = (uint64_t{v} << 16) | power;
             return s;
         },
         [](const Bytes &d) { return (uint64_t{d[2]} << 16) | (uint64_t{d[3]} << 8) | d[4]; }},
        {"IPLTime", 0x0D, 2, 2, Single(QAX_ReadIPLTimeRegister), BigEndian},
        {"NumberOfPowerCycles", 0x0D, 3, 4,
         [](uint64_t *out) {
             uint16_t first = 0xA5A5, second = 0xA5A5;
             unsigned s = QAX_ReadNumberOfPowerCyclesRegister(kHandle, &first, &second);
             *out = (uint64_t{first} << 16) | second;
             return s;
         },
         BigEndian},
        {"NumberOWakesFromS3", 0x0D, 4, 2, Single(QAX_ReadNumberOWakesFromS3Register), BigEndian},
        {"MaximizerStatus", 0x0E, 6, 1, Single(QAX_ReadMaximizerStatusRegister), BigEndian},
    };
    return cases;
}

TEST(RegisterReaders, SendTheirRequestAndDecodeTheData) {
    for (const ReadCase &c : ReadCases()) {
        SCOPED_TRACE(c.name);
        fwtest::FakeFirmware fw;
        const Bytes data(kPattern.begin(), kPattern.begin() + c.length);
        fw.ScriptData(data);
        uint64_t value = 0;
        EXPECT_EQ(c.read(&value), 0u);
        EXPECT_EQ(value, c.expected(data));
        ASSERT_EQ(fw.sent.size(), 1u);
        EXPECT_EQ(fw.sent[0].netFn, 0x2E);
        EXPECT_EQ(fw.sent[0].cmd, 0x81);
        EXPECT_EQ(fw.sent[0].bytes, (Bytes{0x4D, 0x4F, 0x00, kHandle, c.element, 0x82, c.id, c.length}));
        EXPECT_EQ(fw.sent[0].capacity, c.length + 4);
    }
}

TEST(RegisterReaders, FailuresLeaveZero) {
    const struct {
        const char *name;
        std::function<void(fwtest::FakeFirmware &, uint8_t length)> script;
        unsigned status;
    } failures[] = {
        {"completion code", [](fwtest::FakeFirmware &fw, uint8_t) { fw.ScriptCompletion(0xC9); }, 0xC9},
        {"failed call", [](fwtest::FakeFirmware &fw, uint8_t) { fw.ScriptFailure(); }, 255},
        {"short answer",
         [](fwtest::FakeFirmware &fw, uint8_t length) {
             fw.ScriptData(Bytes(kPattern.begin(), kPattern.begin() + length - 1));
         },
         255},
    };
    for (const ReadCase &c : ReadCases()) {
        for (const auto &f : failures) {
            SCOPED_TRACE(std::string(c.name) + ": " + f.name);
            fwtest::FakeFirmware fw;
            f.script(fw, c.length);
            uint64_t value = 1;
            EXPECT_EQ(c.read(&value), f.status);
            EXPECT_EQ(value, 0u);
        }
    }
}

TEST(RegisterReaders, SupplyCountIsTheDataBytePlusOne) {
    const struct {
        uint8_t data;
        unsigned status;
        uint8_t value;
    } cases[] = {{3, 0, 4}, {0, 0, 1}, {0xFE, 0, 0xFF}, {0xFF, 255, 0}};  // 0xFF + 1 does not fit
    for (const auto &c : cases) {
        fwtest::FakeFirmware fw;
        fw.ScriptData({c.data});
        uint8_t value = 7;
        EXPECT_EQ(QAX_ReadMaxNumberOfPowerSuppliesRegister(kHandle, &value), c.status) << int{c.data};
        EXPECT_EQ(value, c.value) << int{c.data};
    }
}

TEST(RegisterWriters, SendHeaderAndBigEndianValue) {
    const struct {
        const char *name;
        uint8_t element, id;
        Bytes value;
        std::function<unsigned()> write;
    } cases[] = {
        {"SMSPowerControlPolicy", 0x00, 3, {0xA7},
         [] { return QAX_WriteSMSPowerControlPolicyRegister(kHandle, 0xA7); }},
        {"CFFPowerControlPolicy", 0x00, 16, {0x03},
         [] { return QAX_WriteCFFPowerControlPolicyRegister(kHandle, 0x03); }},
        {"Pcap", 0x07, 0, {0x01, 0x2C}, [] { return QAX_WritePcapRegister(kHandle, 300); }},
        {"PcapMode", 0x07, 10, {0x02}, [] { return QAX_WritePcapModeRegister(kHandle, 2); }},
        {"RedundancyTarget", 0x0A, 30, {0x81},
         [] { return QAX_WriteRedundancyTargetRegister(kHandle, 0x81); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        {
            fwtest::FakeFirmware fw;
            EXPECT_EQ(c.write(), 0u);
            ASSERT_EQ(fw.sent.size(), 1u);
            Bytes expected = {0x4D, 0x4F, 0x00, kHandle, c.element, 0x83, c.id,
                              static_cast<uint8_t>(c.value.size())};
            expected.insert(expected.end(), c.value.begin(), c.value.end());
            EXPECT_EQ(fw.sent[0].cmd, 0x81);
            EXPECT_EQ(fw.sent[0].bytes, expected);
        }
        {
            fwtest::FakeFirmware fw;
            fw.ScriptCompletion(0xD5);
            EXPECT_EQ(c.write(), 0xD5u);
        }
        {
            fwtest::FakeFirmware fw;
            fw.ScriptFailure();
            EXPECT_EQ(c.write(), 255u);
        }
    }
}

// --- Indexed power-supply registers --------------------------------------------

TEST(PowerSupplyRegisters, OnlyIdsOfTheirKindAreSent) {
    const struct {
        const char *name;
        uint8_t base, length;
        std::function<unsigned(uint8_t id, uint32_t *out)> read;
    } kinds[] = {
        {"OutputLabelPower", 1, 8,
         [](uint8_t id, uint32_t *out) { return QAX_ReadOutputLabelPowerRegister(kHandle, id, 4, out); }},
        {"Presence", 2, 1,
         [](uint8_t id, uint32_t *out) {
             uint8_t flags[4] = {7, 7, 7, 7};
             unsigned s = QAX_ReadPowerSupplyPresenceRegister(kHandle, id, 4, flags);
             for (int i = 0; i < 4; i++) out[i] = flags[i];
             return s;
         }},
        {"InputVoltage", 4, 2,
         [](uint8_t id, uint32_t *out) {
             return QAX_ReadPowerSupplyInputVoltageRegister(kHandle, id, 4, out);
         }},
    };
    for (const auto &k : kinds) {
        for (int id = 0; id < 256; id++) {
            const bool accepted = id == k.base || id == k.base + 8 || id == k.base + 16 || id == k.base + 24;
            SCOPED_TRACE(std::string(k.name) + " id " + std::to_string(id));
            fwtest::FakeFirmware fw;
            fw.ScriptData(Bytes(k.length, 0));
            uint32_t out[4] = {7, 7, 7, 7};
            const unsigned status = k.read(static_cast<uint8_t>(id), out);
            if (accepted) {
                EXPECT_EQ(status, 0u);
                ASSERT_EQ(fw.sent.size(), 1u);
                EXPECT_EQ(fw.sent[0].bytes,
                          (Bytes{0x4D, 0x4F, 0x00, kHandle, 0x0A, 0x82, static_cast<uint8_t>(id), k.length}));
            } else {
                EXPECT_EQ(status, 255u);
                EXPECT_TRUE(fw.sent.empty());
                EXPECT_EQ(out[0], 7u);
            }
        }
    }
}

TEST(PowerSupplyRegisters, ValuesPerSupply) {
    const uint32_t kUntouched = 0xDEAD;
    const struct {
        const char *name;
        Bytes data;
        uint8_t count;
        std::function<unsigned(uint8_t count, uint32_t *out)> read;
        std::vector<uint32_t> expected;  // six slots; untouched ones keep kUntouched
    } cases[] = {
        {"presence 0x05 of 4", {0x05}, 4,
         [](uint8_t n, uint32_t *out) {
             uint8_t f[6] = {9, 9, 9, 9, 9, 9};
             unsigned s = QAX_ReadPowerSupplyPresenceRegister(kHandle, 2, n, f);
             for (int i = 0; i < 6; i++) out[i] = f[i] == 9 ? kUntouched : f[i];
             return s;
         },
         {1, 0, 1, 0, kUntouched, kUntouched}},
        {"presence 0xFF of 6 stores four", {0xFF}, 6,
         [](uint8_t n, uint32_t *out) {
             uint8_t f[6] = {9, 9, 9, 9, 9, 9};
             unsigned s = QAX_ReadPowerSupplyPresenceRegister(kHandle, 10, n, f);
             for (int i = 0; i < 6; i++) out[i] = f[i] == 9 ? kUntouched : f[i];
             return s;
         },
         {1, 1, 1, 1, kUntouched, kUntouched}},
        {"label power of 3", {0x03, 0x20, 0x02, 0x58, 0xFF, 0xFF, 0x11, 0x11}, 3,
         [](uint8_t n, uint32_t *out) { return QAX_ReadOutputLabelPowerRegister(kHandle, 25, n, out); },
         {800, 600, 65535, kUntouched, kUntouched, kUntouched}},
        {"voltage 110/220", {0x03, 0x04}, 2,
         [](uint8_t n, uint32_t *out) { return QAX_ReadPowerSupplyInputVoltageRegister(kHandle, 4, n, out); },
         {110, 220, kUntouched, kUntouched, kUntouched, kUntouched}},
        // Supply 0 code 2, supply 1 code 3, supply 2 has no reading, supply 3 code 1.
        {"voltage codes 2, 3, none, 1", {0x0B, 0x7E}, 8,
         [](uint8_t n, uint32_t *out) { return QAX_ReadPowerSupplyInputVoltageRegister(kHandle, 28, n, out); },
         {208, 0, 0, 220, kUntouched, kUntouched}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fwtest::FakeFirmware fw;
        fw.ScriptData(c.data);
        std::vector<uint32_t> out(6, kUntouched);
        EXPECT_EQ(c.read(c.count, out.data()), 0u);
        EXPECT_EQ(out, c.expected);

        // A failed read leaves the array as it was.
        fwtest::FakeFirmware failing;
        failing.ScriptCompletion(0xC3);
        std::vector<uint32_t> kept(6, kUntouched);
        EXPECT_EQ(c.read(c.count, kept.data()), 0xC3u);
        EXPECT_EQ(kept, std::vector<uint32_t>(6, kUntouched));
    }
}

// --- Capability tests -------------------------------------------------------------

class Capabilities : public ::testing::Test {
  protected:
    void SetUp() override {
        QAX_ResetSupportCacheForTest();
        unsetenv("ZOQ_FAMILY");
        fw_.handles = {{0, kHandle}};
    }
    void TearDown() override {
        QAX_ResetSupportCacheForTest();
        unsetenv("ZOQ_FAMILY");
    }
    void SetCapabilities(uint8_t powerThermal, uint32_t extended) {
        fw_.SetRegister(0x00, 7, {powerThermal});
        fw_.SetRegister(0x00, 14, {static_cast<uint8_t>(extended >> 24), static_cast<uint8_t>(extended >> 16),
                                   static_cast<uint8_t>(extended >> 8), static_cast<uint8_t>(extended)});
    }
    qaxtest::TestRoot root_;
    fwtest::FakeFirmware fw_;
};

TEST_F(Capabilities, ExtendedCapabilityBits) {
    const struct {
        uint8_t powerThermal;
        uint32_t extended;
        int staticSavings, minHotplug, redundancyInfo;
    } cases[] = {
        {0x80, 0x000, 0, 0, 0}, {0x80, 0x100, 1, 0, 0}, {0x80, 0x040, 0, 1, 0},
        {0x80, 0x200, 0, 1, 1}, {0x80, 0x240, 0, 1, 1}, {0x80, 0x07F, 0, 1, 0},
        {0x80, 0xDBF, 1, 0, 0},  // everything but bits 6 and 9
        {0xFF, 0x3FF, 1, 1, 1}, {0x7F, 0x3FF, 0, 0, 0},  // bit 7 clear: no extended register
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.powerThermal) + "/" + std::to_string(c.extended));
        SetCapabilities(c.powerThermal, c.extended);
        fw_.sent.clear();
        EXPECT_EQ(QAX_IsStaticPowerSavingsModeSupported(), c.staticSavings);
        EXPECT_EQ(QAX_IsSupportPowerCapMinHotplugRegister(), c.minHotplug);
        EXPECT_EQ(QAX_IsPowerSupplyRedundancyExposeInfoSupported(), c.redundancyInfo);
        // The extended register is only asked for when bit 7 announces it.
        EXPECT_EQ(fw_.CountRegister(0x00, 14), (c.powerThermal & 0x80) ? 3 : 0);
    }
}

TEST_F(Capabilities, UnreadableRegistersOrNoFirmwareAnswerNo) {
    // Extended register missing although announced.
    fw_.SetRegister(0x00, 7, {0x80});
    EXPECT_EQ(QAX_IsSupportPowerCapMinHotplugRegister(), 0);
    EXPECT_EQ(QAX_IsStaticPowerSavingsModeSupported(), 0);
    // Power/thermal register missing.
    fw_.registers.clear();
    EXPECT_EQ(QAX_IsPowerSupplyRedundancyExposeInfoSupported(), 0);
    EXPECT_EQ(fw_.CountRegister(0x00, 14), 2);

    QAX_ResetSupportCacheForTest();
    aim_config_clear("qax_supported_0");
    fw_.handles = {{0, 0}};
    SetCapabilities(0xFF, 0x3FF);
    fw_.SetRegister(0x00, 5, {0xFF});
    fw_.SetRegister(0x07, 10, {0x01});
    fw_.sent.clear();
    EXPECT_EQ(QAX_IsStaticPowerSavingsModeSupported(), 0);
    EXPECT_EQ(QAX_IsSupportPowerCapMinHotplugRegister(), 0);
    EXPECT_EQ(QAX_IsPowerSupplyRedundancyExposeInfoSupported(), 0);
    EXPECT_EQ(QAX_IsPowerCappingEnabled(), 0);
    EXPECT_EQ(QAX_IsPowerCappingActive(), 0);
    EXPECT_EQ(QAX_IsPowerCappingModeSupported(), 0);
    EXPECT_EQ(fw_.CountCommand(0x81), 0);
}

TEST_F(Capabilities, PowerCapping) {
    const struct {
        const char *name;
        const char *family;
        Bytes post;  // empty: the register does not answer
        int enabled, active;
    } cases[] = {
        {"bit 1 set", nullptr, {0x02}, 1, 1},
        {"other bits only", nullptr, {0xFD}, 0, 0},
        {"unreadable", nullptr, {}, 0, 0},
        {"blade", "blade", {0x02}, 1, 0},
        {"iteblade", "iteblade", {0x02}, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.family) setenv("ZOQ_FAMILY", c.family, 1); else unsetenv("ZOQ_FAMILY");
        fw_.registers.clear();
        if (!c.post.empty()) fw_.SetRegister(0x00, 5, c.post);
        EXPECT_EQ(QAX_IsPowerCappingEnabled(), c.enabled);
        fw_.sent.clear();
        EXPECT_EQ(QAX_IsPowerCappingActive(), c.active);
        if (c.family) {
            EXPECT_EQ(fw_.CountCommand(0x81), 0);  // no register read on blades
        }
    }
}

TEST_F(Capabilities, CappingModeIsSupportedWheneverItsRegisterReads) {
    for (uint8_t mode : {0, 1, 0xFF}) {
        fw_.SetRegister(0x07, 10, {mode});
        EXPECT_EQ(QAX_IsPowerCappingModeSupported(), 1);
    }
    fw_.registers.clear();
    EXPECT_EQ(QAX_IsPowerCappingModeSupported(), 0);
}

TEST_F(Capabilities, GatedRegistersAreOnlyTouchedWhenAnnounced) {
    fw_.SetRegister(0x07, 12, {0x01, 0xF4});
    SetCapabilities(0x80, 0x40);
    uint16_t value = 1;
    EXPECT_EQ(QAX_ReadPcapMinHotplugRegister(kHandle, &value), 0u);
    EXPECT_EQ(value, 500);
    EXPECT_EQ(QAX_WriteTargetRedundancyConfigurationRegister(kHandle, 3), 255u);
    EXPECT_EQ(fw_.CountRegister(0x0A, 31), 0);

    SetCapabilities(0x80, 0x200);
    EXPECT_EQ(QAX_WriteTargetRedundancyConfigurationRegister(kHandle, 3), 0u);
    EXPECT_EQ(fw_.sent.back().bytes, (Bytes{0x4D, 0x4F, 0x00, kHandle, 0x0A, 0x83, 31, 1, 3}));

    SetCapabilities(0x80, 0x100);
    value = 1;
    EXPECT_EQ(QAX_ReadPcapMinHotplugRegister(kHandle, &value), 255u);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(fw_.CountRegister(0x07, 12), 1);
}


// --- Against the emulator ----------------------------------------------------------
// Expectations come from the emulator's own register table, never from a copy
// of the encoding here.

class AgainstEmulator : public ::testing::Test {
  protected:
    void SetUp() override {
        QAX_ResetSupportCacheForTest();
        unsetenv("ZOQ_FAMILY");
    }
    void TearDown() override {
        QaxIpmiSetTransportOverride(nullptr, nullptr);
        QAX_ResetSupportCacheForTest();
    }
    // Builds the emulator and the register file it starts with.
    void Start(const std::string &scenario) {
        qaxsim::Host host;
        host.wallMs = [] { return QaxClockWallMs(); };
        host.monotonicMs = [] { return QaxClockMonotonicMs(); };
        host.jumpWall = [](int64_t s) { QaxClockJumpWall(s); };
        host.raiseSignal = [](int) {};
        std::string error;
        emu_ = qaxsim::MakeEmulator(scenario, 1, host, &error);
        ASSERT_NE(emu_, nullptr) << error;
        ASSERT_TRUE(qaxsim::ParseScenario(scenario, false, &scenario_, &error)) << error;
        registers_ = std::make_unique<qaxsim::RegisterFile>(scenario_.model);
        for (const auto &r : scenario_.registers)
            if (!r.expansion) registers_->Set(r.element, r.id, r.value);
        QaxIpmiSetTransportOverride(&AgainstEmulator::Forward, emu_.get());
    }
    static int Forward(void *context, int netFn, int cmd, const uint8_t *request, int requestLen,
                       uint8_t *response, int *responseLen) {
        return qaxsim::HandleRequest(*static_cast<qaxsim::Emulator *>(context), netFn, cmd, request,
                                     requestLen, response, responseLen);
    }
    // The value the emulator holds for a register, as data bytes.
    bool Expected(uint8_t element, uint8_t id, uint8_t length, Bytes *data) {
        uint64_t value = 0;
        qaxsim::RegisterSource source;
        if (registers_->Read(element, id, length, &value, &source) != qaxsim::RegisterFile::Access::Ok)
            return false;
        const qaxsim::Model &model = qaxsim::EmulatorModel(*emu_);
        switch (source) {
        case qaxsim::RegisterSource::DcEnergy: value = model.DcEnergy(); break;
        case qaxsim::RegisterSource::AcEnergy: value = model.AcEnergy(); break;
        case qaxsim::RegisterSource::ClockAccumulator: value = model.EffectiveCpuCounter(); break;
        case qaxsim::RegisterSource::ExhaustHeatIndex: value = model.OutletTemperature(); break;
        case qaxsim::RegisterSource::InletTemperature: value = model.InletTemperature(); break;
        case qaxsim::RegisterSource::Stored: break;
        }
        data->clear();
        for (int i = length - 1; i >= 0; i--) data->push_back(static_cast<uint8_t>(value >> (8 * i)));
        return true;
    }

    qaxtest::TestRoot root_;
    std::shared_ptr<qaxsim::Emulator> emu_;
    qaxsim::Scenario scenario_;
    std::unique_ptr<qaxsim::RegisterFile> registers_;
};

TEST_F(AgainstEmulator, FindsTheFirmwareAndReadsEveryRegister) {
    // The table's readers talk to kHandle (42).
    Start("module_handle 42\nsupplies 3\nregister 7 0 321\nregister 13 3 65539\n");
    ASSERT_EQ(QAX_IsSupported(0), 1);
    uint8_t supported = 0;
    ASSERT_NE(aim_config_get_bool("qax_supported_0", &supported), 0);
    EXPECT_EQ(supported, 1);
    EXPECT_EQ(QAX_GetModuleHandle(0), kHandle);

    for (const ReadCase &c : ReadCases()) {
        SCOPED_TRACE(c.name);
        Bytes data;
        ASSERT_TRUE(Expected(c.element, c.id, c.length, &data));
        uint64_t value = 0;
        EXPECT_EQ(c.read(&value), 0u);
        EXPECT_EQ(value, c.expected(data));
    }

    // Power supplies: the emulator's group 0 against the indexed readers.
    Bytes presence, labels, voltages;
    ASSERT_TRUE(Expected(0x0A, 2, 1, &presence));
    ASSERT_TRUE(Expected(0x0A, 1, 8, &labels));
    ASSERT_TRUE(Expected(0x0A, 4, 2, &voltages));
    uint8_t flags[4] = {9, 9, 9, 9};
    uint32_t label[4] = {}, volts[4] = {};
    ASSERT_EQ(QAX_ReadPowerSupplyPresenceRegister(kHandle, 2, 4, flags), 0u);
    ASSERT_EQ(QAX_ReadOutputLabelPowerRegister(kHandle, 1, 4, label), 0u);
    ASSERT_EQ(QAX_ReadPowerSupplyInputVoltageRegister(kHandle, 4, 4, volts), 0u);
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(flags[i], (presence[0] >> i) & 1);
        EXPECT_EQ(label[i], ReadBigEndianField(2 * i, labels.data(), 2));
        EXPECT_EQ(volts[i] != 0, i < 3);  // the three supplies report a voltage
    }
    EXPECT_EQ(flags[0] + flags[1] + flags[2] + flags[3], 3);
}

TEST_F(AgainstEmulator, WritesAreReadBack) {
    Start("module_handle 42\nextended_caps 0x200\n");
    ASSERT_EQ(QAX_IsSupported(0), 1);
    const struct {
        const char *name;
        std::function<unsigned()> write;
        std::function<unsigned(uint64_t *)> read;
        uint64_t value;
    } cases[] = {
        {"Pcap", [] { return QAX_WritePcapRegister(kHandle, 612); }, Single(QAX_ReadPcapRegister), 612},
        {"PcapMode", [] { return QAX_WritePcapModeRegister(kHandle, 2); }, Single(QAX_ReadPcapModeRegister), 2},
        {"SMSPolicy", [] { return QAX_WriteSMSPowerControlPolicyRegister(kHandle, 5); },
         Single(QAX_ReadSMSPowerControlPolicyRegister), 5},
        {"CFFPolicy", [] { return QAX_WriteCFFPowerControlPolicyRegister(kHandle, 3); },
         Single(QAX_ReadCFFPowerControlPolicyRegister), 3},
        {"RedundancyTarget", [] { return QAX_WriteRedundancyTargetRegister(kHandle, 1); },
         Single(QAX_ReadRedundancyTargetRegister), 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.write(), 0u);
        uint64_t value = 0;
        EXPECT_EQ(c.read(&value), 0u);
        EXPECT_EQ(value, c.value);
    }
    // Announced by bit 9, so the write-only register takes a value.
    EXPECT_EQ(QAX_IsPowerSupplyRedundancyExposeInfoSupported(), 1);
    EXPECT_EQ(QAX_WriteTargetRedundancyConfigurationRegister(kHandle, 1), 0u);
    uint16_t hotplug = 0;
    Bytes data;
    ASSERT_TRUE(Expected(0x07, 12, 2, &data));
    EXPECT_EQ(QAX_ReadPcapMinHotplugRegister(kHandle, &hotplug), 0u);
    EXPECT_EQ(hotplug, ReadBigEndianField(0, data.data(), 2));
}

TEST_F(AgainstEmulator, NoFirmware) {
    Start("firmware absent\n");
    EXPECT_EQ(QAX_IsSupported(0), 0);
    uint8_t supported = 1;
    ASSERT_NE(aim_config_get_bool("qax_supported_0", &supported), 0);
    EXPECT_EQ(supported, 0);
    EXPECT_EQ(QAX_GetModuleHandle(0), 0);
    EXPECT_EQ(QAX_GetSupportedModuleHandle(0), 0);
    EXPECT_EQ(QAX_IsPowerCappingEnabled(), 0);
}

}  // namespace
