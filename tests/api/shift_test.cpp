// wiringPi's shift routines against the 74HC595: the register takes the
// bits in the order asked for, within its timing limits at the usual cost of
// a pin call.
#include <wiringPi.h>
#include <wiringShift.h>

#include "models/fixture.h"

namespace {

using namespace modeltest;

const char* kRegister =
    "devices:\n"
    "  - {type: hc595, name: register, data: 0, clock: 2, latch: 3}\n"
    "  - type: led-row\n"
    "    name: leds\n"
    "    lines: [register.Q0, register.Q1, register.Q2, register.Q3, register.Q4, register.Q5, register.Q6, "
    "register.Q7]\n";

void latch() {
    digitalWrite(3, HIGH);
    digitalWrite(3, LOW);
    delay(100);  // the LEDs read lines that stay put at once
}

TEST(ShiftOut, TheRegisterTakesTheBitsInTheOrderAsked) {
    Bench bench(kRegister, Options{});
    wiringPiSetup();
    for (int pin : {0, 2, 3}) pinMode(pin, OUTPUT);
    shiftOut(0, 2, MSBFIRST, 0x81 | 0x20);  // the first bit out ends in Q7
    latch();
    EXPECT_EQ(bench.board.shown("leds", "lit")->as_int(), 0xA1);
    shiftOut(0, 2, LSBFIRST, 0x81 | 0x20);  // the first bit out ends in Q7: bit 0
    latch();
    EXPECT_EQ(bench.board.shown("leds", "lit")->as_int(), 0x85);
    EXPECT_EQ(breaches(bench.board), "");
}

TEST(ShiftIn, ClocksEightTimesAndReadsEachBit) {
    Bench bench("pulls: {8: up}\n", Options{});  // a data line that idles high
    wiringPiSetup();
    pinMode(2, OUTPUT);
    const std::size_t before = bench.board.history(2).size();
    EXPECT_EQ(shiftIn(8, 2, MSBFIRST), 0xFF);
    EXPECT_EQ(bench.board.history(2).size() - before, 16u);  // eight pulses
    digitalWrite(8, LOW);
    pinMode(8, OUTPUT);
    EXPECT_EQ(shiftIn(8, 2, LSBFIRST), 0x00);
}

}  // namespace
