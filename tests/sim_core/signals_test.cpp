// Signals from outside, at moments nobody chooses: a program's own handler
// that calls the library, the kit's own ending of a run, a signal ignored
// from the start, and a part that keeps the clock busy meanwhile. Each case
// is a process run of the probe program (or a demo), as a person starts it.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <random>
#include <sstream>

#include "support/json.h"
#include "support/run_program.h"
#include "support/sanitizers.h"

namespace {

using pikit::test::as_int;
using pikit::test::Interrupt;
using pikit::test::parse_json_lines;
using pikit::test::read_file;
using pikit::test::run_program;
using pikit::test::RunResult;
using pikit::test::text;

const std::string kProbe = PIKIT_PROBE_PROGRAM;

// The last value a trace gives the wire `name` ('0', '1', 'z'), or '?'.
char last_in_trace(const std::string& trace, const std::string& name) {
    std::istringstream in(trace);
    std::string line, id;
    char last = '?';
    while (std::getline(in, line)) {
        if (line.rfind("$var wire 1 ", 0) == 0) {
            std::istringstream v(line.substr(12));
            std::string i, n;
            v >> i >> n;
            if (n == name) id = i;
        } else if (!id.empty() && line.size() == id.size() + 1 && line.compare(1, std::string::npos, id) == 0) {
            last = line[0];
        }
    }
    return last;
}

std::string end_reason(const std::string& events_file) {
    const auto events = parse_json_lines(read_file(events_file));
    if (events.empty() || text(events.back(), "event") != "end") return "(no end)";
    return text(events.back(), "reason");
}

// The commonest clean-up of a Pi program: a handler that drives a pin LOW
// through the library and calls exit(0), while main toggles the pin and
// sleeps. Wherever the signal lands (inside a library call holding the
// kit's lock, in a pin call that skips it, in a delay), the handler runs,
// the process ends with its status, and the trace is whole with the pin LOW.
TEST(Signals, AHandlerThatCallsTheLibraryAndExitsMayRunAtAnyMoment) {
    std::mt19937 rng(20250301);
    const std::string dir = pikit::test::temp_dir();
    for (int i = 0; i < 8; ++i) {
        const bool paced = i % 4 == 3;
        SCOPED_TRACE("run " + std::to_string(i) + (paced ? " at realtime" : " at max"));
        const std::string vcd = dir + "/t" + std::to_string(i) + ".vcd";
        const std::string events = dir + "/e" + std::to_string(i) + ".jsonl";
        Interrupt stop;
        stop.signal = i % 2 ? SIGTERM : SIGINT;
        stop.after_output = "ready\n";
        stop.after_s = std::uniform_real_distribution<double>(0.0, 0.25)(rng);
        const RunResult r = run_program(kProbe,
                                        {{"PROBE_MODE", "blink"},
                                         {"PIKIT_SIM_SPEED", paced ? "realtime" : "max"},
                                         {"PIKIT_SIM_VCD", vcd},
                                         {"PIKIT_SIM_EVENTS", events},
                                         // exit() in a handler is the pattern under test; the kit makes it
                                         // safe by running the handler outside its own code, which
                                         // ThreadSanitizer cannot know.
                                         {"TSAN_OPTIONS", "halt_on_error=1:report_signal_unsafe=0"}},
                                        10.0, stop);
        ASSERT_FALSE(r.timed_out) << "the handler's call waited for a lock its own thread held";
        EXPECT_EQ(r.signal, 0) << r.err;
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(end_reason(events), "exit");
        EXPECT_FALSE(std::filesystem::exists(vcd + ".body"));
        EXPECT_EQ(last_in_trace(read_file(vcd), "wpi0_BCM17_P11"), '0');
    }
}

// Ended from outside, a program dies of the signal: it never runs on with
// library calls that return made-up values (a pin pulled up read as 0), nor
// ends by itself with status 0 while the kit closes the run.
TEST(Signals, ASignalledRunEndsByThatSignalWithNothingMadeUp) {
    std::mt19937 rng(20250302);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const std::string events = pikit::test::temp_dir() + "/e.jsonl";
        Interrupt hup;
        hup.signal = SIGHUP;
        hup.after_output = "1\n";
        hup.after_s = std::uniform_real_distribution<double>(0.0, 0.3)(rng);
        // Paced: its 300 reads take 0.6 s of wall time, longer than the wait.
        const RunResult r =
            run_program(kProbe, {{"PROBE_MODE", "count"}, {"PIKIT_SIM_SPEED", "0.5"}, {"PIKIT_SIM_EVENTS", events}}, 10.0, hup);
        EXPECT_EQ(r.signal, SIGHUP) << "exit status " << r.exit_code;
        EXPECT_EQ(r.out.find('0'), std::string::npos) << r.out;
        EXPECT_EQ(end_reason(events), "SIGHUP");
    }
}

// nohup leaves SIGHUP ignored, a shell's background job SIGINT: the kit must
// not take them over, so the program runs on to its run limit.
TEST(Signals, ASignalIgnoredFromTheStartStaysIgnored) {
    for (int sig : {SIGHUP, SIGINT}) {
        SCOPED_TRACE(sig);
        const std::string events = pikit::test::temp_dir() + "/e.jsonl";
        Interrupt ignored;
        ignored.signal = sig;
        ignored.after_output = "Start ...\n";
        const RunResult r = pikit::test::run_program_ignoring(
            {sig}, "cast-demo", {{"PIKIT_SIM_SPEED", "4"}, {"PIKIT_SIM_UNTIL", "2s"}, {"PIKIT_SIM_EVENTS", events}}, 10.0,
            ignored);
        EXPECT_EQ(r.signal, SIGTERM) << "exit status " << r.exit_code;
        EXPECT_EQ(end_reason(events), "run limit");
        EXPECT_NE(r.out.find("float('a')"), std::string::npos) << r.out;
    }
}

// A part that has something to do every nanosecond keeps the clock as busy
// as it can be: the run limit still comes, and a signal from outside still
// ends the run promptly.
TEST(Signals, APartThatFloodsTheScheduleStillEndsAtTheLimitAndOnSignals) {
    if (pikit::test::thread_sanitized())
        GTEST_SKIP() << "ThreadSanitizer holds a signal until the busy thread calls something it intercepts";
    const std::string dir = pikit::test::temp_dir();
    const std::string flood = pikit::test::write_file(dir, "flood.yaml", "devices:\n  - {type: flood}\n");
    const std::string events = dir + "/e.jsonl";
    RunResult r = run_program(
        kProbe,
        {{"PROBE_MODE", "sleep"}, {"PIKIT_SIM_SCENARIO", flood}, {"PIKIT_SIM_UNTIL", "2ms"}, {"PIKIT_SIM_EVENTS", events}}, 20.0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, SIGTERM) << r.err;
    const auto lines = parse_json_lines(read_file(events));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(text(lines.back(), "reason"), "run limit");
    EXPECT_EQ(as_int(lines.back()["t_ns"]), 2000000);
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        Interrupt stop;
        stop.signal = sig;
        stop.after_output = "ready\n";
        stop.after_s = 0.2;
        r = run_program(kProbe, {{"PROBE_MODE", "sleep"}, {"PIKIT_SIM_SCENARIO", flood}, {"PIKIT_SIM_EVENTS", events}}, 20.0,
                        stop);
        EXPECT_FALSE(r.timed_out) << "the signal was not served";
        EXPECT_EQ(r.signal, sig) << r.err;
        EXPECT_EQ(end_reason(events), sig == SIGTERM ? "SIGTERM" : "SIGINT");
    }
}

}  // namespace
