// A small strict JSON reader for tests: enough to read the simulated kit's
// event stream (one object per line) and check that every line is valid.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pikit::test {

struct Json {
    enum class Kind { Null, Bool, Number, String, Object, Array } kind = Kind::Null;
    bool boolean = false;
    std::string text;  // a string's value, or a number as written
    std::vector<std::pair<std::string, Json>> members;
    std::vector<Json> items;

    bool has(const std::string& key) const;
    // The member `key` of an object; a null value when there is none.
    const Json& operator[](const std::string& key) const;
    std::int64_t as_int() const;
    double as_double() const;
    bool is_null() const { return kind == Kind::Null; }
};

// Parses one JSON text; throws std::runtime_error naming the offset on
// anything that is not JSON (trailing text included).
Json parse_json(const std::string& text);

// Parses JSON lines: one value per line, every line (but a last empty one).
std::vector<Json> parse_json_lines(const std::string& text);

}  // namespace pikit::test
