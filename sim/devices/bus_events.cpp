#include "devices/bus_events.h"

#include "core/format.h"

namespace pikit::sim {

std::string to_string(const BusEvent& e) {
    switch (e.kind) {
    case BusEvent::Kind::Start: return "START";
    case BusEvent::Kind::RepeatedStart: return "repeated START";
    case BusEvent::Kind::Address: return "address " + hex(e.value) + (e.read ? " read" : " write");
    case BusEvent::Kind::Data: return "data " + hex(e.value) + (e.read ? " read" : " written");
    case BusEvent::Kind::Ack: return e.read ? "ACK by the master" : "ACK";
    case BusEvent::Kind::Nack: return e.read ? "NACK by the master" : "NACK";
    case BusEvent::Kind::Stop: return "STOP";
    case BusEvent::Kind::Reset: return "reset";
    case BusEvent::Kind::Presence: return "presence";
    }
    return "?";
}

}  // namespace pikit::sim
