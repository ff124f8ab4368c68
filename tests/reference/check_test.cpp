// pikit check as a person runs it: every problem of every file, one line
// each on standard error, status 2; "<file>: ok" for a scenario that can be
// wired, status 0.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/run_program.h"

namespace {

using pikit::test::run_built;
using pikit::test::write_file;

int lines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

TEST(PikitCheck, ReportsEveryProblemOfEveryFileOnePerLine) {
    const std::string dir = pikit::test::temp_dir();
    const std::string good = write_file(dir, "good.yaml",
                                        "devices:\n  - {type: button, name: b}\n"
                                        "stimuli:\n  - {at: 1s, device: b, action: down}\n  - {at: 2s, device: b, action: up}\n");
    const std::string bad = write_file(dir, "bad.yaml",
                                       "devices:\n  - {type: button, name: b, pin: 40, seed: -1}\n"
                                       "  - {type: led, active: sideways}\n"
                                       "stimuli:\n  - {at: 1s, device: b, action: press, hold: 2h}\n");
    auto r = run_built({PIKIT, "check", good}, {});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, good + ": ok\n");
    EXPECT_EQ(r.err, "");

    r = run_built({PIKIT, "check", good, bad, dir + "/missing.yaml"}, {});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, good + ": ok\n");
    EXPECT_EQ(r.err, bad + ": devices[0].pin: bad pin (expected a wiringPi pin on the header: 0-16 or 21-31) '40'\n" + bad +
                         ": devices[0].seed: out of range (0 to 2147483647) '-1'\n" + bad +
                         ": devices[1].active: expected high or low 'sideways'\n" + bad +
                         ": stimuli[0].hold: out of range (1ms to 10min) '2h'\n" + dir +
                         "/missing.yaml: cannot read scenario: No such file or directory (from PIKIT_SIM_SCENARIO)\n");
    EXPECT_EQ(lines(r.err), 5);

    r = run_built({PIKIT, "check", "--help"}, {});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Usage: pikit check"), std::string::npos) << r.out;
    r = run_built({PIKIT, "check"}, {});
    EXPECT_EQ(r.exit_code, 2) << "no file is a mistake, not a pass";
}

}  // namespace
