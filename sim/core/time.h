// Virtual time of the simulated Pi: signed 64-bit nanoseconds since power-up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pikit::sim {

using Time = std::int64_t;

constexpr Time kNever = INT64_MAX;

constexpr Time operator""_ns(unsigned long long v) { return static_cast<Time>(v); }
constexpr Time operator""_us(unsigned long long v) { return static_cast<Time>(v) * 1000; }
constexpr Time operator""_ms(unsigned long long v) { return static_cast<Time>(v) * 1000000; }
constexpr Time operator""_s(unsigned long long v) { return static_cast<Time>(v) * 1000000000; }

// "500ms", "2.5s", "2min", "80us" (or "80µs"), "100ns". A unit is required;
// negative or malformed text gives nullopt.
std::optional<Time> parse_duration(std::string_view text);

// Fixed-point seconds with nanosecond digits, e.g. "12.000480070s".
std::string format_time(Time t);

// Shortest readable form that parse_duration reads back: "480us", "2.5ms".
std::string format_duration(Time t);

}  // namespace pikit::sim
