// Wiring a scenario in two steps. The plan reads and checks the whole
// scenario against the models' declarations without touching a board:
// every entry is checked and every problem found is kept, not only the
// first, so a scenario can be checked without running a program (pikit
// check). Wiring then builds the devices of a plan without problems onto a
// board, adds the pulls and schedules the stimuli.
//
// The same reading serves an action a person gives from outside a scenario
// (the live view): it is checked exactly as a stimulus is, and refused with
// the same message, before anything is applied.
#pragma once

#include <any>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board.h"
#include "config.h"
#include "fields.h"
#include "model.h"

namespace pikit::sim {

struct Plan {
    struct Entry {
        const Model* model;
        std::string name;
        std::any settings;  // as the model read them
        Config where;       // the entry in the scenario
    };
    struct Stimulus {
        Time at;
        std::string device;
        const Action* action;
        std::any args;
    };
    std::string file;  // the scenario's
    std::vector<std::pair<int, Pull>> pulls;
    std::vector<Entry> devices;
    std::vector<Stimulus> stimuli;
    Problems problems;
    // Devices whose settings have problems: their stimuli are still
    // checked, against the type's defaults, so that every problem shows.
    std::vector<std::pair<std::string, const Model*>> unusable;
};

// Reads and checks a parsed scenario: its top level, board settings, pulls,
// devices and stimuli. A stimulus may also name a device already wired on
// `wired`.
Plan plan_scenario(const Config& root, const Board* wired = nullptr);

// Wires a plan that has no problems. Throws ScenarioError on what only
// wiring finds: two push-pull drivers on one line, a net nobody drives, a
// file a device cannot write.
void wire(Board& board, const Plan& plan);

// Every problem of a scenario's text, each one line "<file>: ...", in the
// order of the scenario; none when it can be wired. Nothing is built or
// written (the devices are not made, so a file a device would write is not
// tried).
std::vector<std::string> check_scenario(const std::string& text, const std::string& file);

// An action given from outside a scenario, written as a stimulus is but
// without its time: {device: keypad, action: press, key: 7}. Read and
// checked as a stimulus is; a problem throws ScenarioError with the same
// one-line message, and nothing is applied. Returns what applies it
// (device side: with the board lock held, at the current instant).
std::function<void()> prepare_action(Board& board, const Config& entry);
// Reads `text` (JSON or YAML, one object) as such an action and applies it
// at the current virtual instant (Board::stimulate), from any thread;
// `source` names the input in messages. Returns that instant, or nullopt
// when the run is over (nothing applied).
std::optional<Time> apply_action(Board& board, const std::string& text, const std::string& source = "action");

}  // namespace pikit::sim
