#include "crc.h"

// -- single-source build: leave out begin --
// The 1-Wire CRC-8 of one byte, split by nibble: entries 0-15 are the CRC of
// the byte 0x0i, entries 16-31 that of 0xi0. The CRC is linear, so the CRC of
// a byte is the XOR of the CRCs of its two nibbles.
const uint8_t dscrc2x16_table[32] = {
    0x00, 0x5E, 0xBC, 0xE2, 0x61, 0x3F, 0xDD, 0x83, 0xC2, 0x9C, 0x7E, 0x20, 0xA3, 0xFD, 0x1F, 0x41,
    0x00, 0x9D, 0x23, 0xBE, 0x46, 0xDB, 0x65, 0xF8, 0x8C, 0x11, 0xAF, 0x32, 0xCA, 0x57, 0xE9, 0x74,
};
// -- single-source build: leave out end --

uint8_t crc8_r(const uint8_t* data, uint8_t len)
{
    uint8_t crc = 0;

    while (len--) {
        uint8_t inbyte = *data++;
        uint8_t i;
        for (i = 8; i; i--) {
            uint8_t mix = (crc ^ inbyte) & 0x01;
            crc >>= 1;
            if (mix)
                crc ^= 0x8C;
            inbyte >>= 1;
        }
    }
    return crc;
}

// -- single-source build: leave out begin --
uint8_t crc8_t(const uint8_t* data, uint8_t len)
{
    uint8_t crc = 0;

    while (len--) {
        crc = *data++ ^ crc;
        crc = dscrc2x16_table[crc & 0x0F] ^ dscrc2x16_table[16 + ((crc >> 4) & 0x0F)];
    }
    return crc;
}

uint8_t crc8_l(const uint8_t* data, uint8_t len)
{
    uint8_t crc = 0xFF;

    while (len--) {
        uint8_t i;
        crc ^= *data++;
        for (i = 8; i; i--) {
            if (crc & 0x80)
                crc = (uint8_t)((crc << 1) ^ 0x31);
            else
                crc = (uint8_t)(crc << 1);
        }
    }
    return crc;
}
// -- single-source build: leave out end --

uint32_t crc16(const uint8_t* data, uint32_t len)
{
    uint32_t crc = 0;
    uint32_t i;

    for (i = 0; i < len; i++) {
        uint8_t b;
        crc ^= data[i];
        for (b = 0; b < 8; b++) {
            if (crc & 1)
                crc = (crc >> 1) ^ 0xA001;
            else
                crc >>= 1;
        }
    }
    return crc;
}

// The chip sends the complement of the CRC-16 of everything in the exchange
// from the command byte on, low byte first.
bool check_crc16(const uint8_t* data, uint32_t len, const uint8_t* inverted_crc)
{
    uint32_t crc = 0xFFFF ^ crc16(data, len);

    return (crc & 0xFF) == inverted_crc[0] && (crc >> 8) == inverted_crc[1];
}
