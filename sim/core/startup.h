// What a program's start-up found, for the library front ends.
#pragma once

#include <atomic>

namespace pikit::sim {

// Set when the program was started on an empty board (no built-in scenario
// and none named by PIKIT_SIM_SCENARIO): its first pin call then says on
// standard error how to wire something, once.
extern std::atomic<bool> g_empty_board_hint;

inline bool take_empty_board_hint() {
    return g_empty_board_hint.load(std::memory_order_relaxed) && g_empty_board_hint.exchange(false);
}

}  // namespace pikit::sim
