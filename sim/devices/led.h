// A single LED with its series resistor, on a header pin or on a device's
// net (a shift register's output). It is what a person sees: on or off, and
// how bright, when the line is driven by soft PWM or toggled fast by hand.
//
// Wiring: `active: high` is an LED from the line to ground (lit while the
// line is HIGH), `active: low` an LED from 3.3 V to the line (lit while LOW).
// The LED follows the line's level as the Pi would read it; the faint glow a
// weak pull resistor gives, and the current an LED itself pulls through a
// floating line, are below what the model tells apart.
//
// Shows:
//   on          true while the LED gives any light a person can see
//   brightness  0..1: the share of time it is lit, rounded to 1/1000 (a PWM
//               of 100 Hz or a fast toggle is seen as steady light, dimmed)
// Both are read from the line's edges by a LineMeter: a line switched by hand
// is shown at once, a toggling line at every full period.
#pragma once

#include <string>

#include "core/device.h"
#include "core/timers.h"

namespace pikit::sim {

class Led final : public Device {
public:
    struct Settings {
        LineRef line{23, {}};
        bool active_high = true;
        std::string colour = "red";  // for people reading the log; not simulated
    };

    Led(std::string name, Settings settings);

    void attach(Board& board) override;
    void on_edge(int pin, Level level) override;
    void on_waveform(int pin) override;

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    int line() const { return line_; }
    bool on() const { return brightness_ > 0; }
    double brightness() const { return brightness_; }

private:
    void update();

    Settings settings_;
    int line_ = -1;
    LineMeter meter_;
    double brightness_ = 0;
};

}  // namespace pikit::sim
