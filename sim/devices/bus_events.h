// What a bus engine makes of the lines, one step up from edges: conditions,
// bytes and acknowledges with their times, as a protocol decoder shows them.
// The I2C and 1-Wire slave engines publish them as they go; a part, a test
// or a tool that wants the bus's story listens instead of following edges
// again. Nobody listening costs one check per byte.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/time.h"

namespace pikit::sim {

struct BusEvent {
    enum class Kind : unsigned char {
        Start,          // I2C: SDA falls while SCL is high
        RepeatedStart,  // I2C: the same, within a transfer
        Address,        // I2C: the address byte (value: the 7-bit address; read: its R/W bit)
        Data,           // a byte (read: the part sent it; else the master wrote it)
        Ack,            // I2C: the byte was acknowledged (read: by the master; else by the part)
        Nack,           // I2C: it was not
        Stop,           // I2C: SDA rises while SCL is high, ending a transfer
        Reset,          // 1-Wire: the master's reset pulse ended
        Presence,       // 1-Wire: the part answers it with its presence pulse
    };
    Kind kind;
    Time at;  // I2C bytes: the falling clock edge after their last bit; 1-Wire: see publish points
    std::uint8_t value = 0;
    bool read = false;  // the byte went from the part to the master

    bool operator==(const BusEvent& o) const { return kind == o.kind && at == o.at && value == o.value && read == o.read; }
};

// "START", "address 0x38 read", "data 0x71 written", "ACK", "reset": as
// a decoder's annotation reads, for messages and test failures.
std::string to_string(const BusEvent& e);

// The listeners of one engine.
class BusEvents {
public:
    using Listener = std::function<void(const BusEvent&)>;
    void listen(Listener l) { listeners_.push_back(std::move(l)); }
    bool heard() const { return !listeners_.empty(); }
    void publish(BusEvent::Kind kind, Time at, std::uint8_t value = 0, bool read = false) const {
        if (listeners_.empty()) return;
        const BusEvent e{kind, at, value, read};
        for (const auto& l : listeners_) l(e);
    }

private:
    std::vector<Listener> listeners_;
};

}  // namespace pikit::sim
