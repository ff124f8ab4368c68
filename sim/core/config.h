// Settings of one scenario entry (a device, a stimulus, the board), read from
// YAML with its location kept, so that every bad value is reported as
// "<file>: <key path>: <problem> '<value>'".
#pragma once

#include <yaml-cpp/yaml.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "outputs.h"
#include "time.h"

namespace pikit::sim {

// A scenario that cannot be used. what() is the complete one-line message.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A line a device is wired to: a header pin (wiringPi number), or a named net
// that another device drives ("register.Q3").
struct LineRef {
    int pin = -1;     // header pin, or -1 for a net
    std::string net;  // net name when pin is -1
};

// One mapping of a scenario (the top level, a device entry, a stimulus, a
// nested mapping) with where it is, for messages. Models do not read it
// themselves: they declare their settings (fields.h), which are read
// through it.
class Config {
public:
    Config(YAML::Node node, std::string file, std::string path);

    // Parse YAML text; a syntax error becomes a ScenarioError naming the file and line.
    // One document only; a key given twice in a mapping, or a quoted value
    // that is never closed, is an error too (yaml-cpp takes both silently).
    static Config parse(const std::string& text, const std::string& file);

    bool has(const char* key) const;
    const std::string& file() const { return file_; }
    const std::string& path() const { return path_; }
    const YAML::Node& node() const { return node_; }

    // wiringPi pin number on the 40-pin header (0-16, 21-31).
    int pin(const char* key) const;
    int pin(const char* key, int fallback) const;
    double number(const char* key) const;
    double number(const char* key, double fallback) const;
    Time duration(const char* key) const;
    Time duration(const char* key, Time fallback) const;
    bool flag(const char* key, bool fallback) const;
    std::string text(const char* key) const;
    std::string text(const char* key, const std::string& fallback) const;
    // One word of a short list: its index, `fallback` when the key is absent;
    // anything else fails with "expected a, b or c".
    std::size_t choice(const char* key, std::initializer_list<const char*> words, std::size_t fallback = 0) const;
    // Byte list: [0x2D, 1, 2] or "2D 01 02" (hex digits, blanks optional).
    std::vector<std::uint8_t> bytes(const char* key) const;
    Config child(const char* key) const;              // a nested mapping
    std::vector<Config> list(const char* key) const;  // a sequence of mappings
    std::vector<int> pins(const char* key) const;     // a sequence of pins
    // A header pin number or a net name "<device>.<output>".
    LineRef line(const char* key, LineRef fallback) const;
    // A sequence of them: [register.Q0, register.Q1, 23].
    std::vector<LineRef> lines(const char* key) const;
    // A file the run writes for people, named by this setting (a buzzer's
    // `wav`); empty when the value is empty. Refused, naming the key, when it
    // is a directory, the scenario file, an existing file that is not a
    // regular one (it is written beside its name and renamed onto it), or
    // the same file as the trace, the log, the event stream or another
    // setting's output file; it is then claimed, so that no later one may
    // name it. `what` names it in messages ("the buzzer's sound").
    std::string output_file(const char* key, const std::string& what) const;
    // The run's outputs so far, shared by every Config of one scenario: the
    // scenario loader enters the run's own files before the devices are wired.
    OutputFiles& outputs() const { return *outputs_; }
    // A part's lines are separate wires: fails on two keys that name one
    // line, blaming the later one the scenario wrote ("<key>: same line as
    // <other> '<value>'").
    void distinct_lines(std::initializer_list<std::pair<const char*, LineRef>> lines) const;

    // "<file>: <path>" (or "<file>: top level"), and "<file>: <path>.<key>":
    // where a message about this mapping, or one of its keys, begins.
    std::string where() const;
    std::string at(const std::string& key) const;
    // The keys of this mapping that are not in `known`, in the order written.
    std::vector<std::string> keys_other_than(const std::vector<std::string>& known) const;

    // Throws ScenarioError "<file>: <path>.<key>: <why> '<value as written>'".
    [[noreturn]] void fail(const char* key, const std::string& why) const;
    [[noreturn]] void fail_here(const std::string& why) const;

private:
    std::string key_path(const char* key) const;
    std::string scalar(const char* key) const;

    YAML::Node node_;
    std::string file_;
    std::string path_;
    std::shared_ptr<OutputFiles> outputs_;
};

// A YAML node on one line, as messages quote it.
std::string flat_text(const YAML::Node& n);

bool is_header_pin(int pin);

// Numbers as scenarios and run variables write them. Whole numbers are
// decimal (leading zeros are still decimal: 027 is 27) or hex with 0x; the
// value must fit 64 bits, so range checks see the number as written and never
// a wrapped one. nullopt for anything else.
std::optional<long long> parse_integer(std::string_view text);
// A wiringPi pin on the header (0-16, 21-31), as a whole number.
std::optional<int> parse_pin(std::string_view text);
// A finite decimal number: [-]digits[.digits][e[+|-]digits].
std::optional<double> parse_decimal(std::string_view text);

}  // namespace pikit::sim
