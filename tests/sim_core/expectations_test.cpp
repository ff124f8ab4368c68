// Expectations checked as the run goes: each kind held and failed at the
// virtual time it was decided, with what was seen instead; the run ended
// early at a failure or once everything timed is decided; the scenario's
// expect: list refused where it cannot be used.
#include <gtest/gtest.h>
#include <wiringPi.h>

#include "core/board.h"
#include "core/scenario.h"
#include "expect/checker.h"

namespace {

using namespace pikit::sim;
using namespace pikit::sim::expect;

const char* const kLamp = "devices:\n  - {type: led, name: lamp, pin: 23}\n";

struct CheckedRun {
    std::unique_ptr<Checker> checker;
    std::unique_ptr<Board> board;
    int stops = 0;
    Time stopped_at = -1;
};

// A board with the lamp and the checker of `expect` (YAML of the list).
void start(CheckedRun& r, const std::string& expect, bool stop_on_failure = false, bool stop_when_decided = false) {
    const std::string yaml = std::string(kLamp) + "expect:\n" + expect;
    Checker::Options co;
    co.stop_on_failure = stop_on_failure;
    co.stop_when_decided = stop_when_decided;
    co.stop = [&r] {
        ++r.stops;
        r.stopped_at = r.board->now();
    };
    r.checker = std::make_unique<Checker>(read_expectations(Config::parse(yaml, "<test>")), "", co);
    Options o;
    o.pin_call_cost = 0;
    o.event_listeners.push_back(r.checker.get());
    r.board = std::make_unique<Board>(o);
    load_scenario_text(*r.board, yaml);
    r.checker->attach(*r.board);
}

void say(Board& b, const std::string& text) { b.program_output(text.data(), text.size()); }

// The program: "ready" at once, the lamp on at 100 ms, "on" at 200 ms, the
// lamp off at 400 ms, a call on a pin that is not on the header at 500 ms.
void program(Board& b) {
    say(b, "ready\n");
    pinMode(23, OUTPUT);
    delay(100);
    digitalWrite(23, HIGH);
    delay(100);
    say(b, "on\n");
    delay(200);
    digitalWrite(23, LOW);
    delay(100);
    pinMode(40, OUTPUT);
    delay(100);
}

TEST(Expectations, EachKindHoldsOrFailsWhenItIsDecidedSayingWhatWasSeen) {
    CheckedRun r;
    start(r,
          "  - {stdout: \"ready\\n\", by: 10ms}\n"                                // 0
          "  - {stdout: late, by: 50ms}\n"                                        // 1
          "  - {stdout: never, never: true}\n"                                    // 2
          "  - {device: lamp, shows: on, value: true, at: 150ms}\n"               // 3
          "  - {device: lamp, shows: on, value: true, within: [0, 50ms]}\n"       // 4
          "  - {device: lamp, shows: on, value: true, during: [100ms, 399ms]}\n"  // 5
          "  - {device: lamp, shows: on, value: true, during: [100ms, 450ms]}\n"  // 6
          "  - {pin: 23, level: high, at: 150ms}\n"                               // 7
          "  - {pin: 23, level: high, at: 450ms}\n"                               // 8
          "  - {no_report: error}\n"                                              // 9
          "  - {device: lamp, shows: on, value: false, at: end}\n"                // 10
          "  - {device: lamp, shows: on, value: true, at: 2s}\n"                  // 11
          "  - {device: lamp, shows: brightness, min: 0.9, within: [0, 1s]}\n");  // 12
    program(*r.board);
    r.board->finish(true, "exit");
    const auto& out = r.checker->outcomes();
    ASSERT_EQ(out.size(), 13u);
    auto is = [&](std::size_t i, Result res, Time at) {
        EXPECT_EQ(out[i].result, res) << i << ": " << out[i].detail;
        EXPECT_EQ(out[i].at, at) << i << ": " << out[i].detail;
    };
    is(0, Result::Held, 0);
    is(1, Result::Failed, 50_ms);
    EXPECT_EQ(out[1].detail, "not written by 50ms; the last line it had written was \"ready\"");
    is(2, Result::Held, 600_ms);
    is(3, Result::Held, 150_ms);
    is(4, Result::Failed, 50_ms);
    EXPECT_EQ(out[4].detail, "not shown by 50ms; at 50ms it showed false (since 0ns)");
    is(5, Result::Held, 399_ms);  // off at 400 ms: a span up to it would fail
    is(6, Result::Failed, 400_ms);
    EXPECT_EQ(out[6].detail, "at 400ms it showed false (since 400ms)");
    is(7, Result::Held, 150_ms);
    is(8, Result::Failed, 450_ms);
    EXPECT_EQ(out[8].detail, "wpi23/BCM13/P33 was low at 450ms");
    is(9, Result::Failed, 500_ms);
    EXPECT_NE(out[9].detail.find("board reported an error at 500ms: pinMode on pin 40"), std::string::npos) << out[9].detail;
    is(10, Result::Held, 600_ms);
    is(11, Result::Failed, 600_ms);
    EXPECT_EQ(out[11].detail, "not reached: the run ended at 600ms (exit) before 2s; it showed false (since 400ms)");
    EXPECT_EQ(out[12].result, Result::Held) << out[12].detail;
    EXPECT_EQ(r.stops, 0);
}

TEST(Expectations, AFailureEndsTheRunAndLeavesTheRestNotChecked) {
    CheckedRun r;
    start(r,
          "  - {device: lamp, shows: on, value: true, at: 50ms}\n"
          "  - {stdout: \"on\\n\", by: 1s}\n"
          "  - {device: lamp, shows: on, value: false, at: end}\n",
          true, true);
    program(*r.board);
    // The run went on here (the stop is the test's); what came after the
    // stop no longer counts, but what the run shows at its end does not
    // count either after a failure.
    r.board->finish(true, "SIGTERM");
    EXPECT_EQ(r.stops, 1);
    EXPECT_EQ(r.stopped_at, 50_ms + 1);
    const auto& out = r.checker->outcomes();
    EXPECT_EQ(out[0].result, Result::Failed);
    EXPECT_EQ(out[1].result, Result::NotChecked);
    EXPECT_EQ(out[1].detail, "the run was ended at 50ms after a failed expectation");
    EXPECT_EQ(out[2].result, Result::NotChecked);
}

TEST(Expectations, TheRunEndsOnceEverythingTimedIsDecidedAndTheEndIsThenJudged) {
    CheckedRun r;
    start(r,
          "  - {device: lamp, shows: on, value: true, at: 150ms}\n"
          "  - {stdout: oops, never: true}\n"
          "  - {device: lamp, shows: on, value: false, at: end}\n",
          true, true);
    program(*r.board);
    r.board->finish(true, "SIGTERM");
    EXPECT_EQ(r.stops, 1);
    EXPECT_EQ(r.stopped_at, 150_ms + 1);
    const auto& out = r.checker->outcomes();
    EXPECT_EQ(out[0].result, Result::Held);
    EXPECT_EQ(out[1].result, Result::Held);
    // The lamp went off after the stop, before the end: the end's value counts.
    EXPECT_EQ(out[2].result, Result::Held) << out[2].detail;

    // A text expected at any time may still come: the run goes on for it.
    CheckedRun waits;
    start(waits,
          "  - {device: lamp, shows: on, value: true, at: 150ms}\n"
          "  - {stdout: \"on\\n\"}\n",
          true, true);
    program(*waits.board);
    EXPECT_EQ(waits.stops, 1);
    EXPECT_EQ(waits.stopped_at, 200_ms);
    waits.board->finish(true, "SIGTERM");
}

TEST(Expectations, TextIsFoundAcrossWritesButOnlyInsideItsWindow) {
    CheckedRun r;
    start(r,
          "  - {stdout: \"Key value: 7 \\n\", within: [1s, 2s]}\n"
          "  - {stdout: \"Key value: 3\", within: [1s, 2s]}\n");
    say(*r.board, "Key value: 3 \n");  // before the window
    delay(1000);
    say(*r.board, "Key va");
    delay(10);
    say(*r.board, "lue: 7 \n");
    delay(2000);
    r.board->finish(true, "exit");
    const auto& out = r.checker->outcomes();
    EXPECT_EQ(out[0].result, Result::Held);
    EXPECT_EQ(out[0].at, 1010_ms);
    EXPECT_EQ(out[1].result, Result::Failed);
}

TEST(Expectations, ValuesMatchByTheirShownType) {
    const nlohmann::json colour = {{"red", 1}, {"green", 0}, {"blue", 0.05}, {"hex", "#ff000d"}};
    auto value = [](const std::string& v) {
        ValueMatch m;
        m.scalar = v;
        return m;
    };
    EXPECT_TRUE(matches(value("0xFF38"), nlohmann::json(65336)));
    EXPECT_TRUE(matches(value("61.5"), nlohmann::json(61.5)));
    EXPECT_TRUE(matches(value("-0.43"), nlohmann::json(-0.43)));
    EXPECT_FALSE(matches(value("61.5"), nlohmann::json(61.6)));
    EXPECT_TRUE(matches(value("on"), nlohmann::json(true)));
    EXPECT_TRUE(matches(value("false"), nlohmann::json(false)));
    EXPECT_FALSE(matches(value("1"), nlohmann::json(true)));
    EXPECT_TRUE(matches(value("  7.0"), nlohmann::json("  7.0")));
    EXPECT_FALSE(matches(value("7.0"), nlohmann::json("  7.0")));
    EXPECT_FALSE(matches(value("0"), nlohmann::json()));  // nothing shown yet
    ValueMatch fields;
    fields.fields = {{"hex", "#ff000d"}, {"red", "1"}};
    EXPECT_TRUE(matches(fields, colour));
    fields.fields.push_back({"green", "0.5"});
    EXPECT_FALSE(matches(fields, colour));
    ValueMatch range;
    range.min = -1;
    range.max = -0.9;
    EXPECT_TRUE(matches(range, nlohmann::json(-0.96)));
    EXPECT_FALSE(matches(range, nlohmann::json(0.96)));
    EXPECT_EQ(show_value(colour), "{blue: 0.05, green: 0, hex: \"#ff000d\", red: 1}");
}

TEST(Expectations, EntriesThatCannotBeUsedAreRefusedNamingTheKey) {
    auto refusal = [](const std::string& entry) {
        try {
            read_expectations(Config::parse(std::string(kLamp) + "expect:\n  - " + entry + "\n", "t.yaml"));
        } catch (const ScenarioError& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refusal("{stdout: x, by: soon}"),
              "t.yaml: expect[0].by: unparsable duration (expected e.g. 500ms, 2.5s, 2min, 80us, 100ns) 'soon'")
        << "the duration reader's own wording";
    EXPECT_NE(refusal("{device: lamp, shows: on, value: true, within: [2s, 1s]}")
                  .find("expect[0].within: the span ends before it begins"),
              std::string::npos);
    EXPECT_NE(refusal("{device: lump, shows: on, value: true}").find("expect[0].device: no device of that name"),
              std::string::npos);
    EXPECT_NE(refusal("{device: lamp, shows: on}").find("a value to expect"), std::string::npos);
    EXPECT_NE(refusal("{stdout: x, pin: 3}").find("one expectation per entry"), std::string::npos);
    EXPECT_NE(refusal("{pin: 23, level: up, at: 1s}").find("expect[0].level: expected low or high"), std::string::npos);
    EXPECT_NE(refusal("{pin: 23, level: low, by: 1s}").find("expect[0].by: not a time this expectation takes (it takes at)"),
              std::string::npos);
    EXPECT_NE(refusal("{stdout: x, by: 1s, within: [0, 2s]}").find("one time only"), std::string::npos);
    EXPECT_NE(refusal("{no_report: breaches}").find("expected info, breach, contention, fault or error"), std::string::npos);
    EXPECT_NE(refusal("{exit: 300}").find("expect[0].exit"), std::string::npos);
    EXPECT_NE(refusal("{stdout: x, by: 1s, colour: red}").find("expect[0].colour: unknown setting"), std::string::npos);
    EXPECT_EQ(refusal("{exit: any}"), "accepted");
}

}  // namespace
