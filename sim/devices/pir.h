// A passive infrared (PIR) motion sensor module: a pyroelectric element
// behind a Fresnel lens, an amplifier and comparator, and a timer chip that
// holds a push-pull digital output (3.3 V logic) HIGH for a while after it
// sees movement, and LOW otherwise.
//
// The module's three adjustments are settings:
//   hold       how long the output stays HIGH after the last movement it
//              counted (the time potentiometer: a few seconds to minutes)
//   retrigger  the jumper: with it (the usual setting) movement while the
//              output is HIGH keeps it HIGH until `hold` after the movement
//              ends; without it the output falls `hold` after the first
//              movement whatever happens meanwhile
//   warm_up    after power-up the element and the amplifier need some time
//              to settle; the output stays LOW and movement is not seen
//              until then
// After the output falls the module is blind for `block` (its timer chip
// holds the comparator off so that its own switching does not trigger it
// again); movement that is still going on when that ends triggers it anew.
//
// Action: `motion` (something warm moves in view, now, for `lasting`).
// Settings, defaults and ranges: docs/devices.md.
//
// Shows:
//   detected  the output is HIGH
//   ready     warmed up: movement is seen
#pragma once

#include <string>

#include "core/device.h"
#include "core/timing.h"

namespace pikit::sim {

class Pir final : public Device {
public:
    struct Settings {
        int pin = 25;
        Time hold = 3_s;
        bool retrigger = true;
        Time warm_up = 30_s;
        Time block = 2500_ms;
    };

    Pir(std::string name, Settings settings);

    void attach(Board& board) override;
    // Something moves in view from now for `lasting` (0: one pass across
    // the lens; device side: from a stimulus or a scheduled event).
    void motion(Time lasting);

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    bool detected() const { return detected_; }
    bool ready() const { return ready_; }
    int triggers() const { return triggers_; }

private:
    // Movement is there now: raise or extend the output, if the module can see it.
    void seen();
    void output(bool high);
    void fall();

    Settings settings_;
    Timer warm_;     // the end of the warm-up
    Timer off_;      // the output's fall
    Timer unblock_;  // the end of the blind time after a fall
    bool ready_ = false;
    bool detected_ = false;
    bool blocked_ = false;
    Time moving_until_ = -1;  // movement in view until then
    int triggers_ = 0;
};

}  // namespace pikit::sim
