// A fan module: a small DC motor with a propeller behind an H-bridge with two
// drive inputs. Input 1 driven (input 2 LOW) turns it forward, input 2 driven
// (input 1 LOW) turns it in reverse, with a power share equal to the input's
// duty cycle (a soft PWM generator's setting, or measured from the edges of
// a line switched by hand; a line held HIGH is full power); both
// inputs LOW lets it coast; both HIGH shorts the motor, a brake.
//
// The motor does not follow its drive at once: its speed moves towards the
// drive level with a first-order lag (time constant `time_constant` for
// spin-up and for coasting down, the shorter `brake_time_constant` when
// braked). Its no-load speed is taken as proportional to the drive level.
// Both inputs driven at part duty (never both HIGH steadily) is taken as the
// difference of the two; the model says so once.
//
// Settings: `in1` (default 23), `in2` (24): header pins or nets;
// `time_constant` (500ms), `brake_time_constant` (100ms).
//
// Shows:
//   direction  "forward", "reverse", "brake" or "off": what the inputs ask for
//   drive      0..1: the power share the inputs give, rounded to 1/100
//   speed      -1..1: the fan's speed as a share of its full speed, negative
//              in reverse, rounded to 1/100; updated every 10 ms while it
//              changes
#pragma once

#include <string>

#include "core/device.h"
#include "core/timers.h"

namespace pikit::sim {

class Fan final : public Device {
public:
    enum class Direction { Off, Forward, Reverse, Brake };

    struct Settings {
        LineRef in1{23, {}};
        LineRef in2{24, {}};
        Time time_constant = 500_ms;
        Time brake_time_constant = 100_ms;
    };

    Fan(std::string name, Settings settings);

    void attach(Board& board) override;
    void on_edge(int pin, Level level) override;
    void on_waveform(int pin) override;
    void finish() override;

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    Direction direction() const { return direction_; }
    double drive() const { return drive_; }  // 0..1
    // Signed share of full speed at the current virtual time (exact, not rounded).
    double speed() const;
    static const char* to_string(Direction d);

private:
    double duty(int line, const LineMeter& meter) const;
    void inputs_changed();
    void advance();  // brings the speed up to now
    void tick();
    void show_speed();
    double target() const;
    Time lag() const;

    Settings settings_;
    int in1_ = -1, in2_ = -1;
    LineMeter meter1_, meter2_;
    Timer ticker_;
    Direction direction_ = Direction::Off;
    double drive_ = 0;
    double speed_ = 0;  // at speed_at_
    Time speed_at_ = 0;
    bool told_mixed_ = false;
};

}  // namespace pikit::sim
