#include "device.h"

#include <map>

namespace pikit::sim {

Device::Device(std::string type, std::string name) : type_(std::move(type)), name_(std::move(name)) {}
Device::~Device() = default;

std::string Device::label() const { return type_ + " '" + name_ + "'"; }

void Device::on_edge(int, Level) {}
void Device::on_waveform(int) {}
void Device::finish() {}

std::function<void()> Device::stimulus(const std::string& action, const Config& args) {
    args.fail("action", "device type '" + type_ + "' takes no stimulus '" + action + "'");
}

namespace {
std::map<std::string, DeviceFactory>& registry() {
    static std::map<std::string, DeviceFactory> r;
    return r;
}
}  // namespace

DeviceRegistrar::DeviceRegistrar(const char* type, DeviceFactory factory) {
    registry()[type] = std::move(factory);
}

const DeviceFactory* find_device_type(const std::string& type) {
    auto it = registry().find(type);
    return it == registry().end() ? nullptr : &it->second;
}

std::string known_device_types() {
    std::string s;
    for (const auto& kv : registry()) s += (s.empty() ? "" : ", ") + kv.first;
    return s.empty() ? "none" : s;
}

}  // namespace pikit::sim
