// bcm2835's I2C controller on the simulated lines: a transfer is clocked bit by
// bit, so a bit-level slave answers it, and a missing one is a NACK.
#include <bcm2835.h>
#include <gtest/gtest.h>

#include "core/board.h"
#include "core/scenario.h"

namespace {

using namespace pikit::sim;

// The smallest I2C slave that answers reads: acknowledges its address and
// every byte written, and shifts out `reply` bytes, MSB first.
class TinySlave final : public Device {
public:
    TinySlave(uint8_t address, std::vector<uint8_t> reply)
        : Device("tiny-i2c", "tiny"), address_(address), reply_(std::move(reply)) {}
    void attach(Board& b) override {
        b.attach(*this, 8, PinRole::OpenDrain);
        b.attach(*this, 9, PinRole::OpenDrain);
    }
    void on_edge(int pin, Level level) override {
        Board& b = *board();
        bool scl = is_high(b.level(9));
        if (pin == 8 && scl && !driving_) {  // SDA moves while SCL is high
            if (level == Level::Low) { state_ = State::Address; bits_ = 0; shift_ = 0; ++starts; }
            else state_ = State::Idle;
            return;
        }
        if (pin != 9 || state_ == State::Idle) return;
        if (level == Level::High) {  // sample on the rising clock
            bool sda = is_high(b.level(8));
            if (phase_ack_) {
                if (reading_ && sda) state_ = State::Idle;  // master NACK: done
                return;
            }
            if (!reading_) {
                shift_ = static_cast<uint8_t>((shift_ << 1) | sda);
                ++bits_;
            }
            return;
        }
        // falling clock: move to the next bit
        if (phase_ack_) {
            phase_ack_ = false;
            release();
            if (reading_) put_bit();
            return;
        }
        if (reading_) {
            if (++bits_ == 8) { phase_ack_ = true; release(); next_ = (next_ + 1) % reply_.size(); }
            else put_bit();
            return;
        }
        if (bits_ == 8) {
            bits_ = 0;
            bool ack = true;
            if (state_ == State::Address) {
                ack = (shift_ >> 1) == address_;
                reading_ = shift_ & 1;
                state_ = ack ? State::Data : State::Idle;
            } else {
                written.push_back(shift_);
            }
            if (ack) { b.drive(*this, 8, Drive::Low); driving_ = true; }
            phase_ack_ = true;
            shift_ = 0;
        }
    }
    int starts = 0;
    std::vector<uint8_t> written;

private:
    void release() { board()->drive(*this, 8, Drive::Release); driving_ = false; }
    void put_bit() {
        if (bits_ == 8) bits_ = 0;
        bool bit = (reply_[next_] >> (7 - bits_)) & 1;
        board()->drive(*this, 8, bit ? Drive::Release : Drive::Low);
        driving_ = !bit;
    }
    enum class State { Idle, Address, Data } state_ = State::Idle;
    uint8_t address_;
    std::vector<uint8_t> reply_;
    std::size_t next_ = 0;
    uint8_t shift_ = 0;
    int bits_ = 0;
    bool reading_ = false, phase_ack_ = false, driving_ = false;
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
    EXPECT_EQ(slave.written, std::vector<uint8_t>{0x10});
    EXPECT_EQ(slave.starts, 2) << "start and repeated start";
    // Address twice, the command and two data bytes, 9 clocks each at 100 kHz,
    // plus start, repeated start and stop of 1.5 clocks each.
    EXPECT_EQ(board.now() - t0, 5 * 90_us + 3 * 15_us);
    EXPECT_TRUE(is_high(board.level(8)) && is_high(board.level(9))) << "bus idle after the stop";
    EXPECT_TRUE(board.contentions().empty());
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
