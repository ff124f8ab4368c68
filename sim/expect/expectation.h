// Expectations written in a scenario: what the program and the modules must
// do for a run of it to pass under `pikit test`. They sit beside the stimuli,
// with times written as the stimuli write theirs:
//
//   expect:
//     - stdout: "Key value: 7 "          # the program's standard output contains it...
//       by: 2s                           # ...by 2 s (without a time: at any time in the run)
//     - stdout: "error"
//       never: true                      # ...or never does
//     - device: keypad                   # a module shows a value...
//       shows: display
//       value: " 7.0"
//       within: [1s, 3s]                 # at some moment of the window (at, by, during, none)
//     - pin: 23                          # a header pin's level
//       level: low
//       at: end                          # at the run's end (or at a time)
//     - exit: 0                          # the program ends by itself with this status...
//       by: 10s                          # ...by then
//     - no_report: [breach, contention]  # nothing of these kinds is reported
//
// A plain run reads and checks them like every other key (a bad one is
// refused), and does nothing else with them.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/config.h"
#include "core/time.h"

namespace pikit::sim::expect {

enum class Kind : unsigned char { Stdout, Shows, Pin, Exit, NoReport };

// When an expectation is looked at. A span is [from, to] of virtual time;
// `to` is kNever for "until the run ends".
enum class When : unsigned char {
    Ever,    // at some moment of the span (the whole run unless `by` or `within` narrow it)
    At,      // at one instant, once everything due at it has happened (from == to)
    End,     // at the run's end
    During,  // at every moment of the span
};

// What a shown value is compared with: one value (a record's fields given as
// a mapping need only match the fields written), or a range of numbers.
struct ValueMatch {
    std::optional<std::string> scalar;                        // a value as written ("7.0", "true", "0xFF38")
    std::vector<std::pair<std::string, std::string>> fields;  // a record's fields as written
    std::optional<double> min, max;
    bool is_fields() const { return !fields.empty(); }
};

struct Expectation {
    Kind kind = Kind::Stdout;
    std::string name;  // as the scenario names it, or made from what it expects
    When when = When::Ever;
    Time from = 0;
    Time to = kNever;
    bool never = false;  // stdout and shows: must not happen in the span

    std::string text;  // stdout: the text looked for

    std::string device;  // shows: the device's name; no_report: only its reports (empty: any)
    std::string key;     // shows: what it shows
    ValueMatch value;

    int pin = -1;       // pin: wiringPi number
    bool high = false;  // pin: the level expected

    std::optional<int> status;  // exit: the status expected (nullopt: any, as long as it ends)

    std::vector<std::string> report_kinds;  // no_report: info, breach, contention, fault, error

    // The instant after which the expectation is decided whatever happens
    // later (kNever: only at the run's end).
    Time deadline() const;
};

// Reads the scenario's `expect:` list (none when absent). Throws
// ScenarioError naming the file, the key and the value of the first problem.
// Devices are checked against the scenario's own `devices:` entries.
std::vector<Expectation> read_expectations(const Config& root);
// The first problem of each entry of `expect:` (none when all can be used),
// for a check that reports everything at once.
std::vector<std::string> expectation_problems(const Config& root);

// Every key an entry of `expect:` may have, with its meaning, for the
// generated reference and schema.
const std::vector<std::pair<std::string, std::string>>& expectation_keys();

// "7.0", "true", "{red: 1, hex: #ff0000}", "between 0.9 and 1"
std::string describe(const ValueMatch& m);

}  // namespace pikit::sim::expect
