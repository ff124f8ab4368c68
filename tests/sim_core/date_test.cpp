// The date a program reads with time(): the scenario's start date plus
// virtual time, or the wall clock at the start of the run; the kit's own
// clocks are not touched.
#include <gtest/gtest.h>
#include <time.h>
#include <wiringPi.h>

#include <chrono>

#include "core/board.h"
#include "core/scenario.h"
#include "support/run_program.h"

namespace {

using namespace pikit::sim;

// A board set up as a program's is, from a scenario's board settings.
Options from(const std::string& yaml, const std::string& file = "d.yaml") {
    return scenario_options(Config::parse(yaml, file), Options{});
}

TEST(Date, FollowsVirtualTimeFromTheScenariosStartDate) {
    Board board(from("board: {start_date: 2025-03-01T23:59:58Z}\n"));
    const time_t start = 1740873598;  // 2025-03-01 23:59:58 UTC
    EXPECT_EQ(time(nullptr), start);
    const auto wall = std::chrono::steady_clock::now();
    delay(1999);
    time_t out = 0;
    EXPECT_EQ(time(&out), start + 1);
    EXPECT_EQ(out, start + 1);
    delay(1);
    EXPECT_EQ(time(nullptr), start + 2);
    delay(3600 * 1000);
    EXPECT_EQ(time(nullptr), start + 2 + 3600);
    EXPECT_LT(std::chrono::steady_clock::now() - wall, std::chrono::seconds(5)) << "the kit's own clock is real";
}

TEST(Date, WithoutAStartDateItIsTheWallClockAtTheStart) {
    const time_t before = ::time(nullptr);
    Board board;
    delay(10000);
    const time_t seen = time(nullptr);
    EXPECT_GE(seen, before + 10);
    EXPECT_LE(seen, before + 12);
}

TEST(Date, StartDatesAreReadAsUtcAndCheckedWithTheScenario) {
    auto date = [](const std::string& text) -> std::string {
        try {
            Board board(from("board: {start_date: \"" + text + "\"}\n"));
            return std::to_string(time(nullptr));
        } catch (const ScenarioError& e) {
            return e.what();
        }
    };
    EXPECT_EQ(date("1970-01-01"), "0");
    EXPECT_EQ(date("2024-02-29 12:00:00"), "1709208000");
    EXPECT_EQ(date("2000-03-01T00:00:00"), "951868800");
    EXPECT_EQ(date("1700000000"), "1700000000");
    // The last second of 2200 is taken (time() itself is 32 bits on armhf).
    EXPECT_EQ(date("7289654399").find("start_date"), std::string::npos);
    const std::string bad =
        "d.yaml: board.start_date: expected a UTC date from 1970 to 2200 such as 2025-03-01 or "
        "2025-03-01T12:30:00Z, or seconds since 1970 '";
    EXPECT_EQ(date("2023-02-29"), bad + "2023-02-29'");
    EXPECT_EQ(date("2025-13-01"), bad + "2025-13-01'");
    EXPECT_EQ(date("2025-03-01T25:00:00"), bad + "2025-03-01T25:00:00'");
    EXPECT_EQ(date("2025-03-01T12:00"), bad + "2025-03-01T12:00'");
    EXPECT_EQ(date("yesterday"), bad + "yesterday'");
    EXPECT_EQ(date("7289654400"), bad + "7289654400'");
    EXPECT_EQ(date("9999999999"), bad + "9999999999'") << "would overflow in nanoseconds";
}

}  // namespace
