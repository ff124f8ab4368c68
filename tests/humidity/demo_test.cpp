// humidity-demo as a process under the simulated kit: what it prints, byte
// for byte, under the default scenario and under sensors of our own.
#include <gtest/gtest.h>

#include <string>

#include "support/run_program.h"

using pikit::test::run_program;
using pikit::test::RunResult;

namespace {

std::string scenario(const char* name) { return pikit::test::source_path(std::string("tests/humidity/scenarios/") + name); }

std::string repeat(const std::string& line, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += line;
    return s;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size()) ++n;
    return n;
}

RunResult run(const std::string& scenario_path, const char* until, const std::string& log = "") {
    std::map<std::string, std::string> env{{"PIKIT_SIM_UNTIL", until}};
    if (!scenario_path.empty()) env["PIKIT_SIM_SCENARIO"] = scenario_path;
    if (!log.empty()) env["PIKIT_SIM_LOG"] = log;
    RunResult r = run_program("humidity-demo", env);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 15) << "stderr: " << r.err;  // ended by the run limit, never by itself
    return r;
}

// First line at about 1.6 s (500 ms settling, one measurement, 1 s wait; up
// to 1.95 s with no sensor or one that stays busy),
// then one a second: four lines by 5 s.
TEST(HumidityDemo, DefaultScenarioPrintsItsReadingOnceASecond) {
    const RunResult r = run("", "5s");
    EXPECT_EQ(r.out, repeat("Humidity = 48.200%, Temperature = 21.600C \n", 4));
    EXPECT_EQ(r.err, "");
}

TEST(HumidityDemo, ValuesOfOtherSensorsComeOutExactly) {
    struct Case {
        const char* file;
        const char* line;
    } cases[] = {
        {"half-scale.yaml", "Humidity = 50.000%, Temperature = 25.000C \n"},
        {"extremes.yaml", "Humidity = 100.000%, Temperature = 150.000C \n"},
        {"uncalibrated.yaml", "Humidity = 33.300%, Temperature = -12.500C \n"},
        {"bad-crc.yaml", "Humidity = 0.000%, Temperature = 0.000C \n"},
        {"never-ready.yaml", "Humidity = 0.000%, Temperature = -50.000C \n"},
        {"stimulus.yaml", "Humidity = 70.000%, Temperature = 25.000C \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const RunResult r = run(scenario(c.file), "3.5s");
        EXPECT_EQ(r.out, repeat(c.line, 2));
    }
}

TEST(HumidityDemo, AbsentSensorGives107MissingAcknowledgesThenZeros) {
    const RunResult r = run(scenario("absent.yaml"), "3.5s");
    EXPECT_EQ(r.out, repeat("IIC slave device not ack!\n", 107) + repeat("Humidity = 0.000%, Temperature = 0.000C \n", 2));
}

// The register set-up is done when, and only when, the status asks for it.
TEST(HumidityDemo, RegisterSetUpOnlyWhenTheCalibrationBitsAreNotBothSet) {
    const std::string dir = pikit::test::temp_dir();
    for (const char* bits : {"0x18", "0x10", "0x08", "0x00"}) {
        SCOPED_TRACE(bits);
        const std::string yaml = std::string("devices:\n  - {type: aht20, name: sensor, calibration_bits: ") + bits + "}\n";
        const std::string path = pikit::test::write_file(dir, std::string("cal-") + bits + ".yaml", yaml);
        const std::string log = dir + "/log-" + bits;
        const RunResult r = run(path, "2s", log);
        EXPECT_EQ(r.out, "Humidity = 50.000%, Temperature = 25.000C \n");
        const std::string text = pikit::test::read_file(log);
        EXPECT_EQ(count(text, "written back"), std::string(bits) == "0x18" ? 0u : 3u) << text;
    }
}

// The whole run under the default scenario: the sensor sees no breach of the
// bus rules; the board sees the four acknowledge overlaps and nothing else.
TEST(HumidityDemo, DefaultRunHasNoBreachAndFourContentions) {
    const std::string log = pikit::test::temp_dir() + "/log";
    const RunResult r = run("", "5s", log);
    const std::string text = pikit::test::read_file(log);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(count(text, "breach:"), 0u) << text;
    EXPECT_EQ(count(text, "summary: 4 transfer(s), 1 trigger(s), 1 measurement(s), 0 register write-back(s), 0 breach(es)"), 1u)
        << text;
    EXPECT_EQ(count(text, "aht20 'sensor' pulls LOW"), 4u) << text;
}

}  // namespace
