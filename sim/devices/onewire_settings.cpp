#include "onewire_settings.h"

#include "core/format.h"

namespace pikit::sim {

namespace {

using S = OneWireSettings;

template <Time OneWireTiming::*window>
Fields<S>::Ref<Time> timing() {
    return [](S& s) -> Time& { return s.timing.*window; };
}

Fields<FlipRule> flip_rule() {
    return Fields<FlipRule>()
        .word("layer", &FlipRule::layer, {{"rom", FlipRule::Layer::Rom}, {"function", FlipRule::Layer::Function}},
              "which command layer the command belongs to")
        .integer("command", &FlipRule::command, 0, 0xFF, "the command whose bytes are hit")
        .hex()
        .required()
        .integer("byte", &FlipRule::byte, 0, 255, "the byte after the command byte (0: the first)")
        .integer("bit", &FlipRule::bit, 0, 7, "the bit of it")
        .integer("after", &FlipRule::after, 0, 1000000, "leave this many transactions with the command alone first")
        .integer("times", &FlipRule::times, 0, 1000000, "then hit this many of them; 0: every one from then on")
        .rule([](const FlipRule& r, const Config& c) {
            if (r.layer == FlipRule::Layer::Rom && (r.command == kSearchRom || r.command == kAlarmSearch))
                c.fail("command", "search answers are bit pairs, not bytes; use flip_random");
        });
}

Setting rom_setting() {
    Setting rom{"rom", Kind::Bytes, "the ROM id: 7 bytes (its CRC is appended) or 8 (taken as given, a wrong CRC too)"};
    rom.ranged = true;
    rom.lo = 7;
    rom.hi = 8;
    return rom;
}

}  // namespace

const Fields<OneWireSettings>& onewire_fields() {
    static const Fields<S> f =
        Fields<S>()
            .pin("pin", &S::pin, "the 1-Wire data line (it needs a pull-up)")
            .custom(
                rom_setting(), [](const Config& c, S& s) { s.rom = make_rom(read_bytes(c, rom_setting())); },
                [](const S& s) {
                    return written_bytes({s.rom.begin(), s.rom.end()});
                })
            .word("timing", &S::timing,
                  {{"typical", OneWireTiming::typical()}, {"fast", OneWireTiming::fast()}, {"slow", OneWireTiming::slow()}},
                  "every window of the part at one corner of its range; the four keys below override one each")
            .duration("presence_wait", timing<&OneWireTiming::presence_wait>(), 15_us, 60_us,
                      "from the end of the reset pulse to the presence pulse")
            .duration("presence_low", timing<&OneWireTiming::presence_low>(), 60_us, 240_us, "the presence pulse")
            .duration("sample_at", timing<&OneWireTiming::sample_at>(), 15_us, 60_us,
                      "from a slot's falling edge to where the part samples a written bit")
            .duration("hold_zero", timing<&OneWireTiming::hold_zero>(), 15_us, 60_us,
                      "from a read slot's falling edge to where the part lets go after sending a 0")
            .flag("alarm", &S::alarm, "the part takes part in the conditional search (0xEC)")
            .flag("stuck_low", &S::stuck_low, "fault: the part holds the line low from power-up")
            .list("flip_reply", &S::flip_reply, flip_rule(), "fault: a bit of a byte the part sends, flipped")
            .list("flip_received", &S::flip_received, flip_rule(), "fault: a bit of a byte the part takes, flipped")
            .group("flip_random",
                   Fields<S>()
                       .number<double>(
                           "reply", [](S& s) -> double& { return s.random.reply; }, 0, 1,
                           "chance of each bit the part sends to be flipped")
                       .number<double>(
                           "received", [](S& s) -> double& { return s.random.received; }, 0, 1,
                           "chance of each bit the part takes to be flipped")
                       .integer<std::uint64_t>(
                           "seed", [](S& s) -> std::uint64_t& { return s.random.seed; }, 0, 0x7FFFFFFF,
                           "seed of the flips: runs repeat exactly"),
                   "fault: single bits flipped at random")
            .integer("leave_after_search_bits", &S::leave_after_search_bits, 0, 1000000000,
                     "fault: the part leaves the bus in the middle of a search, after this many bit positions")
            .defaults("never")
            .duration("leave_at", &S::leave_at, 0, kMaxDuration, "fault: the part leaves the bus at this time");
    return f;
}

}  // namespace pikit::sim
