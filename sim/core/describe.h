// The models' declarations as JSON, for a page or a tool to read: what each
// setting takes (kind, range, unit, default, meaning), each action with its
// arguments, each shown value with its type; and every wired device with the
// settings in force.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "board.h"
#include "model.h"
#include "setting.h"

namespace pikit::sim {

using Json = nlohmann::ordered_json;

// {"key", "kind", "meaning", "takes", "default", "required", "range", "min",
// "max" (numbers; durations as min_ns, max_ns), "unit", "words", "rule",
// "fields"}; keys that do not apply are left out.
Json describe_setting(const Setting& s);
// {"type", "summary", "settings": [...], "actions": [{"name", "meaning",
// "args": [...]}], "shows": [{"key", "type", "meaning"}]}
Json describe_model(const Model& m);
// A wired device: {"name", "type", "summary", "settings" (the values in
// force, by key), "declared" (its settings' declarations), "actions",
// "shows"}.
Json describe_device(const Device& d);
// Every device wired on the board, in the order they were wired.
Json describe_wired(const Board& board);

}  // namespace pikit::sim
