// The eight-LED program's operations on a simulated 74HC595 with LEDs: what
// goes over the wire, what is latched and what lights.
#include <wiringPi.h>

#include "ShiftLed.h"
#include "shiftOut.h"
#include "wire.h"

namespace {

using namespace shiftled_test;
using modeltest::Bench;
using modeltest::breaches;

struct ShiftLed : ::testing::Test {
    Bench b{module(), pi_like()};
    Hc595& reg = b.device<Hc595>("register");
    void SetUp() override {
        ledData = 0;
        Init_LED_IO(LATCH_PIN, CLOCK_PIN, DATA_PIN);
    }
    std::string leds() {
        // LEDs switched again within a few milliseconds are read once they have
        // stood still for 50 ms, as an eye sees them.
        delay(100);
        return b.board.shown("leds", "leds")->as_text();
    }
};

TEST_F(ShiftLed, FirstUpdateShiftsSevenZerosAndAOneWithTenMicrosecondPhases) {
    SetLed(0, 1);
    EXPECT_EQ(sampled_bits(b.board, DATA_PIN, CLOCK_PIN), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(reg.latched(), 0x01);
    EXPECT_EQ(leds(), "#.......");
    EXPECT_EQ(b.board.history(LATCH_PIN).back().level, Level::High) << "the latch stays HIGH between updates";

    // Each clock phase is the 10 us wait plus the one pin call that ends it.
    const auto& clock = b.board.history(CLOCK_PIN);
    ASSERT_EQ(clock.size(), 17u);  // power-up, then 8 rises and 8 falls
    for (std::size_t i = 1; i + 1 < clock.size(); ++i) {
        const Time phase = clock[i + 1].at - clock[i].at;
        EXPECT_EQ(phase, is_high(clock[i].level) ? 10_us + 100_ns : 10_us + 200_ns) << "phase " << i;
    }
    EXPECT_EQ(breaches(b.board), "");
}

TEST_F(ShiftLed, CheckedSetLedRefusesABadIndexOrStateWithoutMovingAPin) {
    SetLed(2, 1);
    const std::size_t before = b.board.calls().size();
    SetLed(8, 1);
    SetLed(255, 0);
    SetLed(2, 2);
    SetLed(5, 255);
    EXPECT_EQ(b.board.calls().size(), before) << "no pin moved";
    EXPECT_EQ(ledData, 0x04);
    EXPECT_EQ(reg.counters().latches, 1u);
}

TEST_F(ShiftLed, UncheckedSetLedResendsForAnyIndexAndClearsForAnyStateButOne) {
    SetLed(3, 1);
    SetLed(6, 1);
    const Time resend = b.board.now();
    setLed(9, 0);
    EXPECT_EQ(ledData, 0x48);
    EXPECT_EQ(reg.counters().latches, 3u) << "the unchanged pattern is latched again";
    EXPECT_EQ(sampled_bits(b.board, DATA_PIN, CLOCK_PIN, resend), (std::vector<int>{0, 1, 0, 0, 1, 0, 0, 0}));
    setLed(255, 1);
    EXPECT_EQ(ledData, 0x48) << "no LED behind index 255";
    setLed(3, 2);
    EXPECT_EQ(ledData, 0x40);
    EXPECT_EQ(reg.latched(), 0x40);
    EXPECT_EQ(leds(), "......#.");
}

TEST_F(ShiftLed, ShiftOutBitOrderZeroIsLeastSignificantFirstAnyOtherMostSignificant) {
    shiftOut(DATA_PIN, CLOCK_PIN, LSB_FIRST, 0x01);
    const Time second = b.board.now();
    shiftOut(DATA_PIN, CLOCK_PIN, 7, 0x01);
    const auto bits = sampled_bits(b.board, DATA_PIN, CLOCK_PIN);
    EXPECT_EQ(std::vector<int>(bits.begin(), bits.begin() + 8), (std::vector<int>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(sampled_bits(b.board, DATA_PIN, CLOCK_PIN, second), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(reg.counters().latches, 0u) << "shiftOut alone latches nothing";
}

}  // namespace
