// The LED bar program's operations on a simulated 74HC595 with a bar on its
// outputs: whole patterns, unchecked segments, and pins chosen at start.
#include <wiringPi.h>

#include "LedBar.h"
#include "wire.h"

namespace {

using namespace shiftled_test;
using modeltest::Bench;
using modeltest::breaches;

void reset_globals() {
    latchPin = 3;
    clockPin = 2;
    dataPin = 0;
    ledData = 0;
}

std::string shown(Bench& b) {
    // LEDs switched again within a few milliseconds are read once they have
    // stood still for 50 ms, as an eye sees them.
    delay(100);
    return b.board.shown("leds", "leds")->as_text();
}

TEST(LedBar, WholePatternA5GoesOutMostSignificantFirstAndLightsQ0Q2Q5Q7) {
    reset_globals();
    Bench b(module(), pi_like());
    Init_LED_IO(3, 2, 0);
    SetLedBar(0xA5);
    EXPECT_EQ(sampled_bits(b.board, 0, 2), (std::vector<int>{1, 0, 1, 0, 0, 1, 0, 1}));
    EXPECT_EQ(ledData, 0xA5);
    EXPECT_EQ(b.device<Hc595>("register").latched(), 0xA5);
    EXPECT_EQ(shown(b), "#.#..#.#");
    EXPECT_EQ(breaches(b.board), "");
}

TEST(LedBar, SetLedHasNoRangeCheckAndAlwaysLatches) {
    reset_globals();
    Bench b(module(), pi_like());
    auto& reg = b.device<Hc595>("register");
    Init_LED_IO(3, 2, 0);
    SetLedBar(0x0F);
    const Time resend = b.board.now();
    SetLed(8, 1);
    EXPECT_EQ(ledData, 0x0F);
    EXPECT_EQ(sampled_bits(b.board, 0, 2, resend), (std::vector<int>{0, 0, 0, 0, 1, 1, 1, 1}));
    SetLed(200, 0);
    EXPECT_EQ(ledData, 0x0F);
    SetLed(3, 2);  // any state but 1 clears
    EXPECT_EQ(ledData, 0x07);
    EXPECT_EQ(reg.counters().latches, 4u);
    EXPECT_EQ(reg.latched(), 0x07);
    EXPECT_EQ(shown(b), "###.....");
}

TEST(LedBar, InitWithOtherPinsMovesEveryLaterUpdate) {
    reset_globals();
    Bench b(module(21, 22, 23), pi_like());
    auto& reg = b.device<Hc595>("register");
    Init_LED_IO(23, 22, 21);
    EXPECT_EQ(latchPin, 23);
    EXPECT_EQ(clockPin, 22);
    EXPECT_EQ(dataPin, 21);
    SetLed(7, 1);
    SetLedBar(0x81);
    SetLed(0, 0);
    EXPECT_EQ(reg.counters().latches, 3u);
    EXPECT_EQ(reg.latched(), 0x80);
    EXPECT_EQ(shown(b), ".......#");

    // Outputs made in the order data, clock, latch; no call on the default pins.
    std::vector<int> modes;
    for (const auto& c : b.board.calls()) {
        EXPECT_TRUE(c.pin != 0 && c.pin != 2 && c.pin != 3) << "call on pin " << c.pin;
        if (c.kind == CallKind::PinMode) modes.push_back(c.pin);
    }
    EXPECT_EQ(modes, (std::vector<int>{21, 22, 23}));
    EXPECT_EQ(breaches(b.board), "");
}

}  // namespace
