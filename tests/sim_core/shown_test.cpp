// What modules show a person: values a device publishes, kept with their
// times, logged on change only, and streamed as JSON lines with the run's
// start, its reports and its end.
#include <gtest/gtest.h>
#include <signal.h>
#include <wiringPi.h>

#include "core/board.h"
#include "core/scenario.h"
#include "core/time.h"
#include "support/json.h"
#include "support/run_program.h"

namespace {

using namespace pikit::sim;
using pikit::test::as_int;
using pikit::test::Json;
using pikit::test::parse_json_lines;
using pikit::test::read_file;
using pikit::test::text;

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
              "[   0.004000000s] test-panel 'panel': breach: second rise\n"
              "[   0.004000000s] test-panel 'panel': lamp: on\n"
              "[   0.004000000s] test-panel 'panel': counter: rises=2 label=\"x\"y\"\n");

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
    const Json& breach = events[5];  // an instant's reports come first, what it shows once it is over
    EXPECT_EQ(text(breach, "event"), "report");
    EXPECT_EQ(text(breach, "kind"), "breach");
    EXPECT_EQ(text(breach, "device"), "panel");
    EXPECT_EQ(text(breach, "source"), "test-panel 'panel'");
    EXPECT_EQ(text(breach, "text"), "second rise");
    EXPECT_EQ(text(events[8], "event"), "end");
    EXPECT_EQ(text(events[8], "reason"), "end");
    EXPECT_EQ(as_int(events[8]["t_ns"]), 4000000);
}

// A shift register copies its eight stages to its outputs at once, but the
// simulated nets change one after another at that instant: the row of LEDs
// behind it must show one new pattern, not each step, in the history, the
// log and the event stream alike, while the trace keeps every step.
TEST(Shown, AnInstantShowsOnlyItsFinalValue) {
    const std::string dir = pikit::test::temp_dir();
    Time latched = 0;
    {
        Options o = exact(dir);
        o.vcd_path = dir + "/run.vcd";
        Board board(o);
        load_scenario_text(board,
                           "devices:\n"
                           "  - {type: hc595, name: register, data: 0, clock: 2, latch: 3, power_on: 0xA5}\n"
                           "  - {type: led-row, name: leds, lines: [register.Q0, register.Q1, register.Q2, register.Q3,"
                           " register.Q4, register.Q5, register.Q6, register.Q7]}\n");
        for (int pin : {0, 2, 3}) pinMode(pin, OUTPUT);
        for (int bit = 7; bit >= 0; --bit) {  // 0x01, most significant bit first
            digitalWrite(0, bit == 0 ? HIGH : LOW);
            delayMicroseconds(1);
            digitalWrite(2, HIGH);
            delayMicroseconds(1);
            digitalWrite(2, LOW);
        }
        digitalWrite(3, HIGH);
        const Time rise = board.now();
        delay(1);
        digitalWrite(3, LOW);
        delay(1);
        const auto lit = board.shown_history("leds", "lit");
        ASSERT_EQ(lit.size(), 2u);
        EXPECT_EQ(lit[0].value.as_int(), 0xA5);
        EXPECT_EQ(lit[1].value.as_int(), 0x01);
        latched = lit[1].at;  // the outputs follow the latch's rise after their propagation delay
        EXPECT_GT(latched, rise);
        EXPECT_LT(latched, rise + 1_us);
    }
    int shows = 0;
    for (const auto& e : parse_json_lines(read_file(dir + "/events.jsonl")))
        shows += text(e, "event") == "show" && text(e, "key") == "lit" && as_int(e["t_ns"]) == latched;
    EXPECT_EQ(shows, 1);
    const std::string log = read_file(dir + "/run.log");
    EXPECT_EQ(log.find("leds: \"#....#.#\""), std::string::npos) << "no step on the way from 0xA5:\n" << log;
    EXPECT_NE(log.find("leds: \"#.......\""), std::string::npos) << log;
    const std::string trace = read_file(dir + "/run.vcd");
    const std::string stamp = "#" + std::to_string(latched) + "\n";
    ASSERT_NE(trace.find(stamp), std::string::npos);
    const std::size_t at = trace.find(stamp) + stamp.size();
    EXPECT_EQ(std::count(trace.begin() + static_cast<long>(at), trace.begin() + static_cast<long>(trace.find('#', at)), '\n'), 3)
        << "Q2, Q5 and Q7 fall one after another at that instant";
}

TEST(Shown, AValueThatChangesAndChangesBackWithinAnInstantShowsNothing) {
    const std::string dir = pikit::test::temp_dir();
    {
        Board board(exact(dir));
        auto& panel = board.add(std::make_unique<Panel>("panel", 23));
        pinMode(23, OUTPUT);
        delay(1);
        board.apply([&] {
            board.show(panel, "lamp", true);
            board.show(panel, "lamp", false);
        });
        delay(1);
        EXPECT_EQ(board.shown_history("panel", "lamp").size(), 1u);
    }
    EXPECT_EQ(read_file(dir + "/run.log"), "[   0.000000000s] test-panel 'panel': lamp: off\n");
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
