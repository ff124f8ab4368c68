// The simulated kit as a person meets it: built programs run as processes,
// steered by the PIKIT_SIM_* variables and stopped from outside. Uses the
// type conversion demo, which needs no module, the humidity demo for a trace
// worth reading, a probe program for the endings the demos never take, and
// in-process boards for the trace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <wiringPi.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "core/board.h"
#include "support/json.h"
#include "support/sanitizers.h"
#include "support/run_program.h"

namespace {

using namespace pikit::sim;
using pikit::test::as_int;
using pikit::test::run_program;
using pikit::test::text;

const std::string kProbe = PIKIT_PROBE_PROGRAM;

const char kCastOutput[] =
    "Start ...\n"
    "(char)97.3 = a \n"
    "(char)97 = a \n"
    "(int)97.3 = 97 \n"
    "(int)'a' = 97 \n"
    "float(97) = 97.000000 \n"
    "float('a') = 97.000000 \n";

TEST(RunControl, CastDemoPrintsItsSevenLinesAndDiesOfSigtermAtTheLimit) {
    auto r = run_program("cast-demo", {{"PIKIT_SIM_UNTIL", "3s"}});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, kCastOutput);
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(r.err, "");
}

TEST(RunControl, RunLimitBeforeTheOneSecondPauseEndsShowsOnlyTheStartLine) {
    auto r = run_program("cast-demo", {{"PIKIT_SIM_UNTIL", "999ms"}});
    EXPECT_EQ(r.out, "Start ...\n");
    EXPECT_EQ(r.signal, SIGTERM);
}

TEST(RunControl, PacedRunTakesWallTimeAsTheSpeedFactorSays) {
    auto t0 = std::chrono::steady_clock::now();
    // 4 s at four times real time: 1 s. Real time would take 4 s.
    auto r = run_program("cast-demo", {{"PIKIT_SIM_UNTIL", "4s"}, {"PIKIT_SIM_SPEED", "4"}});
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.out, kCastOutput);
    EXPECT_GE(wall, 1.0);
    EXPECT_LT(wall, 3.0);
}

TEST(RunControl, BadRunControlStopsBeforeMainWithStatusTwo) {
    struct Case {
        std::map<std::string, std::string> env;
        std::string message;
    };
    std::string dir = pikit::test::temp_dir();
    std::string bad = pikit::test::write_file(dir, "bad.yaml", "devices:\n  - {type: flux-capacitor}\n");
    const Case cases[] = {
        {{{"PIKIT_SIM_UNTIL", "soon"}},
         "pikit-sim: environment: PIKIT_SIM_UNTIL: unparsable duration 'soon' (expected e.g. 500ms, 30s, 2min)\n"},
        {{{"PIKIT_SIM_SPEED", "warp"}},
         "pikit-sim: environment: PIKIT_SIM_SPEED: expected realtime, max or a positive factor 'warp'\n"},
        {{{"PIKIT_SIM_SCENARIO", dir + "/missing.yaml"}},
         "pikit-sim: " + dir + "/missing.yaml: cannot read scenario: No such file or directory (from PIKIT_SIM_SCENARIO)\n"},
        {{{"PIKIT_SIM_LOG", dir + "/no/such/dir/log"}},
         "pikit-sim: environment: PIKIT_SIM_LOG: cannot write the log: No such file or directory '" + dir +
             "/no/such/dir/log'\n"},
    };
    for (const Case& c : cases) {
        auto r = run_program("cast-demo", c.env);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "") << "main must not have run";
    }
    auto r = run_program("cast-demo", {{"PIKIT_SIM_SCENARIO", bad}});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind("pikit-sim: " + bad + ": devices[0].type: unknown device type (known: ", 0), 0u) << r.err;
}

// Inputs a person may hand the kit by mistake: each is refused with one line
// naming the variable (or file) and the value, status 2, before main runs.
TEST(RunControl, UnusableFilesAreRefusedBeforeMain) {
    const std::string dir = pikit::test::temp_dir();
    const std::string ok = pikit::test::write_file(dir, "ok.yaml", "description: nothing wired\n");
    const std::string fifo = dir + "/fifo.yaml";
    const std::string bomb = pikit::test::source_path("fuzz/regressions/alias-bomb.yaml");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::map<std::string, std::string> env;
        std::string says;
    };
    const Case cases[] = {
        {{{"PIKIT_SIM_SCENARIO", "/dev/zero"}}, "/dev/zero: cannot read scenario: not a regular file"},
        {{{"PIKIT_SIM_SCENARIO", fifo}}, fifo + ": cannot read scenario: not a regular file"},
        {{{"PIKIT_SIM_SCENARIO", dir}}, dir + ": cannot read scenario: it is a directory"},
        {{{"PIKIT_SIM_VCD", dir}}, "environment: PIKIT_SIM_VCD: is a directory"},
        {{{"PIKIT_SIM_SCENARIO", ok}, {"PIKIT_SIM_LOG", ok}}, "environment: PIKIT_SIM_LOG: is the scenario file itself"},
        {{{"PIKIT_SIM_VCD", dir + "/t"}, {"PIKIT_SIM_LOG", dir + "/t"}},
         "environment: PIKIT_SIM_LOG: is the same file as the trace"},
        {{{"PIKIT_SIM_VCD", dir + "/none/t.vcd"}}, "environment: PIKIT_SIM_VCD: cannot write the trace: No such file"},
        // Nested aliases that stand for ten billion values: refused as written, never expanded.
        {{{"PIKIT_SIM_SCENARIO", bomb}},
         bomb + ": line 1: YAML anchors and aliases are refused; a scenario writes every value out '&a'\n"},
    };
    for (const Case& c : cases) {
        auto r = run_program("cast-demo", c.env, 10.0);
        EXPECT_FALSE(r.timed_out) << c.says;
        EXPECT_EQ(r.exit_code, 2) << c.says;
        EXPECT_EQ(r.err.rfind("pikit-sim: " + c.says, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "") << "main must not have run";
    }
    EXPECT_EQ(pikit::test::read_file(ok), "description: nothing wired\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/t")) << "nothing written for a refused run";
}

// However long the scenario takes to wire, no virtual time passes before
// main: neither the run limit nor a refusal is overtaken.
TEST(RunControl, ASlowStartNeitherLosesMainNorItsRefusal) {
    const std::string dir = pikit::test::temp_dir();
    std::string devices = "devices:\n";
    for (int i = 0; i < 4000; ++i)
        devices += "  - {type: onewire-device, name: d" + std::to_string(i) + ", pin: 5, rom: \"01 02 03 04 05 06 07\"}\n";
    const std::string big = pikit::test::write_file(dir, "big.yaml", devices);
    const std::string bad = pikit::test::write_file(dir, "bad.yaml", devices + "  - {type: flux-capacitor}\n");
    auto r = run_program("cast-demo", {{"PIKIT_SIM_SCENARIO", big}, {"PIKIT_SIM_UNTIL", "999ms"}});
    EXPECT_EQ(r.out, "Start ...\n");
    EXPECT_EQ(r.signal, SIGTERM);
    r = run_program("cast-demo", {{"PIKIT_SIM_SCENARIO", bad}, {"PIKIT_SIM_UNTIL", "0"}});
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find("devices[4000].type: unknown device type"), std::string::npos) << r.err;
}

// Stopped from outside, a traced run still leaves a whole trace, and the
// program dies of the signal as it would without the kit.
TEST(RunControl, ASignalFromOutsideLeavesACompleteTrace) {
    const std::string dir = pikit::test::temp_dir();
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        const std::string vcd = dir + "/t" + std::to_string(sig) + ".vcd";
        const std::string log = dir + "/t" + std::to_string(sig) + ".log";
        pikit::test::Interrupt stop;
        stop.signal = sig;
        stop.after_output = "Humidity";  // one measurement on the wires at least
        // Paced, so that the signal finds the program running, as a person would.
        auto r =
            run_program("humidity-demo", {{"PIKIT_SIM_SPEED", "4"}, {"PIKIT_SIM_VCD", vcd}, {"PIKIT_SIM_LOG", log}}, 20.0, stop);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.signal, sig);
        EXPECT_FALSE(std::filesystem::exists(vcd + ".body"));

        // Read the trace back: declared wires, time stamps in order, every
        // change on a declared wire, and the I2C traffic of the measurement.
        const std::string text = pikit::test::read_file(vcd);
        ASSERT_NE(text.find("$enddefinitions $end"), std::string::npos) << text.substr(0, 400);
        std::map<std::string, std::string> wires;  // id -> name
        std::istringstream in(text);
        std::string line;
        long long last = -1;
        int sda_falls_with_scl_high = 0, scl_rises = 0;
        char sda = '1', scl = '1';
        bool body = false;
        while (std::getline(in, line)) {
            if (line.rfind("$var wire 1 ", 0) == 0) {
                std::istringstream v(line.substr(12));
                std::string id, name;
                v >> id >> name;
                wires[id] = name;
            } else if (line == "$end") {
                body = true;
            } else if (body && line[0] == '#') {
                const long long t = std::stoll(line.substr(1));
                EXPECT_GE(t, last) << line;
                last = t;
            } else if (body && line.size() >= 3) {
                ASSERT_TRUE(wires.count(line.substr(1))) << "change of an undeclared wire: " << line;
                const std::string& name = wires[line.substr(1)];
                if (name.rfind("wpi8_", 0) == 0) {
                    if (sda == '1' && line[0] == '0' && scl == '1') ++sda_falls_with_scl_high;
                    sda = line[0];
                } else if (name.rfind("wpi9_", 0) == 0) {
                    if (scl == '0' && line[0] == '1') ++scl_rises;
                    scl = line[0];
                }
            }
        }
        EXPECT_EQ(wires.size(), 2u);
        EXPECT_GE(sda_falls_with_scl_high, 3) << "status read, trigger, data read: three STARTs at least";
        EXPECT_GE(scl_rises, 3 * 9) << "three bytes with their acknowledge bits at least";
        EXPECT_GE(last, 500000000LL) << "the trace reaches past the 500 ms settling time";
        EXPECT_NE(pikit::test::read_file(log).find("measurement"), std::string::npos);
    }
}

// A program that handles a signal itself gets it, also the run limit's, and
// goes on using the library until it ends by itself.
TEST(RunControl, AProgramThatHandlesTheSignalItselfGetsIt) {
    pikit::test::Interrupt interrupt;
    interrupt.signal = SIGINT;
    interrupt.after_output = "ready\n";
    auto r = run_program(kProbe, {{"PROBE_MODE", "handle"}}, 10.0, interrupt);
    EXPECT_EQ(r.out, "ready\ncaught 2\ndone\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = run_program(kProbe, {{"PROBE_MODE", "handle"}, {"PIKIT_SIM_UNTIL", "10ms"}}, 10.0);
    EXPECT_EQ(r.out, "ready\ncaught 15\ndone\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

// A handler that switches an output off through the library, when the run
// limit's SIGTERM comes while the program sleeps in a delay: the write is
// recorded at the limit's instant, and the process dies of the signal.
TEST(RunControl, AHandlerThatSwitchesAnOutputOffIsRecordedAtTheLimit) {
    if (pikit::test::thread_sanitized())
        GTEST_SKIP() << "ThreadSanitizer runs the handler at its own next safe point, after the instant under test";
    const std::string dir = pikit::test::temp_dir();
    const std::string events = dir + "/e.jsonl", vcd = dir + "/t.vcd";
    auto r = run_program(
        kProbe, {{"PROBE_MODE", "switch-off"}, {"PIKIT_SIM_UNTIL", "10ms"}, {"PIKIT_SIM_EVENTS", events}, {"PIKIT_SIM_VCD", vcd}},
        5.0);
    ASSERT_FALSE(r.timed_out) << "the handler's call must not wait for the lock its own thread holds";
    EXPECT_EQ(r.signal, SIGTERM) << r.err;
    const auto lines = pikit::test::parse_json_lines(pikit::test::read_file(events));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(text(lines.back(), "event"), "end");
    EXPECT_EQ(text(lines.back(), "reason"), "run limit");
    EXPECT_EQ(as_int(lines.back()["t_ns"]), 10000000);
    // The pin falls at the limit: the trace's last change of its wire.
    const std::string trace = pikit::test::read_file(vcd);
    EXPECT_NE(trace.find("#10000000\n0"), std::string::npos) << trace;
}

// exit() from a thread other than main ends the process with its status,
// although main is still asleep and the run limit is near.
TEST(RunControl, ExitFromAnotherThreadWinsOverTheRunLimit) {
    for (int i = 0; i < 5; ++i) {
        auto r = run_program(kProbe, {{"PROBE_MODE", "thread-exit"}, {"PIKIT_SIM_UNTIL", "6ms"}}, 10.0);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exit_code, 7) << r.err;
    }
}

// At real time, the program's exit may take a while after its thread has
// said goodbye to the kit (its own thread-local clean-up), while events of a
// soft PWM fall due on the wall clock: the kit must not spin on them holding
// the lock that the exit then needs. Paced and at full speed alike, the run
// ends with the program's status.
TEST(RunControl, AnExitThatTakesItsTimeEndsWithItsStatusAtEverySpeed) {
    for (const char* speed : {"realtime", "max"}) {
        SCOPED_TRACE(speed);
        const std::string events = pikit::test::temp_dir() + "/e.jsonl";
        auto r =
            run_program(kProbe, {{"PROBE_MODE", "slow-exit"}, {"PIKIT_SIM_SPEED", speed}, {"PIKIT_SIM_EVENTS", events}}, 20.0);
        ASSERT_FALSE(r.timed_out) << "the exit waited for a lock the kit kept";
        EXPECT_EQ(r.exit_code, 3) << r.err;
        const auto lines = pikit::test::parse_json_lines(pikit::test::read_file(events));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(pikit::test::text(lines.back(), "reason"), "exit");
    }
}

TEST(RunControl, TraceShowsEveryUsedPinAsTheLineShowsIt) {
    std::string dir = pikit::test::temp_dir();
    std::string vcd = dir + "/t.vcd";
    {
        Options o;
        o.pin_call_cost = 0;
        o.vcd_path = vcd;
        Board board(o);
        pinMode(0, OUTPUT);
        digitalWrite(0, HIGH);
        delayMicroseconds(10);
        digitalWrite(0, LOW);
        pullUpDnControl(7, PUD_OFF);  // released and unpulled: floating
        delayMicroseconds(5);
    }
    std::string text = pikit::test::read_file(vcd);
    EXPECT_NE(text.find("$timescale 1ns $end"), std::string::npos);
    EXPECT_NE(text.find("$var wire 1 !! wpi0_BCM17_P11 $end"), std::string::npos);
    EXPECT_NE(text.find("$var wire 1 (! wpi7_BCM4_P7 $end"), std::string::npos);
    EXPECT_EQ(text.find("wpi1_"), std::string::npos) << "unused pins stay out of the trace";
    // Levels at time 0 (power-on, then the first pin calls at that instant)
    // are the start values: time 0 is stamped once. The trace closes at the
    // run's end, 5 us after the last change, so a reader sees that change hold.
    const std::string tail = "#0\n$dumpvars\n1!!\n1(!\n$end\n#10000\n0!!\nz(!\n#15000\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
}

TEST(RunControl, LogTellsWhatHappenedWithVirtualTimes) {
    std::string dir = pikit::test::temp_dir();
    std::string log = dir + "/run.log";
    {
        Options o;
        o.log_path = log;
        o.pin_call_cost = 0;
        Board board(o);
        delay(1);
        pinMode(17, OUTPUT);
    }
    EXPECT_EQ(pikit::test::read_file(log),
              "[   0.001000000s] board: error: pinMode on pin 17, which is not on the 40-pin header\n");
}

}  // namespace
