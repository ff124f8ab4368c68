// What modules show a person: values a device publishes, kept with their
// times, logged on change only, and streamed as JSON lines with the run's
// start, its reports and its end.
#include <gtest/gtest.h>
#include <signal.h>
#include <wiringPi.h>

#include "core/board.h"
#include "core/scenario.h"
#include "support/json.h"
#include "support/run_program.h"

namespace {

using namespace pikit::sim;
using pikit::test::Json;
using pikit::test::as_int;
using pikit::test::text;
using pikit::test::parse_json_lines;
using pikit::test::read_file;

// A test module with a lamp that follows its input pin and a counter of the
// rising edges it has seen, shown as a record with a text beside it.
class Panel final : public Device {
public:
    Panel(std::string name, int pin) : Device("test-panel", std::move(name)), pin_(pin) {}
    void attach(Board& b) override {
        b.attach(*this, pin_, PinRole::Input);
        b.show(*this, "lamp", false);
    }
    void on_edge(int, Level level) override {
        board()->show(*this, "lamp", is_high(level));
        if (is_high(level)) ++rises_;
        board()->show(*this, "counter", Shown::record({{"rises", rises_}, {"label", "x\"y"}}));
        if (rises_ == 2) board()->breach(*this, "second rise");
    }

private:
    int pin_;
    long rises_ = 0;
};

Options exact(const std::string& dir) {
    Options o;
    o.pin_call_cost = 0;
    o.events_path = dir + "/events.jsonl";
    o.log_path = dir + "/run.log";
    o.program = "panel-test";
    o.scenario = "<test>";
    return o;
}

TEST(Shown, ValuesAreKeptWithTheirTimesAndLoggedAndStreamedOnlyWhenTheyChange) {
    const std::string dir = pikit::test::temp_dir();
    {
        Board board(exact(dir));
        board.add(std::make_unique<Panel>("panel", 23));
        EXPECT_FALSE(board.shown("panel", "counter").has_value()) << "nothing shown yet";
        pinMode(23, OUTPUT);
        delay(1);
        digitalWrite(23, HIGH);
        delay(1);
        digitalWrite(23, HIGH);  // no change: nothing new shown
        delay(1);
        digitalWrite(23, LOW);
        delay(1);
        digitalWrite(23, HIGH);

        auto lamp = board.shown_history("panel", "lamp");
        ASSERT_EQ(lamp.size(), 4u);
        EXPECT_EQ(lamp[0].at, 0);
        EXPECT_FALSE(lamp[0].value.as_bool());
        EXPECT_EQ(lamp[1].at, 1_ms);
        EXPECT_EQ(lamp[2].at, 3_ms);
        EXPECT_EQ(lamp[3].at, 4_ms);
        EXPECT_TRUE(board.shown("panel", "lamp")->as_bool());
        auto counter = board.shown("panel", "counter");
        ASSERT_TRUE(counter.has_value());
        EXPECT_TRUE(counter->is_record());
        EXPECT_EQ(counter->number("rises"), 2.0);
        // The falling edge showed the same counter again: not a change.
        EXPECT_EQ(board.shown_history("panel", "counter").size(), 2u);
    }

    const std::string log = read_file(dir + "/run.log");
    EXPECT_EQ(log,
              "[   0.000000000s] test-panel 'panel': lamp: off\n"
              "[   0.001000000s] test-panel 'panel': lamp: on\n"
              "[   0.001000000s] test-panel 'panel': counter: rises=1 label=\"x\"y\"\n"
              "[   0.003000000s] test-panel 'panel': lamp: off\n"
              "[   0.004000000s] test-panel 'panel': lamp: on\n"
              "[   0.004000000s] test-panel 'panel': counter: rises=2 label=\"x\"y\"\n"
              "[   0.004000000s] test-panel 'panel': breach: second rise\n");

    const auto events = parse_json_lines(read_file(dir + "/events.jsonl"));
    ASSERT_EQ(events.size(), 9u);
    EXPECT_EQ(text(events[0], "event"), "start");
    EXPECT_EQ(text(events[0], "program"), "panel-test");
    EXPECT_EQ(text(events[0], "speed"), "max");
    EXPECT_TRUE(events[0]["until_ns"].is_null());
    EXPECT_EQ(as_int(events[0]["pin_call_cost_ns"]), 0);
    const Json& counter = events[3];
    EXPECT_EQ(as_int(counter["t_ns"]), 1000000);
    EXPECT_EQ(text(counter, "event"), "show");
    EXPECT_EQ(text(counter, "device"), "panel");
    EXPECT_EQ(text(counter, "type"), "test-panel");
    EXPECT_EQ(text(counter, "key"), "counter");
    EXPECT_EQ(as_int(counter["value"]["rises"]), 1);
    EXPECT_EQ(text(counter["value"], "label"), "x\"y");
    const Json& breach = events[7];
    EXPECT_EQ(text(breach, "event"), "report");
    EXPECT_EQ(text(breach, "kind"), "breach");
    EXPECT_EQ(text(breach, "device"), "panel");
    EXPECT_EQ(text(breach, "source"), "test-panel 'panel'");
    EXPECT_EQ(text(breach, "text"), "second rise");
    EXPECT_EQ(text(events[8], "event"), "end");
    EXPECT_EQ(text(events[8], "reason"), "end");
    EXPECT_EQ(as_int(events[8]["t_ns"]), 4000000);
}

TEST(Shown, ProgramsKeepNoHistoryButStillShowTheCurrentValue) {
    Options o;
    o.record_history = false;
    Board board(o);
    board.add(std::make_unique<Panel>("panel", 24));
    pinMode(24, OUTPUT);
    for (int i = 0; i < 100; ++i) {
        digitalWrite(24, i & 1);
        delay(1);
    }
    EXPECT_TRUE(board.shown_history("panel", "lamp").empty());
    EXPECT_EQ(board.shown("panel", "counter")->number("rises"), 50.0);
}

TEST(Shown, EventStreamOfAProgramRunIsJsonLinesFromStartToEnd) {
    const std::string dir = pikit::test::temp_dir();
    auto r = pikit::test::run_program("humidity-demo", {{"PIKIT_SIM_UNTIL", "3s"}, {"PIKIT_SIM_EVENTS", "-"}});
    ASSERT_EQ(r.signal, SIGTERM);
    const auto events = parse_json_lines(r.err);
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(text(events.front(), "event"), "start");
    EXPECT_EQ(text(events.front(), "program"), "humidity-demo");
    EXPECT_EQ(text(events.front(), "scenario"), "sim/scenarios/humidity-demo.yaml");
    EXPECT_EQ(as_int(events.front()["until_ns"]), 3000000000);
    EXPECT_EQ(text(events.back(), "event"), "end");
    EXPECT_EQ(text(events.back(), "reason"), "run limit");
    EXPECT_EQ(as_int(events.back()["t_ns"]), 3000000000);
    int measured = 0, contentions = 0, over = 0;
    std::int64_t last = 0;
    for (const auto& e : events) {
        EXPECT_GE(as_int(e["t_ns"]), last) << "time stamps never go back";
        last = as_int(e["t_ns"]);
        if (text(e, "event") == "report" && text(e, "text").rfind("measurement done", 0) == 0) ++measured;
        if (text(e, "event") == "report" && text(e, "kind") == "contention") ++contentions;
        if (text(e, "event") == "contention_over") {
            ++over;
            EXPECT_EQ(text(e, "line"), "wpi8/BCM2/P3");
            EXPECT_EQ(as_int(e["duration_ns"]), 8100);
        }
    }
    EXPECT_EQ(measured, 1);
    EXPECT_EQ(contentions, 4);
    EXPECT_EQ(over, 4);
}

}  // namespace
