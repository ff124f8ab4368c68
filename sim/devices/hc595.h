// 74HC595 serial-in, parallel-out shift register with output latches, as on
// the kit's LED modules: serial data (SER), shift clock (SRCLK) and storage
// clock (RCLK, "latch") on three lines; output enable tied low and master
// reset tied high on the module, so the outputs are always driven and the
// register is never cleared.
//
// What the part does:
//  - On each rising SRCLK edge every stage moves up one (stage 7's bit falls
//    off the end) and stage 0 takes the level on SER.
//  - On each rising RCLK edge the eight stages are copied to the output
//    latches, which drive Q0-Q7 push-pull a propagation delay later. Bit n of
//    a pattern is Qn.
//  - Q0-Q7 are named nets, "<name>.Q0" to "<name>.Q7": traced in the VCD in
//    the device's scope, and the lines LEDs are attached to.
//  - At power-up stages and outputs hold `power_on` (a real part comes up
//    with unknown contents; the default is all 0).
//
// Timing at the kit's 3.3 V supply. The data sheets give the limits at 2 V,
// 4.5 V and 6 V (25 C); the model takes the 2 V and 4.5 V figures and
// interpolates linearly in the supply voltage, at (3.3 - 2) / (4.5 - 2) = 0.52
// of the way from the first to the second. Where makers' sheets differ, the
// stricter figure is used. A minimum is rounded up to whole nanoseconds:
//
//   limit                              2 V      4.5 V    3.3 V (used)
//   SER set-up before SRCLK rise       100 ns   20 ns    58.4 -> 59 ns
//   SER hold after SRCLK rise          3 ns     3 ns     3 ns
//   SRCLK pulse width, high and low    80 ns    16 ns    46.72 -> 47 ns
//   RCLK pulse width, high and low     80 ns    16 ns    47 ns
//   SRCLK rise before RCLK rise        75 ns    15 ns    43.8 -> 44 ns
//   RCLK rise to Qn (typical)          50 ns    17 ns    32.84 -> 33 ns
//
// The shortest clock period the pulse widths allow (94 ns) is longer than the
// one the maximum clock frequency gives (about 65 ns at 3.3 V), so the
// frequency needs no check of its own.
//
// Strictness: each of these breached is reported (once per kind between two
// latch edges, so a master that gets one phase wrong on every bit gives one
// line per update, not eight), as is SER floating when SRCLK rises (the
// stage would take an unknown bit). The part still acts on every edge it
// sees: the bit at the edge is shifted in, the stages are latched.
//
// Settings:
//   data, clock, latch  header pins of SER, SRCLK, RCLK (default 0, 2, 3), or
//                       nets of another device; `data` may be the part's own
//                       Q7 (a ring counter: the last output fed back)
//   power_on            contents of stages and outputs at power-up (0-255, default 0)
//   stuck               fault: outputs held at a level whatever is latched, as
//                       a damaged output or a short on the board does:
//                       {Q3: low, Q6: high}
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/device.h"
#include "core/time.h"

namespace pikit::sim {

namespace hc595_timing {

constexpr double kSupply = 3.3;  // volts

// A data-sheet figure at the kit's supply, from its 2 V and 4.5 V values.
constexpr double at_supply(double at_2v, double at_4v5) { return at_2v + (at_4v5 - at_2v) * (kSupply - 2.0) / (4.5 - 2.0); }
constexpr Time round_up(double ns) {
    const Time whole = static_cast<Time>(ns);
    return static_cast<double>(whole) < ns ? whole + 1 : whole;
}
constexpr Time round_nearest(double ns) { return static_cast<Time>(ns + 0.5); }

}  // namespace hc595_timing

class Hc595 final : public Device {
public:
    // Limits at 3.3 V (see above).
    static constexpr Time kDataSetup = hc595_timing::round_up(hc595_timing::at_supply(100, 20));
    static constexpr Time kDataHold = hc595_timing::round_up(hc595_timing::at_supply(3, 3));
    static constexpr Time kPulseWidth = hc595_timing::round_up(hc595_timing::at_supply(80, 16));
    static constexpr Time kShiftToLatch = hc595_timing::round_up(hc595_timing::at_supply(75, 15));
    static constexpr Time kPropagation = hc595_timing::round_nearest(hc595_timing::at_supply(50, 17));

    enum class Stuck : unsigned char { No, Low, High };

    struct Settings {
        LineRef data{0, {}};
        LineRef clock{2, {}};
        LineRef latch{3, {}};
        std::uint8_t power_on = 0;
        std::array<Stuck, 8> stuck{};  // per output, Q0 first
    };

    struct Counters {
        std::uint64_t shifts = 0;    // rising SRCLK edges
        std::uint64_t latches = 0;   // rising RCLK edges
        std::uint64_t breaches = 0;  // timing breaches, each counted (also those not reported again)
    };

    Hc595(std::string name, Settings settings);

    void attach(Board& board) override;
    void on_edge(int pin, Level level) override;
    void finish() override;

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    const Counters& counters() const { return counters_; }
    std::uint8_t stages() const { return stages_; }    // shift stages, bit n = stage n
    std::uint8_t latched() const { return latched_; }  // output latches, bit n = Qn (before any stuck output)
    // Line number of output Qn's net.
    int output(int n) const { return outputs_[static_cast<std::size_t>(n)]; }
    // The shortest data set-up before a shift clock edge seen so far (kNever: none).
    Time shortest_setup() const { return shortest_setup_; }

private:
    enum Check : unsigned {
        kSetup = 1u << 0,
        kHold = 1u << 1,
        kClockHigh = 1u << 2,
        kClockLow = 1u << 3,
        kLatchHigh = 1u << 4,
        kLatchLow = 1u << 5,
        kShiftLatch = 1u << 6,
        kFloating = 1u << 7,
    };

    void on_clock(Level level);
    void on_latch(Level level);
    void on_data();
    void drive_outputs(std::uint8_t pattern);
    // `measured` shorter than `minimum` is a breach of the named limit.
    void check(Check kind, Time measured, Time minimum, const char* what);
    void breach(Check kind, const std::string& text);

    Settings settings_;
    Counters counters_;
    int data_ = -1;
    int clock_ = -1;
    int latch_ = -1;
    std::array<int, 8> outputs_{};

    std::uint8_t stages_ = 0;
    std::uint8_t latched_ = 0;

    // Times of the last edges (-1: none yet), for the timing checks.
    Time data_change_ = -1;
    Time clock_rise_ = -1;
    Time clock_fall_ = -1;
    Time latch_rise_ = -1;
    Time latch_fall_ = -1;
    Time shortest_setup_ = kNever;
    unsigned reported_ = 0;  // kinds of breach reported since the last latch edge
};

}  // namespace pikit::sim
