// ir-board-demo as a process under the simulated kit: the key lines and LED
// messages byte for byte, what the LED shows, and the two start-up failures.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/json.h"
#include "support/run_program.h"

namespace {

using pikit::test::run_program;
using pikit::test::RunResult;
using pikit::test::text;

std::map<std::string, std::string> env_for(const std::string& scenario) {
    std::map<std::string, std::string> env;
    if (!scenario.empty()) env["PIKIT_SIM_SCENARIO"] = pikit::test::source_path("tests/ir/scenarios/" + scenario);
    return env;
}

RunResult run(const std::string& scenario, const char* until, const std::string& events = "") {
    auto env = env_for(scenario);
    env["PIKIT_SIM_UNTIL"] = until;
    if (!events.empty()) env["PIKIT_SIM_EVENTS"] = events;
    RunResult r = run_program("ir-board-demo", env);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 15) << "ended by the run limit, never by itself; stderr: " << r.err;
    EXPECT_EQ(r.err, "");
    return r;
}

// The LED's on/off as the event stream showed it, in order.
std::vector<bool> led_states(const std::string& events_file) {
    std::vector<bool> out;
    for (const auto& e : pikit::test::parse_json_lines(pikit::test::read_file(events_file)))
        if (text(e, "event") == "show" && text(e, "device") == "red" && text(e, "key") == "on")
            out.push_back(e["value"].get<bool>());
    return out;
}

// The default scenario: the board reports 0x0045 once and 0xFF38 twice.
TEST(IrBoardDemo, DefaultScenarioPrintsEachKeyAndTogglesTheLedOnThenOff) {
    const std::string events = pikit::test::temp_dir() + "/events";
    const RunResult r = run("", "4s", events);
    EXPECT_EQ(r.out,
              "Get the key: 0x0045 \n"
              "Get the key: 0xff38 \n"
              "Red LED ON!\n"
              "Get the key: 0xff38 \n"
              "Red LED OFF!\n");
    EXPECT_EQ(led_states(events), (std::vector<bool>{false, true, false}));
}

// The log writes codes in hex as the programs print them; the event stream
// keeps them numbers. Both IR programs' default scenarios.
TEST(IrBoardDemo, TheLogGivesKeysInHexAsTheProgramsPrintThem) {
    struct Case {
        const char* program;
        const char* device;
        const char* key;
        std::vector<std::string> logged;  // every value of `key` in the log, in order
    } cases[] = {
        {"ir-board-demo", "board", "code", {"0x0000", "0x0045", "0x0000", "0xff38", "0x0000"}},
        {"ir-nec-demo", "remote", "key", {"address=0x00 command=0x45", "address=0x00 command=0xab"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        const std::string dir = pikit::test::temp_dir();
        const RunResult r = run_program(
            c.program, {{"PIKIT_SIM_UNTIL", "2500ms"}, {"PIKIT_SIM_LOG", dir + "/log"}, {"PIKIT_SIM_EVENTS", dir + "/ev"}});
        EXPECT_EQ(r.signal, 15) << r.err;
        std::vector<std::string> logged;
        std::istringstream log(pikit::test::read_file(dir + "/log"));
        const std::string mark = "'" + std::string(c.device) + "': " + c.key + ": ";
        for (std::string line; std::getline(log, line);)
            if (line.find(mark) != std::string::npos) logged.push_back(line.substr(line.find(mark) + mark.size()));
        EXPECT_EQ(logged, c.logged);
        std::vector<long long> streamed;
        for (const auto& e : pikit::test::parse_json_lines(pikit::test::read_file(dir + "/ev")))
            if (text(e, "event") == "show" && text(e, "device") == c.device && text(e, "key") == c.key)
                streamed.push_back(pikit::test::as_int(e["value"].is_object() ? e["value"]["command"] : e["value"]));
        const std::vector<long long> numbers = c.program == std::string("ir-board-demo")
                                                   ? std::vector<long long>{0, 0x45, 0, 0xFF38, 0}
                                                   : std::vector<long long>{0x45, 0xAB};
        EXPECT_EQ(streamed, numbers);
    }
}

// A board that holds the code while the key is down: every poll that sees
// 0xFF38 counts as a press.
TEST(IrBoardDemo, ACodeSeenAtSeveralPollsTogglesTheLedAtEach) {
    const std::string events = pikit::test::temp_dir() + "/events";
    const RunResult r = run("board-held.yaml", "2s", events);
    EXPECT_EQ(r.out,
              "Get the key: 0x0007 \n"
              "Get the key: 0xff38 \n"
              "Red LED ON!\n"
              "Get the key: 0xff38 \n"
              "Red LED OFF!\n"
              "Get the key: 0xff38 \n"
              "Red LED ON!\n");
    EXPECT_EQ(led_states(events), (std::vector<bool>{false, true, false, true}));
}

TEST(IrBoardDemo, ABoardThatDoesNotAnswerReadsAsNoKey) {
    const std::string events = pikit::test::temp_dir() + "/events";
    EXPECT_EQ(run("board-absent.yaml", "1s", events).out, "");
    EXPECT_EQ(led_states(events), std::vector<bool>{false});
}

// Start-up failures end the run with status 1 after the message, instead of
// polling a controller that did not start (no run limit is set: a program
// that went on would never end).
TEST(IrBoardDemo, StartUpFailuresPrintTheirMessageAndExitWithStatus1) {
    const struct {
        const char* scenario;
        const char* line;
    } cases[] = {
        {"board-init-fails.yaml", "bcm2835_init failed. Are you running as root??\n"},
        {"board-begin-fails.yaml", "bcm2835_i2c_begin failed. Are you running as root??\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        const RunResult r = run_program("ir-board-demo", env_for(c.scenario), 20.0);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, c.line);
    }
}

}  // namespace
