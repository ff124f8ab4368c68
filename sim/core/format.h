// Hexadecimal for the texts of the log and of reports, one way everywhere:
// single values as "0x2D" (or "0x007F" with four digits), byte lists as
// "0x1B 0x00 0x00", and raw digit strings such as a ROM id "2D5A3C19...";
// and the bits of a serial frame as they came, "1000 0001 1".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pikit::sim {

// "0x2D"; with digits = 4, "0x007F". Upper-case digits; the value is cut to
// `digits` hexadecimal digits.
std::string hex(unsigned value, int digits = 2);

// "0xAC 0x33 0x00"
std::string hex(const std::vector<std::uint8_t>& bytes);

// The bytes' digits without prefix, with `separator` between bytes:
// hex_digits(p, 3) is "2D0102", hex_digits(p, 3, " ") is "2D 01 02".
std::string hex_digits(const std::uint8_t* bytes, std::size_t n, const char* separator = "");

// The low `n` bits of `word`, most significant first, in groups of four:
// binary_groups(0x0103, 9) is "1000 0001 1".
std::string binary_groups(std::uint32_t word, int n);

}  // namespace pikit::sim
