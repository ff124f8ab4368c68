// The RGB LED: the colour a person sees from three soft-PWM channels, both
// ways of wiring the common lead, and wiring mistakes refused.
#include <softPwm.h>
#include <wiringPi.h>

#include "devices/rgb_led.h"
#include "fixture.h"

namespace {

using namespace modeltest;

TEST(RgbLed, MixesTheThreeChannelsIntoOneColour) {
    Bench b("devices:\n  - {type: rgb-led, name: rgb}\n");
    auto& led = b.device<RgbLed>("rgb");
    for (int pin : {23, 24, 26}) ASSERT_EQ(softPwmCreate(pin, 0, 100), 0);
    softPwmWrite(23, 100);
    softPwmWrite(24, 5);
    softPwmWrite(26, 150);  // above the range: full on
    delay(100);
    EXPECT_EQ(led.brightness(RgbLed::Red), 1.0);
    EXPECT_EQ(led.brightness(RgbLed::Green), 0.05);
    EXPECT_EQ(led.brightness(RgbLed::Blue), 1.0);
    EXPECT_EQ(led.hex(), "#ff0dff");
    const Shown colour = *b.board.shown("rgb", "colour");
    EXPECT_EQ(colour.number("red"), 1.0);
    EXPECT_EQ(colour.number("green"), 0.05);
    EXPECT_EQ(std::get<std::string>(*colour.field("hex")), "#ff0dff");

    // Dark again: every value in between was shown once, in order, and the
    // first was the dark LED at power-up.
    for (int pin : {23, 24, 26}) softPwmWrite(pin, 0);
    delay(100);
    const auto values = b.values("rgb", "colour");
    EXPECT_EQ(std::get<std::string>(*values.front().field("hex")), "#000000");
    EXPECT_EQ(std::get<std::string>(*values.back().field("hex")), "#000000");
    for (std::size_t i = 1; i < values.size(); ++i) EXPECT_NE(values[i], values[i - 1]);
}

TEST(RgbLed, CommonAnodeIsLitWhileALineIsLow) {
    Bench b("devices:\n  - {type: rgb-led, name: rgb, common: anode, red: 0, green: 2, blue: 3}\n");
    auto& led = b.device<RgbLed>("rgb");
    // BCM 17 and 27 are pulled down at power-up (lit), BCM 22 too.
    EXPECT_EQ(led.hex(), "#ffffff");
    for (int pin : {0, 2, 3}) ASSERT_EQ(softPwmCreate(pin, 100, 100), 0);
    softPwmWrite(2, 75);
    delay(100);
    EXPECT_EQ(led.hex(), "#004000");
    EXPECT_EQ(led.brightness(RgbLed::Green), 0.25);
}

TEST(RgbLed, WiringMistakesAreRefused) {
    auto error = [](const std::string& yaml) { return refusal(yaml, "rgb.yaml"); };
    EXPECT_EQ(error("devices:\n  - {type: rgb-led, name: a, common: both}\n"),
              "rgb.yaml: devices[0].common: expected cathode or anode 'both'");
    EXPECT_EQ(error("devices:\n  - {type: rgb-led, name: b, green: 23}\n"),
              "rgb.yaml: devices[0]: rgb-led 'b': two colours on wpi23/BCM13/P33 'rgb-led'");
}

}  // namespace
