// Scenario files: wiring devices by type name, timed stimuli, and one clear
// message naming file, key and value for everything that cannot be used.
#include <gtest/gtest.h>
#include <wiringPi.h>

#include "core/board.h"
#include "core/model.h"
#include "core/plan.h"
#include "core/scenario.h"

namespace {

using namespace pikit::sim;

// A device type only this test registers: a line that a stimulus pulls low.
class Clamp final : public Device {
public:
    Clamp(std::string name, int pin) : Device("test-clamp", std::move(name)), pin_(pin) {}
    void attach(Board& b) override { b.attach(*this, pin_, PinRole::OpenDrain); }
    void hold(Time for_) {
        board()->drive(*this, pin_, Drive::Low);
        board()->schedule(board()->now() + for_, [this] { board()->drive(*this, pin_, Drive::Release); });
    }

private:
    int pin_;
};

// A module output that drives its pin both ways, like a sensor's data output.
class Output final : public Device {
public:
    Output(std::string name, int pin) : Device("test-output", std::move(name)), pin_(pin) {}
    void attach(Board& b) override { b.attach(*this, pin_, PinRole::PushPull); }

private:
    int pin_;
};

struct Line {
    int pin = 0;
};
struct Hold {
    Time for_ = 0;
};

template <class D>
ModelOf<D, Line> one_line(const char* type) {
    return ModelOf<D, Line>(
        type, "a test part on one line", Fields<Line>().pin("pin", &Line::pin, "its line").required(),
        [](const std::string& name, const Line& l, const Config&) { return std::make_unique<D>(name, l.pin); });
}

const DeviceRegistrar reg_output{one_line<Output>("test-output")};

const DeviceRegistrar reg{one_line<Clamp>("test-clamp")
                              .action<Hold>("hold", "pull the line low for a while",
                                            Fields<Hold>().duration("for", &Hold::for_, 0, kMaxDuration, "how long").required(),
                                            [](Clamp& c, const Hold& h) { c.hold(h.for_); })};

std::string error_of(const std::string& yaml) {
    Board board;
    try {
        load_scenario_text(board, yaml, "s.yaml");
    } catch (const ScenarioError& e) {
        return e.what();
    }
    return "";
}

TEST(Scenario, WiresDevicesPullsAndTimedStimuli) {
    Board board;
    load_scenario_text(board, R"(
board: {pin_call_cost: 0ns}
pulls: {27: up}
devices:
  - {type: test-clamp, name: c, pin: 27}
stimuli:
  - {at: 2.5ms, device: c, action: hold, for: 1ms}
)");
    EXPECT_EQ(board.options().pin_call_cost, 0);
    EXPECT_EQ(digitalRead(27), 1);
    delayMicroseconds(2600);
    EXPECT_EQ(digitalRead(27), 0);
    delay(1);
    EXPECT_EQ(digitalRead(27), 1);
    const auto& h = board.history(27);
    ASSERT_GE(h.size(), 2u);
    EXPECT_EQ(h[h.size() - 2].at, 2500_us);
    EXPECT_EQ(h.back().at, 3500_us);
}

TEST(Scenario, EveryUnusableEntryIsNamedWithFileKeyAndValue) {
    EXPECT_EQ(error_of("devices:\n  - {type: toaster}\n").rfind("s.yaml: devices[0].type: unknown device type", 0), 0u);
    EXPECT_NE(error_of("devices:\n  - {type: toaster}\n").find("'toaster'"), std::string::npos);
    EXPECT_EQ(error_of("devices:\n  - {type: test-clamp, pin: 40}\n"),
              "s.yaml: devices[0].pin: bad pin (expected a wiringPi pin on the header: 0-16 or 21-31) '40'");
    EXPECT_EQ(error_of("devices:\n  - {type: test-clamp, pin: 3, colour: red}\n"),
              "s.yaml: devices[0].colour: unknown setting (known: type, name, pin)");
    EXPECT_EQ(error_of("stimuli:\n  - {at: soon, device: c, action: hold}\n"),
              "s.yaml: stimuli[0].at: unparsable duration (expected e.g. 500ms, 2.5s, 2min, 80us, 100ns) 'soon'");
    EXPECT_EQ(error_of("stimuli:\n  - {at: 1s, device: nobody, action: hold}\n"),
              "s.yaml: stimuli[0].device: no device of that name in the scenario 'nobody'");
    EXPECT_EQ(error_of("devices:\n  - {type: test-clamp, name: c, pin: 3}\nstimuli:\n  - {at: 1s, device: c, action: dance}\n"),
              "s.yaml: stimuli[0].action: unknown action of test-clamp (known: hold) 'dance'");
    EXPECT_EQ(error_of("pulls: {8: sideways}\n"), "s.yaml: pulls.8: expected up, down or none 'sideways'");
    EXPECT_EQ(error_of("board: {pin_call_cost: 5}\n"),
              "s.yaml: board.pin_call_cost: unparsable duration (expected e.g. 500ms, 2.5s, 2min, 80us, 100ns) '5'");
    EXPECT_EQ(error_of("devices:\n  - {type: test-output, name: a, pin: 6}\n  - {type: test-output, name: b, pin: 6}\n"),
              "s.yaml: devices[1]: pin 6 would be driven push-pull by both test-output 'a' and test-output 'b' 'test-output'");
    EXPECT_EQ(
        error_of("devices:\n  - {type: test-output, pin: 6}\n  - {type: test-output, pin: 7}\n"),
        "s.yaml: devices[1]: a device named 'test-output' (the type, as no name is given) is already wired; give each a name");
    EXPECT_EQ(error_of("pulls: {? [1, 2] : up}\n"), "s.yaml: pulls: expected a mapping of pin: up|down|none '{[1, 2]: up}'");
    EXPECT_EQ(error_of("devices: [\n").rfind("s.yaml: line 2:", 0), 0u);
    EXPECT_EQ(error_of("wires: []\n").rfind("s.yaml: wires: unknown setting", 0), 0u);
    EXPECT_EQ(error_of("devices:\n  - {type: test-clamp, name: c, pin: 3}\n  - {type: test-clamp, name: c, pin: 4}\n"),
              "s.yaml: devices[1].name: a device of that name is already wired 'c'");
    // Settings are declared where the model reads them: a key nobody asked
    // for is refused in stimuli and in nested mappings too.
    EXPECT_EQ(error_of("devices:\n  - {type: test-clamp, name: c, pin: 3}\n"
                       "stimuli:\n  - {at: 1s, device: c, action: hold, for: 1ms, fro: 2ms}\n"),
              "s.yaml: stimuli[0].fro: unknown setting (known: at, device, action, for)");
    EXPECT_EQ(error_of("devices:\n  - {type: onewire-device, rom: 01 02 03 04 05 06 07, flip_random: {reply: 0.5, sede: 3}}\n"),
              "s.yaml: devices[0].flip_random.sede: unknown setting (known: reply, received, seed)");
}

TEST(Scenario, DurationsReadTheUnitsPeopleWrite) {
    EXPECT_EQ(parse_duration("500ms"), 500_ms);
    EXPECT_EQ(parse_duration("2.5s"), 2500_ms);
    EXPECT_EQ(parse_duration("2min"), 120_s);
    EXPECT_EQ(parse_duration("80us"), 80_us);
    EXPECT_EQ(parse_duration("80\xC2\xB5s"), 80_us);
    EXPECT_EQ(parse_duration("100ns"), 100_ns);
    EXPECT_EQ(parse_duration(" 3 s "), 3_s);
    EXPECT_FALSE(parse_duration("3"));
    EXPECT_FALSE(parse_duration("-3s"));
    EXPECT_FALSE(parse_duration("s"));
    EXPECT_FALSE(parse_duration("3 parsecs"));
    EXPECT_EQ(format_time(12'000'480'070), "12.000480070s");

    // Zero needs no unit; the rest is exact to the nanosecond, also where a
    // double would round, and rounds only below it.
    EXPECT_EQ(parse_duration("0"), 0);
    EXPECT_EQ(parse_duration("0.0"), 0);
    EXPECT_EQ(parse_duration("1.5h"), 5400_s);
    EXPECT_EQ(parse_duration("1234567890123456ns"), 1234567890123456);
    EXPECT_EQ(parse_duration("0.000000001s"), 1_ns);
    EXPECT_EQ(parse_duration("0.5ns"), 1_ns);
    EXPECT_EQ(parse_duration("0.001min"), 60_ms);
    EXPECT_EQ(parse_duration("100000h"), kMaxDuration);
    EXPECT_FALSE(parse_duration("1"));
    EXPECT_FALSE(parse_duration("9e18ns"));
    EXPECT_FALSE(parse_duration("."));
    for (const char* big : {"100000.000000001h", "9223372036854775807ns", "99999999999999999999999s"}) {
        EXPECT_FALSE(parse_duration(big)) << big;
        EXPECT_TRUE(duration_too_long(big)) << big;
    }
    EXPECT_FALSE(duration_too_long("soon"));
}

TEST(Scenario, NumbersAreDecimalOrHexAndNeverWrap) {
    EXPECT_EQ(parse_integer("027"), 27) << "leading zeros are decimal, not octal";
    EXPECT_EQ(parse_integer("0x1B"), 27);
    EXPECT_EQ(parse_integer("-9223372036854775808"), INT64_MIN);
    EXPECT_FALSE(parse_integer("9223372036854775808"));
    EXPECT_FALSE(parse_integer("0x"));
    EXPECT_FALSE(parse_integer("1e3"));
    EXPECT_FALSE(parse_integer(" 5"));
    EXPECT_EQ(parse_pin("16"), 16);
    EXPECT_EQ(parse_pin("21"), 21);
    EXPECT_FALSE(parse_pin("17"));
    EXPECT_FALSE(parse_pin("20"));
    EXPECT_FALSE(parse_pin("4294967304")) << "2^32 + 8 must not become pin 8";
    EXPECT_FALSE(parse_pin("-4294967288"));
    EXPECT_FALSE(parse_decimal("inf"));
    EXPECT_FALSE(parse_decimal("nan"));
    EXPECT_FALSE(parse_decimal("0x1p3"));
    EXPECT_FALSE(parse_decimal("1e999"));
    EXPECT_EQ(parse_decimal("-2.5e1"), -25.0);

    // In a scenario, the same rules, named with file, key and value.
    EXPECT_EQ(error_of("devices:\n  - {type: test-clamp, pin: 4294967304}\n"),
              "s.yaml: devices[0].pin: bad pin (expected a wiringPi pin on the header: 0-16 or 21-31) '4294967304'");
    EXPECT_EQ(error_of("pulls: {4294967323: up}\n"),
              "s.yaml: pulls.4294967323: bad pin (expected a wiringPi pin on the header: 0-16 or 21-31) '4294967323'");
    Board board;
    load_scenario_text(board, "pulls: {027: down, 0x1A: up}\n");
    EXPECT_EQ(digitalRead(26), 1) << "pin 0x1A is 26";
    pinMode(27, INPUT);
    EXPECT_EQ(digitalRead(27), 0) << "pin 027 is 27 (pulled down), not octal 23";
}

TEST(Scenario, WhatYamlTakesSilentlyIsRefused) {
    EXPECT_EQ(error_of("description: a\ndescription: b\n"), "s.yaml: description: given twice (lines 1 and 2) 'b'");
    EXPECT_EQ(error_of("devices:\n  - {type: test-clamp, pin: 3, pin: 4}\n"),
              "s.yaml: devices[0].pin: given twice (lines 2 and 2) '4'");
    EXPECT_EQ(error_of("pulls: {27: up, 27: down}\n"), "s.yaml: pulls.27: given twice (lines 1 and 1) 'down'");
    EXPECT_EQ(error_of("pulls: {27: up, 0x1B: down}\n"), "s.yaml: pulls.0x1B: pin 27 has a resistor already '0x1B'");
    EXPECT_EQ(error_of("description: a\n---\ndescription: b\n"),
              "s.yaml: line 2: a second YAML document, or text after the first that belongs to none; a scenario is "
              "one document");
    EXPECT_EQ(error_of("description: a\n...\n"), "") << "an end marker alone is one document";
    // A stream that yaml-cpp's own LoadAll() would read for ever.
    EXPECT_EQ(error_of("# a comment\n, {type: aht20}\n").rfind("s.yaml: line 2: a second YAML document", 0), 0u);
    EXPECT_EQ(error_of("description: \"never closed\n"),
              "s.yaml: line 1: description: quoted value without its closing quote 'never closed '");
    EXPECT_EQ(
        error_of("devices:\n  - {type: test-clamp, name: 'c, pin: 3}\n").rfind("s.yaml: line 3: end of map flow not found", 0),
        0u);
    EXPECT_EQ(error_of("devices:\n  - {type: test-clamp, [a]: 1, pin: 3}\n"),
              "s.yaml: devices[0]: setting names must be plain words '[a]'");
    // Quotes that do close, escaped ones included, are fine.
    EXPECT_EQ(error_of("description: \"say \\\"hi\\\"\"\nstimuli: []\n"), "");
    EXPECT_EQ(error_of("description: 'it''s'\n"), "");
    EXPECT_EQ(error_of("description: !!str \"x\"\n"), "");
}

// An alias is where YAML hides its size; a scenario needs none, so anchors
// and aliases are refused where they are written, before anything expands
// them (a tree of ten billion values here).
TEST(Scenario, AnchorsAndAliasesAreRefusedUnexpanded) {
    std::string bomb = "a: &a [x, x, x, x, x, x, x, x, x, x]\n";
    for (char c = 'b'; c <= 'j'; ++c) {
        bomb += std::string(1, c) + ": &" + c + " [";
        for (int i = 0; i < 10; ++i) bomb += std::string(i ? ", *" : "*") + static_cast<char>(c - 1);
        bomb += "]\n";
    }
    EXPECT_EQ(error_of(bomb), "s.yaml: line 1: YAML anchors and aliases are refused; a scenario writes every value out '&a'");
    EXPECT_EQ(error_of("description: x\ndevices:\n  - &d {type: test-clamp, pin: 3}\n"),
              "s.yaml: line 3: YAML anchors and aliases are refused; a scenario writes every value out '&d'");
    EXPECT_EQ(error_of("description: !!str &t \"x\"\n"),
              "s.yaml: line 1: YAML anchors and aliases are refused; a scenario writes every value out '&t'");
}

TEST(Scenario, BoardDurationsHaveRanges) {
    EXPECT_EQ(error_of("board: {pin_call_cost: 1h}\n"), "s.yaml: board.pin_call_cost: out of range (0 to 1ms) '1h'");
    EXPECT_EQ(error_of("board: {sleep_overrun: 9000000000000000000ns}\n"),
              "s.yaml: board.sleep_overrun: duration too long (at most 100000h) '9000000000000000000ns'");
    EXPECT_EQ(error_of("board: {sleep_overrun: 2s}\n"), "s.yaml: board.sleep_overrun: out of range (0 to 1s) '2s'");
    EXPECT_EQ(error_of("board: {pin_call_cost: 0, sleep_overrun: 1s}\n"), "");
}

// A scenario is checked whole: every problem is reported, each in the usual
// form, and a device whose settings have problems still has its stimuli
// checked, so one run of a check shows everything to mend.
TEST(Scenario, ACheckReportsEveryProblemNotOnlyTheFirst) {
    const auto lines = check_scenario(
        "board: {pin_call_cost: 1h, sleep: 1s}\n"
        "pulls: {40: up}\n"
        "devices:\n"
        "  - {type: test-clamp, pin: 99}\n"
        "  - {type: flux}\n"
        "  - {type: test-clamp, name: c, pin: 3, colour: red}\n"
        "stimuli:\n"
        "  - {at: soon, device: c, action: hold, for: 1ms}\n"
        "  - {at: 1s, device: nobody, action: hold}\n"
        "  - {at: 1s, device: c, action: hold}\n"
        "  - {at: 1s, device: test-clamp, action: dance}\n",
        "s.yaml");
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0], "s.yaml: board.pin_call_cost: out of range (0 to 1ms) '1h'");
    EXPECT_EQ(lines[1].rfind("s.yaml: board.sleep: unknown setting (known: pin_call_cost, sleep_overrun, ", 0), 0u);
    EXPECT_EQ(lines[2], "s.yaml: pulls.40: bad pin (expected a wiringPi pin on the header: 0-16 or 21-31) '40'");
    EXPECT_EQ(lines[3], "s.yaml: devices[0].pin: bad pin (expected a wiringPi pin on the header: 0-16 or 21-31) '99'");
    EXPECT_EQ(lines[4].rfind("s.yaml: devices[1].type: unknown device type (known: ", 0), 0u);
    EXPECT_EQ(lines[5], "s.yaml: devices[2].colour: unknown setting (known: type, name, pin)");
    EXPECT_EQ(lines[6].rfind("s.yaml: stimuli[0].at: unparsable duration", 0), 0u);
    EXPECT_EQ(lines[7], "s.yaml: stimuli[1].device: no device of that name in the scenario 'nobody'");
    EXPECT_EQ(lines[8], "s.yaml: stimuli[2]: missing 'for' (a duration, 0 to 100000h)");
    EXPECT_EQ(lines[9], "s.yaml: stimuli[3].action: unknown action of test-clamp (known: hold) 'dance'");
    EXPECT_EQ(check_scenario("devices:\n  - {type: test-clamp, name: c, pin: 3}\n"
                             "stimuli:\n  - {at: 1s, device: c, action: hold, for: 1ms}\n",
                             "ok.yaml"),
              std::vector<std::string>{});
    EXPECT_EQ(check_scenario("a: [1\n", "bad.yaml").size(), 1u) << "YAML that does not parse is one problem";
}

// An action given from outside a scenario (a person at the live view) is
// read and checked exactly as a stimulus is and applied at the current
// instant; a bad one is refused naming what is wrong, and nothing happens.
TEST(Scenario, ActionsFromOutsideAreCheckedAsStimuliAndAppliedNow) {
    Options o;
    o.pin_call_cost = 0;
    Board board(o);
    load_scenario_text(board, "pulls: {5: up}\ndevices:\n  - {type: test-clamp, name: c, pin: 5}\n");
    delay(10);
    const std::size_t before = board.history(5).size();
    const auto refusal = [&](const std::string& text) {
        try {
            apply_action(board, text, "view");
        } catch (const ScenarioError& e) {
            return std::string(e.what());
        }
        return std::string("applied");
    };
    EXPECT_EQ(refusal(R"({"device": "c", "action": "dance"})"),
              "view: action: unknown action of test-clamp (known: hold) 'dance'");
    EXPECT_EQ(refusal(R"({"device": "c", "action": "hold"})"), "view: top level: missing 'for' (a duration, 0 to 100000h)");
    EXPECT_EQ(refusal(R"({"device": "c", "action": "hold", "for": "1ms", "colour": "red"})"),
              "view: colour: unknown setting (known: at, device, action, for)");
    EXPECT_EQ(refusal(R"({"device": "x", "action": "hold", "for": "1ms"})"), "view: device: no device of that name is wired 'x'");
    EXPECT_EQ(refusal(R"({"at": "2s", "device": "c", "action": "hold", "for": "1ms"})"),
              "view: at: an action from outside a scenario applies now, at no time of its own '2s'");
    EXPECT_EQ(refusal("[1, 2]"), "view: top level: expected a mapping of settings");
    delay(10);
    EXPECT_EQ(board.history(5).size(), before) << "nothing refused was applied";

    const std::optional<Time> at = apply_action(board, R"({"device": "c", "action": "hold", "for": "5ms"})", "view");
    ASSERT_TRUE(at);
    EXPECT_LE(*at, board.now() + 1) << "at the current instant";
    delay(10);
    const auto& h = board.history(5);
    ASSERT_EQ(h.size(), before + 2);
    EXPECT_EQ(h[before].at, *at);
    EXPECT_EQ(h[before].level, Level::Low);
    EXPECT_EQ(h[before + 1].at, *at + 5_ms);
}

}  // namespace
