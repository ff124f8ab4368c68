// The BC7278 model: its link rules against a master that keeps or breaks
// them, its registers and the display they make, blinking, and the keys with
// the interrupt line. The keypad program's own frame functions are the
// well-behaved master; a hand-clocked one breaks frames.
#include <wiringPi.h>

#include "BC7278.h"
#include "devices/bc7278.h"
#include "fixture.h"

namespace {

using namespace modeltest;

struct Keypad : ::testing::Test {
    explicit Keypad(const std::string& extra = "") : bench("devices:\n  - {type: bc7278, name: keypad" + extra + "}\n") {
        T = 100;
        Start_Init();
        delay(1);
    }
    std::string display() const { return bench.board.shown("keypad", "display")->as_text(); }
    std::string blinking() const { return bench.board.shown("keypad", "blinking")->as_text(); }
    std::string breach_texts() {
        std::string s = breaches(bench.board);
        bench.board.clear_records();
        return s;
    }
    // Clocks the first `n` bits of `word` by hand, 50 us a phase, no pause after.
    static void clock_bits(std::uint16_t word, int n) {
        for (int i = 15; i > 15 - n; --i) {
            digitalWrite(MOSI_PIN, (word >> i) & 1);
            digitalWrite(SCLK_PIN, LOW);
            delayMicroseconds(50);
            digitalWrite(SCLK_PIN, HIGH);
            delayMicroseconds(50);
        }
    }

    Bench bench;
    Bc7278& keypad = bench.device<Bc7278>("keypad");
};

TEST_F(Keypad, ReportsClockPhasesShorterThanThePartNeedsOncePerFrame) {
    T = 20;  // 10 us phases
    BC7278_spi_write_data(0x00, 0xC0);
    T = 100;
    EXPECT_EQ(breach_texts(),
              "[bc7278 'keypad'] clock low 10us at bit 1 of a frame, shorter than the 20us the part needs\n"
              "[bc7278 'keypad'] clock high 10us at bit 2 of a frame, shorter than the 20us the part needs\n");
    EXPECT_EQ(display(), "0   ") << "the frame itself came through";
    BC7278_spi_write_data(0x01, 0xC0);
    EXPECT_EQ(breach_texts(), "");
}

TEST_F(Keypad, FramesCutShortOrBrokenIntoAreReportedWithTheirBitsAndIgnored) {
    clock_bits(0x1C97, 10);
    delay(2);
    EXPECT_EQ(breach_texts(), "[bc7278 'keypad'] frame cut short after 10 bit(s): 0001 1100 10; the clock stayed high for 1ms\n");
    EXPECT_EQ(keypad.frames().back().bits, 10);

    clock_bits(0x00C0, 16);  // "0" in position 0...
    clock_bits(0x01F9, 16);  // ...and at once "1" in position 1
    delay(2);
    EXPECT_EQ(breach_texts(),
              "[bc7278 'keypad'] frame broken into: the clock fell 50us after the last bit of frame 0000 0000 1100 0000 "
              "(0x00, 0xC0), before the 1ms of idle clock that ends a frame\n");
    EXPECT_EQ(display(), "0   ");
    EXPECT_EQ(keypad.counters().broken, 2u);
    BC7278_spi_write_data(0x01, 0xF9);  // after the idle time all is well again
    EXPECT_EQ(display(), "01  ");
    EXPECT_EQ(breach_texts(), "");
}

TEST_F(Keypad, RegistersAndPositionsThePartDoesNotHaveAreBreaches) {
    const std::pair<std::uint16_t, const char*> frames[] = {
        {0x0512, "frame (0x05, 0x12): unknown register address"},
        {0xFF00, "frame (0xFF, 0x00): unknown register address"},
        {0x1B45, "frame (0x1B, 0x45): character for position 4, which this four-digit display does not have"},
        {0x1C28, "frame (0x1C, 0x28): segment 40, which this four-digit display does not have (0-31)"},
        {0x1810, "frame (0x18, 0x10): digit blink for positions beyond the four of this display"},
    };
    for (const auto& [word, text] : frames) {
        BC7278_spi_write_data(static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word));
        EXPECT_EQ(breach_texts(), std::string("[bc7278 'keypad'] ") + text + "\n");
    }
    EXPECT_EQ(display(), "    ");
    EXPECT_EQ(keypad.digit_blink(), 0);
}

TEST_F(Keypad, CharactersSegmentsAndDecimalPointsAsAPersonReadsThem) {
    BC7278_spi_write_data(0x1D, 0x00);
    EXPECT_EQ(display(), "8.8.8.8.");
    EXPECT_EQ(keypad.lit(3), 0xFF);
    const char* rows[] = {"0.1.2.3.", "4.5.6.7.", "8.9.A.b.", "C.d.E.F."};
    for (int row = 0; row < 4; ++row) {
        for (int p = 0; p < 4; ++p) DisplayChar(static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(row * 4 + p));
        EXPECT_EQ(display(), rows[row]) << "the decode keeps each decimal point";
    }
    BC7278_spi_write_data(0x1D, 0xFF);
    SetDisplaySeg(6, 1);   // g of position 0
    SetDisplaySeg(8, 1);   // a of position 1
    SetDisplaySeg(14, 1);  // g of position 1
    SetDisplaySeg(31, 1);  // decimal point of position 3
    EXPECT_EQ(display(), "-[a g]  .");
    EXPECT_EQ(keypad.display_register(1), 0xBE);
    SetDisplaySeg(31, 0);
    EXPECT_EQ(display(), "-[a g]  ");
}

TEST_F(Keypad, BlinkingAlternatesAtTheSetSpeed) {
    SetFlashSpeed(0xFF);  // register 0x00: 64 ms lit, 64 ms dark
    for (int p = 0; p < 4; ++p) DisplayChar(static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(p + 1));
    SetDisplaySeg(31, 1);
    SetBitFlash(0x02);
    const Time from = bench.board.now() - 50_us - 30_ms;  // the frame's last bit
    EXPECT_EQ(blinking(), "position 1; 64ms lit, 64ms dark");
    SetSegFlash(3, 0x80);  // and the decimal point of position 3
    delay(200);
    std::vector<ShownChange> h;
    for (const auto& c : bench.board.shown_history("keypad", "display"))
        if (c.at > from) h.push_back(c);
    ASSERT_GE(h.size(), 3u);
    EXPECT_EQ(h[0].value.as_text(), "1 34") << "dark 64 ms after the blinking started";
    EXPECT_EQ(h[0].at - from, 64_ms);
    EXPECT_EQ(h[1].value.as_text(), "1234.");
    EXPECT_EQ(h[1].at - from, 128_ms);
    EXPECT_EQ(h[2].value.as_text(), "1 34");
    EXPECT_EQ(blinking(), "position 1, position 3 segments dp; 64ms lit, 64ms dark");
    SetBitFlash(0);
    SetSegFlash(3, 0);
    delay(300);
    EXPECT_EQ(display(), "1234.");
    EXPECT_EQ(blinking(), "");
}

// The interrupt line falls when a key goes down and rises when the last key
// is let go; a read gives the latest key held, or 0xFFFF.
TEST_F(Keypad, KeysDriveTheInterruptLineAndTheKeyState) {
    load_scenario_text(bench.board,
                       "stimuli:\n"
                       "  - {at: 10ms, device: keypad, action: press, key: 7, hold: 100ms}\n"
                       "  - {at: 50ms, device: keypad, action: press, key: 9, hold: 20ms}\n");
    std::vector<std::uint16_t> states;
    for (Time at : {5_ms, 20_ms, 60_ms, 80_ms, 120_ms}) {
        bench.board.run_until(at);
        states.push_back(keypad.key_state());
    }
    EXPECT_EQ(states, (std::vector<std::uint16_t>{0xFFFF, 0xC7FF, 0xB7FF, 0xC7FF, 0xFFFF}));
    const auto& line = bench.board.history(21);
    ASSERT_EQ(line.size(), 3u) << "high from power-up, one fall, one rise";
    EXPECT_EQ(line[1].level, Level::Low);
    EXPECT_EQ(line[1].at, 10_ms);
    EXPECT_EQ(line[2].at, 110_ms);
    EXPECT_EQ(keypad.counters().interrupts, 1u);
}

// A key held as long as a person holds it: down until up, whatever else is
// pressed meanwhile; the interrupt line rises when the last one is let go.
TEST_F(Keypad, AKeyHeldDownStaysDownUntilItIsLetGo) {
    load_scenario_text(bench.board,
                       "stimuli:\n"
                       "  - {at: 10ms, device: keypad, action: down, key: 7}\n"
                       "  - {at: 20ms, device: keypad, action: down, key: 3}\n"
                       "  - {at: 2s, device: keypad, action: up, key: 7}\n"
                       "  - {at: 3s, device: keypad, action: up, key: 3}\n"
                       "  - {at: 4s, device: keypad, action: up, key: 3}\n");
    std::vector<int> down;
    for (Time at : {5_ms, 15_ms, 1_s, 2500_ms, 3500_ms}) {
        bench.board.run_until(at);
        down.push_back(keypad.key_down());
    }
    EXPECT_EQ(down, (std::vector<int>{0, 7, 3, 3, 0}));
    bench.board.run_until(4500_ms);
    const auto& line = bench.board.history(21);
    ASSERT_EQ(line.size(), 3u) << "one fall, one rise: a second key and an up of no key change nothing";
    EXPECT_EQ(line[1].at, 10_ms);
    EXPECT_EQ(line[2].at, 3_s);
}

TEST_F(Keypad, ABouncingKeyGivesItsFallingEdgesTheSameWayForOneSeed) {
    auto falls = [](const std::string& bounce) {
        Bench b("devices:\n  - {type: bc7278, name: keypad, bounce: " + bounce +
                "}\nstimuli:\n"
                "  - {at: 10ms, device: keypad, action: press, key: 5, hold: 30ms}\n");
        delay(50);
        std::vector<Time> t;
        for (const auto& c : b.board.history(21))
            if (c.level == Level::Low) t.push_back(c.at);
        EXPECT_EQ(b.board.history(21).back().at, 40_ms);
        return t;
    };
    const std::vector<Time> a = falls("{falls: 4, within: 2ms, seed: 3}");
    ASSERT_EQ(a.size(), 4u);
    EXPECT_EQ(a.front(), 10_ms);
    EXPECT_LT(a.back(), 12_ms);
    EXPECT_EQ(falls("{falls: 4, within: 2ms, seed: 3}"), a);
    EXPECT_NE(falls("{falls: 4, within: 2ms, seed: 4}"), a);
}

struct AbsentKeypad : Keypad {
    AbsentKeypad() : Keypad(", absent: true") {}
};
TEST_F(AbsentKeypad, LeavesTheLinesToTheirPulls) {
    load_scenario_text(bench.board, "stimuli:\n  - {at: 5ms, device: keypad, action: press, key: 7}\n");
    EXPECT_EQ(BC7278_spi_read_data(0xFF, 0xFF), 0x0000) << "BCM 9's pull-down";
    EXPECT_EQ(bench.board.history(21).size(), 1u) << "BCM 5's pull-up, never moved";
    EXPECT_FALSE(bench.board.shown("keypad", "display"));
}

TEST(Bc7278Settings, BadSettingsAreRefusedNamingTheKey) {
    auto refuse = [](const std::string& yaml, const std::string& message) { EXPECT_EQ(refusal(yaml, "k.yaml"), message); };
    refuse("devices:\n  - {type: bc7278, data_out: 14}\n", "k.yaml: devices[0].data_out: same line as clock '14'");
    refuse("devices:\n  - {type: bc7278, clock: 12}\n", "k.yaml: devices[0].clock: same line as data_in '12'");
    refuse("devices:\n  - {type: bc7278, data_out_stuck: sideways}\n",
           "k.yaml: devices[0].data_out_stuck: expected low, high or none 'sideways'");
    refuse("devices:\n  - {type: bc7278, name: a}\nstimuli:\n  - {at: 1s, device: a, action: press, key: 32}\n",
           "k.yaml: stimuli[0].key: out of range (1 to 31) '32'");
}

}  // namespace
