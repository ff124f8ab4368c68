// The Pi's SPI0 controller as the kernel's driver runs it for wiringPi's SPI
// helpers: MOSI on BCM 10 (wiringPi 12), MISO on BCM 9 (13), SCLK on BCM 11
// (14) and two chip enables, CE0 on BCM 8 (10) and CE1 on BCM 7 (11), active
// LOW. A transfer selects one chip, clocks the bytes out most significant bit
// first while it reads as many in, and deselects it. The clock phase and
// polarity are the SPI mode's (0-3); the bits are clocked bit by bit on the
// simulated lines, so an SPI part in the scenario sees what it would on a Pi.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/board.h"

namespace pikit::sim::api::spi {

// The controller takes its five pins (chip enables HIGH, clock idle).
void begin(Board& b, int mode);
// Full duplex: each byte of `data` goes out and is replaced by the one read.
void transfer(Board& b, int channel, int mode, int speed_hz, std::uint8_t* data, std::size_t len);

}  // namespace pikit::sim::api::spi
