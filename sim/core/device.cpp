#include "device.h"

namespace pikit::sim {

Device::Device(std::string type, std::string name) : type_(std::move(type)), name_(std::move(name)) {}
Device::~Device() = default;

std::string Device::label() const { return type_ + " '" + name_ + "'"; }

void Device::on_edge(int, Level) {}
void Device::on_waveform(int) {}
void Device::finish() {}

}  // namespace pikit::sim
