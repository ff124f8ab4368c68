// A push-button module: a contact from the line to ground, with the module's
// own pull-up resistor (10 kOhm to 3.3 V), so the line reads HIGH while the
// button is up and LOW while it is held down. A press is a falling edge, a
// release a rising one.
//
// Contacts bounce: when they close, and again when they open, a real button
// gives a few extra edges over a few milliseconds before the line settles.
// `bounce_edges` is how many extra edges a press gives when it closes (an
// even number: with 2 the line goes LOW, HIGH, LOW, that is two falling
// edges), `release_bounce_edges` how many when it opens (with 2: HIGH, LOW,
// HIGH, one more falling edge); `bounce_time` is how long the bouncing lasts,
// and the edges fall at random moments within it, from `seed`, so a scenario
// gives the same edges on every run.
//
// Settings: `pin` (default 22), `pull_up` (true; false for a bare button
// that needs a pull-up elsewhere), `bounce_edges` (0), `release_bounce_edges`
// (as `bounce_edges`), `bounce_time` (2ms), `seed` (1).
//
// Stimulus `press`: `hold` (200ms, from the first edge of the press to the
// first of the release; longer than the bounce), and `bounce_edges` /
// `release_bounce_edges` for this press only.
//
// Shows:
//   pressed  true from the moment the button is pushed until it is let go
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/device.h"
#include "core/timers.h"

namespace pikit::sim {

class Button final : public Device {
public:
    struct Settings {
        int pin = 22;
        bool pull_up = true;
        int bounce_edges = 0;
        int release_bounce_edges = 0;
        Time bounce_time = 2_ms;
        std::uint32_t seed = 1;
    };
    struct Press {
        Time hold = 200_ms;
        int bounce_edges = 0;
        int release_bounce_edges = 0;
    };

    Button(std::string name, Settings settings);

    void attach(Board& board) override;
    std::function<void()> stimulus(const std::string& action, const Config& args) override;

    // Pushes the button now (device side: from a stimulus or a test's scheduled event).
    void press(const Press& p);

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    bool pressed() const { return pressed_; }
    int presses() const { return presses_; }

private:
    // `edges` extra edges over the bounce time, starting with `first`.
    void bounce(std::vector<LinePlayer::Segment>& out, int edges, Drive first);
    void set_pressed(bool down);

    Settings settings_;
    LinePlayer player_;
    Timer release_;
    std::mt19937 rng_;
    bool pressed_ = false;
    int presses_ = 0;
};

}  // namespace pikit::sim
