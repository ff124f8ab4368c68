// Reads back what the 1-Wire master did from the simulated kit's call record:
// resets, the bits it wrote and the bits it sampled in read slots, grouped per
// transaction (everything between two reset pulses). Decoding the master's own
// calls rather than the line keeps it independent of the devices' timing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/board.h"

namespace pikit::test {

struct WireBit {
    bool written;  // a write slot (else a read slot)
    int value;     // the bit written, or the level sampled
};

struct Transaction {
    bool reset = false;     // began with a reset pulse
    bool presence = false;  // ...answered by a presence pulse
    std::vector<WireBit> bits;
    sim::Time begin = 0;

    // Whole bytes in order, each either written or read (0x100 marks read
    // bytes: 0x1nn = nn was read). Bits that mix directions within a byte make
    // it throw, as a byte-wise transaction never does that.
    std::vector<int> bytes() const;
    std::vector<std::uint8_t> written() const;
    std::vector<std::uint8_t> read() const;
};

std::vector<Transaction> decode_transactions(const std::vector<sim::Call>& calls, int pin);

// "W:F0 20 00 R:FF FF" style text for failure messages.
std::string describe(const Transaction& t);

}  // namespace pikit::test
