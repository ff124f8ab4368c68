// What a page is sent first, and again whenever it has fallen too far behind
// the run to be sent every change: the whole board at one point of the event
// stream, as JSON.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "core/board.h"
#include "view/feed.h"

namespace pikit::sim::view {

// A shown value as the event stream writes it (a record as an object).
nlohmann::json json_of(const Shown& value);

// The pacing as the page's controls name it: "pause", "realtime", "max" or a factor ("4").
std::string pace_name(const BoardSnapshot& board);

// The header pins in use: wiringPi, BCM and header numbers, direction, level.
nlohmann::json json_of_pins(const std::vector<PinState>& pins);

// The snapshot document (fields in docs/view.md). `settings` maps each
// device's name to its settings as the scenario gives them.
std::string snapshot_json(const BoardSnapshot& board, const Feed::Cut& cut, const nlohmann::json& settings, std::size_t inputs,
                          bool coalesced);

// What the scenario wires and does: "devices" (name -> {type, settings},
// settings as written, scalars as text), their names in the scenario's
// order ("order"), its "stimuli" and its "description".
nlohmann::json scenario_devices(const std::string& scenario_text);

}  // namespace pikit::sim::view
