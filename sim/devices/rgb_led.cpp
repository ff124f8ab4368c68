#include "devices/rgb_led.h"

#include <cmath>
#include <cstdio>

#include "core/board.h"
#include "core/config.h"

namespace pikit::sim {

RgbLed::RgbLed(std::string name, Settings settings) : Device("rgb-led", std::move(name)), settings_(std::move(settings)) {}

void RgbLed::attach(Board& board) {
    for (int c = 0; c < 3; ++c) {
        lines_[c] = board.line(settings_.lines[c]);
        for (int other = 0; other < c; ++other)
            if (lines_[other] == lines_[c])
                throw std::invalid_argument(label() + ": two colours on " + board.line_name(lines_[c]));
        // The LED and its resistors only load the lines.
        board.attach(*this, lines_[c], PinRole::Input);
        meters_[c].bind(board, lines_[c], [this] { update(); });
    }
    update();
}

void RgbLed::on_edge(int pin, Level level) {
    for (int c = 0; c < 3; ++c)
        if (pin == lines_[c]) meters_[c].edge(level);
}

void RgbLed::on_waveform(int pin) {
    for (int c = 0; c < 3; ++c)
        if (pin == lines_[c]) meters_[c].waveform_changed();
}

std::string RgbLed::hex() const {
    char s[8];
    auto byte = [](double b) { return static_cast<int>(std::lround(std::max(b, 0.0) * 255.0)); };
    std::snprintf(s, sizeof s, "#%02x%02x%02x", byte(brightness_[Red]), byte(brightness_[Green]), byte(brightness_[Blue]));
    return s;
}

void RgbLed::update() {
    std::array<double, 3> lit{};
    for (int c = 0; c < 3; ++c) {
        const double duty = meters_[c].duty();
        lit[c] = std::round((settings_.common_cathode ? duty : 1.0 - duty) * 1000.0) / 1000.0;
    }
    if (lit == brightness_) return;
    brightness_ = lit;
    board()->show(*this, "colour",
                  Shown::record({{"red", lit[Red]}, {"green", lit[Green]}, {"blue", lit[Blue]}, {"hex", hex()}}));
}

namespace {

std::unique_ptr<Device> make_rgb_led(const std::string& name, const Config& c) {
    RgbLed::Settings s;
    s.lines[RgbLed::Red] = c.line("red", s.lines[RgbLed::Red]);
    s.lines[RgbLed::Green] = c.line("green", s.lines[RgbLed::Green]);
    s.lines[RgbLed::Blue] = c.line("blue", s.lines[RgbLed::Blue]);
    s.common_cathode = c.choice("common", {"cathode", "anode"}) == 0;
    return std::make_unique<RgbLed>(name, s);
}

const DeviceRegistrar registrar{"rgb-led", make_rgb_led};

}  // namespace

}  // namespace pikit::sim
