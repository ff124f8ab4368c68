// The 1-Wire checksums and ROM ids, as every 1-Wire part computes them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pikit::sim {

// 64-bit ROM id in bus order: [0] family code, [1..6] serial, [7] CRC-8.
using RomId = std::array<std::uint8_t, 8>;

// The 1-Wire CRC-8 (polynomial x^8 + x^5 + x^4 + 1, reflected, start 0).
std::uint8_t onewire_crc8(const std::uint8_t* data, std::size_t len);
// The 1-Wire CRC-16 (x^16 + x^15 + x^2 + 1, reflected) continued from `crc`.
// Devices send its complement, low byte first.
std::uint16_t onewire_crc16(std::uint16_t crc, const std::uint8_t* data, std::size_t len);

// 7 bytes: the CRC-8 is computed and appended; 8 bytes: taken as given (a
// wrong CRC byte is allowed on purpose). Anything else throws std::invalid_argument.
RomId make_rom(const std::vector<std::uint8_t>& bytes);
std::string rom_hex(const RomId& rom);  // "2D5A3C1900000012"

}  // namespace pikit::sim
