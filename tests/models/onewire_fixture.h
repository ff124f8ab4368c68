// Shared set-up of the 1-Wire model tests: a fresh simulated Pi with the bus
// pull-up on pin 27 and its own state directory.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fixture.h"
#include "onewire_master.h"
#include "core/board.h"
#include "core/scenario.h"
#include "devices/gx2431.h"
#include "devices/onewire_device.h"
#include "support/run_program.h"

namespace owtest {

using namespace pikit::sim;

inline Options bus_options(Time pin_call_cost = 100_ns, std::string state_dir = pikit::test::temp_dir()) {
    Options o;
    o.pin_call_cost = pin_call_cost;
    o.state_dir = state_dir;
    return o;
}

struct Bus {
    explicit Bus(Options o = bus_options()) : board(std::move(o)) { board.set_external_pull(27, Pull::Up); }
    Board board;
    Master m;
};

using modeltest::breaches;
using modeltest::texts;

inline Gx2431Settings gx_at(const std::string& corner, bool persist = false) {
    Gx2431Settings g = Gx2431Settings::at_corner(corner);
    g.persist = persist;
    return g;
}

inline OneWireSettings dev(const std::vector<std::uint8_t>& rom) {
    OneWireSettings s;
    s.rom = make_rom(rom);
    return s;
}

inline std::vector<std::uint8_t> row(const Gx2431& g, int n) {
    return {g.memory().begin() + n * 8, g.memory().begin() + n * 8 + 8};
}

}  // namespace owtest
