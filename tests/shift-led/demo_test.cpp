// Both shift-register demos as processes under their default scenarios: they
// print nothing, so what is checked is what a person sees, from the event
// stream: the LED patterns in order, and when each one appears.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/json.h"
#include "support/run_program.h"

namespace {

using pikit::test::as_int;
using pikit::test::Json;
using pikit::test::run_program;
using pikit::test::text;

struct Demo {
    const char* program;
    const char* device;  // the LEDs' name in the default scenario
    std::int64_t step_ns;
};

// One update at 100 ns per pin call: latch LOW, eight bits of data write,
// clock HIGH, 10 us, clock LOW, 10 us, latch HIGH.
constexpr std::int64_t kUpdateNs = 100 + 8 * (3 * 100 + 20000) + 100;
// The first pattern shows once the three pins are outputs and the first
// update is latched, a propagation delay of the register later.
constexpr std::int64_t kFirstNs = 3 * 100 + kUpdateNs + 33;

// One cycle: LEDs 0..7 lit one by one, then put out from 7 down to 0.
std::vector<std::int64_t> cycle() {
    std::vector<std::int64_t> c;
    for (int i = 0; i < 8; ++i) c.push_back((2 << i) - 1);
    for (int i = 7; i >= 0; --i) c.push_back((1 << i) - 1);
    return c;
}

void PrintTo(const Demo& d, std::ostream* os) { *os << d.program; }

class ShiftDemo : public ::testing::TestWithParam<Demo> {};

INSTANTIATE_TEST_SUITE_P(Programs, ShiftDemo,
                         ::testing::Values(Demo{"shift-led-demo", "leds", 1000000000}, Demo{"led-chaser-demo", "bar", 500000000}),
                         [](const auto& info) {
                             std::string n = info.param.program;
                             for (auto& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

TEST_P(ShiftDemo, ShowsTheSixteenPatternsCycleAfterCycleAtItsStep) {
    const Demo d = GetParam();
    const std::string events = pikit::test::temp_dir() + "/events.jsonl";
    const auto r = run_program(d.program, {{"PIKIT_SIM_EVENTS", events}, {"PIKIT_SIM_UNTIL", "33s"}});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 15) << "ended by the run limit\n" << r.err;
    EXPECT_EQ(r.out, "") << "the demo prints nothing";

    std::vector<std::int64_t> patterns, times;
    std::vector<std::string> texts;
    std::string problems;
    const auto lines = pikit::test::parse_json_lines(pikit::test::read_file(events));
    for (const Json& e : lines) {
        if (text(e, "event") == "report" && text(e, "kind") != "info") problems += text(e, "text") + "\n";
        if (text(e, "event") != "show" || text(e, "device") != d.device) continue;
        if (text(e, "key") == "lit") {
            patterns.push_back(as_int(e["value"]));
            times.push_back(as_int(e["t_ns"]));
        } else if (text(e, "key") == "leds") {
            texts.push_back(text(e, "value"));
        }
    }
    EXPECT_EQ(problems, "") << "no breach, contention or error";
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(text(lines.back(), "reason"), "run limit");

    // Dark at power-up, then one update per step until the run limit.
    const std::int64_t step = d.step_ns + kUpdateNs;
    const std::size_t updates = static_cast<std::size_t>((33000000000 - kFirstNs) / step + 1);
    ASSERT_GE(updates, 32u) << "two full cycles";
    std::vector<std::int64_t> want_patterns = {0}, want_times = {0};
    for (std::size_t k = 0; k < updates; ++k) {
        want_patterns.push_back(cycle()[k % 16]);
        want_times.push_back(kFirstNs + static_cast<std::int64_t>(k) * step);
    }
    EXPECT_EQ(patterns, want_patterns);
    EXPECT_EQ(times, want_times);
    ASSERT_EQ(texts.size(), patterns.size());
    EXPECT_EQ(texts[8], "########");
    EXPECT_EQ(texts[9], "#######.");
    EXPECT_EQ(texts[16], "........");
    EXPECT_EQ(texts[17], "#.......");
}

}  // namespace
