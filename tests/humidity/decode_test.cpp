// humidity-demo's I2C traffic as sigrok's i2c decoder reads it from the trace:
// every transfer, byte and acknowledge the program means to make, and the
// frame the sensor means to send, with nothing left over.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "support/decode.h"
#include "support/run_program.h"

namespace {

using namespace pikit::test;
using Bytes = std::vector<std::uint8_t>;

constexpr int kSda = 8, kScl = 9;
constexpr int kAddress = 0x38;

// The AHT20's CRC-8 as its datasheet gives it (polynomial 0x31, start 0xFF).
std::uint8_t crc8(const Bytes& bytes) {
    std::uint8_t crc = 0xFF;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = static_cast<std::uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x31 : crc << 1);
    }
    return crc;
}

// The seven bytes a sensor reading `rh` %RH and `celsius` sends after a
// measurement: status, 20-bit humidity and temperature, CRC.
Bytes frame(std::uint8_t status, double rh, double celsius) {
    const auto h = static_cast<std::uint32_t>(std::lround(rh / 100.0 * 1048576.0));
    const auto t = static_cast<std::uint32_t>(std::lround((celsius + 50.0) / 200.0 * 1048576.0));
    Bytes f = {status,
               static_cast<std::uint8_t>(h >> 12),
               static_cast<std::uint8_t>(h >> 4),
               static_cast<std::uint8_t>((h << 4 | t >> 16) & 0xFF),
               static_cast<std::uint8_t>(t >> 8),
               static_cast<std::uint8_t>(t)};
    f.push_back(crc8(f));
    return f;
}

I2cDecode run_and_decode(const std::string& scenario, const char* until) {
    const std::string dir = temp_dir();
    const std::string vcd = dir + "/run.vcd";
    std::map<std::string, std::string> env{{"PIKIT_SIM_UNTIL", until}, {"PIKIT_SIM_VCD", vcd}};
    if (!scenario.empty()) env["PIKIT_SIM_SCENARIO"] = write_file(dir, "scenario.yaml", scenario);
    const RunResult r = run_program("humidity-demo", env);
    EXPECT_EQ(r.signal, 15) << r.err;  // ended by the run limit
    return decode_i2c(vcd, kSda, kScl);
}

// The default sensor is calibrated: status read, trigger, one poll after
// 80 ms, the frame. The last transfer's STOP comes 1 s before the end.
TEST(HumidityDecode, DefaultRunIsStatusTriggerPollAndFrame) {
    PIKIT_NEED_SIGROK();
    const I2cDecode d = run_and_decode("", "2500ms");
    EXPECT_EQ(d.problems, std::vector<std::string>{});
    EXPECT_TRUE(same_traffic(d.transfers, {
                                              i2c_read(kAddress, {0x1C}),
                                              i2c_write(kAddress, {0xAC, 0x33, 0x00}),
                                              i2c_read(kAddress, {0x1C}),
                                              i2c_read(kAddress, frame(0x1C, 48.2, 21.6)),
                                          }));
}

// Without both calibration bits (status 0x0C: bit 2 and one of 0x18) the
// program rewrites registers 0x1B, 0x1C and 0x1E - select, read status and
// the register's two bytes, write those two bytes back - then measures.
TEST(HumidityDecode, RegisterSetUpWritesBackWhatItRead) {
    PIKIT_NEED_SIGROK();
    const I2cDecode d = run_and_decode(
        "devices:\n  - {type: aht20, name: sensor, humidity: 33.3, temperature: -12.5, calibration_bits: 0x08}\n", "2s");
    EXPECT_EQ(d.problems, std::vector<std::string>{});
    ASSERT_EQ(d.transfers.size(), 13u) << ::testing::PrintToString(d.transfers);
    std::vector<I2cTransfer> expected = {i2c_read(kAddress, {0x0C})};
    for (std::uint8_t reg : {0x1B, 0x1C, 0x1E}) {
        const Bytes& answer = d.transfers[expected.size() + 1].bytes;  // the register as the sensor sent it
        ASSERT_EQ(answer.size(), 3u);
        expected.push_back(i2c_write(kAddress, {reg, 0x00, 0x00}));
        expected.push_back(i2c_read(kAddress, {0x0C, answer[1], answer[2]}));
        expected.push_back(i2c_write(kAddress, {static_cast<std::uint8_t>(0xB0 | reg), answer[1], answer[2]}));
    }
    expected.push_back(i2c_write(kAddress, {0xAC, 0x33, 0x00}));
    expected.push_back(i2c_read(kAddress, {0x1C}));
    expected.push_back(i2c_read(kAddress, frame(0x1C, 33.3, -12.5)));
    EXPECT_TRUE(same_traffic(d.transfers, expected));
}

}  // namespace
