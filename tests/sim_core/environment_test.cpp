// The run variables and the files they name, checked in-process: every value
// has a range, a scenario must be a small regular file, and the outputs of a
// run never overwrite the scenario or each other.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>

#include "core/environment.h"
#include "core/scenario.h"
#include "support/run_program.h"

namespace {

using namespace pikit::sim;

// What read_environment makes of these variables, or its refusal.
std::string refusal(const std::map<std::string, std::string>& vars, RunEnvironment* out = nullptr) {
    try {
        RunEnvironment e = read_environment([&](const char* name) -> const char* {
            auto it = vars.find(name);
            return it == vars.end() ? nullptr : it->second.c_str();
        });
        if (out) *out = e;
    } catch (const ScenarioError& e) {
        return e.what();
    }
    return "";
}

TEST(Environment, DurationsAndSpeedsHaveRanges) {
    RunEnvironment e;
    EXPECT_EQ(refusal({{"PIKIT_SIM_PIN_COST", "0"}, {"PIKIT_SIM_UNTIL", "0"}, {"PIKIT_SIM_SPEED", "0.001"}}, &e), "");
    EXPECT_EQ(e.pin_cost, 0);
    EXPECT_EQ(e.options.until, 0);
    EXPECT_EQ(e.options.speed, Speed::Factor);
    EXPECT_EQ(refusal({{"PIKIT_SIM_UNTIL", "100000h"}, {"PIKIT_SIM_SPEED", "1000000000"}}, &e), "");
    EXPECT_EQ(e.options.until, kMaxDuration);
    EXPECT_EQ(refusal({{"PIKIT_SIM_SPEED", ""}, {"PIKIT_SIM_UNTIL", ""}}, &e), "") << "empty is unset";
    EXPECT_EQ(e.options.speed, Speed::Realtime);
    EXPECT_EQ(e.options.until, kNever);

    const std::pair<std::map<std::string, std::string>, std::string> bad[] = {
        {{{"PIKIT_SIM_PIN_COST", "1h"}}, "environment: PIKIT_SIM_PIN_COST: duration out of range (0 to 1ms) '1h'"},
        {{{"PIKIT_SIM_PIN_COST", "9e18ns"}},
         "environment: PIKIT_SIM_PIN_COST: unparsable duration '9e18ns' (expected e.g. 500ms, 30s, 2min)"},
        {{{"PIKIT_SIM_UNTIL", "100001h"}}, "environment: PIKIT_SIM_UNTIL: duration out of range (0 to 100000h) '100001h'"},
        {{{"PIKIT_SIM_SPEED", "1e-300"}}, "environment: PIKIT_SIM_SPEED: expected realtime, max or a positive factor '1e-300'"},
        {{{"PIKIT_SIM_SPEED", "0.0001"}}, "environment: PIKIT_SIM_SPEED: factor out of range (0.001 to 1000000000) '0.0001'"},
        {{{"PIKIT_SIM_SPEED", "0"}}, "environment: PIKIT_SIM_SPEED: factor out of range (0.001 to 1000000000) '0'"},
        {{{"PIKIT_SIM_SPEED", "-2"}}, "environment: PIKIT_SIM_SPEED: expected realtime, max or a positive factor '-2'"},
        {{{"PIKIT_SIM_SPEED", "inf"}}, "environment: PIKIT_SIM_SPEED: expected realtime, max or a positive factor 'inf'"},
        {{{"PIKIT_SIM_SPEED", "0x10"}}, "environment: PIKIT_SIM_SPEED: expected realtime, max or a positive factor '0x10'"},
    };
    for (const auto& [vars, message] : bad) EXPECT_EQ(refusal(vars), message);
}

TEST(Environment, AScenarioIsASmallRegularFile) {
    const std::string dir = pikit::test::temp_dir();
    auto refused = [](const std::string& path) -> std::string {
        try {
            read_scenario_file(path);
        } catch (const ScenarioError& e) {
            return e.what();
        }
        return "";
    };
    const std::string ok = pikit::test::write_file(dir, "ok.yaml", "description: fine\n");
    EXPECT_EQ(read_scenario_file(ok), "description: fine\n");
    EXPECT_EQ(refused(dir), dir + ": cannot read scenario: it is a directory (from PIKIT_SIM_SCENARIO)");
    EXPECT_EQ(refused("/dev/zero"), "/dev/zero: cannot read scenario: not a regular file (from PIKIT_SIM_SCENARIO)");
    const std::string big = pikit::test::write_file(dir, "big.yaml", std::string(kMaxScenarioBytes + 1, '#'));
    EXPECT_EQ(refused(big), big + ": cannot read scenario: larger than 1 MiB (from PIKIT_SIM_SCENARIO)");
    pikit::test::write_file(dir, "limit.yaml", std::string(kMaxScenarioBytes, '#'));
    EXPECT_EQ(read_scenario_file(dir + "/limit.yaml").size(), kMaxScenarioBytes);

    // A FIFO with no writer: refused at once rather than waited on.
    const std::string fifo = dir + "/fifo.yaml";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(refused(fifo), fifo + ": cannot read scenario: not a regular file (from PIKIT_SIM_SCENARIO)");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST(Environment, OutputsNeverOverwriteTheScenarioOrEachOther) {
    const std::string dir = pikit::test::temp_dir();
    const std::string scenario = pikit::test::write_file(dir, "s.yaml", "description: x\n");
    struct stat st {};
    ASSERT_EQ(stat(scenario.c_str(), &st), 0);
    const FileId id{st.st_dev, st.st_ino};
    ASSERT_EQ(symlink(scenario.c_str(), (dir + "/alias.yaml").c_str()), 0);
    auto refused = [&](const std::string& vcd, const std::string& log) -> std::string {
        Options o;
        o.vcd_path = vcd;
        o.log_path = log;
        try {
            check_output_files(output_files(o), &id);
        } catch (const ScenarioError& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(refused(dir + "/t.vcd", dir + "/run.log"), "");
    EXPECT_EQ(refused(dir + "/t.vcd", "-"), "");
    EXPECT_EQ(refused(dir, ""), "environment: PIKIT_SIM_VCD: is a directory; the trace needs a file name '" + dir + "'");
    EXPECT_EQ(refused("", scenario),
              "environment: PIKIT_SIM_LOG: is the scenario file itself, which the log would overwrite '" + scenario + "'");
    EXPECT_EQ(
        refused(dir + "/alias.yaml", ""),
        "environment: PIKIT_SIM_VCD: is the scenario file itself, which the trace would overwrite '" + dir + "/alias.yaml'");
    EXPECT_EQ(refused(dir + "/t.vcd", dir + "/sub/../t.vcd"),
              "environment: PIKIT_SIM_LOG: is the same file as the trace (PIKIT_SIM_VCD); the log needs a file of "
              "its own '" +
                  dir + "/sub/../t.vcd'");
    EXPECT_EQ(refused(dir + "/t.vcd", dir + "/t.vcd.body"),
              "environment: PIKIT_SIM_LOG: is the same file as the trace's working file (PIKIT_SIM_VCD); the log "
              "needs a file of its own '" +
                  dir + "/t.vcd.body'");
}

TEST(Environment, AStateDirectoryGivenThatCannotBeUsedIsRefused) {
    const std::string dir = pikit::test::temp_dir();
    const std::string file = pikit::test::write_file(dir, "plain", "x");
    for (const std::string& bad : {file, std::string("/dev/null"), file + "/below"}) {
        Options o;
        o.state_dir = bad;
        Board board(o);
        try {
            board.state_dir();
            ADD_FAILURE() << bad << " taken as a state directory";
        } catch (const OptionError& e) {
            EXPECT_EQ(e.option(), "state_dir");
            EXPECT_EQ(e.value(), bad);
            EXPECT_EQ(std::string(e.what()).rfind("cannot be used as the state directory: ", 0), 0u) << e.what();
        }
    }
    Options o;
    o.state_dir = dir + "/new/state";
    Board board(o);
    EXPECT_EQ(board.state_dir(), dir + "/new/state") << "made when missing";
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/new/state"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir + "/new/state"), {}), 0) << "and left clean";
}

}  // namespace
