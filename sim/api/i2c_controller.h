// The Pi's I2C controller (the Broadcom Serial Controller on BCM 2 and 3), as
// both libraries reach it: bcm2835 drives its registers directly, wiringPi's
// I2C helpers go through the kernel's driver for it. Either way one controller
// clocks the bus, so both sets of calls share it and its clock rate. It takes
// BCM 2 (SDA, wiringPi 8) and BCM 3 (SCL, wiringPi 9) as open-drain outputs
// and clocks each transfer itself; here it does so bit by bit on the simulated
// lines, so the I2C device models answer it exactly as they answer a master
// made of pin calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/board.h"

namespace pikit::sim::api::i2c {

enum class Result { Ok, Nack, ClockTimeout };

// The controller takes its pins (from the GPIO function they had).
void begin(Board& b);
// The pins go back to GPIO inputs.
void end(Board& b);
// The bus clock in Hz (100 kHz until set).
void set_baudrate(Board& b, std::uint32_t hz);
std::uint32_t baudrate(Board& b);

// One transfer to the 7-bit `address`: START, the address with W and the
// `out_len` bytes of `out` (a write phase: when `out` is given, or `in` is
// not), then, when `in` is given, a repeated START (or the only START), the
// address with R and `in_len` bytes read, the last one not acknowledged;
// STOP. `in_done` counts the bytes that arrived.
Result transfer(Board& b, std::uint8_t address, const std::uint8_t* out, std::size_t out_len, std::uint8_t* in,
                std::size_t in_len, std::size_t* in_done = nullptr);

}  // namespace pikit::sim::api::i2c
