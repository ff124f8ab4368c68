// A three-colour LED with one resistor per channel, each channel on a header
// pin or a net. What a person sees is the colour of the mixed light: each
// channel's brightness is the share of time its line lights it (a 100 Hz soft
// PWM is seen as steady, dimmed light), read from the line's edges.
//
// Wiring: `common: cathode` (the default) ties the three cathodes to ground,
// so a channel is lit while its line is HIGH; `common: anode` ties the anodes
// to 3.3 V, lit while LOW.
//
// Settings: `red` (default 23), `green` (24), `blue` (26): a header pin or a
// net; `common`: cathode | anode.
//
// Shows:
//   colour   a record: red, green, blue (0..1 each, rounded to 1/1000) and
//            hex, the colour as "#rrggbb" (each channel's brightness of 255)
// shown whenever any channel's reading changes.
#pragma once

#include <array>
#include <string>

#include "core/device.h"
#include "core/timers.h"

namespace pikit::sim {

class RgbLed final : public Device {
public:
    enum Channel { Red = 0, Green = 1, Blue = 2 };

    struct Settings {
        std::array<LineRef, 3> lines{LineRef{23, {}}, LineRef{24, {}}, LineRef{26, {}}};
        bool common_cathode = true;
    };

    RgbLed(std::string name, Settings settings);

    void attach(Board& board) override;
    void on_edge(int pin, Level level) override;
    void on_waveform(int pin) override;

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    double brightness(Channel c) const { return brightness_[c]; }
    // "#rrggbb" of the colour shown now.
    std::string hex() const;

private:
    void update();

    Settings settings_;
    std::array<int, 3> lines_{-1, -1, -1};
    std::array<LineMeter, 3> meters_;
    std::array<double, 3> brightness_{-1, -1, -1};  // nothing shown yet
};

}  // namespace pikit::sim
