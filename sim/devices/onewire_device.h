// A plain 1-Wire device that has a ROM id and nothing behind it: it answers
// reset pulses with a presence pulse and takes part in Search ROM (and, with
// its alarm flag set, in the conditional search), Read ROM and Match ROM, and
// ignores any function command. Good for crowding a bus: any family code,
// family 0x00, or an id whose CRC byte is wrong on purpose.
//
// Scenario (type onewire-device):
//   - type: onewire-device
//     name: thermo
//     pin: 27
//     rom: "28 11 22 33 44 55 66"      # required; 7 bytes: CRC appended, 8 bytes: as given
//     alarm: true                      # answers the conditional search 0xEC
//   plus the timing and fault keys every 1-Wire model has (see onewire_slave.h
//   and docs/onewire-models.md).
#pragma once

#include "onewire_slave.h"

namespace pikit::sim {

class OneWireDevice final : public OneWireSlave {
public:
    OneWireDevice(std::string name, OneWireSettings settings);
    static OneWireSettings settings_from(const Config& c);
};

}  // namespace pikit::sim
