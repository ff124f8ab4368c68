// The fan module: direction and drive from its two inputs, and a motor that
// follows its drive with the set lag, for soft PWM and for inputs switched by
// hand.
#include <softPwm.h>
#include <wiringPi.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "devices/fan.h"
#include "fixture.h"

namespace {

using namespace modeltest;

const char* const kFan = "devices:\n  - {type: fan, name: fan, time_constant: 400ms, brake_time_constant: 50ms}\n";

TEST(Fan, SpinsUpAndCoastsDownWithItsTimeConstant) {
    Bench b(kFan);
    auto& fan = b.device<Fan>("fan");
    ASSERT_EQ(softPwmCreate(23, 0, 100), 0);
    ASSERT_EQ(softPwmCreate(24, 0, 100), 0);
    softPwmWrite(23, 80);
    EXPECT_EQ(fan.direction(), Fan::Direction::Forward);
    EXPECT_EQ(fan.drive(), 0.8);
    delay(400);  // one time constant: 63 % of the way
    EXPECT_NEAR(fan.speed(), 0.8 * (1 - std::exp(-1.0)), 1e-9);
    delay(3000);
    EXPECT_NEAR(fan.speed(), 0.8, 1e-3);
    EXPECT_EQ(b.board.shown("fan", "speed")->as_double(), 0.8);

    softPwmWrite(23, 0);
    EXPECT_EQ(fan.direction(), Fan::Direction::Off);
    const double top = fan.speed();
    delay(400);
    EXPECT_NEAR(fan.speed(), top * std::exp(-1.0), 1e-9) << "coasting takes the same time constant";

    // What was shown, in hundredths: a rise to 0.8 and a fall, each steady.
    std::vector<double> speeds;
    for (const auto& v : b.values("fan", "speed")) speeds.push_back(v.as_double());
    const auto peak = std::max_element(speeds.begin(), speeds.end());
    EXPECT_EQ(*peak, 0.8);
    EXPECT_TRUE(std::is_sorted(speeds.begin(), peak + 1));
    EXPECT_TRUE(std::is_sorted(peak, speeds.end(), std::greater<double>()));
    EXPECT_GT(speeds.size(), 60u);
}

TEST(Fan, TheSecondInputTurnsItBackwardsAndBothHighBrake) {
    Bench b(kFan);
    auto& fan = b.device<Fan>("fan");
    pinMode(23, OUTPUT);
    pinMode(24, OUTPUT);
    digitalWrite(24, HIGH);  // by hand: full power in reverse
    delay(2000);
    EXPECT_EQ(fan.direction(), Fan::Direction::Reverse);
    EXPECT_EQ(fan.drive(), 1.0);
    EXPECT_NEAR(fan.speed(), -1.0, 0.01);
    EXPECT_EQ(b.board.shown("fan", "direction")->as_text(), "reverse");

    digitalWrite(23, HIGH);  // both high: the motor is shorted
    EXPECT_EQ(fan.direction(), Fan::Direction::Brake);
    delay(50);
    EXPECT_NEAR(fan.speed(), -std::exp(-1.0), 0.01) << "the brake's own, shorter time constant";
    EXPECT_EQ(b.board.shown("fan", "direction")->as_text(), "brake");
}

TEST(Fan, StoppedGeneratorsLeaveTheFanOffAtOnce) {
    // A generator stopped in the middle of a ramp drives its pin LOW: the
    // fan is off from that instant, not after its meter notices.
    Bench b(kFan);
    auto& fan = b.device<Fan>("fan");
    ASSERT_EQ(softPwmCreate(24, 0, 100), 0);
    softPwmWrite(24, 1);
    delay(95);
    EXPECT_EQ(fan.direction(), Fan::Direction::Reverse);
    softPwmStop(24);
    EXPECT_EQ(fan.direction(), Fan::Direction::Off);
    EXPECT_EQ(fan.drive(), 0.0);
    auto dirs = b.board.shown_history("fan", "direction");
    ASSERT_EQ(dirs.size(), 2u) << "reverse from the start, off at the stop";
    EXPECT_EQ(dirs[1].at, 95_ms);
}

TEST(Fan, BothInputsAtPartDutyAreTakenAsTheirDifferenceAndSaidOnce) {
    Bench b(kFan);
    auto& fan = b.device<Fan>("fan");
    ASSERT_EQ(softPwmCreate(23, 70, 100), 0);
    ASSERT_EQ(softPwmCreate(24, 20, 100), 0);
    softPwmWrite(24, 30);
    EXPECT_EQ(fan.direction(), Fan::Direction::Forward);
    EXPECT_EQ(fan.drive(), 0.4);
    auto said = b.board.reports_from("fan");
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].text.find("both inputs driven"), std::string::npos);
}

}  // namespace
