// wiringPi's I2C helpers and bcm2835's I2C master are one controller on BCM 2
// and 3: the I2C models answer both, and a part that is not there is a
// failure the program can see.
#define BCM2835_NO_DELAY_COMPATIBILITY
#include <bcm2835.h>
#include <wiringPi.h>
#include <wiringPiI2C.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "models/fixture.h"

namespace {

using namespace modeltest;

const char* kSensor =
    "devices:\n"
    "  - {type: aht20, name: sensor, humidity: 42.5, temperature: 21.25}\n";

TEST(WiringPiI2C, ReadsTheSensorAsATutorialDoes) {
    Options o;  // pin calls at their usual cost
    Bench bench(kSensor, o);
    delay(50);  // the part's start-up time
    const int fd = wiringPiI2CSetup(0x38);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(wiringPiI2CRead(fd), 0x1C);  // status: idle, calibrated
    // The trigger, 0xAC 0x33 0x00: a register write of a 16-bit word, low byte first.
    EXPECT_EQ(wiringPiI2CWriteReg16(fd, 0xAC, 0x0033), 0);
    EXPECT_EQ(wiringPiI2CRead(fd) & 0x80, 0x80);  // busy measuring
    delay(80);
    std::uint8_t frame[7] = {};
    ASSERT_EQ(wiringPiI2CRawRead(fd, frame, 7), 7);
    EXPECT_EQ(frame[0] & 0x80, 0);
    const std::uint32_t h = (frame[1] << 12) | (frame[2] << 4) | (frame[3] >> 4);
    const std::uint32_t t = ((frame[3] & 0x0F) << 16) | (frame[4] << 8) | frame[5];
    EXPECT_NEAR(h * 100.0 / 1048576, 42.5, 0.001);
    EXPECT_NEAR(t * 200.0 / 1048576 - 50, 21.25, 0.001);
    EXPECT_EQ(breaches(bench.board), "");
    EXPECT_EQ(::close(fd), 0);  // a real descriptor
}

TEST(WiringPiI2C, RegisterReadsAreAWriteOfTheRegisterThenARepeatedStart) {
    // The infrared board: 16-bit registers, high byte first; SMBus words are
    // low byte first, so a program swaps them, as on a Pi.
    Bench bench(
        "devices:\n"
        "  - {type: ir-board, name: board, register0: 0x1234, register2: 0xBEEF}\n"
        "stimuli:\n"
        "  - {at: 10ms, device: board, action: press, code: 0xFF38}\n");
    delay(100);
    const int fd = wiringPiI2CSetup(0x2D);
    EXPECT_EQ(wiringPiI2CReadReg8(fd, 0), 0x12);
    EXPECT_EQ(wiringPiI2CReadReg16(fd, 2), 0xEFBE);
    std::uint8_t key[2] = {};
    EXPECT_EQ(wiringPiI2CReadBlockData(fd, 4, key, 2), 2);
    EXPECT_EQ(key[0] << 8 | key[1], 0xFF38);
    EXPECT_EQ(bench.board.shown("board", "code")->as_int(), 0);  // cleared once read
    EXPECT_EQ(wiringPiI2CWriteReg8(fd, 0, 1), -1);               // read-only: the data byte is not acknowledged
    EXPECT_EQ(errno, EREMOTEIO);
    ::close(fd);
}

TEST(WiringPiI2C, APartThatIsNotThereFailsWithTheDriversError) {
    Bench bench(kSensor);
    delay(50);
    const int fd = wiringPiI2CSetup(0x40);
    ASSERT_GE(fd, 0);  // the address is not checked until a transfer
    errno = 0;
    EXPECT_EQ(wiringPiI2CReadReg8(fd, 0), -1);
    EXPECT_EQ(errno, EREMOTEIO);
    EXPECT_EQ(wiringPiI2CWrite(fd, 1), -1);
    EXPECT_EQ(wiringPiI2CRead(1000), -1);  // not a descriptor of the I2C bus
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(wiringPiI2CSetup(0x80), -1);
    EXPECT_EQ(wiringPiI2CSetupInterface("/dev/i2c-0", 0x38), -1);
    ::close(fd);
}

TEST(WiringPiI2C, SharesTheControllerWithBcm2835) {
    Bench bench(kSensor);
    delay(50);
    ASSERT_EQ(bcm2835_init(), 1);
    ASSERT_EQ(bcm2835_i2c_begin(), 1);
    bcm2835_i2c_set_baudrate(400000);
    bcm2835_i2c_setSlaveAddress(0x38);
    char status = 0;
    EXPECT_EQ(bcm2835_i2c_read(&status, 1), BCM2835_I2C_REASON_OK);
    EXPECT_EQ(status, 0x1C);
    // The kernel's driver finds the controller at the rate bcm2835 set: a
    // one-byte read (START, 9 + 9 clocks, STOP) takes a quarter as long.
    const int fd = wiringPiI2CSetup(0x38);
    const Time t0 = bench.board.now();
    EXPECT_EQ(wiringPiI2CRead(fd), 0x1C);
    const Time fast = bench.board.now() - t0;
    bcm2835_i2c_set_baudrate(100000);
    const Time t1 = bench.board.now();
    EXPECT_EQ(wiringPiI2CRead(fd), 0x1C);
    EXPECT_EQ(bench.board.now() - t1, 4 * fast);
    ::close(fd);
}

TEST(Bcm2835DeathTest, ACallWithoutABoardSaysSo) {
    EXPECT_DEATH(bcm2835_delay(1), "a bcm2835 call with no simulated board");
    EXPECT_DEATH(bcm2835_init(), "a bcm2835 call with no simulated board");
}

}  // namespace
