// The fades of rgb-fade-demo on a simulated board: the PWM levels written,
// in order, and the waits between them.
#include <gtest/gtest.h>
#include <softPwm.h>
#include <wiringPi.h>

#include <utility>
#include <vector>

#include "core/board.h"
#include "rgb_fade.h"

namespace {

using namespace pikit::sim;

// (time, value) of every soft PWM write to `pin`, from the recorded calls.
std::vector<std::pair<Time, int>> writes(const Board& b, int pin) {
    std::vector<std::pair<Time, int>> out;
    for (const Call& c : b.calls())
        if (c.kind == CallKind::PwmWrite && c.pin == pin) out.emplace_back(c.at, c.value);
    return out;
}

std::vector<std::pair<Time, int>> steps(int first, int step, int count, Time wait) {
    std::vector<std::pair<Time, int>> out;
    for (int i = 0; i < count; ++i) out.emplace_back(i * wait, first + i * step);
    return out;
}

Options recorded() {
    Options o;
    o.pin_call_cost = 0;
    o.record_calls = true;
    return o;
}

TEST(Fade, UpIsFiftyOneLevelsFromZeroToTwoFiftyNineteenMillisecondsApart) {
    Board board(recorded());
    ASSERT_EQ(softPwmCreate(G_led, 0, 100), 0);
    RGB_pin = G_led;
    fadeOn(1000, 5);
    EXPECT_EQ(writes(board, 24), steps(0, 5, 51, 19_ms));
    EXPECT_EQ(board.now(), 51 * 19_ms) << "each write is followed by its wait, the last one too";
    EXPECT_EQ(board.waveform(24).value, 100) << "250 is driven as full on";
}

TEST(Fade, DownIsFiftyOneLevelsFromTwoFiftyFiveToFiveAndNeverZero) {
    Board board(recorded());
    ASSERT_EQ(softPwmCreate(B_led, 0, 100), 0);
    RGB_pin = B_led;
    fadeOff(1000, 5);
    EXPECT_EQ(writes(board, 26), steps(255, -5, 51, 19_ms));
    EXPECT_EQ(board.now(), 51 * 19_ms);
    EXPECT_EQ(board.waveform(26).value, 5) << "the channel is left glowing faintly";
}

TEST(Fade, TheWaitIsTheDurationOverTheNumberOfSteps) {
    // 255 / 85 = 3 steps: 1000 / 3 = 333 ms each; the 8-bit level wraps
    // from 255 - 3 * 85 = 0 (down) and to 3 * 85 = 255 (up).
    Board board(recorded());
    ASSERT_EQ(softPwmCreate(R_led, 0, 100), 0);
    RGB_pin = R_led;
    fadeOn(1000, 85);
    fadeOff(1000, 85);
    auto w = writes(board, 23);
    auto expected = steps(0, 85, 3, 333_ms);
    for (auto s : steps(255, -85, 3, 333_ms)) expected.emplace_back(s.first + 999_ms, s.second);
    EXPECT_EQ(w, expected);
}

}  // namespace
