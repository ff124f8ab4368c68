// A row of LEDs: the pattern a person sees, as one value, for LEDs switched
// by hand, dimmed by PWM and wired either way round.
#include <softPwm.h>
#include <wiringPi.h>

#include "devices/led_row.h"
#include "fixture.h"

namespace {

using namespace modeltest;

TEST(LedRow, ShowsTheRowAsOnePatternLedZeroFirst) {
    Bench b(
        "devices:\n"
        "  - {type: led-row, name: row, lines: [23, 24, 26]}\n"
        "  - {type: led-row, name: sinks, lines: [23, 24, 26], active: low}\n");
    for (int pin : {23, 24, 26}) pinMode(pin, OUTPUT);
    delay(100);
    digitalWrite(26, HIGH);
    delay(100);
    digitalWrite(23, HIGH);
    delay(100);
    const auto lit = b.board.shown_history("row", "lit");
    ASSERT_EQ(lit.size(), 3u);
    EXPECT_EQ(lit[1].value.as_int(), 0b100);
    EXPECT_EQ(lit[1].at, 100_ms);
    EXPECT_EQ(lit[2].value.as_int(), 0b101);
    EXPECT_EQ(b.values("row", "leds"), (std::vector<Shown>{"...", "..#", "#.#"}));
    EXPECT_EQ(b.device<LedRow>("sinks").leds(), ".#.") << "LEDs from 3.3 V light while their line is LOW";
}

TEST(LedRow, ADimmedLedIsLitButNotFull) {
    Bench b("devices:\n  - {type: led-row, name: row, lines: [23, 24]}\n");
    pinMode(23, OUTPUT);
    digitalWrite(23, HIGH);
    ASSERT_EQ(softPwmCreate(24, 30, 100), 0);
    delay(100);
    auto& row = b.device<LedRow>("row");
    EXPECT_EQ(row.leds(), "#+");
    EXPECT_EQ(row.lit(), 0b11u);
    EXPECT_DOUBLE_EQ(row.brightness(1), 0.3);
    // A generator stopped in the HIGH part of its period leaves its line LOW
    // at that instant, and the LED dark with it.
    b.board.run_until(100_ms + 10_us);
    softPwmStop(24);
    EXPECT_EQ(row.leds(), "#.");
    EXPECT_EQ(b.board.shown_history("row", "leds").back().at, 100_ms + 10_us);
}

TEST(LedRow, BadLinesAreRefusedNamingTheEntry) {
    auto refusal_of = [](const std::string& entry) {
        return refusal("devices:\n  - {type: led-row, " + entry + "}\n", "row.yaml");
    };
    EXPECT_EQ(refusal_of("name: a"), "row.yaml: devices[0]: missing 'lines' (a list of header pins or nets)");
    EXPECT_EQ(refusal_of("name: c, lines: [23, 18]"),
              "row.yaml: devices[0].lines[1]: bad pin (expected a wiringPi pin on the header: 0-16 or 21-31, or a "
              "net like register.Q0) '18'");
    EXPECT_EQ(refusal_of("name: d, lines: [23, register Q1]"),
              "row.yaml: devices[0].lines[1]: expected a wiringPi pin on the header (0-16 or 21-31) or a net like "
              "register.Q0 'register Q1'");
    EXPECT_EQ(refusal_of("name: f, lines: [register.Q0, register.Q1]"),
              "row.yaml: devices: net 'register.Q0' is listened to but no device drives it (a device's outputs are "
              "named <device>.<output>)");
}

}  // namespace
