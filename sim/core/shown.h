// What a module shows a person, as typed values: an LED on or off, a
// display's digits, an RGB colour, a fan's speed, the note a buzzer plays.
//
// A device publishes each such value under a key of its own
// (Board::show(device, "display", Shown::text("  17.0"))); the board keeps
// the current value and, when history is kept, every change with its virtual
// time; the log and the event stream get a line whenever a value changes.
// Tests read the values back (Board::shown) instead of parsing log text.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "time.h"

namespace pikit::sim {

class Shown {
public:
    // One plain value: a switch, a count, a measure, or text.
    using Scalar = std::variant<bool, std::int64_t, double, std::string>;
    using Field = std::pair<std::string, Scalar>;

    Shown() = default;
    Shown(bool v) : value_(v) {}                                  // NOLINT: implicit on purpose
    Shown(int v) : value_(static_cast<std::int64_t>(v)) {}        // NOLINT
    Shown(long v) : value_(static_cast<std::int64_t>(v)) {}       // NOLINT
    Shown(long long v) : value_(static_cast<std::int64_t>(v)) {}  // NOLINT
    Shown(double v) : value_(v) {}                                // NOLINT
    Shown(std::string v) : value_(std::move(v)) {}                // NOLINT
    Shown(const char* v) : value_(std::string(v)) {}              // NOLINT

    // A few named values that change together, such as the three channels
    // of an RGB LED: {{"red", 1.0}, {"green", 0.0}, {"blue", 0.05}}.
    static Shown record(std::vector<Field> fields);

    // The same value with its whole numbers written in hex in the log, with
    // at least `digits` digits ("0x00ff"), as programs and datasheets write
    // codes and addresses. Only the log's text changes: the event stream
    // keeps them numbers, and the value compares as before.
    Shown in_hex(int digits) const;

    bool is_record() const { return record_; }
    const Scalar& value() const { return value_; }
    const std::vector<Field>& fields() const { return fields_; }
    // The named field of a record, or nullptr.
    const Scalar* field(const std::string& name) const;

    // Typed access for tests; throws std::bad_variant_access on the wrong type.
    bool as_bool() const { return std::get<bool>(value_); }
    std::int64_t as_int() const { return std::get<std::int64_t>(value_); }
    double as_double() const;  // also reads a whole number
    const std::string& as_text() const { return std::get<std::string>(value_); }
    double number(const std::string& field_name) const;  // a record's numeric field

    bool operator==(const Shown& o) const { return record_ == o.record_ && value_ == o.value_ && fields_ == o.fields_; }
    bool operator!=(const Shown& o) const { return !(*this == o); }

    // For the log: on/off for switches, text in double quotes, records as
    // "red=1 green=0 blue=0.05", whole numbers in hex after in_hex().
    std::string text() const;
    // For the event stream: a JSON value (records as JSON objects).
    std::string json() const;

private:
    bool record_ = false;
    Scalar value_ = false;
    std::vector<Field> fields_;
    int hex_digits_ = 0;  // 0: whole numbers in decimal in the log
};

// One change of a shown value, at virtual time `at`.
struct ShownChange {
    Time at;
    Shown value;
};

// JSON string literal of `s`, quotes included.
std::string json_string(const std::string& s);

}  // namespace pikit::sim
