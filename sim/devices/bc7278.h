// BC7278 LED display and keypad controller, modelled at the wire, with the
// four-digit seven-segment display and the keypad wired to it.
//
// The link (three lines from the Pi, no chip select, no acknowledge):
//  - clock (input, idles HIGH) and data in (input): the controller takes the
//    data-in bit at each rising clock edge, most significant first, 16 bits a
//    frame (address byte, then data byte);
//  - data out (push-pull): at every frame's falling clock edges the
//    controller shifts out its 16-bit key state, so the master's sample at
//    the end of each high phase reads it; the state is taken at the frame's
//    first falling edge. Every frame is full duplex: a write frame clocks the
//    key state out too, and only the key read (address 0xFF, data 0xFF, a
//    no-op otherwise) is there to fetch it.
//  - Frame sync: the bit count restarts once the clock has been HIGH for
//    `sync_idle` with no edge; at power-up the count is 0. A
//    frame begins at the first falling edge after that. Fewer than 16 bits
//    before the clock goes idle is a frame cut short; a falling edge after
//    the 16th bit but before the idle time is another frame breaking into
//    this one. Both are breaches, reported with the bits received; the
//    controller acts on neither the frame cut short nor the one breaking in
//    (the whole frame before it stands).
//  - Timing the part needs: each clock phase (high and low) at least 20 us,
//    data in stable 5 us before and after each rising edge. A master that
//    breaks one is reported once per frame and kind.
//
// Registers (a write acts when its 16th bit is in):
//   0x00-0x03  display register of position 0-3: bit n = segment n, 0 lit,
//              bit 0..6 = segments a..g, bit 7 = decimal point; 0xFF blank
//   0x10-0x13  segment-blink register of position 0-3: 1 = that segment blinks
//   0x18       digit-blink register: bit d = position d blinks as a whole
//   0x1A       blink speed: each blink phase (lit, then dark) lasts
//              (value + 16) x 4 ms: 64 ms for 0x00 to 1084 ms for 0xFF;
//              0x70 (512 ms) at power-up. The master's SetFlashSpeed sends the
//              complement of its speed, so a higher speed blinks faster.
//   0x1B       character decode: high nibble position 0-3, low nibble one of
//              0-9 A b C d E F; writes segments a-g of the position and
//              leaves its decimal point as it was
//   0x1C       single segment: bits 6-0 segment number (position x 8 + bit),
//              bit 7 clear lights it, set darkens it
//   0x1D       every display register at once
//   0xFF       with data 0xFF: the key read, a no-op
// Anything else (another address, address 0xFF with other data, a position,
// segment or blink bit beyond the four positions) is a breach and ignored.
// At power-up every position is blank and nothing blinks.
//
// Blinking: while any blink register is non-zero the display alternates
// between a lit phase and a dark phase (blinking parts dark), starting lit
// when the blinking starts.
//
// Keys: a `press` holds key 1-31 down for `hold`; `down` holds it until an
// `up`. The interrupt line
// (push-pull, HIGH while no key is down) falls when a key goes down and rises
// again when the last key held is released. The key state is
// 0xFFFF ^ (key << 11) while a key is down (the most recent one when several
// are) and 0xFFFF while none is: a read after the key has been let go gets
// 0xFFFF. A second key going down while one is held gives no new falling edge.
//
// Shows (board.show):
//   display   text: the four positions as a person reads them now, one
//             character each ("0"-"9", "A" "b" "C" "d" "E" "F", "-" for
//             segment g alone, a blank for a dark position, other patterns
//             as their lit segments in brackets: "[a g]"), each followed by
//             "." when its decimal point is lit: 17.0 on the last three
//             positions reads " 17.0", 7.0 on the last two "  7.0". Blinking
//             parts go dark in the dark phases.
//   blinking  text: what blinks, "" when nothing does, else for example
//             "position 0, position 2 segments a dp; 512ms lit, 512ms dark".
//
// Settings (the lines, the idle time that ends a frame, the faults),
// actions (press, down, up) and what it shows, with defaults and ranges:
// docs/devices.md.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/device.h"
#include "core/time.h"
#include "core/timers.h"

namespace pikit::sim {

class Bc7278 final : public Device {
public:
    static constexpr Time kMinPhase = 20_us;
    static constexpr Time kSetup = 5_us;
    static constexpr Time kHold = 5_us;
    static constexpr std::uint8_t kSpeedAtPowerUp = 0x70;

    enum class Stuck : unsigned char { None, Low, High };

    struct Settings {
        int clock = 14;
        int data_in = 12;
        int data_out = 13;
        int interrupt = 21;
        Time sync_idle = 1_ms;
        // Faults.
        bool absent = false;
        Stuck data_out_stuck = Stuck::None;
        bool interrupt_stuck_low = false;
        int bounce_falls = 1;  // falling edges per press; 1 = a clean contact
        Time bounce_within = 2_ms;
        std::uint32_t bounce_seed = 1;
    };

    // One frame as the controller received it.
    struct Frame {
        Time start = 0;           // its first falling clock edge
        Time end = 0;             // its 16th rising edge, or when it was found cut short
        std::uint16_t word = 0;   // bits received, the first in the highest place used
        std::uint16_t reply = 0;  // the key state shifted out on data out
        int bits = 0;             // 16 for a whole frame
        std::uint8_t address() const { return static_cast<std::uint8_t>(word >> 8); }
        std::uint8_t data() const { return static_cast<std::uint8_t>(word); }
        bool complete() const { return bits == 16; }
    };

    struct Counters {
        unsigned frames = 0;     // whole frames
        unsigned key_reads = 0;  // of them, key reads
        unsigned broken = 0;     // frames cut short or broken into
        unsigned presses = 0;
        unsigned interrupts = 0;  // falling edges the controller made on the interrupt line
        unsigned breaches = 0;
    };

    Bc7278(std::string name, Settings settings);

    void attach(Board& board) override;
    void on_edge(int pin, Level level) override;
    void finish() override;

    // Holds `key` (1-31) down for `hold`, with the contact bounce the settings give.
    void press(int key, Time hold);
    // Holds it down until key_up() (a person's finger on it).
    void key_down(int key);
    void key_up(int key);

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    const Counters& counters() const { return counters_; }
    // Every frame, whole or not (a program's run keeps only the last one).
    const std::vector<Frame>& frames() const { return frames_; }
    std::uint8_t display_register(int position) const { return display_.at(static_cast<std::size_t>(position)); }
    std::uint8_t segment_blink(int position) const { return seg_blink_.at(static_cast<std::size_t>(position)); }
    std::uint8_t digit_blink() const { return digit_blink_; }
    std::uint8_t blink_speed() const { return speed_; }
    Time blink_phase() const { return (speed_ + 16) * 4_ms; }
    // Segments lit now (bit 0..6 = a..g, bit 7 = decimal point), blinking included.
    std::uint8_t lit(int position) const;
    std::string text() const;  // what `display` shows now
    int key_down() const { return down_.empty() ? 0 : down_.back(); }
    std::uint16_t key_state() const;

    // Segments a-g of character 0-15 (bit 0 = a), as the character decode writes them.
    static std::uint8_t glyph(int character);

private:
    enum class Sync : unsigned char {
        Waiting,  // bit count 0: the next falling edge starts a frame
        InFrame,  // bits coming in
        Done,     // 16 bits in; waiting for the idle clock
        Broken,   // a frame went wrong; waiting for the idle clock
    };

    void clock_fell();
    void clock_rose();
    void clock_idle();
    void data_in_changed(Level level);
    void put_bit();
    void end_frame(bool complete);
    void execute(std::uint8_t address, std::uint8_t data);
    void contact(int key, bool closed);
    void close_contact(int key, Time hold);
    void drive_interrupt();
    void blink_changed();
    void update_shown();
    std::string blinking_text() const;
    void check(Time measured, Time minimum, const char* what, int bit);
    void breach(const std::string& text);

    Settings settings_;
    Counters counters_;
    std::vector<Frame> frames_;

    // Registers.
    std::array<std::uint8_t, 4> display_{};
    std::array<std::uint8_t, 4> seg_blink_{};
    std::uint8_t digit_blink_ = 0;
    std::uint8_t speed_ = kSpeedAtPowerUp;
    bool blink_lit_ = true;  // phase of the blinking
    Timer blink_timer_;

    // Link.
    Sync sync_ = Sync::Waiting;
    Level clock_ = Level::Low;
    Level data_in_ = Level::Low;
    Time last_rise_ = 0;
    Time last_fall_ = 0;
    Time last_data_ = 0;
    Frame frame_;
    std::vector<const char*> reported_;  // timing breaches already reported in this frame
    Timer idle_timer_;

    // Keys.
    std::vector<int> down_;  // keys held, in the order they went down
    bool interrupt_low_ = false;
    std::mt19937 rng_;
};

}  // namespace pikit::sim
