// bcm2835's I2C controller on the simulated lines: a transfer is clocked bit by
// bit, so a bit-level slave answers it, and a missing one is a NACK.
#include <bcm2835.h>
#include <gtest/gtest.h>

#include "core/board.h"
#include "core/scenario.h"
#include "devices/i2c_slave.h"

namespace {

using namespace pikit::sim;

// The smallest I2C part: acknowledges its address and every byte written,
// and answers reads with `reply`, over and over. A standard-mode part, so the
// controller's 100 kHz timing is checked against the strict limits.
class TinySlave final : public I2cSlave {
public:
    TinySlave(uint8_t address, std::vector<uint8_t> reply)
        : I2cSlave("tiny-i2c", "tiny", address, I2cMode::Standard, {}), reply_(std::move(reply)) {}
    std::vector<uint8_t> written_bytes;

private:
    bool written(uint8_t b) override {
        written_bytes.push_back(b);
        return true;
    }
    uint8_t next_byte(std::size_t index) override { return reply_[index % reply_.size()]; }
    std::vector<uint8_t> reply_;
};

TEST(HardwareI2c, WriteThenReadWithRepeatedStartReachesABitLevelSlave) {
    Board board;
    auto& slave = board.add(std::make_unique<TinySlave>(0x2A, std::vector<uint8_t>{0xC3, 0x5A}));
    ASSERT_EQ(bcm2835_init(), 1);
    ASSERT_EQ(bcm2835_i2c_begin(), 1);
    bcm2835_i2c_set_baudrate(100000);
    bcm2835_i2c_setSlaveAddress(0x2A);
    char cmd[] = {0x10};
    char buf[2] = {0, 0};
    Time t0 = board.now();
    EXPECT_EQ(bcm2835_i2c_write_read_rs(cmd, 1, buf, 2), BCM2835_I2C_REASON_OK);
    EXPECT_EQ(static_cast<uint8_t>(buf[0]), 0xC3);
    EXPECT_EQ(static_cast<uint8_t>(buf[1]), 0x5A);
    EXPECT_EQ(slave.written_bytes, std::vector<uint8_t>{0x10});
    EXPECT_EQ(slave.bus_counters().starts, 2u) << "start and repeated start";
    // Address twice, the command and two data bytes, 9 clocks each at 100 kHz,
    // plus start and stop of 1.5 clocks each, and the repeated start of 2
    // (a whole low phase of the clock before it).
    EXPECT_EQ(board.now() - t0, 5 * 90_us + 2 * 15_us + 20_us);
    EXPECT_TRUE(is_high(board.level(8)) && is_high(board.level(9))) << "bus idle after the stop";
    EXPECT_TRUE(board.contentions().empty());
    EXPECT_TRUE(board.reports(ReportKind::Breach).empty()) << board.reports(ReportKind::Breach)[0].text;
}

// The last byte read gets a not-acknowledge, the others an acknowledge. A
// slave whose next byte starts with a 0 bit would otherwise hold SDA low
// for it, and the STOP could not happen.
TEST(HardwareI2c, LastByteReadIsNotAcknowledgedSoTheSlaveLetsGoForTheStop) {
    // Every byte, and the one after the last read, starts with a 0 bit.
    const std::vector<uint8_t> reply{0x7F, 0x3C, 0x01, 0x00};
    for (uint32_t n : {1u, 2u, 3u}) {
        SCOPED_TRACE(std::to_string(n) + " byte(s) read");
        Board board;
        auto& slave = board.add(std::make_unique<TinySlave>(0x2D, reply));
        bcm2835_init();
        bcm2835_i2c_begin();
        bcm2835_i2c_setSlaveAddress(0x2D);
        char cmd[] = {0x04};
        char buf[3] = {0, 0, 0};
        EXPECT_EQ(bcm2835_i2c_write_read_rs(cmd, 1, buf, n), BCM2835_I2C_REASON_OK);
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + n), std::vector<uint8_t>(reply.begin(), reply.begin() + n));
        const auto& t = slave.transfers();
        ASSERT_EQ(t.size(), 2u);
        EXPECT_TRUE(t[1].read);
        EXPECT_EQ(t[1].bytes.size(), n) << "no byte past the last one was asked for";
        EXPECT_TRUE(t[1].master_nack);
        EXPECT_TRUE(t[1].stopped);
        EXPECT_TRUE(is_high(board.level(8)) && is_high(board.level(9))) << "bus idle after the stop";
        EXPECT_TRUE(board.reports(ReportKind::Breach).empty());
        EXPECT_TRUE(board.contentions().empty());
    }
}

TEST(HardwareI2c, NobodyAtTheAddressIsANackAndTheBufferIsKept) {
    Board board;
    board.add(std::make_unique<TinySlave>(0x2A, std::vector<uint8_t>{0xC3}));
    bcm2835_init();
    bcm2835_i2c_begin();
    bcm2835_i2c_setSlaveAddress(0x51);
    char cmd[] = {0x10};
    char buf[1] = {0x77};
    EXPECT_EQ(bcm2835_i2c_write_read_rs(cmd, 1, buf, 1), BCM2835_I2C_REASON_ERROR_NACK);
    EXPECT_EQ(buf[0], 0x77);
    Time t = board.now();
    bcm2835_delay(5);
    EXPECT_EQ(board.now(), t + 5_ms);
}

// A Pi where the peripherals cannot be mapped, or the controller not started,
// as the scenario's board settings ask; and, as with the real library, no
// controller without a successful bcm2835_init on this board first.
TEST(HardwareI2c, StartUpFailsAsTheScenarioSaysAndBeginNeedsInit) {
    const Config root = Config::parse("board: {bcm2835_init_fails: true, bcm2835_i2c_begin_fails: true}\n", "s.yaml");
    const Options both = scenario_options(root, Options{});
    EXPECT_TRUE(both.bcm2835_init_fails && both.bcm2835_i2c_begin_fails);
    {
        Board board(both);
        EXPECT_EQ(bcm2835_init(), 0);
        EXPECT_EQ(bcm2835_i2c_begin(), 0) << "nothing mapped, no controller";
    }
    {
        Options o;
        o.bcm2835_i2c_begin_fails = true;
        Board board(o);
        EXPECT_EQ(bcm2835_init(), 1);
        EXPECT_EQ(bcm2835_i2c_begin(), 0);
        EXPECT_EQ(board.find("i2c controller"), nullptr);
    }
    {
        Board board;
        EXPECT_EQ(bcm2835_i2c_begin(), 0) << "an init on an earlier board does not count";
        ASSERT_EQ(bcm2835_init(), 1);
        EXPECT_EQ(bcm2835_i2c_begin(), 1);
        EXPECT_NE(board.find("i2c controller"), nullptr);
    }
}

}  // namespace
