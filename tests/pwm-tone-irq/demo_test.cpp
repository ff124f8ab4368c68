// The four programs as processes on the simulated kit, watched through the
// event stream: what each module shows, when, and what the program prints.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "melody_score.h"
#include "support/json.h"
#include "support/run_program.h"

namespace {

using pikit::test::as_double;
using pikit::test::as_int;
using pikit::test::Json;
using pikit::test::RunResult;
using pikit::test::text;
using Time = std::int64_t;
constexpr Time kMs = 1000000;
constexpr Time kS = 1000000000;

struct Outcome {
    RunResult result;
    std::vector<Json> events;
    std::string dir;

    // Every value `device` showed under `key`, with its virtual time.
    std::vector<std::pair<Time, Json>> shown(const std::string& device, const std::string& key) const {
        std::vector<std::pair<Time, Json>> out;
        for (const Json& e : events)
            if (text(e, "event") == "show" && text(e, "device") == device && text(e, "key") == key)
                out.emplace_back(as_int(e["t_ns"]), e["value"]);
        return out;
    }
    const Json& end() const { return events.back(); }
};

// Runs `program` at max speed with the event stream on; `scenario` is YAML
// text (empty: the program's default scenario), `until` the run limit.
Outcome run(const std::string& program, const std::string& scenario, const std::string& until = "") {
    Outcome r;
    r.dir = pikit::test::temp_dir();
    std::map<std::string, std::string> env{{"PIKIT_SIM_EVENTS", r.dir + "/events.jsonl"}};
    if (!scenario.empty()) env["PIKIT_SIM_SCENARIO"] = pikit::test::write_file(r.dir, "scenario.yaml", scenario);
    if (!until.empty()) env["PIKIT_SIM_UNTIL"] = until;
    r.result = pikit::test::run_program(program, env);
    EXPECT_FALSE(r.result.timed_out) << program;
    EXPECT_EQ(r.result.err, "") << program;
    r.events = pikit::test::parse_json_lines(pikit::test::read_file(r.dir + "/events.jsonl"));
    EXPECT_FALSE(r.events.empty()) << program;
    return r;
}

void expect_ended_by_the_run_limit(const Outcome& r) {
    EXPECT_EQ(r.result.signal, 15) << r.result.err;
    EXPECT_EQ(text(r.end(), "event"), "end");
    EXPECT_EQ(text(r.end(), "reason"), "run limit");
}

// ---------------------------------------------------------------- rgb-fade-demo

const char* const kRgbAt =
    "board: {start_date: 2025-03-01T12:00:00Z}\n"
    "devices:\n  - {type: rgb-led, name: rgb}\n";
constexpr long kRgbStart = 1740830400;  // 2025-03-01 12:00:00 UTC

// The colour faded in each pass, as the LED shows it: the channel that comes
// up to full brightness ("red", "green", "blue").
std::vector<std::string> faded_colours(const Outcome& r) {
    std::vector<std::string> out;
    std::map<std::string, double> last{{"red", 0}, {"green", 0}, {"blue", 0}};
    for (const auto& [t, v] : r.shown("rgb", "colour"))
        for (auto& [channel, before] : last) {
            const double now = as_double(v[channel]);
            if (now == 1.0 && before < 1.0) out.push_back(channel);
            before = now;
        }
    return out;
}

TEST(RgbFadeDemo, FadesTheColoursTheDateSeedsTheSameOnEveryRun) {
    // Each pass is 102 fade steps of 19 ms, 1.938 s, and seeds the C
    // library's generator with the date at its start.
    std::vector<std::string> expected;
    for (int pass = 0; pass * 1938 + 600 < 19000; ++pass) {
        srand(static_cast<unsigned>(kRgbStart + pass * 1938 / 1000));
        static const char* const names[] = {"red", "green", "blue"};
        expected.push_back(names[rand() % 3]);
    }
    ASSERT_EQ(expected.size(), 10u);
    const Outcome first = run("rgb-fade-demo", kRgbAt, "19s");
    EXPECT_EQ(first.result.out, "");
    expect_ended_by_the_run_limit(first);
    EXPECT_EQ(faded_colours(first), expected);
    EXPECT_EQ(faded_colours(run("rgb-fade-demo", kRgbAt, "19s")), expected);
}

TEST(RgbFadeDemo, AFadedChannelKeepsAFaintGlow) {
    // The first pass ends at 1.938 s with the faded channel's glow, the only
    // light left. The next pass (green again) begins with a write of 0, which
    // the generator takes from its period at 1.94 s: dark a period later.
    const Outcome r = run("rgb-fade-demo", kRgbAt, "1.95s");
    Json last;
    for (const auto& [t, v] : r.shown("rgb", "colour"))
        if (t < 1940 * kMs) last = v;
    const std::string c = faded_colours(r).at(0);
    EXPECT_EQ(as_double(last[c]), 0.05) << c;
    EXPECT_EQ(as_double(last["red"]) + as_double(last["green"]) + as_double(last["blue"]), 0.05);
}

TEST(RgbFadeDemo, AGeneratorThatCannotStartEndsItWithOneLineAndNoLight) {
    for (const char* pin : {"23", "24", "26"}) {
        SCOPED_TRACE(pin);
        const Outcome r = run("rgb-fade-demo",
                              std::string("board: {pwm_fails: [") + pin + "]}\n" + "devices:\n  - {type: rgb-led, name: rgb}\n");
        EXPECT_EQ(r.result.out, "PWM function initialization failed!");
        EXPECT_EQ(r.result.exit_code, 1) << "a failure, not a success";
        EXPECT_EQ(r.shown("rgb", "colour").size(), 1u) << "dark from start to end";
        EXPECT_EQ(text(r.end(), "reason"), "exit");
    }
}

// The last value of a wire in a VCD trace, by its name ("wpi23_BCM13_P33").
char last_in_trace(const std::string& vcd, const std::string& wire) {
    std::istringstream in(vcd);
    std::string line, id;
    char last = '?';
    while (std::getline(in, line)) {
        const std::string var = "$var wire 1 ";
        if (line.rfind(var, 0) == 0 && line.find(" " + wire + " $end") != std::string::npos)
            id = line.substr(var.size(), line.find(' ', var.size()) - var.size());
        else if (!id.empty() && line.size() == id.size() + 1 && line.compare(1, std::string::npos, id) == 0) last = line[0];
    }
    return last;
}

// At the run limit's instant at every speed: paced, the kit waits for the
// wall clock between events, and must not while time stands still.
void expect_dark_at_the_limit(const char* speed) {
    SCOPED_TRACE(speed);
    Outcome r;
    r.dir = pikit::test::temp_dir();
    const std::string vcd = r.dir + "/run.vcd";
    r.result =
        pikit::test::run_program("rgb-fade-demo", {{"PIKIT_SIM_SCENARIO", pikit::test::write_file(r.dir, "s.yaml", kRgbAt)},
                                                   {"PIKIT_SIM_UNTIL", "1s"},
                                                   {"PIKIT_SIM_SPEED", speed},
                                                   {"PIKIT_SIM_EVENTS", r.dir + "/events.jsonl"},
                                                   {"PIKIT_SIM_VCD", vcd}});
    r.events = pikit::test::parse_json_lines(pikit::test::read_file(r.dir + "/events.jsonl"));
    ASSERT_FALSE(r.events.empty());
    expect_ended_by_the_run_limit(r);
    const auto colours = r.shown("rgb", "colour");
    ASSERT_GE(colours.size(), 3u);
    const Json& before = colours[colours.size() - 2].second;
    EXPECT_EQ(std::max({as_double(before["red"]), as_double(before["green"]), as_double(before["blue"])}), 1.0)
        << "a channel at full at 1 s";
    EXPECT_EQ(colours.back().first, 1 * kS) << "dark at the limit, with time standing still";
    EXPECT_EQ(text(colours.back().second, "hex"), "#000000");
    EXPECT_EQ(as_int(r.end()["t_ns"]), 1 * kS);
    const std::string trace = pikit::test::read_file(vcd);
    for (const char* wire : {"wpi23_BCM13_P33", "wpi24_BCM19_P35", "wpi26_BCM12_P32"})
        EXPECT_EQ(last_in_trace(trace, wire), '0') << wire;
    EXPECT_EQ(r.result.err, "") << "no late softPwmWrite after the outputs were stopped";
}

TEST(RgbFadeDemo, EndedByTheRunLimitItsLedGoesDarkBeforeItDies) {
    for (const char* speed : {"max", "4"}) expect_dark_at_the_limit(speed);
}

// ---------------------------------------------------------------- fan-demo

TEST(FanDemo, EndedByTheRunLimitTheFanIsSwitchedOffBeforeItDies) {
    const Outcome r = run("fan-demo", "", "2s");
    expect_ended_by_the_run_limit(r);
    const auto directions = r.shown("fan", "direction");
    ASSERT_FALSE(directions.empty());
    EXPECT_EQ(directions.back().first, 2 * kS);
    EXPECT_EQ(directions.back().second.get<std::string>(), "off");
}

TEST(FanDemo, RampsForwardThenInReverseAndExitsWithTheFanOff) {
    const Outcome r = run("fan-demo", "");
    EXPECT_EQ(r.result.out, "");
    EXPECT_EQ(r.result.exit_code, 0);
    EXPECT_EQ(text(r.end(), "reason"), "exit");
    EXPECT_EQ(as_int(r.end()["t_ns"]), 6400 * kMs) << "640 steps of 10 ms";

    std::vector<std::pair<Time, std::string>> directions;
    for (const auto& [t, v] : r.shown("fan", "direction")) directions.emplace_back(t, v.get<std::string>());
    const std::vector<std::pair<Time, std::string>> expected{
        {0, "off"}, {10 * kMs, "forward"}, {3200 * kMs, "off"}, {3210 * kMs, "reverse"}, {6400 * kMs, "off"}};
    EXPECT_EQ(directions, expected);

    // The two ramps: full drive from value 100 on, and the fan spinning up
    // and down one way, then the other.
    const auto drive = r.shown("fan", "drive");
    ASSERT_FALSE(drive.empty());
    EXPECT_EQ(as_double(drive.back().second), 0.0);
    int full = 0;
    for (const auto& d : drive) full += as_double(d.second) == 1.0;
    EXPECT_EQ(full, 2);
    double top = 0, bottom = 0;
    Time top_at = 0, bottom_at = 0;
    for (const auto& [t, v] : r.shown("fan", "speed")) {
        if (as_double(v) > top) top = as_double(v), top_at = t;
        if (as_double(v) < bottom) bottom = as_double(v), bottom_at = t;
    }
    EXPECT_GT(top, 0.9);
    EXPECT_LT(bottom, -0.9);
    EXPECT_GT(top_at, 1600 * kMs);
    EXPECT_LT(top_at, 2700 * kMs);
    EXPECT_GT(bottom_at, 4800 * kMs);
    EXPECT_LT(bottom_at, 5900 * kMs);
}

TEST(FanDemo, AGeneratorThatCannotStartEndsItWithOneLineAndTheFanStill) {
    for (const char* pin : {"23", "24"}) {
        SCOPED_TRACE(pin);
        const Outcome r =
            run("fan-demo", std::string("board: {pwm_fails: [") + pin + "]}\n" + "devices:\n  - {type: fan, name: fan}\n");
        EXPECT_EQ(r.result.out, "PWM function initialization failed! \n");
        EXPECT_EQ(r.result.exit_code, 1) << "a failure, not a success";
        EXPECT_EQ(r.shown("fan", "direction").size(), 1u);
        EXPECT_EQ(as_int(r.end()["t_ns"]), 0);
    }
}

// Ctrl-C or kill from outside, while the program runs paced as a person would
// watch it: the outputs go off and stay off, and the program dies of the
// signal.
TEST(PwmDemos, SwitchTheirOutputsOffWhenEndedFromOutside) {
    struct Case {
        const char* program;
        int signal;
        const char* device;
        const char* key;
        const char* off;  // the value, or a record's hex
    } cases[] = {{"rgb-fade-demo", SIGINT, "rgb", "colour", "#000000"}, {"fan-demo", SIGTERM, "fan", "direction", "off"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        Outcome r;
        r.dir = pikit::test::temp_dir();
        // Once the output has come on (its second value; the first is the
        // dark start), however long the machine took to get there.
        pikit::test::Interrupt stop;
        stop.signal = c.signal;
        stop.watch_file = r.dir + "/e.jsonl";
        stop.watch_text = std::string("\"key\":\"") + c.key + "\"";
        stop.watch_count = 2;
        stop.after_s = 0.2;
        r.result =
            pikit::test::run_program(c.program, {{"PIKIT_SIM_SPEED", "1"}, {"PIKIT_SIM_EVENTS", stop.watch_file}}, 20.0, stop);
        EXPECT_EQ(r.result.signal, c.signal) << r.result.err;
        r.events = pikit::test::parse_json_lines(pikit::test::read_file(r.dir + "/e.jsonl"));
        const auto shown = r.shown(c.device, c.key);
        ASSERT_GE(shown.size(), 3u);
        auto shown_text = [](const Json& v) { return v.is_object() ? text(v, "hex") : v.get<std::string>(); };
        const auto& [at, last] = shown.back();
        EXPECT_EQ(shown_text(last), c.off);
        EXPECT_NE(shown_text(shown[shown.size() - 2].second), c.off) << "on when the signal came";
        EXPECT_EQ(text(r.end(), "event"), "end");
        // The kit's clock runs on while the signal is delivered and the
        // process dies (as the Pi's does): nothing comes on again meanwhile.
        EXPECT_GE(as_int(r.end()["t_ns"]), at);
    }
}

// A closed terminal or a dropped ssh session (SIGHUP) switches the outputs
// off as Ctrl-C does. The event stream goes to standard output, so the
// signal is sent once the outputs are seen on, however slow the machine.
TEST(PwmDemos, SwitchTheirOutputsOffWhenTheirTerminalGoes) {
    struct Case {
        const char* program;
        const char* scenario;
        const char* on;  // in the event stream once an output is on
        const char* device;
        const char* key;
        const char* off;
    } cases[] = {{"rgb-fade-demo", kRgbAt, ":0.05,", "rgb", "colour", "#000000"},
                 {"fan-demo", "", "\"key\":\"direction\",\"value\":\"forward\"", "fan", "direction", "off"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        const std::string dir = pikit::test::temp_dir();
        std::map<std::string, std::string> env{{"PIKIT_SIM_SPEED", "1"}, {"PIKIT_SIM_EVENTS", "/dev/stdout"}};
        if (*c.scenario) env["PIKIT_SIM_SCENARIO"] = pikit::test::write_file(dir, "s.yaml", c.scenario);
        pikit::test::Interrupt hangup;
        hangup.signal = SIGHUP;
        hangup.after_output = c.on;
        Outcome r;
        r.result = pikit::test::run_program(c.program, env, 20.0, hangup);
        EXPECT_EQ(r.result.signal, SIGHUP) << r.result.err;
        r.events = pikit::test::parse_json_lines(r.result.out);
        ASSERT_FALSE(r.events.empty());
        const auto shown = r.shown(c.device, c.key);
        ASSERT_GE(shown.size(), 2u);
        const Json& last = shown.back().second;
        EXPECT_EQ(last.is_object() ? text(last, "hex") : last.get<std::string>(), c.off);
        EXPECT_EQ(text(r.end(), "reason"), "SIGHUP");
    }
}

// ---------------------------------------------------------------- button-irq-demo

std::string presses(const std::string& stimuli) {
    return "devices:\n"
           "  - {type: led, name: led, pin: 23}\n"
           "  - {type: button, name: button, pin: 22, bounce_time: 2ms, seed: 3}\n"
           "stimuli:\n" +
           stimuli;
}

// The LED's switching as (time in ms, on), times rounded to the millisecond
// (each pin call costs 100 ns of virtual time).
std::vector<std::pair<Time, bool>> led(const Outcome& r) {
    std::vector<std::pair<Time, bool>> out;
    for (const auto& [t, v] : r.shown("led", "on")) {
        EXPECT_LT(std::llabs(t - (t + kMs / 2) / kMs * kMs), 10000) << "within 10 us of a whole ms: " << t;
        out.emplace_back((t + kMs / 2) / kMs, v.get<bool>());
    }
    return out;
}

using Blinks = std::vector<std::pair<Time, bool>>;

// The button demo's loop spins on pin calls while it does not blink, at about
// real time on the kit: these runs are kept to a few virtual seconds.
TEST(ButtonIrqDemo, APressStartsBlinkingWithTheDarkHalf) {
    const Outcome r = run("button-irq-demo", presses("  - {at: 200ms, device: button, action: press, hold: 100ms}\n"), "2s");
    EXPECT_EQ(r.result.out, "");
    expect_ended_by_the_run_limit(r);
    EXPECT_EQ(led(r), (Blinks{{0, false}, {700, true}, {1200, false}, {1700, true}}));
}

TEST(ButtonIrqDemo, ASecondPressStopsItAfterTheLitHalfUnderWay) {
    const Outcome r = run("button-irq-demo",
                          presses("  - {at: 200ms, device: button, action: press, hold: 100ms}\n"
                                  "  - {at: 1.9s, device: button, action: press, hold: 100ms}\n"),
                          "2.6s");
    EXPECT_EQ(led(r), (Blinks{{0, false}, {700, true}, {1200, false}, {1700, true}, {2200, false}}));
}

TEST(ButtonIrqDemo, EveryFallingEdgeOfABouncingContactCounts) {
    // Two falling edges as the contact closes, none as it opens: the flag
    // ends as it was, but the loop saw it set for the millisecond between
    // them and gives one blink. Two as it closes and one more as it opens:
    // blinking comes on and stays on.
    const Outcome r = run("button-irq-demo",
                          presses("  - {at: 200ms, device: button, action: press, hold: 100ms, bounce_edges: 2, "
                                  "release_bounce_edges: 0}\n"
                                  "  - {at: 1.5s, device: button, action: press, hold: 100ms, bounce_edges: 2, "
                                  "release_bounce_edges: 2}\n"),
                          "2.6s");
    EXPECT_EQ(led(r), (Blinks{{0, false}, {700, true}, {1200, false}, {2000, true}, {2500, false}}));
}

TEST(ButtonIrqDemo, TheDefaultScenarioPressesTheButtonAtTwoSeconds) {
    const Outcome r = run("button-irq-demo", "", "2.6s");
    EXPECT_EQ(r.shown("button", "pressed").size(), 3u);
    EXPECT_EQ(led(r), (Blinks{{0, false}, {2500, true}}));
}

TEST(ButtonIrqDemo, AnInterruptThatCannotBeSetUpEndsItWithOneLine) {
    const Outcome r =
        run("button-irq-demo", "board: {isr_fails: true}\n" + presses("  - {at: 1ms, device: button, action: press}\n"));
    EXPECT_EQ(r.result.out, "Interrupt function initialization failed! \n");
    EXPECT_EQ(r.result.exit_code, 1) << "a failure, not a success";
    EXPECT_EQ(r.shown("led", "on").size(), 1u);
}

// ---------------------------------------------------------------- melody-demo

TEST(MelodyDemo, PlaysTheScoreTwiceWithASecondOfSilenceBetween) {
    const std::string wav = pikit::test::temp_dir() + "/melody.wav";
    const Outcome r =
        run("melody-demo", "devices:\n  - {type: buzzer, name: buzzer, pin: 1, sample_rate: 8000, wav: " + wav + "}\n", "50s");
    EXPECT_EQ(r.result.out, "");
    expect_ended_by_the_run_limit(r);

    // What the buzzer plays: each note's pitch from its start, and silence
    // from its end, notes back to back; a pass and its pause are 24.75 s.
    std::vector<std::pair<Time, long>> expected{{0, 0}};
    for (Time pass = 0; pass < 3; ++pass) {
        Time t = pass * 24750 * kMs;
        for (const melodytest::Note& n : melodytest::kScore) {
            if (n.hz != 0) {
                expected.emplace_back(t, n.hz);
                expected.emplace_back(t + n.ms * kMs, 0);
            }
            t += n.ms * kMs;
        }
        EXPECT_EQ(t, pass * 24750 * kMs + 23750 * kMs);
    }
    while (expected.back().first >= 50 * kS) expected.pop_back();
    // What a person hears settles once per instant: a note's end and the
    // next one's start at one instant are one change, to the next pitch.
    std::vector<std::pair<Time, long>> heard;
    for (const auto& e : expected) {
        if (!heard.empty() && heard.back().first == e.first) heard.pop_back();
        if (heard.empty() || heard.back().second != e.second) heard.push_back(e);
    }
    expected = heard;
    std::vector<std::pair<Time, long>> played;
    for (const auto& [t, v] : r.shown("buzzer", "frequency")) played.emplace_back(t, static_cast<long>(as_int(v)));
    EXPECT_EQ(played, expected);

    // The WAV file of it: 50 s of sound, loud while the first note plays.
    SF_INFO info{};
    SNDFILE* f = sf_open(wav.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.frames, 50 * 8000);
    std::vector<short> first(2000);
    ASSERT_EQ(sf_read_short(f, first.data(), 2000), 2000);
    sf_close(f);
    long peak = 0;
    for (short s : first) peak = std::max<long>(peak, std::labs(s));
    EXPECT_GT(peak, 10000);
}

// A sound file named as the scenario itself, here through a link: refused
// before main with one line and status 2, the scenario left as it was.
TEST(MelodyDemo, AWavNamingTheScenarioItselfIsRefused) {
    const std::string dir = pikit::test::temp_dir();
    const std::string text = "devices:\n  - {type: buzzer, name: buzzer, pin: 1, wav: " + dir + "/link.yaml}\n";
    const std::string scenario = pikit::test::write_file(dir, "s.yaml", text);
    ASSERT_EQ(symlink(scenario.c_str(), (dir + "/link.yaml").c_str()), 0);
    const RunResult r = pikit::test::run_program("melody-demo", {{"PIKIT_SIM_SCENARIO", scenario}});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "pikit-sim: " + scenario +
                         ": devices[0].wav: is the scenario file itself, which the buzzer's "
                         "sound would overwrite '" +
                         dir + "/link.yaml'\n");
    EXPECT_EQ(pikit::test::read_file(scenario), text);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 2);
}

TEST(MelodyDemo, WithoutItsToneGeneratorItSaysSoOnceAndPlaysOnSilently) {
    const Outcome r =
        run("melody-demo", "board: {tone_fails: true}\ndevices:\n  - {type: buzzer, name: buzzer, pin: 1}\n", "30s");
    EXPECT_EQ(r.result.out, "Soft tone create fail!\n");
    expect_ended_by_the_run_limit(r);
    EXPECT_EQ(r.shown("buzzer", "frequency").size(), 1u);
}

}  // namespace
