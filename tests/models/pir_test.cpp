// The PIR motion sensor: what its output does after movement, with and
// without retriggering, during its warm-up and in the blind time after it
// falls; and how a scenario sets it up and moves something in front of it.
#include "devices/pir.h"
#include "fixture.h"

namespace {

using namespace modeltest;

// Warmed up at once, so that each test starts with a sensor that sees.
const std::string kSensor = "devices:\n  - {type: pir, name: pir, pin: 25, warm_up: 0s, hold: 3s, block: 2s";

Bench sensor(const std::string& more = "") { return Bench(kSensor + more + "}\n"); }

void move_at(Bench& b, Time at, Time lasting = 0) {
    b.board.run_until(at);
    b.board.apply([&] { b.device<Pir>("pir").motion(lasting); });
}

TEST(Pir, TheOutputIsHighForTheHoldTimeAfterAPassAndTheLineFollowsIt) {
    Bench b = sensor();
    EXPECT_FALSE(is_high(b.board.level(25)));
    move_at(b, 1_s);
    EXPECT_TRUE(is_high(b.board.level(25))) << "at once";
    EXPECT_TRUE(b.held("pir", "detected", true, 3_s - 1));
    EXPECT_TRUE(b.shown_within("pir", "detected", false, 1));
    EXPECT_EQ(b.board.shown_history("pir", "detected").back().at, 4_s);
    EXPECT_FALSE(is_high(b.board.level(25)));
    EXPECT_EQ(b.device<Pir>("pir").triggers(), 1);
}

// With retriggering, movement while HIGH keeps it HIGH until the hold time
// after the movement ends; without, it falls the hold time after the first.
TEST(Pir, RetriggeringExtendsTheOutputAndSingleTriggeringDoesNot) {
    Bench again = sensor();
    move_at(again, 1_s, 2_s);  // moving from 1 s to 3 s
    move_at(again, 5_s);       // again while still HIGH
    EXPECT_TRUE(again.held("pir", "detected", true, 3_s - 1));
    EXPECT_TRUE(again.shown_within("pir", "detected", false, 1));
    EXPECT_EQ(again.device<Pir>("pir").triggers(), 1);

    Bench once = sensor(", retrigger: false");
    move_at(once, 1_s);
    move_at(once, 3_s);
    EXPECT_TRUE(once.shown_within("pir", "detected", false, 1_s));
    EXPECT_EQ(once.board.shown_history("pir", "detected").back().at, 4_s);
    EXPECT_EQ(once.device<Pir>("pir").triggers(), 1);
}

// After the output falls the module is blind for a while; movement that
// goes on through that time is seen when it ends.
TEST(Pir, AfterTheOutputFallsMovementIsSeenOnlyOnceTheBlindTimeIsOver) {
    Bench b = sensor();
    move_at(b, 1_s);      // HIGH until 4 s, blind until 6 s
    move_at(b, 4500_ms);  // a pass in the blind time: nothing
    EXPECT_TRUE(b.held("pir", "detected", false, 1_s));
    move_at(b, 5900_ms, 500_ms);  // still moving at 6 s
    EXPECT_TRUE(b.shown_within("pir", "detected", true, 100_ms));
    EXPECT_EQ(b.board.shown_history("pir", "detected").back().at, 6_s);
    EXPECT_EQ(b.device<Pir>("pir").triggers(), 2);

    // Single triggering with someone who never stops moving: HIGH for the
    // hold time, blind, HIGH again.
    Bench busy = sensor(", retrigger: false");
    move_at(busy, 1_s, 60_s);
    busy.board.run_until(20_s);
    std::vector<Time> rises;
    for (const auto& c : busy.board.shown_history("pir", "detected"))
        if (c.value == Shown(true)) rises.push_back(c.at);
    EXPECT_EQ(rises, (std::vector<Time>{1_s, 6_s, 11_s, 16_s}));
}

TEST(Pir, NothingIsSeenDuringTheWarmUpButMovementThatOutlastsItIs) {
    Bench b("devices:\n  - {type: pir, name: pir, pin: 25, warm_up: 10s}\n");
    EXPECT_EQ(b.board.shown("pir", "ready"), Shown(false));
    move_at(b, 2_s);
    EXPECT_TRUE(b.held("pir", "detected", false, 7_s));
    move_at(b, 9_s, 2_s);  // into the time it is ready
    EXPECT_TRUE(b.shown_within("pir", "detected", true, 1_s));
    EXPECT_EQ(b.board.shown_history("pir", "detected").back().at, 10_s);
    EXPECT_EQ(b.board.shown("pir", "ready"), Shown(true));
}

TEST(Pir, AScenarioMovesSomethingInViewAndBadValuesAreRefused) {
    Bench b(
        "devices:\n  - {type: pir, name: hall, warm_up: 0s}\n"
        "stimuli:\n  - {at: 1s, device: hall, action: motion, lasting: 2s}\n");
    EXPECT_EQ(b.device<Pir>("hall").settings().pin, 25);
    b.board.run_until(1_s);
    EXPECT_TRUE(b.held("hall", "detected", true, 5_s - 1)) << "until 3 s of hold after the movement ends";
    EXPECT_TRUE(b.shown_within("hall", "detected", false, 1));

    EXPECT_EQ(refusal("devices:\n  - {type: pir, hold: 10ms}\n", "pir.yaml"),
              "pir.yaml: devices[0].hold: out of range (1s to 10min) '10ms'");
    EXPECT_EQ(refusal("devices:\n  - {type: pir}\nstimuli:\n  - {at: 1s, device: pir, action: wave}\n", "pir.yaml"),
              "pir.yaml: stimuli[0].action: unknown action of pir (known: motion) 'wave'");
}

}  // namespace
