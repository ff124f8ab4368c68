#include "onewire_device.h"

#include <memory>

namespace pikit::sim {

OneWireDevice::OneWireDevice(std::string name, OneWireSettings settings)
    : OneWireSlave("onewire-device", std::move(name), std::move(settings)) {}

namespace {

ModelOf<OneWireDevice, OneWireSettings> model() {
    ModelOf<OneWireDevice, OneWireSettings> m(
        "onewire-device", "any 1-Wire device with a ROM id and nothing behind it, for crowding a bus",
        Fields<OneWireSettings>().include(onewire_fields()).rule([](const OneWireSettings&, const Config& c) {
            if (!c.has("rom")) c.fail_here("a onewire-device needs its ROM id (rom: 7 or 8 bytes)");
        }));
    return add_onewire_actions(m);
}

const DeviceRegistrar registrar{model()};

}  // namespace

}  // namespace pikit::sim
