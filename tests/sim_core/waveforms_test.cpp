// Soft PWM and soft tone: the waveform wiringPi's generator threads would put
// on the pin, and the library's return codes and clamping.
#include <gtest/gtest.h>
#include <softPwm.h>
#include <softTone.h>
#include <wiringPi.h>

#include "core/board.h"
#include "core/scenario.h"

namespace {

using namespace pikit::sim;

Options exact() {
    Options o;
    o.pin_call_cost = 0;
    return o;
}

// Durations of the HIGH and LOW phases seen on a pin between two times.
std::vector<Time> phases(const Board& b, int pin, Time from, Time to) {
    std::vector<Time> out;
    const auto& h = b.history(pin);
    for (std::size_t i = 1; i < h.size(); ++i)
        if (h[i - 1].at >= from && h[i].at <= to && h[i].at > h[i - 1].at) out.push_back(h[i].at - h[i - 1].at);
    return out;
}

TEST(SoftPwm, MakesPeriodsOfHundredMicrosecondStepsAndClamps) {
    Board board(exact());
    ASSERT_EQ(softPwmCreate(23, 30, 100), 0);
    EXPECT_TRUE(board.master_output(23));
    delay(50);
    auto p = phases(board, 23, 0, 50_ms);
    ASSERT_GE(p.size(), 6u);
    EXPECT_EQ(p[0], 3_ms);  // HIGH 30 steps
    EXPECT_EQ(p[1], 7_ms);  // LOW 70 steps
    EXPECT_EQ(board.waveform(23).duty(), 0.3);

    softPwmWrite(23, 250);  // above the range: full on
    EXPECT_EQ(board.waveform(23).value, 100);
    delay(30);
    EXPECT_EQ(digitalRead(23), 1);
    softPwmWrite(23, -5);
    EXPECT_EQ(board.waveform(23).value, 0);
    delay(30);
    EXPECT_EQ(digitalRead(23), 0);

    EXPECT_EQ(softPwmCreate(23, 10, 100), -1) << "second generator on one pin";
    EXPECT_EQ(softPwmCreate(24, 10, 0), -1) << "range must be positive";
    softPwmStop(23);
    EXPECT_EQ(board.waveform(23).kind, Waveform::Kind::None);
    EXPECT_EQ(digitalRead(23), 0);
    EXPECT_EQ(softPwmCreate(23, 10, 100), 0) << "a stopped pin can get a new generator";
}

TEST(SoftPwm, NewValueTakesEffectAtTheNextPeriod) {
    Board board(exact());
    ASSERT_EQ(softPwmCreate(24, 50, 100), 0);  // period 10 ms, starts at 0
    delay(2);
    softPwmWrite(24, 20);  // mid-period: this period stays 5 ms HIGH
    delay(30);
    auto p = phases(board, 24, 0, 30_ms);
    ASSERT_GE(p.size(), 4u);
    EXPECT_EQ(p[0], 5_ms);
    EXPECT_EQ(p[1], 5_ms);
    EXPECT_EQ(p[2], 2_ms);
    EXPECT_EQ(p[3], 8_ms);
}

TEST(SoftTone, SquareWaveWithWholeMicrosecondHalfPeriods) {
    Board board(exact());
    ASSERT_EQ(softToneCreate(1), 0);
    delay(5);
    EXPECT_EQ(board.history(1).size(), 1u) << "frequency 0 keeps the pin LOW";
    softToneWrite(1, 440);  // half period 500000/440 = 1136 us
    delay(20);
    auto p = phases(board, 1, 6_ms, 25_ms);
    ASSERT_GE(p.size(), 4u);
    for (Time t : p) EXPECT_EQ(t, 1136_us);
    softToneWrite(1, 9000);
    EXPECT_EQ(board.waveform(1).freq, 5000);
    softToneWrite(1, -1);
    EXPECT_EQ(board.waveform(1).freq, 0);
    EXPECT_EQ(softToneCreate(1), -1);
    softToneStop(1);
    EXPECT_EQ(digitalRead(1), 0);
}

}  // namespace

namespace {

// A scenario can make a generator fail to start, per pin or everywhere: the
// call returns non-zero as when wiringPi cannot start the thread, the pin has
// been made an output and driven LOW, and no pulses follow. Writes to a pin
// without a generator change nothing and are reported once, not per call.
TEST(SoftPwm, CreationFailsWhereTheScenarioSays) {
    Board board(
        scenario_options(Config::parse("board: {pwm_fails: [24], tone_fails: true, pin_call_cost: 0ns}\n", "s.yaml"), {}));
    EXPECT_EQ(softPwmCreate(23, 50, 100), 0);
    EXPECT_NE(softPwmCreate(24, 50, 100), 0);
    EXPECT_NE(softToneCreate(1), 0);
    EXPECT_NE(softToneCreate(26), 0);
    for (int i = 0; i < 5; ++i) {
        softPwmWrite(24, 80);
        softToneWrite(1, 440);
    }
    delay(50);
    EXPECT_GT(board.history(23).size(), 5u);
    for (int pin : {24, 1}) {
        EXPECT_TRUE(board.master_output(pin));
        EXPECT_EQ(board.history(pin).size(), 1u) << pin;
        EXPECT_EQ(board.waveform(pin).kind, Waveform::Kind::None);
    }
    EXPECT_EQ(board.reports(ReportKind::Fault).size(), 3u);
    EXPECT_EQ(board.reports(ReportKind::Error).size(), 2u) << "one per pin, not one per write";
}

TEST(SoftPwm, FailureSwitchesTakeTrueFalseOrPins) {
    auto error = [&](const std::string& yaml) {
        try {
            scenario_options(Config::parse(yaml, "s.yaml"), Options{});
        } catch (const ScenarioError& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(error("board: {pwm_fails: false, tone_fails: [1, 23]}\n"), "accepted");
    EXPECT_EQ(error("board: {pwm_fails: sometimes}\n"),
              "s.yaml: board.pwm_fails: expected true, false or a list of pins 'sometimes'");
    EXPECT_EQ(error("board: {tone_fails: [18]}\n"),
              "s.yaml: board.tone_fails: bad pin (expected wiringPi pins on the header: 0-16 or 21-31) '[18]'");
}

}  // namespace
