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

// The longest duration anything in the kit accepts: 100000 hours, about 11
// years of virtual time. Sums of a few such values stay far from overflow.
constexpr Time kMaxDuration = 100000LL * 3600 * 1000000000;

// "500ms", "2.5s", "2min", "1.5h", "80us" (or "80µs"), "100ns", and a bare
// "0". A unit is required for anything but zero; the value is rounded to the
// nearest nanosecond. Negative, malformed or longer than kMaxDuration: nullopt.
std::optional<Time> parse_duration(std::string_view text);
// Whether text is a well-formed duration that only fails for being longer
// than kMaxDuration (to say so rather than "unparsable").
bool duration_too_long(std::string_view text);

// a + b for a point in time and a non-negative duration, held at kNever
// instead of overflowing.
constexpr Time add_time(Time a, Time b) { return b > 0 && a > kNever - b ? kNever : a + b; }

// Fixed-point seconds with nanosecond digits, e.g. "12.000480070s".
std::string format_time(Time t);

// Shortest readable form that parse_duration reads back: "480us", "2.5ms".
std::string format_duration(Time t);

}  // namespace pikit::sim
