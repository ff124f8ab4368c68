// Scenario files: what is wired to the simulated Pi, its settings, and timed
// stimuli. Format and examples: docs/simulator.md.
#pragma once

#include <string>

#include "board.h"
#include "config.h"
#include "setting.h"

namespace pikit::sim {

// Ranges of the board-wide durations: a pin call of wiringPi takes about
// 0.1 us and a sleep overruns by microseconds to milliseconds; anything near
// these limits is already far from a Pi.
constexpr Time kMaxPinCallCost = 1000000;      // 1 ms
constexpr Time kMaxSleepOverrun = 1000000000;  // 1 s

// Board-wide settings of a scenario (pin_call_cost, sleep_overrun) applied to
// `base`. Throws ScenarioError on the first problem of the top level or the
// board's settings.
Options scenario_options(const Config& root, Options base);
// The same, collecting every problem.
Options scenario_options(const Config& root, Options base, class Problems& p);

// The keys of a scenario's top level, and of its `board:` mapping, as declared.
std::vector<Setting> scenario_keys();
std::vector<Setting> board_settings();

// Wires the scenario's pulls and devices to `board` and schedules its stimuli
// (plan.h: checked whole first, then wired). Throws ScenarioError on the
// first thing it cannot use.
void load_scenario(Board& board, const Config& root);

// Convenience for tests: parse YAML text and load it.
void load_scenario_text(Board& board, const std::string& yaml, const std::string& name = "<test>");

}  // namespace pikit::sim
