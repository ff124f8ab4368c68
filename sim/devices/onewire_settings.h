// The settings every 1-Wire device model has: its line and ROM id, the
// timing windows of its side of the bus, and the faults a test may inject on
// the wire. Declared once (onewire_fields) for every part to include.
#pragma once

#include <cstdint>
#include <vector>

#include "core/fields.h"
#include "core/time.h"
#include "devices/onewire_crc.h"

namespace pikit::sim {

// The timing windows of the slave's side of the bus. Each has a range the
// part may fall in anywhere; fast() and slow() put every window at the end of
// its range, so a master can be tried against both corners.
struct OneWireTiming {
    Time presence_wait = 30_us;  // release of the reset pulse -> presence starts (15..60 us)
    Time presence_low = 120_us;  // length of the presence pulse (60..240 us)
    Time sample_at = 30_us;      // falling edge -> the device samples a write slot (15..60 us)
    Time hold_zero = 30_us;      // falling edge -> the device lets go after sending a 0 (15..60 us)

    bool operator==(const OneWireTiming& o) const {
        return presence_wait == o.presence_wait && presence_low == o.presence_low && sample_at == o.sample_at &&
               hold_zero == o.hold_zero;
    }
    static OneWireTiming typical() { return {}; }
    static OneWireTiming fast() { return {15_us, 60_us, 15_us, 15_us}; }
    static OneWireTiming slow() { return {60_us, 240_us, 60_us, 60_us}; }
};

// Limits the slave holds the master to (standard speed).
struct OneWireLimits {
    static constexpr Time reset_low_min = 480_us;   // reset pulse
    static constexpr Time reset_high_min = 480_us;  // release of the reset -> first slot
    static constexpr Time slot_min = 60_us;         // falling edge to falling edge
    static constexpr Time slot_low_min = 1_us;      // shortest low that starts a time slot
    static constexpr Time slot_low_max = 120_us;    // longest low that is still a time slot
    static constexpr Time recovery_min = 1_us;      // high time between two slots
    static constexpr Time write1_low_max = 15_us;   // a write-1 must end before the sample window
    static constexpr Time write0_low_min = 60_us;   // a write-0 must cover the whole sample window
    static constexpr Time read_low_max = 15_us;     // master's own low time in a read slot
};

// A bit flipped on the wire in one byte of one kind of transaction.
struct FlipRule {
    enum class Layer : unsigned char { Rom, Function };
    Layer layer = Layer::Function;
    std::uint8_t command = 0;  // the ROM or function command whose bytes are hit
    int byte = 0;              // index of the byte after the command byte (0 = first)
    int bit = 0;               // 0..7
    int after = 0;             // leave this many transactions with that command alone first
    int times = 1;             // then hit this many of them; 0 = every one from then on
};

// Independent random flips of single bits, from a seeded generator, so that
// a run is the same every time.
struct RandomFlips {
    double reply = 0.0;     // probability for each bit the device sends
    double received = 0.0;  // probability for each bit the device samples
    std::uint64_t seed = 1;
};

// Settings every 1-Wire device model has (scenario keys in parentheses).
struct OneWireSettings {
    int pin = 27;                         // (pin)
    RomId rom{};                          // (rom) 7 or 8 bytes
    OneWireTiming timing;                 // (timing: typical|fast|slow, and per-window overrides)
    bool alarm = false;                   // (alarm) takes part in conditional searches
    bool stuck_low = false;               // (stuck_low) holds the line low from power-up
    std::vector<FlipRule> flip_reply;     // (flip_reply: [..])
    std::vector<FlipRule> flip_received;  // (flip_received: [..])
    RandomFlips random;                   // (flip_random: {reply, received, seed})
    long leave_after_search_bits = -1;    // (leave_after_search_bits) -1: never
    Time leave_at = kNever;               // (leave_at)
};

// The keys above as declared settings, for a part to include in its own:
// Fields<Part::Settings>().include(onewire_fields())...
const Fields<OneWireSettings>& onewire_fields();

// Commands of the ROM layer, which every part answers.
constexpr std::uint8_t kReadRom = 0x33;
constexpr std::uint8_t kMatchRom = 0x55;
constexpr std::uint8_t kSkipRom = 0xCC;
constexpr std::uint8_t kSearchRom = 0xF0;
constexpr std::uint8_t kAlarmSearch = 0xEC;

}  // namespace pikit::sim
