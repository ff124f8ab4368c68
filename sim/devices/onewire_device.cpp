#include "onewire_device.h"

#include <memory>

namespace pikit::sim {

OneWireDevice::OneWireDevice(std::string name, OneWireSettings settings)
    : OneWireSlave("onewire-device", std::move(name), std::move(settings)) {}

OneWireSettings OneWireDevice::settings_from(const Config& c) {
    if (!c.has("rom")) c.fail_here("a onewire-device needs its ROM id (rom: 7 or 8 bytes)");
    return OneWireSettings::from_config(c);
}

namespace {
const DeviceRegistrar registrar{"onewire-device", [](const std::string& name, const Config& c) -> std::unique_ptr<Device> {
    return std::make_unique<OneWireDevice>(name, OneWireDevice::settings_from(c));
}};
}  // namespace

}  // namespace pikit::sim
