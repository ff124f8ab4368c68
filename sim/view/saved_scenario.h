// A run's scenario with what a person did in the live view, as a scenario
// that plays it again: their inputs become stimuli at the instants they
// happened, after the scenario's own.
#pragma once

#include <yaml-cpp/yaml.h>

#include <string>
#include <vector>

namespace pikit::sim::view {

// `text` (a scenario that loads) with `entries` (stimuli as flow_line()
// writes them) appended to its `stimuli:` list, each on a line of its own.
// The rest of the text is kept as it is, comments included, wherever the
// list can be extended in place; otherwise the list is written anew at the end.
std::string with_stimuli(const std::string& text, const std::vector<std::string>& entries);

// One stimulus as a line of a block list: "{at: 1500000001ns, device: keypad, ...}".
std::string flow_line(const YAML::Node& entry);

}  // namespace pikit::sim::view
