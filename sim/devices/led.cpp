#include "devices/led.h"

#include <cmath>

#include "core/board.h"
#include "core/config.h"

namespace pikit::sim {

Led::Led(std::string name, Settings settings) : Device("led", std::move(name)), settings_(std::move(settings)) {}

void Led::attach(Board& board) {
    line_ = board.line(settings_.line);
    // The LED and its resistor only load the line; they never drive it.
    board.attach(*this, line_, PinRole::Input);
    meter_.bind(board, line_, [this] { update(); });
    update();
}

void Led::on_edge(int pin, Level level) {
    if (pin == line_) meter_.edge(level);
}

void Led::on_waveform(int pin) {
    if (pin == line_) meter_.waveform_changed();
}

void Led::update() {
    double lit = settings_.active_high ? meter_.duty() : 1.0 - meter_.duty();
    lit = std::round(lit * 1000.0) / 1000.0;
    brightness_ = lit;
    // The board passes on changes only.
    board()->show(*this, "on", lit > 0);
    board()->show(*this, "brightness", lit);
}

namespace {

std::unique_ptr<Device> make_led(const std::string& name, const Config& c) {
    Led::Settings s;
    s.line = c.line("pin", s.line);
    s.active_high = c.choice("active", {"high", "low"}) == 0;
    s.colour = c.text("colour", s.colour);
    return std::make_unique<Led>(name, s);
}

const DeviceRegistrar registrar{"led", make_led};

}  // namespace

}  // namespace pikit::sim
