#include "devices/led_row.h"

#include <algorithm>

#include "core/board.h"
#include "core/model.h"

namespace pikit::sim {

LedRow::LedRow(std::string name, Settings settings) : Device("led-row", std::move(name)), settings_(std::move(settings)) {}

void LedRow::attach(Board& board) {
    for (const auto& ref : settings_.lines) {
        const int line = board.line(ref);
        // The LEDs and their resistors only load the lines; they never drive
        // them. A line may feed more than one LED of the row.
        if (std::find(lines_.begin(), lines_.end(), line) == lines_.end()) board.attach(*this, line, PinRole::Input);
        lines_.push_back(line);
        meters_.push_back(std::make_unique<LineMeter>());
        meters_.back()->bind(board, line, [this] { update(); });
    }
    update();
}

void LedRow::on_edge(int pin, Level level) {
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i] == pin) meters_[i]->edge(level);
}

void LedRow::on_waveform(int pin) {
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i] == pin) meters_[i]->waveform_changed();
}

double LedRow::brightness(std::size_t led) const {
    const double duty = meters_.at(led)->duty();
    return settings_.active_high ? duty : 1.0 - duty;
}

void LedRow::update() {
    std::uint32_t lit = 0;
    std::string text;
    for (std::size_t i = 0; i < meters_.size(); ++i) {
        const double b = brightness(i);
        if (b > 0) lit |= 1u << i;
        text += b >= 1.0 ? '#' : b > 0 ? '+' : '.';
    }
    lit_ = lit;
    text_ = text;
    // The board passes on changes only.
    board()->show(*this, "lit", static_cast<long long>(lit));
    board()->show(*this, "leds", text);
}

namespace {

using S = LedRow::Settings;

const DeviceRegistrar registrar{
    ModelOf<LedRow, S>("led-row", "a row of LEDs on pins or nets (eight LEDs, an LED bar)",
                       Fields<S>()
                           .lines("lines", &S::lines, 32, "the LEDs' lines, the first LED first (at most 32)")
                           .required()
                           .word("active", &S::active_high, {{"high", true}, {"low", false}},
                                 "high: an LED is lit while its line is HIGH; low: while it is LOW"))
        .shows("lit", ShownType::Integer, "the lit LEDs as a number: bit n is the LED on the n-th line")
        .shows("leds", ShownType::Text, "the row as a person sees it: '#' lit, '+' dimmed, '.' dark (\"#......#\")")};

}  // namespace

}  // namespace pikit::sim
