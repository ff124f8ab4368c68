// A 1-Wire bus master for exercising the device models on their own: plain
// slots on one pin through the simulated wiringPi, with every phase's length
// settable so a test can also play a master that breaks the timing rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/onewire_slave.h"

namespace owtest {

using pikit::sim::RomId;

// Microseconds of delay per phase (pin calls add their own cost on top).
struct MasterTiming {
    unsigned reset_low = 500;
    unsigned presence_sample = 70;  // release -> sample
    unsigned reset_rest = 430;      // sample -> end of the reset
    unsigned w1_low = 6, w1_rest = 64;
    unsigned w0_low = 64, w0_rest = 6;
    unsigned r_low = 2, r_sample = 9, r_rest = 59;
};

class Master {
public:
    explicit Master(int pin = 27, MasterTiming t = {});
    MasterTiming t;

    bool reset();  // true: a presence pulse was seen
    void write_bit(bool b);
    bool read_bit();
    void write(std::uint8_t b);
    void write(const std::vector<std::uint8_t>& bytes);
    std::uint8_t read();
    std::vector<std::uint8_t> read(int n);
    void release();

    // Whole ROM-layer operations.
    void skip() { write(0xCC); }
    void match(const RomId& rom);
    RomId read_rom();
    // Every id that answers a search with `cmd` (0xF0 or 0xEC), in the order found.
    std::vector<RomId> search_all(std::uint8_t cmd = 0xF0, int limit = 64);

private:
    int pin_;
};

// GX2431 memory functions, each one transaction after reset + Skip ROM.
std::vector<std::uint8_t> write_scratchpad(Master& m, unsigned addr, const std::vector<std::uint8_t>& data, int crc_bytes = 2);
std::vector<std::uint8_t> read_scratchpad(Master& m, int n = 13);  // TA1 TA2 E/S data CRC
// Sends the authorisation, keeps the line driven high for `hold_ms`, reads one byte.
std::uint8_t copy_scratchpad(Master& m, std::uint8_t ta1, std::uint8_t ta2, std::uint8_t es, unsigned hold_ms = 15);
std::vector<std::uint8_t> read_memory(Master& m, unsigned addr, int n);

// 1-Wire CRC-16 (reflected 0xA001, start 0), written here to check the models.
std::uint16_t crc16(const std::vector<std::uint8_t>& bytes);
// Whether two received bytes are the complement of the CRC-16 of `bytes`, low byte first.
bool crc16_ok(const std::vector<std::uint8_t>& bytes, std::uint8_t lo, std::uint8_t hi);
std::string hex(const std::vector<std::uint8_t>& b);

}  // namespace owtest
