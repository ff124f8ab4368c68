// The generic LED: what a person sees of a line switched by hand, blinking,
// or dimmed by soft PWM, for both ways of wiring it, and on a device's net.
#include <softPwm.h>
#include <wiringPi.h>

#include "devices/led.h"
#include "fixture.h"

namespace {

using namespace modeltest;

TEST(Led, FollowsALineSwitchedByHandAtOnce) {
    Bench b("devices:\n  - {type: led, name: red, pin: 23}\n");
    pinMode(23, OUTPUT);
    delay(10);
    digitalWrite(23, HIGH);
    delay(500);
    digitalWrite(23, LOW);
    delay(500);
    digitalWrite(23, HIGH);
    delay(1);
    auto on = b.board.shown_history("red", "on");
    ASSERT_EQ(on.size(), 4u);
    EXPECT_FALSE(on[0].value.as_bool());
    EXPECT_EQ(on[1].at, 10_ms);
    EXPECT_TRUE(on[1].value.as_bool());
    EXPECT_EQ(on[2].at, 510_ms);
    EXPECT_FALSE(on[2].value.as_bool());
    EXPECT_EQ(on[3].at, 1010_ms);
    EXPECT_EQ(b.device<Led>("red").brightness(), 1.0);
}

TEST(Led, SoftPwmIsSeenAsSteadyDimLightWithoutAFlashAtTheStart) {
    Bench b("devices:\n  - {type: led, name: green, pin: 24}\n");
    ASSERT_EQ(softPwmCreate(24, 0, 100), 0);
    delay(100);
    softPwmWrite(24, 5);
    delay(100);
    EXPECT_EQ(b.device<Led>("green").brightness(), 0.05);
    softPwmWrite(24, 100);
    delay(100);
    EXPECT_EQ(b.device<Led>("green").brightness(), 1.0);
    softPwmWrite(24, 0);
    delay(100);
    auto values = b.values("green", "brightness");
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0].as_double(), 0.0);
    EXPECT_EQ(values[1].as_double(), 0.05) << "no full-brightness flash before the first period is measured";
    EXPECT_EQ(values[2].as_double(), 1.0);
    EXPECT_EQ(values[3].as_double(), 0.0);
    auto on = b.values("green", "on");
    ASSERT_EQ(on.size(), 3u);
    EXPECT_TRUE(on[1].as_bool()) << "a dim LED is on";
}

TEST(Led, FullAndZeroDutyAreShownWithinOnePeriod) {
    // A generator at 100 % or 0 % leaves its line still; one whole period of
    // that is the reading, not the 50 ms a line toggled by hand must settle.
    Bench b("devices:\n  - {type: led, name: green, pin: 24}\n");
    ASSERT_EQ(softPwmCreate(24, 40, 100), 0);  // periods of 10 ms from 0
    delay(35);
    softPwmWrite(24, 100);  // HIGH throughout from the period at 40 ms
    delay(100);
    softPwmWrite(24, 0);  // LOW throughout from the period at 140 ms
    delay(100);
    std::vector<std::pair<Time, double>> seen;
    for (const auto& c : b.board.shown_history("green", "brightness")) seen.emplace_back(c.at, c.value.as_double());
    EXPECT_EQ(seen, (std::vector<std::pair<Time, double>>{{0, 0.0}, {10_ms, 0.4}, {50_ms, 1.0}, {150_ms, 0.0}}));
}

TEST(Led, AStoppedGeneratorLeavesItDarkAtOnce) {
    // Stopped in the HIGH part of a period or in the LOW part: the line goes
    // still at LOW in that instant, and so does the light, with no 50 ms of
    // the old reading.
    for (Time stop_at : {100_ms + 20_us, 100_ms + 80_us + 4_ms}) {
        Bench b("devices:\n  - {type: led, name: green, pin: 24}\n");
        ASSERT_EQ(softPwmCreate(24, 60, 100), 0);
        b.board.run_until(stop_at);
        EXPECT_EQ(b.device<Led>("green").brightness(), 0.6);
        softPwmStop(24);
        EXPECT_EQ(b.device<Led>("green").brightness(), 0.0);
        EXPECT_EQ(b.board.shown_history("green", "on").back().at, stop_at);
    }
}

TEST(Led, AFastToggleByHandIsDimLightAndAStillLineIsSteady) {
    Bench b("devices:\n  - {type: led, name: blue, pin: 26}\n");
    pinMode(26, OUTPUT);
    for (int i = 0; i < 50; ++i) {  // 1 ms high, 3 ms low
        digitalWrite(26, HIGH);
        delay(1);
        digitalWrite(26, LOW);
        delay(3);
    }
    EXPECT_EQ(b.device<Led>("blue").brightness(), 0.25);
    delay(100);
    EXPECT_EQ(b.device<Led>("blue").brightness(), 0.0) << "a line that stops moving is steady";
}

TEST(Led, ActiveLowIsLitWhileTheLineIsLow) {
    // BCM 19's power-on pull-down holds the line LOW: lit from the start.
    Bench b("devices:\n  - {type: led, name: d1, pin: 24, active: low}\n");
    EXPECT_TRUE(b.device<Led>("d1").on());
    pinMode(24, OUTPUT);
    delay(100);
    digitalWrite(24, HIGH);
    delay(100);
    EXPECT_FALSE(b.device<Led>("d1").on());
    digitalWrite(24, LOW);
    delay(1);
    EXPECT_TRUE(b.device<Led>("d1").on());
    auto on = b.board.shown_history("d1", "on");
    ASSERT_EQ(on.size(), 3u);
    EXPECT_EQ(on[1].at, 100_ms);
    EXPECT_EQ(on[2].at, 200_ms);
}

TEST(Led, TwoQuickSwitchesAreShownOnceTheLineSettles) {
    // A line that moves again within 50 ms may be a PWM made by hand: its
    // reading waits for a whole period or for the line to settle.
    Bench b("devices:\n  - {type: led, name: d, pin: 23}\n");
    pinMode(23, OUTPUT);
    delay(100);
    digitalWrite(23, HIGH);
    EXPECT_TRUE(b.shown_within("d", "on", true, 0));
    EXPECT_TRUE(b.held("d", "on", true, 1_ms));
    digitalWrite(23, LOW);
    EXPECT_TRUE(b.held("d", "on", true, 50_ms - 1));
    EXPECT_TRUE(b.shown_within("d", "on", false, 1)) << "off once the line has been still for 50 ms";
    EXPECT_TRUE(b.held("d", "on", false, 50_ms));
}

TEST(Led, BadSettingsAreRefusedNamingTheKey) {
    auto refuse = [](const std::string& yaml, const std::string& message) { EXPECT_EQ(refusal(yaml, "led.yaml"), message); };
    refuse("devices:\n  - {type: led, name: a, pin: 23, active: sideways}\n",
           "led.yaml: devices[0].active: expected high or low 'sideways'");
    refuse("devices:\n  - {type: led, name: b, pin: 18}\n",
           "led.yaml: devices[0].pin: bad pin (expected a wiringPi pin on the header: 0-16 or 21-31, or a net like "
           "register.Q0) '18'");
    refuse("devices:\n  - {type: led, name: c, pin: 23, colur: red}\n",
           "led.yaml: devices[0].colur: unknown setting (known: type, name, pin, active, colour)");
    refuse("devices:\n  - {type: led, name: d, pin: nowhere.Q0}\n",
           "led.yaml: devices: net 'nowhere.Q0' is listened to but no device drives it (a device's outputs are "
           "named <device>.<output>)");
}

}  // namespace
