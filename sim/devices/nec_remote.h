// An NEC infrared remote control and the infrared receiver module it shines
// at, the receiver's output wired to a header pin (wiringPi 6 on the kit).
//
// The remote sends its light as bursts of 38 kHz carrier; the model keeps the
// carrier's envelope on a net of its own, "<name>.light" (HIGH while a burst
// is on), so a trace shows what the remote sent beside what the receiver
// made of it. The receiver module demodulates: its output idles HIGH and is
// LOW during each burst. It drives the line itself (an output stage with its
// own pull-up), so the Pi's pull resistor plays no part while it is there.
//
// NEC frames, as the remote times them with its own clock:
//   frame        9 ms burst, 4.5 ms space, 32 bits least significant first
//                (address, ~address or the high byte of a 16-bit extended
//                address, command, ~command), each bit a 562.5 us burst and a
//                562.5 us (0) or 1687.5 us (1) space, then a 562.5 us burst
//   repeat code  9 ms burst, 2.25 ms space, 562.5 us burst: sent while the
//                key is held, every 108 ms from the start of the previous one
// A frame lasts 67.5 ms whatever its bits (each byte is sent with its
// complement, so there are always 16 ones and 16 zeros).
//
// Settings: the receiver's output pin, the remote's clock error, the
// receiver's burst stretch (real receivers lengthen each burst by up to
// about 100 us; a space shorter than the stretch vanishes and two bursts
// merge), random glitches (the receiver's output inverted for a while at
// seeded random times, exponentially distributed: a spurious burst in a
// space, a drop-out in a burst; at least 10 us long and 1 ms apart on
// average, as a receiver passes them) and a missing receiver (nothing drives
// the pin; the line follows its pull).
//
// Actions: `press` (a key's frame, then repeat codes while it is held),
// `down` / `up` (a key held until let go), `frame` (any four bytes),
// `repeat`, `glitch` and `set` (clock error, stretch). An address above 0xFF
// is sent as a 16-bit extended address (low byte first).
// Keys, defaults and ranges: docs/devices.md.
// The remote sends in a fixed frame period: a transmission asked for while
// another is being sent, or sooner than 108 ms after the start of the last
// one, waits for that slot, as a remote finishes the frame in progress. A new
// press ends the repeats of the key held before.
//
// Shows: `held` (a key of the remote is held down) and `key` (the last key
// pressed: a record of address and command).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/device.h"
#include "core/timers.h"

namespace pikit::sim {

class NecRemote final : public Device {
public:
    // Nominal NEC lengths.
    static constexpr Time kLeaderBurst = 9000_us;
    static constexpr Time kLeaderSpace = 4500_us;
    static constexpr Time kRepeatSpace = 2250_us;
    static constexpr Time kBitBurst = 562500_ns;
    static constexpr Time kZeroSpace = 562500_ns;
    static constexpr Time kOneSpace = 1687500_ns;
    static constexpr Time kRepeatPeriod = 108_ms;

    // What interference can do to the receiver's output. Its band-pass
    // filter is tuned to the 38 kHz carrier (a period of 26 us): nothing
    // much shorter than half a period gets through it, so no output glitch
    // is shorter than 10 us. And its gain control answers interference that
    // keeps coming by turning the gain down until it passes no more of it:
    // disturbances closer together than about a millisecond are continuous
    // noise to it, not a string of glitches.
    static constexpr Time kMinGlitchLength = 10_us;
    static constexpr Time kMinGlitchInterval = 1_ms;

    struct Settings {
        int pin = 6;
        double clock_error = 0;  // percent
        Time stretch = 0;
        Time glitch_every = 0;  // mean interval of random glitches; 0: none
        Time glitch_length = 100_us;
        std::uint32_t glitch_seed = 1;
        bool absent = false;
    };

    enum class Kind : unsigned char { Frame, Repeat };

    // One transmission, as the remote sent it.
    struct Transmission {
        Time start;  // first burst begins
        Kind kind;
        std::array<std::uint8_t, 4> bytes;  // a frame's bytes in the order sent; zeros for a repeat code
    };

    NecRemote(std::string name, Settings settings);

    void attach(Board& board) override;
    void on_edge(int pin, Level level) override;
    void finish() override;

    // ---- what the remote can be made to do (device side: board lock held) ----
    // A key: its frame now (or after the one being sent), then repeat codes
    // every 108 ms while it is held, that is until `hold` after now
    // (kNever: until let_go()).
    void press(std::uint16_t address, bool extended, std::uint8_t command, Time hold);
    void let_go();
    void send_frame(const std::array<std::uint8_t, 4>& bytes);
    void send_repeat();
    void glitch(Time length);
    void set_clock_error(double percent) { settings_.clock_error = percent; }
    void set_stretch(Time stretch) { settings_.stretch = stretch; }
    // Either or both, and says so in the log.
    void set_link(std::optional<double> clock_error, std::optional<Time> stretch);

    // The light of one transmission as drive segments of the light net
    // (High: carrier on), lengths scaled by the clock error in percent.
    static std::vector<LinePlayer::Segment> frame_light(const std::array<std::uint8_t, 4>& bytes, double clock_error);
    static std::vector<LinePlayer::Segment> repeat_light(double clock_error);

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    int light_line() const { return light_; }
    // Every transmission sent so far (only the last one in a program's run,
    // which keeps no history, so its memory stays flat).
    const std::vector<Transmission>& transmissions() const { return sent_; }
    unsigned transmissions_sent() const { return sent_count_; }
    unsigned glitches() const { return glitch_count_; }
    bool held() const { return held_; }
    bool output_low() const { return output_low_; }

private:
    struct Pending {
        Kind kind;
        std::array<std::uint8_t, 4> bytes;
        bool from_key;  // the frame of a press, or one of its repeats
    };

    Time scaled(Time nominal) const;
    void transmit(const Pending& p);
    void start_next();
    void release();
    void update_output();
    void schedule_random_glitch();

    Settings settings_;
    int light_ = -1;
    LinePlayer player_;
    std::deque<Pending> queue_;
    Time last_start_ = -1;  // start of the last transmission, -1 before the first
    Timer slot_;            // the next frame period begins
    std::vector<Transmission> sent_;
    unsigned sent_count_ = 0;

    // The key held down, and its repeat codes.
    bool held_ = false;
    Time release_at_ = 0;
    Timer repeat_;
    Timer release_;

    // Receiver.
    bool demod_low_ = false;  // carrier seen (output LOW before glitches)
    Timer rise_;              // the output's late rise after a burst (stretch)
    int glitch_depth_ = 0;    // glitches in progress
    bool output_low_ = false;
    unsigned glitch_count_ = 0;
    std::mt19937 rng_;
    Timer random_glitch_;
};

}  // namespace pikit::sim
