// The checksums against the published catalogue values, against each other,
// and in the way the driver uses them on what a chip sends back.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "crc.h"

namespace {

const std::uint8_t kCheck[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
const std::uint8_t kAbc[] = {'a', 'b', 'c'};

TEST(Crc, CatalogueCheckValues) {
    EXPECT_EQ(crc8_r(kCheck, 9), 0xA1);
    EXPECT_EQ(crc8_t(kCheck, 9), 0xA1);
    EXPECT_EQ(crc8_l(kCheck, 9), 0xF7);
    EXPECT_EQ(crc16(kCheck, 9), 0xBB3Du);

    EXPECT_EQ(crc8_r(kAbc, 3), 0x42);
    EXPECT_EQ(crc8_t(kAbc, 3), 0x42);
    EXPECT_EQ(crc8_l(kAbc, 3), 0xE2);
    EXPECT_EQ(crc16(kAbc, 3), 0x9738u);
}

TEST(Crc, EmptyInputGivesStartValues) {
    EXPECT_EQ(crc8_r(kCheck, 0), 0x00);
    EXPECT_EQ(crc8_t(kCheck, 0), 0x00);
    EXPECT_EQ(crc8_l(kCheck, 0), 0xFF);
    EXPECT_EQ(crc16(kCheck, 0), 0u);
    const std::uint8_t ones[2] = {0xFF, 0xFF};
    const std::uint8_t zeros[2] = {0x00, 0x00};
    EXPECT_TRUE(check_crc16(kCheck, 0, ones));
    EXPECT_FALSE(check_crc16(kCheck, 0, zeros));
}

TEST(Crc, NibbleTablesAreTheCrcOfEachNibble) {
    for (int i = 0; i < 16; ++i) {
        SCOPED_TRACE(i);
        const std::uint8_t lo = static_cast<std::uint8_t>(i);
        const std::uint8_t hi = static_cast<std::uint8_t>(i << 4);
        EXPECT_EQ(dscrc2x16_table[i], crc8_r(&lo, 1));
        EXPECT_EQ(dscrc2x16_table[16 + i], crc8_r(&hi, 1));
    }
    EXPECT_EQ(dscrc2x16_table[1], 0x5E);
    EXPECT_EQ(dscrc2x16_table[15], 0x41);
    EXPECT_EQ(dscrc2x16_table[17], 0x9D);
    EXPECT_EQ(dscrc2x16_table[31], 0x74);
}

TEST(Crc, TableFormAgreesWithBitwiseFormOnRandomData) {
    std::mt19937 rng(2431);
    std::uint8_t buf[255];
    for (int round = 0; round < 500; ++round) {
        const std::uint8_t len = static_cast<std::uint8_t>(rng() % 256);
        for (int i = 0; i < len; ++i) buf[i] = static_cast<std::uint8_t>(rng());
        ASSERT_EQ(crc8_t(buf, len), crc8_r(buf, len)) << "length " << int(len);
    }
    // Every single byte, so no table entry goes unused.
    for (int b = 0; b < 256; ++b) {
        const std::uint8_t v = static_cast<std::uint8_t>(b);
        ASSERT_EQ(crc8_t(&v, 1), crc8_r(&v, 1)) << b;
    }
}

TEST(Crc, RomIdWithItsCrcSumsToZeroAndCatchesAnySingleBitError) {
    std::uint8_t rom[8] = {0x2D, 0x1E, 0x5A, 0x01, 0x00, 0xC0, 0x7F, 0};
    rom[7] = crc8_r(rom, 7);
    EXPECT_EQ(crc8_r(rom, 8), 0);
    for (int bit = 0; bit < 64; ++bit) {
        rom[bit / 8] ^= 1u << (bit % 8);
        EXPECT_NE(crc8_r(rom, 8), 0) << "bit " << bit;
        rom[bit / 8] ^= 1u << (bit % 8);
    }
}

TEST(Crc, CheckCrc16TakesTheComplementLowByteFirst) {
    // A Write Scratchpad frame: command, TA1, TA2, eight data bytes.
    const std::uint8_t frame[11] = {0x0F, 0x00, 0x00, '<', 'V', 'e', 'x', 'o', 'r', 'a', '>'};
    const std::uint32_t c = crc16(frame, 11);
    ASSERT_LE(c, 0xFFFFu);
    const std::uint8_t good[2] = {static_cast<std::uint8_t>(~c & 0xFF), static_cast<std::uint8_t>((~c >> 8) & 0xFF)};
    const std::uint8_t swapped[2] = {good[1], good[0]};
    const std::uint8_t plain[2] = {static_cast<std::uint8_t>(c & 0xFF), static_cast<std::uint8_t>(c >> 8)};
    EXPECT_TRUE(check_crc16(frame, 11, good));
    EXPECT_NE(good[0], good[1]);
    EXPECT_FALSE(check_crc16(frame, 11, swapped));
    EXPECT_FALSE(check_crc16(frame, 11, plain));
    for (int bit = 0; bit < 16; ++bit) {
        std::uint8_t bad[2] = {good[0], good[1]};
        bad[bit / 8] ^= 1u << (bit % 8);
        EXPECT_FALSE(check_crc16(frame, 11, bad)) << "bit " << bit;
    }

    // Together the two bytes are the catalogue's CRC-16/MAXIM-DOW (check 0x44C2).
    const std::uint8_t maxim[2] = {0xC2, 0x44};
    EXPECT_TRUE(check_crc16(kCheck, 9, maxim));
}

TEST(Crc, Crc16HandlesLongBuffers) {
    // Lengths past 255 count in full (32-bit length), unlike the 8-bit CRCs.
    std::vector<std::uint8_t> buf(300, 0x5A);
    EXPECT_NE(crc16(buf.data(), 300), crc16(buf.data(), 300 - 256));
}

}  // namespace
