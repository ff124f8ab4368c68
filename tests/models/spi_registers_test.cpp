// The SPI register part, against the Pi's SPI controller (wiringPi's SPI
// helpers) in the part's mode and out of it, and against a master of pin
// calls that stops in the middle of a byte.
#include "devices/spi_registers.h"

#include <wiringPi.h>
#include <wiringPiSPI.h>

#include "fixture.h"

namespace {

using namespace modeltest;

std::string part(int mode, int cs = 0) {
    return "devices:\n  - {type: spi-registers, name: part, cs: " + std::to_string(cs) + ", mode: " + std::to_string(mode) +
           ", max_clock: 2000000, registers: [0x10, 0x11, 0x12, 0x13]}\n";
}

TEST(SpiRegisters, WritesAndReadsBackInEachMode) {
    for (int mode = 0; mode < 4; ++mode) {
        SCOPED_TRACE(mode);
        Bench bench(part(mode, mode & 1));  // CE1 in modes 1 and 3
        ASSERT_GE(wiringPiSPISetupMode(mode & 1, 1000000, mode), 0);
        unsigned char write[] = {0x02, 0xA5, 0x5A};  // registers 2 and 3
        ASSERT_EQ(wiringPiSPIDataRW(mode & 1, write, 3), 3);
        EXPECT_EQ(write[0], 0x00);
        EXPECT_EQ(bench.board.shown("part", "registers")->as_text(), "10 11 A5 5A");
        unsigned char read[] = {0x81, 0, 0, 0, 0};  // from register 1, wrapping round
        ASSERT_EQ(wiringPiSPIDataRW(mode & 1, read, 5), 5);
        EXPECT_EQ(std::vector<int>(read, read + 5), (std::vector<int>{0x00, 0x11, 0xA5, 0x5A, 0x10}));
        EXPECT_EQ(breaches(bench.board), "");
        EXPECT_EQ(bench.device<SpiRegisters>("part").transfers(), 2);
    }
}

TEST(SpiRegisters, OnlyTheSelectedPartAnswers) {
    Bench bench(part(0, 1));  // on CE1
    ASSERT_GE(wiringPiSPISetup(0, 1000000), 0);
    unsigned char read[] = {0x80, 0xEE};
    wiringPiSPIDataRW(0, read, 2);  // CE0: nobody there, MISO floats low
    EXPECT_EQ(read[1], 0x00);
    EXPECT_EQ(bench.device<SpiRegisters>("part").transfers(), 0);
}

TEST(SpiRegisters, ReportsAClockTooFastAndTheWrongMode) {
    {
        Bench bench(part(0));
        wiringPiSPISetup(0, 4000000);  // twice the part's 2 MHz
        unsigned char b[] = {0x00, 0x01};
        wiringPiSPIDataRW(0, b, 2);
        EXPECT_EQ(breaches(bench.board), "[spi-registers 'part'] clock phase of 125ns, shorter than the 250ns of its 2 MHz\n");
    }
    {
        Bench bench(part(0));
        wiringPiSPISetupMode(0, 1000000, 2);  // the clock idles HIGH
        unsigned char b[] = {0x00};
        wiringPiSPIDataRW(0, b, 1);
        EXPECT_EQ(breaches(bench.board), "[spi-registers 'part'] selected with the clock HIGH, not at mode 0's idle level\n");
    }
}

TEST(SpiRegisters, ATransferCutShortLosesItsLastByte) {
    Bench bench(part(0));
    for (int pin : {10, 12, 14}) pinMode(pin, OUTPUT);
    digitalWrite(10, HIGH);
    delayMicroseconds(1);
    digitalWrite(10, LOW);
    // The command "write register 0", then three bits of data only.
    const int bits[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1};
    for (int bit : bits) {
        digitalWrite(12, bit);
        delayMicroseconds(1);
        digitalWrite(14, HIGH);
        delayMicroseconds(1);
        digitalWrite(14, LOW);
    }
    digitalWrite(10, HIGH);
    EXPECT_EQ(breaches(bench.board), "[spi-registers 'part'] transfer ended after 3 bit(s) of byte 2; the byte is lost\n");
    EXPECT_EQ(bench.device<SpiRegisters>("part").registers()[0], 0x10);
}

TEST(SpiRegisters, RefusesSettingsThatCannotBe) {
    EXPECT_EQ(refusal("devices:\n  - {type: spi-registers, mode: 4}\n", "s.yaml"),
              "s.yaml: devices[0].mode: out of range (0 to 3) '4'");
    EXPECT_EQ(refusal("devices:\n  - {type: spi-registers, registers: []}\n", "s.yaml"),
              "s.yaml: devices[0].registers: expected 1 to 128 bytes, not 0 '[]'");
    EXPECT_EQ(refusal("devices:\n  - {type: spi-registers, mosi: 13}\n", "s.yaml"),
              "s.yaml: devices[0].mosi: same line as miso '13'");
}

}  // namespace
