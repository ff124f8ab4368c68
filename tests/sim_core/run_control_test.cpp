// The simulated kit as a person meets it: built programs run as processes,
// steered by the PIKIT_SIM_* variables. Uses the type conversion demo, which
// needs no module, and in-process boards for the trace.
#include <gtest/gtest.h>
#include <signal.h>
#include <wiringPi.h>

#include "core/board.h"
#include "support/run_program.h"

namespace {

using namespace pikit::sim;
using pikit::test::run_program;

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
    auto r = run_program("cast-demo", {{"PIKIT_SIM_UNTIL", "2s"}, {"PIKIT_SIM_SPEED", "4"}});
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.out, kCastOutput);
    EXPECT_GE(wall, 0.5);
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
         "pikit-sim: environment: cannot write log file '" + dir + "/no/such/dir/log': No such file or directory\n"},
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
