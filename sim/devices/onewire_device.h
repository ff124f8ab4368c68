// A plain 1-Wire device that has a ROM id and nothing behind it: it answers
// reset pulses with a presence pulse and takes part in Search ROM (and, with
// its alarm flag set, in the conditional search), Read ROM and Match ROM, and
// ignores any function command. Good for crowding a bus: any family code,
// family 0x00, or an id whose CRC byte is wrong on purpose.
//
// Scenario: `rom` is required; the timing and fault keys are those every
// 1-Wire model has (docs/devices.md, docs/onewire-models.md).
#pragma once

#include "onewire_slave.h"

namespace pikit::sim {

class OneWireDevice final : public OneWireSlave {
public:
    OneWireDevice(std::string name, OneWireSettings settings);
};

}  // namespace pikit::sim
