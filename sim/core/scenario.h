// Scenario files: what is wired to the simulated Pi, its settings, and timed
// stimuli. Format and examples: docs/simulator.md.
#pragma once

#include <string>

#include "board.h"
#include "config.h"

namespace pikit::sim {

// Ranges of the board-wide durations: a pin call of wiringPi takes about
// 0.1 us and a sleep overruns by microseconds to milliseconds; anything near
// these limits is already far from a Pi.
constexpr Time kMaxPinCallCost = 1000000;     // 1 ms
constexpr Time kMaxSleepOverrun = 1000000000;  // 1 s

// Board-wide settings of a scenario (pin_call_cost, sleep_overrun) applied to `base`.
Options scenario_options(const Config& root, Options base);

// Wires the scenario's pulls and devices to `board` and schedules its stimuli.
// Throws ScenarioError on anything it cannot use.
void load_scenario(Board& board, const Config& root);

// Convenience for tests: parse YAML text and load it.
void load_scenario_text(Board& board, const std::string& yaml, const std::string& name = "<test>");

}  // namespace pikit::sim
