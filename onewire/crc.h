// Checksums of the 1-Wire family.
//
// crc8_r:  the 1-Wire CRC-8 (x^8 + x^5 + x^4 + 1, reflected, start 0) that
//          ends every ROM id.
// crc16:   the CRC-16 (x^16 + x^15 + x^2 + 1, reflected, start 0) that the
//          memory chips send inverted after command and data transfers;
//          check_crc16 compares such a received pair.
#pragma once

#include <stdint.h>

uint8_t crc8_r(const uint8_t* data, uint8_t len);
// -- single-source build: leave out begin --
// The 1-Wire CRC-8 of the bytes 0x00-0x0F, then of 0x00-0xF0 in steps of 0x10.
extern const uint8_t dscrc2x16_table[32];
// The 1-Wire CRC-8 again, two nibble lookups per byte instead of eight shifts.
uint8_t crc8_t(const uint8_t* data, uint8_t len);
// The same polynomial, most significant bit first from 0xFF, as sensors use.
uint8_t crc8_l(const uint8_t* data, uint8_t len);
// -- single-source build: leave out end --
uint32_t crc16(const uint8_t* data, uint32_t len);
bool check_crc16(const uint8_t* data, uint32_t len, const uint8_t* inverted_crc);
