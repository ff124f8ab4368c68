// A small SPI part to try SPI programs against: a file of 8-bit registers
// behind a one-byte command, as many sensors and converters on SPI have it.
// It sits on SPI0's lines by default (MOSI wiringPi 12, MISO 13, SCLK 14)
// with its select on CE0 (wiringPi 10) or CE1 (11), and answers the Pi's SPI
// controller and a master made of pin calls alike.
//
// A transfer begins when the select goes LOW and ends when it goes HIGH. Its
// first byte is the command: bit 7 set reads, clear writes; bits 6-0 are the
// first register. A write stores the following bytes in that register and
// the next ones; a read sends the registers from there on, one per byte,
// while the master sends anything. During the command byte the part sends
// 0x00. Addresses wrap around the file. MISO is driven only while the part
// is selected, and left alone otherwise.
//
// Bits go most significant first, in the clock phase and polarity of the
// part's SPI `mode` (0-3): the leading clock edge is the one away from the
// idle level (LOW for modes 0 and 1); modes 0 and 2 sample on it and change
// on the trailing edge, with the first bit out as soon as the part is
// selected; modes 1 and 3 change on the leading edge and sample on the
// trailing one.
//
// Strictness, one report per transfer: a clock faster than `max_clock`, a
// clock not at the mode's idle level when the part is selected, and a
// transfer that ends in the middle of a byte (that byte is lost).
//
// Settings (the lines, the select, the mode, the fastest clock, the file at
// power-up), the action `set` and what it shows: docs/devices.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/device.h"

namespace pikit::sim {

class SpiRegisters final : public Device {
public:
    struct Settings {
        int mosi = 12;
        int miso = 13;
        int sclk = 14;
        int cs = 10;
        int mode = 0;
        double max_clock = 10e6;
        std::vector<std::uint8_t> registers = std::vector<std::uint8_t>(16, 0);
    };

    SpiRegisters(std::string name, Settings settings);

    void attach(Board& board) override;
    void on_edge(int pin, Level level) override;
    // Register `reg` takes `value` now (the scenario's `set`).
    void set(std::size_t reg, std::uint8_t value);

    // ---- inspection (tests) ----
    const std::vector<std::uint8_t>& registers() const { return regs_; }
    int transfers() const { return transfers_; }

private:
    void select();
    void deselect();
    void clock_edge(Level level);
    void sample();
    void shift_out();
    void byte_done(std::uint8_t b);
    std::uint8_t next_out() const;
    void breach_once(const std::string& text);
    void show_registers();

    Settings settings_;
    std::vector<std::uint8_t> regs_;
    bool selected_ = false;
    bool idle_high_ = false;
    bool sample_on_leading_ = true;
    int in_bits_ = 0;
    std::uint8_t in_byte_ = 0;
    int out_bits_ = 8;  // of out_byte_ already on MISO; 8: the next byte's first is due
    std::uint8_t out_byte_ = 0;
    int index_ = 0;  // bytes complete in this transfer
    bool reading_ = false;
    std::uint8_t first_ = 0;
    bool wrote_ = false;
    bool told_ = false;  // a breach reported in this transfer
    Time last_clock_ = -1;
    int transfers_ = 0;
};

}  // namespace pikit::sim
