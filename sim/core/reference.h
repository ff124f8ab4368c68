// What is generated from the models' declarations and kept in the tree,
// never written by hand: the device reference (docs/devices.md) and the JSON
// Schema of the scenario format (docs/scenario.schema.json), with which an
// editor's YAML language server completes and checks a scenario as it is
// typed. build/bin/pikit-reference writes both; a test fails when the files
// in the tree are not what it would write.
#pragma once

#include <string>

namespace pikit::sim {

// Markdown: the scenario's top-level keys and board settings, then every
// device type with its settings, actions and what it shows.
std::string device_reference();

// A JSON Schema (draft-07) of a scenario: the top level, board:, pulls:,
// devices: per type and stimuli: per action. An unknown key is flagged
// where the kit refuses it.
std::string scenario_schema();

}  // namespace pikit::sim
