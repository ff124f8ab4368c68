// Scenario files: what is wired to the simulated Pi, its settings, and timed
// stimuli. Format and examples: docs/simulator.md.
#pragma once

#include <string>

#include "board.h"
#include "config.h"

namespace pikit::sim {

// Board-wide settings of a scenario (pin_call_cost, sleep_overrun) applied to `base`.
Options scenario_options(const Config& root, Options base);

// Wires the scenario's pulls and devices to `board` and schedules its stimuli.
// Throws ScenarioError on anything it cannot use.
void load_scenario(Board& board, const Config& root);

// Convenience for tests: parse YAML text and load it.
void load_scenario_text(Board& board, const std::string& yaml, const std::string& name = "<test>");

}  // namespace pikit::sim
