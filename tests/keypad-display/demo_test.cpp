// keypad-display-demo as a process under the simulated kit: what it prints,
// byte for byte, what the display showed on the way (from the event stream),
// and that the controller saw every frame whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "support/json.h"
#include "support/run_program.h"

namespace {

using namespace pikit::test;

struct Outcome {
    RunResult r;
    std::string events;
    std::vector<std::string> shown;  // every display text, in order
    std::vector<int> read;           // the key of every key read that found one
    std::string summary;             // the controller's closing summary
    int breaches = 0;
};

Outcome run(const std::string& yaml, const char* until, std::map<std::string, std::string> env = {}) {
    const std::string dir = temp_dir();
    if (!yaml.empty()) env["PIKIT_SIM_SCENARIO"] = write_file(dir, "scenario.yaml", yaml);
    env["PIKIT_SIM_UNTIL"] = until;
    env["PIKIT_SIM_EVENTS"] = dir + "/events";
    Outcome run;
    run.r = run_program("keypad-display-demo", env);
    EXPECT_FALSE(run.r.timed_out);
    EXPECT_EQ(run.r.signal, 15) << run.r.err;  // ended by the run limit, never by itself
    run.events = read_file(dir + "/events");
    for (const Json& e : parse_json_lines(run.events)) {
        const std::string said = text(e, "text");
        if (text(e, "event") == "show" && text(e, "key") == "display") run.shown.push_back(text(e, "value"));
        if (text(e, "event") != "report") continue;
        if (text(e, "kind") == "breach") ++run.breaches;
        if (said.rfind("summary:", 0) == 0) run.summary = said;
        if (said.rfind("key read: key ", 0) == 0) run.read.push_back(std::stoi(said.substr(14)));
    }
    return run;
}

// Whether `want` appears in `all` in this order, perhaps with others between.
bool in_order(const std::vector<std::string>& all, const std::vector<std::string>& want) {
    auto it = all.begin();
    for (const auto& w : want)
        if ((it = std::find(it, all.end(), w)) == all.end()) return false;
    return true;
}

const std::string kWhole = "0 broken frame(s), 0 breach(es)";

TEST(KeypadDemo, DefaultScenarioShowsAndPrintsThreeKeysTheSameOnEveryRun) {
    const std::string dir = temp_dir();
    const Outcome a = run("", "5s", {{"PIKIT_SIM_VCD", dir + "/a.vcd"}});
    EXPECT_EQ(a.r.out, "Key value: 7 \nKey value: 17 \nKey value: 31 \n");
    EXPECT_TRUE(in_order(a.shown, {"  7.0", " 17.0", " 31.0"}));
    EXPECT_EQ(a.shown.back(), " 31.0");
    EXPECT_EQ(a.breaches, 0);
    EXPECT_NE(a.summary.find(kWhole), std::string::npos) << a.summary;

    const Outcome b = run("", "5s", {{"PIKIT_SIM_VCD", dir + "/b.vcd"}});
    EXPECT_EQ(b.r.out, a.r.out);
    EXPECT_EQ(b.events, a.events);
    EXPECT_EQ(read_file(dir + "/b.vcd"), read_file(dir + "/a.vcd"));
}

// 12 is pressed while a frame showing 7 is on the lines: its read waits for
// that frame, then replaces 7, and the printout (100 ms after the display)
// gives 12 while 7.0 stays on the display. 25 comes when the loop is idle.
// 4 follows 3 within 33 ms, during the first frame that shows 3: 3 is shown,
// 4 printed.
TEST(KeypadDemo, PressesDuringAnUpdateAndInQuickSuccession) {
    const Outcome r =
        run("devices:\n  - {type: bc7278, name: keypad}\nstimuli:\n"
            "  - {at: 1s, device: keypad, action: press, key: 7, hold: 80ms}\n"
            "  - {at: 1095.5ms, device: keypad, action: press, key: 12, hold: 80ms}\n"
            "  - {at: 1.45s, device: keypad, action: press, key: 25, hold: 80ms}\n"
            "  - {at: 2s, device: keypad, action: press, key: 3, hold: 20ms}\n"
            "  - {at: 2032.5ms, device: keypad, action: press, key: 4, hold: 40ms}\n",
            "3s");
    EXPECT_EQ(r.r.out, "Key value: 12 \nKey value: 25 \nKey value: 4 \n");
    EXPECT_EQ(r.read, (std::vector<int>{7, 12, 25, 3, 4}));
    EXPECT_TRUE(in_order(r.shown, {"  7.0", " 25.0", "  3.0"}));
    EXPECT_EQ(r.shown.back(), "  3.0");
    EXPECT_NE(r.summary.find(kWhole), std::string::npos) << r.summary;
}

// A hundred presses at random moments 100 to 250 ms apart, most of them while
// the display is being updated. Every one is read whole; a key read while the
// previous key waits for its printout replaces it, so the printed keys are
// some of the keys read, in order, ending with the last one.
TEST(KeypadDemo, HundredRandomPressesAreAllReadAndNoFrameIsBroken) {
    std::mt19937 rng(2024);
    std::string yaml = "devices:\n  - {type: bc7278, name: keypad}\nstimuli:\n";
    std::vector<int> pressed;
    long at_ms = 500;
    for (int i = 0; i < 100; ++i) {
        at_ms += 100 + static_cast<long>(rng() % 151);
        pressed.push_back(1 + static_cast<int>(rng() % 31));
        yaml += "  - {at: " + std::to_string(at_ms) +
                "ms, device: keypad, action: press, key: " + std::to_string(pressed.back()) + ", hold: 80ms}\n";
    }
    const Outcome r = run(yaml, std::to_string(at_ms + 1000).append("ms").c_str());
    EXPECT_EQ(r.read, pressed);
    EXPECT_EQ(r.breaches, 0);
    EXPECT_NE(r.summary.find("100 key read(s), 100 key press(es), " + kWhole), std::string::npos) << r.summary;

    std::vector<int> printed;
    std::string lines;
    for (std::size_t p = 0; (p = r.r.out.find("Key value: ", p)) != std::string::npos; p += 11) {
        printed.push_back(std::stoi(r.r.out.substr(p + 11)));
        lines += "Key value: " + std::to_string(printed.back()) + " \n";
    }
    EXPECT_EQ(r.r.out, lines);
    auto it = pressed.begin();
    for (int k : printed) EXPECT_NE(it = std::find(it, pressed.end(), k), pressed.end()) << "printed out of order: " << k;
    ASSERT_FALSE(printed.empty());
    EXPECT_EQ(printed.back(), pressed.back());
    std::cout << printed.size() << " of 100 presses printed\n";
}

TEST(KeypadDemo, FaultsOfTheController) {
    const std::string presses =
        "stimuli:\n"
        "  - {at: 0.5s, device: keypad, action: press, key: 7, hold: 50ms}\n"
        "  - {at: 1.0s, device: keypad, action: press, key: 17}\n"
        "  - {at: 1.5s, device: keypad, action: press, key: 9}\n";
    struct Case {
        const char* settings;
        const char* out;
        const char* last_shown;  // "" : nothing shown at all
    } cases[] = {
        {"absent: true", "", ""},
        {"data_out_stuck: low", "Key value: 31 \nKey value: 31 \nKey value: 31 \n", " 31.0"},
        {"data_out_stuck: high", "", "    "},
        {"interrupt_stuck_low: true", "", "    "},
        // Three reads per press; 7 is let go before its third, which finds no
        // key: 7 is shown but a key value of 0 is not printed.
        {"bounce: {falls: 3, within: 2ms, seed: 5}", "Key value: 17 \nKey value: 9 \n", "  9.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        const Outcome r = run(std::string("devices:\n  - {type: bc7278, name: keypad, ") + c.settings + "}\n" + presses, "2.2s");
        EXPECT_EQ(r.r.out, c.out);
        EXPECT_EQ(r.shown.empty() ? "" : r.shown.back(), std::string(c.last_shown));
        EXPECT_EQ(r.breaches, 0);
    }
}

}  // namespace
