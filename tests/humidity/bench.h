// Shared set-up for the humidity probe's in-process tests: a fresh simulated
// Pi with exact timing, and helpers to look at what happened on the lines.
#pragma once

#include <gtest/gtest.h>
#include <wiringPi.h>

#include <memory>
#include <string>
#include <vector>

#include "core/board.h"
#include "devices/aht20.h"

namespace humidity_test {

using namespace pikit::sim;

constexpr int kSda = 8;
constexpr int kScl = 9;

inline Options exact_options(Time pin_call_cost = 0) {
    Options o;
    o.pin_call_cost = pin_call_cost;
    o.record_calls = true;
    return o;
}

// A sensor that answers at once from power-up, for tests that start talking
// at time zero.
inline Aht20::Settings ready_sensor() {
    Aht20::Settings s;
    s.startup_time = 0;
    return s;
}

// Level of a line at time t from its recorded changes (the I2C lines idle high).
inline Level level_at(const std::vector<LineChange>& h, Time t) {
    Level l = Level::High;
    for (const auto& c : h) {
        if (c.at > t) break;
        l = c.level;
    }
    return l;
}

inline std::vector<Time> edges(const std::vector<LineChange>& h, Level to, Time from = 0) {
    std::vector<Time> out;
    Level prev = Level::High;
    for (const auto& c : h) {
        if (c.level != prev && c.level == to && c.at >= from) out.push_back(c.at);
        prev = c.level;
    }
    return out;
}

// The recorded library calls from index `from` on, written compactly:
// M<pin>=<mode> W<pin>=<level> R<pin> U<us> D<ms>.
inline std::string call_trace(const Board& board, std::size_t from = 0) {
    std::string s;
    const auto& calls = board.calls();
    for (std::size_t i = from; i < calls.size(); ++i) {
        const Call& c = calls[i];
        std::string one;
        switch (c.kind) {
        case CallKind::PinMode: one = "M" + std::to_string(c.pin) + "=" + std::to_string(c.value); break;
        case CallKind::Write: one = "W" + std::to_string(c.pin) + "=" + std::to_string(c.value); break;
        case CallKind::Read: one = "R" + std::to_string(c.pin); break;
        case CallKind::DelayUs: one = "U" + std::to_string(c.value); break;
        case CallKind::DelayMs: one = "D" + std::to_string(c.value); break;
        default: one = "?"; break;
        }
        if (!s.empty()) s += ' ';
        s += one;
    }
    return s;
}

inline std::size_t count_lines(const std::string& out, const std::string& line) {
    std::size_t n = 0;
    for (std::size_t pos = 0; (pos = out.find(line, pos)) != std::string::npos; pos += line.size()) ++n;
    return n;
}

}  // namespace humidity_test
