// Shared set-up for the shift-register programs' in-process tests: a
// simulated Pi with a 74HC595 and a row of LEDs on its outputs, and what the
// register saw on its data line at each shift clock.
#pragma once

#include <string>
#include <vector>

#include "devices/hc595.h"
#include "models/fixture.h"

namespace shiftled_test {

using namespace pikit::sim;

// 100 ns per pin call, as on a Pi, with every library call kept.
inline Options pi_like() {
    Options o;
    o.record_calls = true;
    return o;
}

// A register on the given pins and eight LEDs, named `leds`, on its outputs.
inline std::string module(int data = 0, int clock = 2, int latch = 3) {
    return "devices:\n"
           "  - {type: hc595, name: register, data: " +
           std::to_string(data) + ", clock: " + std::to_string(clock) + ", latch: " + std::to_string(latch) +
           "}\n"
           "  - {type: led-row, name: leds, lines: [register.Q0, register.Q1, register.Q2, register.Q3, register.Q4,"
           " register.Q5, register.Q6, register.Q7]}\n";
}

// The data line's level at each rising edge of the clock from `from` on: the
// bits in the order the register took them.
inline std::vector<int> sampled_bits(const Board& board, int data, int clock, Time from = 0) {
    std::vector<int> bits;
    const auto& d = board.history(data);
    Level prev = Level::Low;
    for (const auto& c : board.history(clock)) {
        const bool rise = is_high(c.level) && !is_high(prev);
        prev = c.level;
        if (!rise || c.at < from) continue;
        Level at = Level::Low;
        for (const auto& x : d) {
            if (x.at > c.at) break;
            at = x.level;
        }
        bits.push_back(is_high(at) ? 1 : 0);
    }
    return bits;
}

}  // namespace shiftled_test
