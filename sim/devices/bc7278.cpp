// BC7278 display and keypad controller. See bc7278.h for what the part does;
// this file is its link state machine, its registers, the display a person
// sees and the keys.
#include "devices/bc7278.h"

#include <algorithm>
#include <cstdio>

#include "core/format.h"
#include "core/board.h"
#include "core/model.h"

namespace pikit::sim {

namespace {

constexpr std::uint8_t kGlyphs[16] = {
    0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07,  // 0-7
    0x7F, 0x6F, 0x77, 0x7C, 0x39, 0x5E, 0x79, 0x71,  // 8, 9, A, b, C, d, E, F
};
constexpr char kGlyphNames[] = "0123456789AbCdEF";
constexpr char kSegmentNames[] = "abcdefg";

std::string segment_list(std::uint8_t mask) {
    std::string s;
    for (int b = 0; b < 8; ++b) {
        if (!(mask & (1u << b))) continue;
        if (!s.empty()) s += ' ';
        s += b == 7 ? std::string("dp") : std::string(1, kSegmentNames[b]);
    }
    return s;
}

}  // namespace

Bc7278::Bc7278(std::string name, Settings settings)
    : Device("bc7278", std::move(name)), settings_(settings), rng_(settings.bounce_seed) {
    display_.fill(0xFF);
}

std::uint8_t Bc7278::glyph(int character) { return kGlyphs[character & 0x0F]; }

void Bc7278::attach(Board& board) {
    board.attach(*this, settings_.clock, PinRole::Input);
    board.attach(*this, settings_.data_in, PinRole::Input);
    idle_timer_.bind(board, [this] { clock_idle(); });
    blink_timer_.bind(board, [this] {
        blink_lit_ = !blink_lit_;
        blink_timer_.in(blink_phase());
        update_shown();
    });
    if (settings_.absent) {
        // Nothing drives data out or the interrupt line: the pins' pulls decide.
        board.info(*this, "absent: data out and the interrupt line are left to their pulls");
        return;
    }
    board.attach(*this, settings_.data_out, PinRole::PushPull);
    board.attach(*this, settings_.interrupt, PinRole::PushPull);
    clock_ = board.level(settings_.clock);
    data_in_ = board.level(settings_.data_in);
    switch (settings_.data_out_stuck) {
    case Stuck::None: board.drive(*this, settings_.data_out, Drive::High); break;
    case Stuck::Low:
        board.drive(*this, settings_.data_out, Drive::Low);
        board.report(*this, ReportKind::Fault, "data out stuck LOW");
        break;
    case Stuck::High:
        board.drive(*this, settings_.data_out, Drive::High);
        board.report(*this, ReportKind::Fault, "data out stuck HIGH");
        break;
    }
    if (settings_.interrupt_stuck_low) board.report(*this, ReportKind::Fault, "interrupt line stuck LOW");
    drive_interrupt();
    update_shown();
}

// ---------------------------------------------------------------- reports

void Bc7278::breach(const std::string& text) {
    ++counters_.breaches;
    board()->breach(*this, text);
}

// A master that gets one phase wrong usually gets it wrong on every bit: each
// kind of timing breach is reported once per frame.
void Bc7278::check(Time measured, Time minimum, const char* what, int bit) {
    if (measured >= minimum) return;
    if (std::find(reported_.begin(), reported_.end(), what) != reported_.end()) return;
    reported_.push_back(what);
    breach(std::string(what) + " " + format_duration(measured) + " at bit " + std::to_string(bit) +
           " of a frame, shorter than the " + format_duration(minimum) + " the part needs");
}

// ---------------------------------------------------------------- link

void Bc7278::on_edge(int pin, Level level) {
    if (settings_.absent) return;
    if (pin == settings_.clock && level != clock_) {
        clock_ = level;
        is_high(level) ? clock_rose() : clock_fell();
    } else if (pin == settings_.data_in && level != data_in_) {
        data_in_changed(level);
    }
}

void Bc7278::clock_fell() {
    const Time now = board()->now();
    idle_timer_.cancel();
    switch (sync_) {
    case Sync::Waiting:
        frame_ = Frame{};
        frame_.start = now;
        frame_.reply = key_state();
        reported_.clear();
        sync_ = Sync::InFrame;
        // The clock must have been high for a phase before the first bit (a
        // write frame's lead-in gives it that after the clock is first raised).
        check(now - last_rise_, kMinPhase, "clock high", 1);
        put_bit();
        break;
    case Sync::InFrame:
        check(now - last_rise_, kMinPhase, "clock high", frame_.bits + 1);
        put_bit();
        break;
    case Sync::Done:
        breach("frame broken into: the clock fell " + format_duration(now - last_rise_) + " after the last bit of frame " +
               binary_groups(frame_.word, 16) + " (" + hex(frame_.address()) + ", " + hex(frame_.data()) + "), before the " +
               format_duration(settings_.sync_idle) + " of idle clock that ends a frame");
        ++counters_.broken;
        sync_ = Sync::Broken;
        break;
    case Sync::Broken: break;
    }
    last_fall_ = now;
}

void Bc7278::clock_rose() {
    const Time now = board()->now();
    if (sync_ == Sync::InFrame) {
        check(now - last_fall_, kMinPhase, "clock low", frame_.bits + 1);
        check(now - last_data_, kSetup, "data set-up", frame_.bits + 1);
        frame_.word = static_cast<std::uint16_t>((frame_.word << 1) | (is_high(data_in_) ? 1 : 0));
        ++frame_.bits;
        if (frame_.bits == 16) end_frame(true);
    }
    last_rise_ = now;
    idle_timer_.in(settings_.sync_idle);
}

// The clock has been high for sync_idle: the bit count starts again.
void Bc7278::clock_idle() {
    if (sync_ == Sync::InFrame) {
        breach("frame cut short after " + std::to_string(frame_.bits) + " bit(s): " + binary_groups(frame_.word, frame_.bits) +
               "; the clock stayed high for " + format_duration(settings_.sync_idle));
        ++counters_.broken;
        end_frame(false);
    }
    sync_ = Sync::Waiting;
}

void Bc7278::data_in_changed(Level level) {
    const Time now = board()->now();
    data_in_ = level;
    // Data must hold for a while after the edge that took it (a frame's last
    // bit included, until the frame is over).
    if (is_high(clock_) && ((sync_ == Sync::InFrame && frame_.bits > 0) || sync_ == Sync::Done))
        check(now - last_rise_, kHold, "data hold", frame_.bits);
    last_data_ = now;
}

// The key state's next bit, at a falling clock edge: bit 15 first.
void Bc7278::put_bit() {
    if (settings_.data_out_stuck != Stuck::None) return;
    const bool one = (frame_.reply >> (15 - frame_.bits)) & 1;
    board()->drive(*this, settings_.data_out, one ? Drive::High : Drive::Low);
}

void Bc7278::end_frame(bool complete) {
    frame_.end = board()->now();
    // A program's run keeps only the last frame (memory stays flat); tests keep them all.
    if (!board()->options().record_history) frames_.clear();
    frames_.push_back(frame_);
    if (!complete) return;
    sync_ = Sync::Done;
    ++counters_.frames;
    execute(frame_.address(), frame_.data());
}

// ---------------------------------------------------------------- registers

void Bc7278::execute(std::uint8_t address, std::uint8_t data) {
    const std::string frame = "frame (" + hex(address) + ", " + hex(data) + "): ";
    bool blink = false;
    if (address <= 0x03) {
        display_[address] = data;
    } else if (address >= 0x10 && address <= 0x13) {
        seg_blink_[address - 0x10] = data;
        blink = true;
    } else if (address == 0x18) {
        if (data > 0x0F) return breach(frame + "digit blink for positions beyond the four of this display");
        digit_blink_ = data;
        blink = true;
    } else if (address == 0x1A) {
        speed_ = data;
    } else if (address == 0x1B) {
        const int position = data >> 4;
        if (position > 3)
            return breach(frame + "character for position " + std::to_string(position) +
                          ", which this four-digit display does not have");
        // Segments a-g from the character; the decimal point stays as it was.
        display_[position] = static_cast<std::uint8_t>((display_[position] & 0x80) | (~glyph(data) & 0x7F));
    } else if (address == 0x1C) {
        const int segment = data & 0x7F;
        if (segment >= 32)
            return breach(frame + "segment " + std::to_string(segment) + ", which this four-digit display does not have (0-31)");
        std::uint8_t& reg = display_[static_cast<std::size_t>(segment / 8)];
        const auto bit = static_cast<std::uint8_t>(1u << (segment % 8));
        reg = (data & 0x80) ? static_cast<std::uint8_t>(reg | bit) : static_cast<std::uint8_t>(reg & ~bit);
    } else if (address == 0x1D) {
        display_.fill(data);
    } else if (address == 0xFF && data == 0xFF) {
        ++counters_.key_reads;
        const int key = (frame_.reply ^ 0xFFFF) >> 11;
        board()->info(*this, "key read: " + (key == 0 ? std::string("no key") : "key " + std::to_string(key)) + " (" +
                                 hex(frame_.reply, 4) + ")");
        return;
    } else {
        return breach(frame + "unknown register address");
    }
    if (blink) blink_changed();
    update_shown();
}

// Blinking starts lit and runs while any blink register is set.
void Bc7278::blink_changed() {
    const bool any =
        digit_blink_ != 0 || std::any_of(seg_blink_.begin(), seg_blink_.end(), [](std::uint8_t m) { return m != 0; });
    if (!any) {
        blink_timer_.cancel();
        blink_lit_ = true;
    } else if (!blink_timer_.armed()) {
        blink_lit_ = true;
        blink_timer_.in(blink_phase());
    }
}

// ---------------------------------------------------------------- display

std::uint8_t Bc7278::lit(int position) const {
    const auto p = static_cast<std::size_t>(position);
    std::uint8_t dark = display_.at(p);
    if (!blink_lit_) {
        if (digit_blink_ & (1u << p)) dark = 0xFF;
        dark |= seg_blink_[p];
    }
    return static_cast<std::uint8_t>(~dark);
}

std::string Bc7278::text() const {
    std::string s;
    for (int p = 0; p < 4; ++p) {
        const std::uint8_t on = lit(p);
        const std::uint8_t segments = on & 0x7F;
        const std::uint8_t* g = std::find(std::begin(kGlyphs), std::end(kGlyphs), segments);
        if (segments == 0) s += ' ';
        else if (g != std::end(kGlyphs)) s += kGlyphNames[g - kGlyphs];
        else if (segments == 0x40) s += '-';
        else s += "[" + segment_list(segments) + "]";
        if (on & 0x80) s += '.';
    }
    return s;
}

std::string Bc7278::blinking_text() const {
    std::string s;
    for (int p = 0; p < 4; ++p) {
        std::string part;
        if (digit_blink_ & (1u << p)) part = "position " + std::to_string(p);
        else if (seg_blink_[static_cast<std::size_t>(p)])
            part = "position " + std::to_string(p) + " segments " + segment_list(seg_blink_[static_cast<std::size_t>(p)]);
        if (part.empty()) continue;
        s += (s.empty() ? "" : ", ") + part;
    }
    if (s.empty()) return s;
    const std::string phase = format_duration(blink_phase());
    return s + "; " + phase + " lit, " + phase + " dark";
}

void Bc7278::update_shown() {
    board()->show(*this, "display", text());
    board()->show(*this, "blinking", blinking_text());
}

// ---------------------------------------------------------------- keys

std::uint16_t Bc7278::key_state() const {
    return down_.empty() ? 0xFFFF : static_cast<std::uint16_t>(0xFFFF ^ (down_.back() << 11));
}

void Bc7278::drive_interrupt() {
    const bool low = settings_.interrupt_stuck_low || !down_.empty();
    if (low && !interrupt_low_) ++counters_.interrupts;
    interrupt_low_ = low;
    board()->drive(*this, settings_.interrupt, low ? Drive::Low : Drive::High);
}

void Bc7278::contact(int key, bool closed) {
    if (closed) {
        down_.push_back(key);
    } else {
        auto it = std::find(down_.rbegin(), down_.rend(), key);
        if (it != down_.rend()) down_.erase(std::next(it).base());
    }
    drive_interrupt();
}

void Bc7278::press(int key, Time hold) {
    ++counters_.presses;
    if (settings_.absent) {
        board()->info(*this, "key " + std::to_string(key) + " pressed, with no controller to see it");
        return;
    }
    board()->info(*this, "key " + std::to_string(key) + " down for " + format_duration(hold));
    close_contact(key, hold);
    board()->schedule(board()->now() + hold, [this, key] {
        contact(key, false);
        board()->info(*this, "key " + std::to_string(key) + " up");
    });
}

void Bc7278::key_down(int key) {
    ++counters_.presses;
    if (settings_.absent) {
        board()->info(*this, "key " + std::to_string(key) + " pressed, with no controller to see it");
        return;
    }
    if (std::find(down_.begin(), down_.end(), key) != down_.end()) {
        board()->info(*this, "key " + std::to_string(key) + " pushed while already down: nothing changes");
        return;
    }
    board()->info(*this, "key " + std::to_string(key) + " down");
    close_contact(key, kNever);
}

void Bc7278::key_up(int key) {
    if (std::find(down_.begin(), down_.end(), key) == down_.end()) {
        board()->info(*this, "key " + std::to_string(key) + " let go while not down: nothing changes");
        return;
    }
    contact(key, false);
    board()->info(*this, "key " + std::to_string(key) + " up");
}

// The contact closes now, bouncing as the settings say within the first
// `hold` of the press at most.
void Bc7278::close_contact(int key, Time hold) {
    Board& b = *board();
    const Time t0 = b.now();
    contact(key, true);
    // A bouncing contact opens and closes again falls - 1 times, at random
    // moments within its first `within` (one open and one close in each of
    // 2 * (falls - 1) equal slots), before it settles closed.
    const int changes = 2 * (settings_.bounce_falls - 1);
    if (changes > 0) {
        const Time window = std::min(settings_.bounce_within, hold);
        const Time slot = std::max<Time>(window / changes, 1);
        for (int i = 0; i < changes; ++i) {
            const Time at =
                t0 + i * slot + 1 + static_cast<Time>(rng_() % static_cast<std::uint32_t>(std::max<Time>(slot - 1, 1)));
            const bool closed = i % 2 == 1;
            b.schedule(at, [this, key, closed] { contact(key, closed); });
        }
        b.report(*this, ReportKind::Fault,
                 "key " + std::to_string(key) + " bounces: " + std::to_string(settings_.bounce_falls) + " falling edges");
    }
}

// ---------------------------------------------------------------- run's end

void Bc7278::finish() {
    if (!board()) return;
    if (settings_.absent) {
        board()->info(*this, "summary: absent; " + std::to_string(counters_.presses) + " key press(es) unseen");
        return;
    }
    board()->info(*this, "summary: " + std::to_string(counters_.frames) + " frame(s), " + std::to_string(counters_.key_reads) +
                             " key read(s), " + std::to_string(counters_.presses) + " key press(es), " +
                             std::to_string(counters_.broken) + " broken frame(s), " + std::to_string(counters_.breaches) +
                             " breach(es); display \"" + text() + "\"");
}

// ---------------------------------------------------------------- scenario

namespace {

using S = Bc7278::Settings;

struct KeyPress {
    int key = 0;
    Time hold = 150_ms;
};

Fields<S> settings() {
    return Fields<S>()
        .pin("clock", &S::clock, "the link's clock, from the Pi")
        .pin("data_in", &S::data_in, "data into the controller, from the Pi")
        .pin("data_out", &S::data_out, "data out of the controller (its key state), to the Pi")
        .pin("interrupt", &S::interrupt, "the key interrupt line, LOW while a key is down")
        .duration("sync_idle", &S::sync_idle, 100_us, 20_ms, "an idle clock this long ends a frame: the bit count restarts")
        .flag("absent", &S::absent, "no controller: data out and the interrupt line are left to their pulls")
        .word("data_out_stuck", &S::data_out_stuck,
              {{"low", Bc7278::Stuck::Low}, {"high", Bc7278::Stuck::High}, {"none", Bc7278::Stuck::None}},
              "fault: data out never moves")
        .flag("interrupt_stuck_low", &S::interrupt_stuck_low, "fault: the interrupt line is held LOW")
        .group("bounce",
               Fields<S>()
                   .integer("falls", &S::bounce_falls, 1, 20, "falling edges each press gives")
                   .defaults("3")
                   .duration("within", &S::bounce_within, 100_us, 50_ms, "all of them within this much of the press")
                   .integer("seed", &S::bounce_seed, 0, 0x7FFFFFFF, "seed of their random moments: runs repeat exactly"),
               "fault: every press chatters", [](S& s) { s.bounce_falls = 3; })
        .rule([](const S& s, const Config& c) {
            c.distinct_lines({{"clock", {s.clock, {}}},
                              {"data_in", {s.data_in, {}}},
                              {"data_out", {s.data_out, {}}},
                              {"interrupt", {s.interrupt, {}}}});
        });
}

Fields<KeyPress> key(bool with_hold) {
    Fields<KeyPress> f;
    f.integer("key", &KeyPress::key, 1, 31, "which key").required();
    if (with_hold) f.duration("hold", &KeyPress::hold, 1_ms, 60_s, "how long it is held down");
    return f;
}

const DeviceRegistrar registrar{
    ModelOf<Bc7278, S>("bc7278", "display and keypad controller with its four-digit display and keypad", settings())
        .action<KeyPress>("press", "a key held down for `hold`, then let go", key(true),
                          [](Bc7278& d, const KeyPress& k) { d.press(k.key, k.hold); })
        .action<KeyPress>("down", "a key pressed and held until `up`", key(false),
                          [](Bc7278& d, const KeyPress& k) { d.key_down(k.key); })
        .action<KeyPress>("up", "a key held down is let go", key(false), [](Bc7278& d, const KeyPress& k) { d.key_up(k.key); })
        .shows("display", ShownType::Text,
               "the four digits as a person reads them now, each followed by '.' when its point is lit (\"  7.0\")")
        .shows("blinking", ShownType::Text, "what blinks and how fast; empty when nothing does")};

}  // namespace

}  // namespace pikit::sim
