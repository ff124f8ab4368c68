// The wired board as a page reads it: each device with the settings in
// force, its actions with their arguments' declarations, and what it shows.
#include <gtest/gtest.h>

#include "core/board.h"
#include "core/describe.h"
#include "core/scenario.h"

namespace {

using namespace pikit::sim;

TEST(Describe, EachWiredDeviceWithItsSettingsInForceActionsAndShownKeys) {
    Board board;
    load_scenario_text(board,
                       "devices:\n  - {type: button, name: b, bounce_edges: 2, bounce_time: 3ms}\n"
                       "  - {type: led, name: red, pin: 23}\n");
    const Json wired = describe_wired(board);
    ASSERT_EQ(wired.size(), 2u);
    const Json& b = wired[0];
    EXPECT_EQ(b["name"], "b");
    EXPECT_EQ(b["type"], "button");
    EXPECT_EQ(b["settings"]["bounce_time"], "3ms") << "as the scenario set it";
    EXPECT_EQ(b["settings"]["release_bounce_edges"], 2) << "following bounce_edges";
    EXPECT_EQ(b["settings"]["pin"], 22) << "the default, in force";

    std::vector<std::string> actions;
    for (const Json& a : b["actions"]) actions.push_back(a["name"]);
    EXPECT_EQ(actions, (std::vector<std::string>{"press", "down", "up"}));
    const Json& hold = b["actions"][0]["args"][0];
    EXPECT_EQ(hold["key"], "hold");
    EXPECT_EQ(hold["kind"], "duration");
    EXPECT_EQ(hold["default"], "200ms");
    EXPECT_EQ(hold["min_ns"], 1000000);
    EXPECT_EQ(hold["max_ns"], 600000000000LL);
    EXPECT_EQ(b["shows"][0], (Json{{"key", "pressed"}, {"type", "flag"}, {"meaning", "the button is held down"}}));

    EXPECT_EQ(wired[1]["settings"]["active"], "high");
    EXPECT_EQ(wired[1]["declared"][1]["words"], (Json::array({"high", "low"})));
}

}  // namespace
