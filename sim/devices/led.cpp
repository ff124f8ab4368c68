#include "devices/led.h"

#include <cmath>

#include "core/board.h"
#include "core/model.h"

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

using S = Led::Settings;

const DeviceRegistrar registrar{
    ModelOf<Led, S>("led", "one LED with its series resistor, on a header pin or a net",
                    Fields<S>()
                        .line("pin", &S::line, "the line the LED is on: a header pin or a net such as register.Q0")
                        .word("active", &S::active_high, {{"high", true}, {"low", false}},
                              "high: lit while the line is HIGH (LED to ground); low: lit while it is LOW (LED from 3.3V)")
                        .text("colour", &S::colour, "its colour, for people reading the log; not simulated"))
        .shows("on", ShownType::Flag, "the LED gives light a person can see")
        .shows("brightness", ShownType::Number, "0 to 1: the share of time it is lit, in steps of 0.001")};

}  // namespace

}  // namespace pikit::sim
