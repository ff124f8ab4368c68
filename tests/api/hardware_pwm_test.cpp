// Hardware PWM as a module on the line sees it: the pattern of the Pi's PWM
// controller, tick for tick, in both of its modes.
#include <wiringPi.h>

#include "models/fixture.h"

namespace {

using namespace modeltest;

// HIGH time and rising edges of a line within [from, from + span).
struct Pulses {
    Time high = 0;
    int rises = 0;
};
Pulses pulses(const Board& b, int pin, Time from, Time span) {
    Pulses p;
    const auto& h = b.history(pin);
    for (std::size_t i = 0; i < h.size(); ++i) {
        const Time start = std::max(h[i].at, from);
        const Time end = std::min(i + 1 < h.size() ? h[i + 1].at : b.now(), from + span);
        if (end <= start || !is_high(h[i].level)) continue;
        p.high += end - start;
        if (h[i].at >= from) ++p.rises;
    }
    return p;
}

// The first rising edge of a line at or after `t`.
Time rise_after(const Board& b, int pin, Time t) {
    for (const auto& c : b.history(pin))
        if (c.at >= t && is_high(c.level)) return c.at;
    return -1;
}

const char* kLeds =
    "devices:\n"
    "  - {type: led, name: led18, pin: 1}\n"    // BCM 18, channel 0
    "  - {type: led, name: led12, pin: 26}\n"   // BCM 12, channel 0
    "  - {type: led, name: led13, pin: 23}\n";  // BCM 13, channel 1

TEST(HardwarePwm, MarkSpaceIsOnePulsePerPeriodAndTheLedShowsItsDuty) {
    Bench bench(kLeds);
    wiringPiSetupGpio();
    pinMode(18, PWM_OUTPUT);
    pwmSetMode(PWM_MODE_MS);
    pwmSetClock(192);  // 19.2 MHz / 192: 10 us ticks
    pwmSetRange(100);  // a 1 ms period
    pwmWrite(18, 25);
    delay(20);
    const Time rise = rise_after(bench.board, 1, 10_ms);
    ASSERT_GT(rise, 0);
    const Pulses p = pulses(bench.board, 1, rise, 1_ms);
    EXPECT_EQ(p.high, 250_us);
    EXPECT_EQ(p.rises, 1);
    EXPECT_EQ(rise_after(bench.board, 1, rise + 1), rise + 1_ms);
    EXPECT_DOUBLE_EQ(bench.board.shown("led18", "brightness")->as_double(), 0.25);

    pwmWrite(18, 100);  // the whole range: steadily HIGH, which the LED takes as such
    delay(100);
    EXPECT_DOUBLE_EQ(bench.board.shown("led18", "brightness")->as_double(), 1.0);
    pwmWrite(18, 0);
    delay(100);
    EXPECT_DOUBLE_EQ(bench.board.shown("led18", "brightness")->as_double(), 0.0);
    wiringPiSetup();
}

TEST(HardwarePwm, BalancedModeSpreadsTheHighTicksOverThePeriod) {
    Bench bench(kLeds);
    wiringPiSetup();
    pinMode(26, PWM_OUTPUT);  // wiringPi's defaults: balanced, range 1024, 600 kHz ticks
    pwmWrite(26, 300);
    delay(20);
    const Time tick = 5000_ns / 3;  // 1/600 kHz
    const Time period = 1024 * tick;
    const Time rise = rise_after(bench.board, 26, 10_ms);
    const Pulses p = pulses(bench.board, 26, rise, period);
    EXPECT_EQ(p.rises, 300);                                            // 300 single-tick pulses in each period...
    EXPECT_NEAR(static_cast<double>(p.high), 300.0 * 5000 / 3, 300.0);  // (ticks fall on whole ns)
    // ...which the LED sees as its share of the period, not pulse by pulse.
    EXPECT_DOUBLE_EQ(bench.board.shown("led12", "brightness")->as_double(), 0.293);
    const std::size_t changes = bench.values("led12", "brightness").size();
    delay(20);
    EXPECT_EQ(bench.values("led12", "brightness").size(), changes);  // steady, however the pulses fall
}

TEST(HardwarePwm, PinsOfOneChannelShowItAndAnOutputPinLeavesIt) {
    Bench bench(kLeds);
    wiringPiSetup();
    pinMode(1, PWM_OUTPUT);
    pinMode(26, PWM_OUTPUT);
    pinMode(23, PWM_OUTPUT);
    pwmSetMode(PWM_MODE_MS);
    pwmWrite(1, 512);  // channel 0: both of its pins
    pwmWrite(23, 256);
    delay(20);
    EXPECT_DOUBLE_EQ(bench.board.shown("led18", "brightness")->as_double(), 0.5);
    EXPECT_DOUBLE_EQ(bench.board.shown("led12", "brightness")->as_double(), 0.5);
    EXPECT_DOUBLE_EQ(bench.board.shown("led13", "brightness")->as_double(), 0.25);

    pinMode(26, OUTPUT);  // back to GPIO: the latch, not the controller
    digitalWrite(26, HIGH);
    delay(100);
    EXPECT_DOUBLE_EQ(bench.board.shown("led12", "brightness")->as_double(), 1.0);
    EXPECT_DOUBLE_EQ(bench.board.shown("led18", "brightness")->as_double(), 0.5);
    EXPECT_EQ(texts(bench.board.reports(ReportKind::Contention)), "");
}

TEST(HardwarePwm, PinsWithoutPwmAreLeftAlone) {
    Bench bench(kLeds);
    wiringPiSetup();
    pinMode(0, PWM_OUTPUT);
    pwmWrite(0, 512);
    pwmSetClock(0);
    EXPECT_EQ(texts(bench.board.reports(ReportKind::Error)),
              "[library 'pi-gpio'] pinMode(wpi0/BCM17/P11, PWM_OUTPUT): the pin has no hardware PWM (only BCM 12, "
              "13, 18 and 19 have); ignored\n"
              "[library 'pi-gpio'] pwmWrite(wpi0/BCM17/P11): the pin has no hardware PWM (only BCM 12, 13, 18 and "
              "19 have); ignored\n"
              "[library 'pi-gpio'] pwmSetClock: a divisor of 0 stops the PWM clock; ignored\n");
}

}  // namespace
