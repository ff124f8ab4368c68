#include "devices/rgb_led.h"

#include <cmath>
#include <cstdio>

#include "core/board.h"
#include "core/model.h"

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

using S = RgbLed::Settings;

Fields<S>::Ref<LineRef> colour(int c) {
    return [c](S& s) -> LineRef& { return s.lines[static_cast<std::size_t>(c)]; };
}

const DeviceRegistrar registrar{
    ModelOf<RgbLed, S>("rgb-led", "three-colour LED with a resistor per channel",
                       Fields<S>()
                           .line("red", colour(RgbLed::Red), "the red channel's line: a header pin or a net")
                           .line("green", colour(RgbLed::Green), "the green channel's line")
                           .line("blue", colour(RgbLed::Blue), "the blue channel's line")
                           .word("common", &S::common_cathode, {{"cathode", true}, {"anode", false}},
                                 "cathode: a channel is lit while its line is HIGH; anode: while it is LOW"))
        .shows("colour", ShownType::Record, "red, green and blue, each 0 to 1 in steps of 0.001, and hex (\"#ff8000\")")};

}  // namespace

}  // namespace pikit::sim
