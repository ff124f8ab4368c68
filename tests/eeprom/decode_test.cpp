// The EEPROM demos' 1-Wire traffic as sigrok's onewire_link and
// onewire_network decoders read it from the trace: every reset, ROM command,
// ROM id and byte, in both directions, exactly as the programs and the chip
// mean them, at the chip's typical timing and at both corners.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/decode.h"
#include "support/run_program.h"

namespace {

using namespace pikit::test;
using Bytes = std::vector<std::uint8_t>;

constexpr int kPin = 27;
constexpr std::uint8_t kFill = 0x5A;  // the chip's memory before the run
const Bytes kTag = {'<', 'V', 'e', 'x', 'o', 'r', 'a', '>'};

// The 1-Wire CRC-8 (x^8 + x^5 + x^4 + 1, reflected) and CRC-16
// (x^16 + x^15 + x^2 + 1, reflected), bit by bit as the bus sends them.
std::uint8_t crc8(const Bytes& bytes) {
    std::uint8_t crc = 0;
    for (std::uint8_t b : bytes)
        for (int i = 0; i < 8; ++i, b >>= 1) crc = static_cast<std::uint8_t>(((crc ^ b) & 1) ? (crc >> 1) ^ 0x8C : crc >> 1);
    return crc;
}
std::uint16_t crc16(const Bytes& bytes) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : bytes)
        for (int i = 0; i < 8; ++i, b >>= 1) crc = static_cast<std::uint16_t>(((crc ^ b) & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1);
    return crc;
}

Bytes chip_rom() {
    Bytes rom = {0x2D, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    rom.push_back(crc8(rom));
    return rom;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Read Memory from 0: command, address, then the 128 bytes the chip sends.
Bytes read_memory(const Bytes& memory) { return cat({0xF0, 0x00, 0x00}, memory); }

// What a demo means to do with a chip holding only kFill: dump, write the
// tag through the scratchpad, dump again. `select` wraps each transaction's
// bytes in the program's ROM command (Match ROM or Skip ROM).
std::vector<OneWireTransaction> expected(bool search) {
    const Bytes rom = chip_rom();
    auto select = [&](Bytes data) { return search ? ow_match(rom, std::move(data)) : ow_skip(std::move(data)); };
    const Bytes before(128, kFill);
    const Bytes after = cat(kTag, Bytes(120, kFill));
    const Bytes write = cat({0x0F, 0x00, 0x00}, kTag);
    const std::uint16_t answer = static_cast<std::uint16_t>(~crc16(write));
    std::vector<OneWireTransaction> t = {ow_reset_only()};  // the presence check at start-up
    if (search) t.push_back(ow_search(rom));
    t.push_back(select(read_memory(before)));
    t.push_back(select(cat(write, {static_cast<std::uint8_t>(answer), static_cast<std::uint8_t>(answer >> 8)})));
    t.push_back(select({0xAA, 0x00, 0x00, 0x07}));        // Read Scratchpad, cut after TA1 TA2 E/S
    t.push_back(select({0x55, 0x00, 0x00, 0x07, 0xAA}));  // Copy Scratchpad, then the chip's 0xAA
    t.push_back(select(read_memory(after)));
    return t;
}

OneWireDecode run_and_decode(const std::string& program, const char* timing) {
    const std::string dir = temp_dir();
    const std::string vcd = dir + "/run.vcd";
    const std::string scenario = write_file(dir, "chip.yaml",
                                            "pulls: {27: up}\n"
                                            "devices:\n"
                                            "  - {type: gx2431, name: eeprom, pin: 27, rom: \"2D 10 20 30 40 50 60\",\n"
                                            "     persist: false, fill: 0x5A, timing: " +
                                                std::string(timing) + "}\n");
    const RunResult r =
        run_program(program, {{"PIKIT_SIM_SCENARIO", scenario}, {"PIKIT_SIM_VCD", vcd}, {"PIKIT_SIM_STATE_DIR", dir}});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return decode_onewire(vcd, kPin);
}

TEST(EepromDecode, WireCarriesTheDumpsAndTheTagWrite) {
    PIKIT_NEED_SIGROK();
    for (const std::string program : {"eeprom-search-demo", "eeprom-skip-demo", "eeprom-onefile-demo"}) {
        SCOPED_TRACE(program);
        const OneWireDecode d = run_and_decode(program, "typical");
        EXPECT_EQ(d.problems, std::vector<std::string>{});
        EXPECT_TRUE(same_traffic(d.transactions, expected(program != "eeprom-skip-demo")));
    }
}

// The fast corner answers as early as a slave may; the slow one as late,
// including a presence pulse that starts exactly when the decoder samples.
TEST(EepromDecode, TimingCornersDecodeTheSame) {
    PIKIT_NEED_SIGROK();
    for (const char* corner : {"fast", "slow"}) {
        SCOPED_TRACE(corner);
        const OneWireDecode d = run_and_decode("eeprom-search-demo", corner);
        EXPECT_EQ(d.problems, std::vector<std::string>{});
        EXPECT_TRUE(same_traffic(d.transactions, expected(true)));
    }
}

}  // namespace
