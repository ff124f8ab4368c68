// What a person does in the live view: each input is a stimulus, checked as a
// scenario's stimulus is, applied at the current virtual instant, and kept
// for the saved scenario.
#pragma once

#include <yaml-cpp/yaml.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/board.h"

namespace pikit::sim::view {

// An input that cannot be used; what() names what was wrong.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The stimulus an input asks for: {"device": "keypad", "action": "press",
// "args": {"key": 7}} gives {device: keypad, action: press, key: 7}. Values
// become the scalars a scenario would hold (numbers as JSON writes them);
// lists and mappings are kept as such. Throws InputError.
YAML::Node stimulus_of(const nlohmann::ordered_json& input);

class Inputs {
public:
    // Checks the input against its device exactly as a scenario's stimulus
    // (throwing InputError, and applying nothing, when it cannot be used),
    // and applies it at the current instant. Returns that instant; nullopt
    // when the run is over (nothing applied).
    std::optional<Time> apply(Board& board, const nlohmann::ordered_json& input);
    // Every input applied so far as a stimulus (flow_line: `at` first), in order.
    std::vector<std::string> stimuli() const;
    std::size_t count() const;

private:
    // Held across an input's whole application, so that inputs are kept in
    // the order the board placed them.
    mutable std::mutex m_;
    std::vector<std::string> applied_;
};

}  // namespace pikit::sim::view
