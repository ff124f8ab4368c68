#include "onewire_crc.h"

#include <stdexcept>

#include "core/format.h"

namespace pikit::sim {

std::uint8_t onewire_crc8(const std::uint8_t* data, std::size_t len) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < len; ++i) {
        std::uint8_t b = data[i];
        for (int k = 0; k < 8; ++k) {
            const bool mix = ((crc ^ b) & 1) != 0;
            crc >>= 1;
            if (mix) crc ^= 0x8C;
            b >>= 1;
        }
    }
    return crc;
}

std::uint16_t onewire_crc16(std::uint16_t crc, const std::uint8_t* data, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

RomId make_rom(const std::vector<std::uint8_t>& bytes) {
    RomId r{};
    if (bytes.size() == 7) {
        for (int i = 0; i < 7; ++i) r[i] = bytes[i];
        r[7] = onewire_crc8(r.data(), 7);
    } else if (bytes.size() == 8) {
        for (int i = 0; i < 8; ++i) r[i] = bytes[i];
    } else {
        throw std::invalid_argument("a ROM id has 7 bytes (CRC computed) or 8 bytes");
    }
    return r;
}

std::string rom_hex(const RomId& rom) { return hex_digits(rom.data(), rom.size()); }

}  // namespace pikit::sim
