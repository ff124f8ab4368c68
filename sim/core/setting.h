// A value a scenario gives: a device's setting, the argument of an action, a
// board-wide setting. A model declares each one once, as data (key, kind,
// default, range, unit, one-line meaning); the kit reads, range-checks and
// refuses values from that declaration, with one wording for every model,
// and the device reference (docs/devices.md) and the scenario's JSON Schema
// are generated from it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "time.h"

namespace pikit::sim {

// What a value is, as a scenario writes it.
enum class Kind : unsigned char {
    Flag,      // true or false
    Integer,   // a whole number, decimal or 0x hex; some also take a word ("always")
    Number,    // a decimal number
    Duration,  // 500ms, 2.5s, 80us
    Pin,       // a wiringPi pin on the header
    Line,      // a header pin or a net of another device ("register.Q0")
    Lines,     // a list of them
    Pins,      // true (every pin), false, or a list of pins
    Text,      // free text
    Word,      // one word of a short list
    Bytes,     // "2D 01 02" or [0x2D, 1, 2]
    File,      // a file the run writes
    Date,      // a UTC date or seconds since 1970
    Group,     // a mapping of further settings
    List,      // a list of such mappings
    Pulls,     // pin: up | down | none
};

const char* to_string(Kind k);

struct Setting {
    Setting() = default;
    Setting(std::string key_, Kind kind_, std::string meaning_)
        : key(std::move(key_)), kind(kind_), meaning(std::move(meaning_)) {}

    std::string key;
    Kind kind = Kind::Text;
    std::string meaning;    // one line: what it is, for the reference
    std::string unit;       // of an Integer or Number ("Hz", "%RH")
    bool ranged = false;    // Integer, Number: lo..hi apply
    double lo = 0, hi = 0;  // Integer, Number; Bytes: how many (lo..hi)
    Time lo_time = 0;       // Duration
    Time hi_time = kMaxDuration;
    bool hex = false;                // Integer: written in hex in the reference
    std::vector<std::string> words;  // Word: the words; Integer: words taken besides numbers
    std::string default_text;        // as a scenario would write it; empty: none
    bool required = false;
    std::string rule;             // a condition beyond kind and range, in words
    std::vector<Setting> fields;  // Group: its settings; List: each item's

    // "0 to 100 %RH", "100us to 20ms", "7 or 8 bytes"; empty when unbounded.
    std::string range_text() const;
    // What it takes, in words: "a duration, 100us to 20ms".
    std::string takes() const;
};

// Reading one value of an entry, with the one wording of every refusal:
// "<file>: <path>.<key>: <why> '<value as written>'". Each checks kind and
// declared range; the key must be present.
bool read_flag(const Config& c, const Setting& s);
long long read_integer(const Config& c, const Setting& s);  // a word of s.words reads as -1 - its index
double read_number(const Config& c, const Setting& s);
Time read_duration(const Config& c, const Setting& s);
int read_pin(const Config& c, const Setting& s);
LineRef read_line(const Config& c, const Setting& s);
std::vector<LineRef> read_lines(const Config& c, const Setting& s);
std::uint32_t read_pins(const Config& c, const Setting& s);  // bit n: pin n
std::string read_text(const Config& c, const Setting& s);
std::size_t read_word(const Config& c, const Setting& s);  // index into s.words
std::vector<std::uint8_t> read_bytes(const Config& c, const Setting& s);

// A value as a scenario writes it (for the reference) and as JSON (for the
// description of a wired board).
struct Written {
    std::string text;
    std::string json;
};
Written written_flag(bool v);
Written written_integer(long long v, bool hex = false, double top = 0xFF);  // hex: digits as top needs
Written written_number(double v);
Written written_duration(Time v);
Written written_line(const LineRef& v);
Written written_lines(const std::vector<LineRef>& v);
Written written_text(const std::string& v);
Written written_bytes(const std::vector<std::uint8_t>& v);
Written written_none(const std::string& text = "none");

// A number as the reference and messages write it: 100, 0.5, -50, 1e-06.
std::string number_text(double v);

}  // namespace pikit::sim
