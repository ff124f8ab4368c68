// The push button: its pull-up, a clean press, and contact bounce with a set
// number of edges at seeded moments, as the line and an interrupt see them.
#include <wiringPi.h>

#include <atomic>

#include "devices/button.h"
#include "fixture.h"

namespace {

using namespace modeltest;

std::atomic<int> falls{0};
void count_fall() { ++falls; }

// The line's changes after power-up, as (time, level) pairs.
std::vector<std::pair<Time, bool>> edges(const Board& b, int pin) {
    std::vector<std::pair<Time, bool>> out;
    const auto& h = b.history(pin);
    for (std::size_t i = 1; i < h.size(); ++i) out.emplace_back(h[i].at, is_high(h[i].level));
    return out;
}

TEST(Button, ACleanPressIsOneFallingEdgeForItsHoldTime) {
    Bench b(
        "devices:\n  - {type: button, name: button}\n"
        "stimuli:\n  - {at: 100ms, device: button, action: press, hold: 300ms}\n");
    EXPECT_EQ(b.board.level(22), Level::High) << "the module's pull-up holds the line high";
    falls = 0;
    ASSERT_EQ(wiringPiISR(22, INT_EDGE_FALLING, count_fall), 0);
    // Shown pressed for the hold time exactly: from 100 ms to 400 ms.
    EXPECT_TRUE(b.held("button", "pressed", false, 100_ms - 1));
    EXPECT_TRUE(b.shown_within("button", "pressed", true, 1));
    EXPECT_TRUE(b.held("button", "pressed", true, 300_ms - 1));
    EXPECT_TRUE(b.device<Button>("button").pressed());
    EXPECT_TRUE(b.shown_within("button", "pressed", false, 1));
    delay(1);  // the interrupt thread's turn
    const auto e = edges(b.board, 22);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0], std::make_pair(Time(100_ms), false));
    EXPECT_EQ(e[1], std::make_pair(Time(400_ms), true));
    EXPECT_EQ(falls, 1);
}

TEST(Button, BouncesGiveTheSetEdgesWithinTheBounceTimeTheSameOnEveryRun) {
    const std::string yaml =
        "devices:\n  - {type: button, name: button, bounce_edges: 4, release_bounce_edges: 2, bounce_time: 3ms, seed: 5}\n"
        "stimuli:\n  - {at: 10ms, device: button, action: press, hold: 100ms}\n"
        "  - {at: 200ms, device: button, action: press, hold: 50ms, bounce_edges: 0, release_bounce_edges: 0}\n";
    std::vector<std::pair<Time, bool>> first;
    for (int run = 0; run < 2; ++run) {
        Bench b(yaml);
        falls = 0;
        ASSERT_EQ(wiringPiISR(22, INT_EDGE_FALLING, count_fall), 0);
        delay(300);
        const auto e = edges(b.board, 22);
        // Press: fall + 4 extra edges, release: rise + 2 extra edges; then a clean press.
        ASSERT_EQ(e.size(), 10u);
        EXPECT_EQ(e[0].first, 10_ms);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(e[i].second, i % 2 == 1) << i;
        EXPECT_LT(e[4].first, 13_ms + 5_us) << "bouncing stays within the bounce time";
        EXPECT_EQ(e[5], std::make_pair(Time(110_ms), true));
        EXPECT_EQ(e[6].second, false);
        EXPECT_EQ(e[7].second, true);
        EXPECT_LT(e[7].first, 113_ms + 5_us);
        EXPECT_EQ(e[8], std::make_pair(Time(200_ms), false));
        EXPECT_EQ(falls, 3 + 1 + 1);
        if (run == 0) first = e;
        else EXPECT_EQ(e, first) << "the same seed gives the same edges";
    }
}

// A press held as long as a person holds it: down and up are its two
// halves, each bouncing as the button does unless it says otherwise.
TEST(Button, DownAndUpHoldAPressAsLongAsAPersonDoes) {
    Bench b(
        "devices:\n  - {type: button, name: button, bounce_edges: 2, bounce_time: 2ms}\n"
        "stimuli:\n  - {at: 10ms, device: button, action: down}\n"
        "  - {at: 20ms, device: button, action: down}\n"
        "  - {at: 900ms, device: button, action: up, release_bounce_edges: 0}\n"
        "  - {at: 950ms, device: button, action: up}\n");
    delay(1000);
    const auto e = edges(b.board, 22);
    ASSERT_EQ(e.size(), 4u) << "a bouncing push, one clean release; the second down and up change nothing";
    EXPECT_EQ(e[0], std::make_pair(Time(10_ms), false));
    EXPECT_EQ(e[2].second, false);
    EXPECT_LT(e[2].first, 12_ms + 5_us);
    EXPECT_EQ(e[3], std::make_pair(Time(900_ms), true));
    EXPECT_EQ(b.values("button", "pressed"), (std::vector<Shown>{false, true, false}));
}

TEST(Button, ThePullUpDecidesWhetherAPressIsSeen) {
    // BCM 6 is pulled up at power-up anyway; a program may pull it down.
    {
        Bench with("devices:\n  - {type: button, name: button}\n");
        pullUpDnControl(22, PUD_DOWN);
        EXPECT_EQ(with.board.level(22), Level::High) << "the module's 10 kOhm wins over the Pi's 50 kOhm";
    }
    Bench bare(
        "devices:\n  - {type: button, name: button, pull_up: false}\n"
        "stimuli:\n  - {at: 10ms, device: button, action: press}\n");
    pullUpDnControl(22, PUD_DOWN);
    delay(300);
    EXPECT_EQ(bare.board.history(22).size(), 2u) << "only the pull-down's change";
    EXPECT_EQ(bare.board.level(22), Level::Low);
}

TEST(Button, ImpossiblePressesAreRefusedNamingTheKey) {
    auto error = [](const std::string& yaml) { return refusal(yaml, "b.yaml"); };
    EXPECT_EQ(error("devices:\n  - {type: button, name: a, bounce_edges: 3}\n"),
              "b.yaml: devices[0].bounce_edges: expected an even number (the contact ends where it started bouncing) '3'");
    EXPECT_EQ(error("devices:\n  - {type: button, name: b, bounce_edges: 2, bounce_time: 5ms}\n"
                    "stimuli:\n  - {at: 1s, device: b, action: press, hold: 4ms}\n"),
              "b.yaml: stimuli[0].hold: must be longer than the bounce time (5ms) '4ms'");
    EXPECT_EQ(error("devices:\n  - {type: button, name: c}\nstimuli:\n  - {at: 1s, device: c, action: release}\n"),
              "b.yaml: stimuli[0].action: unknown action of button (known: press, down, up) 'release'");
}

}  // namespace
