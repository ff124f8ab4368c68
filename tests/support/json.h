// Reading JSON in tests (the kit's event stream, sigrok's traces) with
// nlohmann-json, strictly: a line that is not JSON fails the test.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace pikit::test {

using Json = nlohmann::json;

// Parses one JSON text; throws std::runtime_error naming the offset on
// anything that is not JSON (trailing text included).
Json parse_json(const std::string& text);

// Parses JSON lines: one value per line, every line (but a last empty one).
std::vector<Json> parse_json_lines(const std::string& text);

// The member `key` of an object as text: a string's value, a number as
// written; "" when there is no such member.
std::string text(const Json& object, const char* key);

// A number written as a whole number ("4000000.0" or "4e6" where a count is
// due is what these readers are here to catch); throws otherwise.
std::int64_t as_int(const Json& v);
double as_double(const Json& v);

}  // namespace pikit::test
