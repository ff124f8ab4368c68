// fan-demo's main run on a simulated board with the fan model, so that every
// soft PWM write is seen: the four phases, their order and timing, and the
// inputs left off at the end.
#include <gtest/gtest.h>

#include <vector>

#include "core/board.h"
#include "core/scenario.h"
#include "devices/fan.h"

// fan_demo.cpp's main, compiled under this name for the test.
int fan_demo_main();

namespace {

using namespace pikit::sim;

TEST(FanDemo, RampsBothInputsInFourPhasesOf160StepsAndLeavesThemOff) {
    Options o;
    o.pin_call_cost = 0;
    o.record_calls = true;
    // This thread always holds the clock between its calls; under an emulator
    // on a busy host it can wait in the emulator's own locks long enough to be
    // taken for blocked, and be set free. Not what is tested here.
    o.stall_cpu = o.settle_wall = 60'000_ms;
    Board board(o);
    load_scenario_text(board, "devices:\n  - {type: fan, name: fan}\n");
    ASSERT_EQ(fan_demo_main(), 0);

    // The table of the four phases: (pin 23, pin 24) at each step.
    std::vector<std::pair<int, int>> table;
    for (int i = 0; i < 160; ++i) table.emplace_back(i, 0);
    for (int i = 160; i > 0; --i) table.emplace_back(i, 0);
    for (int i = 0; i < 160; ++i) table.emplace_back(0, i);
    for (int i = 160; i > 0; --i) table.emplace_back(0, i);

    std::vector<Call> writes;
    for (const Call& c : board.calls())
        if (c.kind == CallKind::PwmWrite) writes.push_back(c);
    ASSERT_EQ(writes.size(), 1280u);
    for (std::size_t step = 0; step < 640; ++step) {
        const Call& a = writes[2 * step];
        const Call& b = writes[2 * step + 1];
        ASSERT_EQ(a.pin, 23) << step;
        ASSERT_EQ(b.pin, 24) << step;
        ASSERT_EQ(a.value, table[step].first) << step;
        ASSERT_EQ(b.value, table[step].second) << step;
        ASSERT_EQ(a.at, static_cast<Time>(step) * 10_ms) << step;
        ASSERT_EQ(b.at, a.at);
    }
    EXPECT_EQ(board.now(), 6400_ms);

    // Off at the end: no generator left, both lines LOW, the fan coasting.
    for (int pin : {23, 24}) {
        EXPECT_EQ(board.waveform(pin).kind, Waveform::Kind::None) << pin;
        EXPECT_EQ(board.level(pin), Level::Low) << pin;
    }
    auto& fan = dynamic_cast<Fan&>(*board.find("fan"));
    EXPECT_EQ(fan.direction(), Fan::Direction::Off);
    EXPECT_EQ(fan.drive(), 0.0);
}

}  // namespace
