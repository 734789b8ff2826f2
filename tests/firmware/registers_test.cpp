// Register accessors: the request each one sends, the decoding of each width, what failures leave
// behind, and the power-capping tests.
#include "fake_firmware.h"
#include "firmware/element_method_testing.h"
#include "firmware/registers.h"

namespace {

using fwtest::Bytes;
const uint8_t kHandle = 0x2A;
const Bytes kPattern = {0x81, 0x42, 0x23, 0x14, 0x95, 0x66, 0x37, 0x08}, kWritten = {0x12, 0x34};

uint64_t BigEndian(const Bytes &data, size_t from = 0, size_t to = 8) {
    uint64_t v = 0;
    for (size_t i = from; i < std::min(to, data.size()); i++) v = v * 256 + data[i];
    return v;
}

// Every accessor of a register, flattened to 64-bit values. Outputs start as
// garbage so that a reader which forgets to clear them is caught.
struct Register {
    const char *name;
    uint8_t element, id, length;
    std::function<unsigned(uint64_t *)> read;
    std::function<unsigned(uint64_t)> write = nullptr;
    std::function<uint64_t(const Bytes &)> decode = [](const Bytes &d) { return BigEndian(d); };
};

template <typename T>
std::function<unsigned(uint64_t *)> R(unsigned (*fn)(uint8_t, T *)) {
    return [fn](uint64_t *out) {
        T v = static_cast<T>(0xA5A5A5A5A5A5A5A5ull);
        unsigned s = fn(kHandle, &v);
        *out = v;
        return s;
    };
}
template <typename T>
std::function<unsigned(uint64_t)> W(unsigned (*fn)(uint8_t, T)) {
    return [fn](uint64_t v) { return fn(kHandle, static_cast<T>(v)); };
}
template <typename T>
std::function<unsigned(uint64_t *)> R2(unsigned (*fn)(uint8_t, T *, uint16_t *)) {
    return [fn](uint64_t *out) {
        T first = static_cast<T>(0xA5A5);
        uint16_t second = 0xA5A5;
        unsigned s = fn(kHandle, &first, &second);
        *out = (uint64_t{first} << 16) | second;
        return s;
    };
}

const std::vector<Register> kRegisters = {
    {"PowerStatus", 0x00, 0, 1, R(QAX_ReadPowerStatusRegister)},
    {"PowerEvent", 0x00, 1, 2, R(QAX_2_6_ReadPowerEventRegister)},
    {"PowerHardwareError", 0x00, 2, 1, R(QAX_ReadPowerHardwareErrorRegister)},
    {"SMSPolicy", 0x00, 3, 1, R(QAX_ReadSMSPowerControlPolicyRegister), W(QAX_WriteSMSPowerControlPolicyRegister)},
    {"POSTPowerSettings", 0x00, 5, 1, R(QAX_ReadPOSTPowerSettingsRegister)},
    {"PowerThermalCaps", 0x00, 7, 1, R(QAX_ReadFirmwarePowerThermalCapabilitiesRegister)},
    {"ServerPowerCapabilities", 0x00, 8, 1, R(QAX_ReadServerPowerCapabilitiesRegister)},
    {"ServerPowerSettings", 0x00, 9, 1, R(QAX_ReadServerPowerSettingsRegister)},
    {"ExtendedCaps", 0x00, 14, 4, R(QAX_ReadExtendedFirmwareCapabilitiesRegister)},
    {"CFFPolicy", 0x00, 16, 1, R(QAX_ReadCFFPowerControlPolicyRegister), W(QAX_WriteCFFPowerControlPolicyRegister)},
    {"EARDC", 0x01, 0, 8, R(QAX_ReadEARDCRegister)},
    {"EARAC", 0x01, 1, 8, R(QAX_ReadEARACRegister)},
    {"CAR", 0x04, 0, 4, R(QAX_ReadCARRegister)},
    {"ClockRate", 0x04, 1, 2, R(QAX_ReadClockRateRegister)},
    {"Pcap", 0x07, 0, 2, R(QAX_ReadPcapRegister), W(QAX_WritePcapRegister)},
    {"PcapMaxHotplug", 0x07, 1, 2, R(QAX_ReadPcapMaxHotplugRegister)},
    {"PcapMax", 0x07, 2, 2, R(QAX_ReadPcapMaxRegister)},
    {"PcapMin", 0x07, 4, 2, R(QAX_ReadPcapMinRegister)},
    {"PauxMax", 0x07, 5, 2, R(QAX_ReadPauxMaxRegister)},
    {"PcapSoftMin", 0x07, 6, 2, R(QAX_ReadPcapSoftMinRegister)},
    {"Pnameplate", 0x07, 9, 2, R(QAX_ReadPnameplateRegister)},
    {"PcapMode", 0x07, 10, 1, R(QAX_ReadPcapModeRegister), W(QAX_WritePcapModeRegister)},
    {"EHI", 0x09, 0, 1, R(QAX_ReadEHIRegister)},
    {"InletTemperature", 0x09, 1, 1, R(QAX_ReadInletTemperatureRegister)},
    {"MaxNumberOfPowerSupplies", 0x0A, 0, 1, R(QAX_ReadMaxNumberOfPowerSuppliesRegister), nullptr,
     [](const Bytes &d) { return BigEndian(d) + 1; }},
    {"RedundancyTarget", 0x0A, 30, 1, R(QAX_ReadRedundancyTargetRegister), W(QAX_WriteRedundancyTargetRegister)},
    {"ServerPowerDownSupport", 0x0D, 0, 2, R(QAX_ReadServerPowerDownSupportRegister)},
    {"StandbyPower", 0x0D, 1, 8, R2(QAX_ReadStandbyPowerRegister), nullptr,
     [](const Bytes &d) { return BigEndian(d, 2, 5); }},
    {"IPLTime", 0x0D, 2, 2, R(QAX_ReadIPLTimeRegister)},
    {"NumberOfPowerCycles", 0x0D, 3, 4, R2(QAX_ReadNumberOfPowerCyclesRegister)},
    {"NumberOWakesFromS3", 0x0D, 4, 2, R(QAX_ReadNumberOWakesFromS3Register)},
    {"MaximizerStatus", 0x0E, 6, 1, R(QAX_ReadMaximizerStatusRegister)},
};

TEST(Registers, RequestsDecodingAndFailures) {
    for (const Register &c : kRegisters) {
        SCOPED_TRACE(c.name);
        const Bytes data(kPattern.begin(), kPattern.begin() + c.length), shorter(data.begin(), data.end() - 1);
        Bytes oversized = data, rq = {0x4D, 0x4F, 0x00, kHandle, c.element, 0x82, c.id, c.length};
        oversized.push_back(0);
        const std::pair<fwtest::Answer, unsigned> answers[] = {{{0, fwtest::Ok(data)}, 0},
                                                               {{0, {0xC9}}, 0xC9},
                                                               {{-1, {}}, 255},
                                                               {{0, fwtest::Ok(shorter)}, 255},
                                                               {{0, fwtest::Ok(oversized)}, 255}};
        for (const auto &a : answers) {
            fwtest::FakeFirmware fw;
            fw.script = {a.first};
            uint64_t value = 1;
            EXPECT_EQ(c.read(&value), a.second);
            EXPECT_EQ(value, a.second == 0 ? c.decode(data) : 0u);  // failures leave 0
            ASSERT_EQ(fw.sent.size(), 1u);
            EXPECT_EQ(std::make_tuple(fw.sent[0].netFn, fw.sent[0].cmd, fw.sent[0].bytes, fw.sent[0].capacity),
                      std::make_tuple(0x2E, 0x81, rq, c.length + 4));
            if (!c.write || (a.second == 255 && a.first.result == 0)) continue;  // the writer too
            fw.script = {a.second == 0 ? fwtest::Answer{0, fwtest::Ok()} : a.first};
            EXPECT_EQ(c.write(BigEndian(kWritten, 0, c.length)), a.second);
            Bytes wq = rq;
            wq[5] = 0x83;
            wq.insert(wq.end(), kWritten.begin(), kWritten.begin() + c.length);
            EXPECT_EQ(std::make_pair(fw.sent.back().bytes, fw.sent.back().capacity), std::make_pair(wq, 4));
        }
    }
    fwtest::FakeFirmware fw;  // 0xFF supplies + 1 does not fit
    fw.script = {{0, fwtest::Ok({0xFF})}};
    uint64_t count = 7;
    EXPECT_EQ(kRegisters[24].read(&count) + count, 255u);
}

// What qax-psu prints: the input voltage codes and the output label power per supply. An id names
// one kind and a group of four supplies ((id & 0xE7) == base); another is refused without a request.
TEST(PowerSupplyRegisters, DecodingAndIds) {
    const uint32_t k = 0xDEAD;  // untouched
    const struct {
        bool voltage;
        uint8_t id, count;
        Bytes data;
        std::vector<uint32_t> expected;  // empty: refused
    } cases[] = {
        {true, 4, 2, {0x03, 0x04}, {110, 220, k, k, k, k}},
        {true, 28, 8, {0x0B, 0x7E}, {208, 0, 0, 220, k, k}},  // codes 2, 3, no reading, 1; four at most
        {false, 25, 3, {0x03, 0x20, 0x02, 0x58, 0xFF, 0xFF, 0x11, 0x11}, {800, 600, 65535, k, k, k}},
        {false, 2, 4, {}, {}},
        {false, 0x81, 4, {}, {}},
        {true, 20 | 0x40, 4, {}, {}},
    };
    for (const auto &c : cases) {
        fwtest::FakeFirmware fw;
        fw.script = {{0, fwtest::Ok(c.data)}};
        std::vector<uint32_t> out(6, k);
        const unsigned status = c.voltage ? QAX_ReadPowerSupplyInputVoltageRegister(kHandle, c.id, c.count, out.data())
                                          : QAX_ReadOutputLabelPowerRegister(kHandle, c.id, c.count, out.data());
        EXPECT_EQ(status, c.expected.empty() ? 255u : 0u) << int(c.id);
        EXPECT_EQ(out, c.expected.empty() ? std::vector<uint32_t>(6, k) : c.expected) << int(c.id);
        const Bytes request = {0x4D, 0x4F, 0x00, kHandle, 0x0A, 0x82, c.id, uint8_t(c.voltage ? 2 : 8)};
        EXPECT_EQ(fw.sent.size(), c.expected.empty() ? 0u : 1u) << int(c.id);
        for (const fwtest::Sent &sent : fw.sent) EXPECT_EQ(sent.bytes, request) << int(c.id);
    }
}

using Capabilities = fwtest::FirmwareTest;

TEST_F(Capabilities, PowerCappingAndNoFirmware) {
    // POST power settings empty: the register does not answer.
    const struct {
        const char *family;
        Bytes post;
        int enabled, active;
    } cases[] = {{nullptr, {0x02}, 1, 1}, {nullptr, {0xFD}, 0, 0}, {nullptr, {}, 0, 0},
                 {"Blade", {0x02}, 1, 1}, {"blade", {0x02}, 1, 0}, {"iteblade", {0x02}, 1, 0}};
    for (const auto &c : cases) {
        if (c.family) setenv("ZOQ_FAMILY", c.family, 1);
        fw_.registers.clear();
        if (!c.post.empty()) fw_.registers[{0x00, 5}] = c.post;
        EXPECT_EQ(QAX_IsPowerCappingEnabled(), c.enabled);
        fw_.sent.clear();
        EXPECT_EQ(QAX_IsPowerCappingActive(), c.active);
        EXPECT_EQ(fw_.sent.empty(), c.active == 0 && c.enabled == 1);  // blades do not ask
    }
    EXPECT_EQ(QAX_IsPowerCappingModeSupported(), 0);
    fw_.registers[{0x07, 10}] = {0xFF};
    EXPECT_EQ(QAX_IsPowerCappingModeSupported(), 1);  // whenever the register reads

    fwtest::FakeFirmware none;  // no firmware: every capability is absent and no register is read
    none.handles = {{0, 0}};
    none.registers = {{{0x00, 5}, {0xFF}}, {{0x07, 10}, {1}}};
    none.SetCapabilities(0xFF, 0x3FF);
    QAX_ResetSupportCacheForTest();
    aim_config_clear("qax_supported_0");
    EXPECT_EQ(QAX_IsStaticPowerSavingsModeSupported() + QAX_IsSupportPowerCapMinHotplugRegister() +
                  QAX_IsPowerSupplyRedundancyExposeInfoSupported() + QAX_IsPowerCappingEnabled() +
                  QAX_IsPowerCappingActive() + QAX_IsPowerCappingModeSupported(),
              0);
    EXPECT_EQ(none.Count(0x81), 0);
}

}  // namespace
