// A row of LEDs, each with its series resistor, on header pins or on a
// device's nets: the eight LEDs on a shift register's outputs, or the
// segments of an LED bar graph. A person reads such a row as one pattern, so
// the row shows it as one value, which changes once per update of the
// register rather than once per LED.
//
// Each LED is read from its line as the generic LED reads its one (a
// LineMeter: a line switched by hand is read at once, a fast-toggled or PWM
// line by whole periods and seen as dimmed light). `active: high` is LEDs
// from the lines to ground (lit while a line is HIGH), `active: low` LEDs
// from 3.3 V to the lines.
//
// Settings:
//   lines   the LEDs' lines, LED 0 first: header pins or nets such as
//           register.Q0 (1 to 32 of them; required)
//   active  high (default) or low
// Shows:
//   lit     integer: bit n set while LED n gives any light
//   leds    text, one character per LED, LED 0 first: '#' lit, '+' dimmed
//           (lit part of the time), '.' dark; "#......#" is LEDs 0 and 7 lit
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/device.h"
#include "core/timers.h"

namespace pikit::sim {

class LedRow final : public Device {
public:
    struct Settings {
        std::vector<LineRef> lines;
        bool active_high = true;
    };

    LedRow(std::string name, Settings settings);

    void attach(Board& board) override;
    void on_edge(int pin, Level level) override;
    void on_waveform(int pin) override;

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    std::uint32_t lit() const { return lit_; }
    const std::string& leds() const { return text_; }
    double brightness(std::size_t led) const;  // 0..1

private:
    void update();

    Settings settings_;
    std::vector<int> lines_;
    std::vector<std::unique_ptr<LineMeter>> meters_;
    std::uint32_t lit_ = 0;
    std::string text_;
};

}  // namespace pikit::sim
