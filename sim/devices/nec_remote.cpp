// NEC remote control and infrared receiver module. See nec_remote.h for what
// they do; this file is the remote's transmitter (frames and repeat codes
// played on its light net) and the receiver that turns that light into the
// level of the output pin.
#include "devices/nec_remote.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "core/board.h"
#include "core/model.h"
#include "core/format.h"

namespace pikit::sim {

namespace {

Time scale(Time nominal, double clock_error) {
    return static_cast<Time>(std::llround(static_cast<double>(nominal) * (1.0 + clock_error / 100.0)));
}

}  // namespace

NecRemote::NecRemote(std::string name, Settings settings)
    : Device("nec-remote", std::move(name)), settings_(settings), rng_(settings.glitch_seed) {}

Time NecRemote::scaled(Time nominal) const { return scale(nominal, settings_.clock_error); }

std::vector<LinePlayer::Segment> NecRemote::frame_light(const std::array<std::uint8_t, 4>& bytes, double clock_error) {
    std::vector<LinePlayer::Segment> s;
    s.reserve(2 + 64 + 1);
    s.push_back({Drive::High, scale(kLeaderBurst, clock_error)});
    s.push_back({Drive::Low, scale(kLeaderSpace, clock_error)});
    for (std::uint8_t byte : bytes) {
        for (int bit = 0; bit < 8; ++bit) {  // least significant bit first
            s.push_back({Drive::High, scale(kBitBurst, clock_error)});
            s.push_back({Drive::Low, scale((byte >> bit) & 1 ? kOneSpace : kZeroSpace, clock_error)});
        }
    }
    s.push_back({Drive::High, scale(kBitBurst, clock_error)});  // ends the last bit's space
    return s;
}

std::vector<LinePlayer::Segment> NecRemote::repeat_light(double clock_error) {
    return {{Drive::High, scale(kLeaderBurst, clock_error)},
            {Drive::Low, scale(kRepeatSpace, clock_error)},
            {Drive::High, scale(kBitBurst, clock_error)}};
}

void NecRemote::attach(Board& board) {
    light_ = board.net(name() + ".light");
    board.attach(*this, light_, PinRole::PushPull);
    board.drive(*this, light_, Drive::Low);  // dark
    player_.bind(board, *this, light_);
    repeat_.bind(board, [this] {
        if (held_) transmit({Kind::Repeat, {}, true});
    });
    release_.bind(board, [this] { release(); });
    slot_.bind(board, [this] { start_next(); });
    rise_.bind(board, [this] {
        demod_low_ = false;
        update_output();
    });
    random_glitch_.bind(board, [this] {
        glitch(settings_.glitch_length);
        schedule_random_glitch();
    });

    if (settings_.absent) {
        // Nothing on the pin: listen only, so the line is left to its pull.
        board.attach(*this, settings_.pin, PinRole::Input);
        board.info(*this, "absent: no receiver on " + pin_name(settings_.pin) + ", the line follows its pull");
    } else {
        board.attach(*this, settings_.pin, PinRole::PushPull);
        update_output();
    }
    board.show(*this, "held", false);
    schedule_random_glitch();
}

void NecRemote::on_edge(int pin, Level level) {
    if (pin != light_) return;
    if (is_high(level)) {
        // Carrier: the output falls at once, and a late rise still pending
        // from the previous burst never comes (the space was swallowed).
        rise_.cancel();
        demod_low_ = true;
        update_output();
    } else if (settings_.stretch > 0) {
        rise_.in(settings_.stretch);
    } else {
        demod_low_ = false;
        update_output();
    }
}

void NecRemote::update_output() {
    output_low_ = demod_low_ != (glitch_depth_ > 0);
    if (!settings_.absent) board()->drive(*this, settings_.pin, output_low_ ? Drive::Low : Drive::High);
}

void NecRemote::glitch(Time length) {
    ++glitch_count_;
    ++glitch_depth_;
    board()->report(*this, ReportKind::Fault, "glitch: output inverted for " + format_duration(length));
    update_output();
    board()->schedule(board()->now() + length, [this] {
        --glitch_depth_;
        update_output();
    });
}

void NecRemote::schedule_random_glitch() {
    if (settings_.glitch_every <= 0) return;
    // Exponentially distributed gaps from the generator's raw output, which
    // the standard fixes for every library: the same seed gives the same
    // glitches everywhere.
    const double u = (static_cast<double>(rng_()) + 0.5) / 4294967296.0;
    const Time gap = static_cast<Time>(std::llround(-std::log(u) * static_cast<double>(settings_.glitch_every)));
    random_glitch_.in(std::max<Time>(gap, 1));
}

// ---------------------------------------------------------------- remote

void NecRemote::press(std::uint16_t address, bool extended, std::uint8_t command, Time hold) {
    if (held_) release();
    // Repeats of the key let go of are not sent any more.
    for (auto it = queue_.begin(); it != queue_.end();) {
        it = it->from_key && it->kind == Kind::Repeat ? queue_.erase(it) : it + 1;
    }
    const std::uint8_t lo = static_cast<std::uint8_t>(address & 0xFF);
    const std::uint8_t second = extended ? static_cast<std::uint8_t>(address >> 8) : static_cast<std::uint8_t>(~lo);
    board()->show(*this, "key",
                  Shown::record({{"address", static_cast<long>(address)}, {"command", static_cast<long>(command)}}).in_hex(2));
    if (hold == kNever) {
        // Held until let go.
        board()->info(*this, "key down: address " + hex(address, extended ? 4 : 2) + ", command " + hex(command, 2));
        held_ = true;
        release_at_ = kNever;
        board()->show(*this, "held", true);
    } else {
        board()->info(*this, "key pressed: address " + hex(address, extended ? 4 : 2) + ", command " + hex(command, 2) +
                                 ", held " + format_duration(hold));
        if (hold > 0) {
            held_ = true;
            release_at_ = board()->now() + hold;
            release_.at(release_at_);
            board()->show(*this, "held", true);
        }
    }
    transmit({Kind::Frame, {lo, second, command, static_cast<std::uint8_t>(~command)}, true});
}

void NecRemote::release() {
    held_ = false;
    repeat_.cancel();
    release_.cancel();
    board()->show(*this, "held", false);
}

void NecRemote::let_go() {
    if (!held_) {
        board()->info(*this, "key up while none is held: nothing changes");
        return;
    }
    board()->info(*this, "key up");
    release();
}

void NecRemote::set_link(std::optional<double> clock_error, std::optional<Time> stretch) {
    if (clock_error) settings_.clock_error = *clock_error;
    if (stretch) settings_.stretch = *stretch;
    board()->info(*this, "link set: clock error " + std::to_string(settings_.clock_error) + " %, stretch " +
                             format_duration(settings_.stretch));
}

void NecRemote::send_frame(const std::array<std::uint8_t, 4>& bytes) { transmit({Kind::Frame, bytes, false}); }

void NecRemote::send_repeat() { transmit({Kind::Repeat, {}, false}); }

void NecRemote::transmit(const Pending& p) {
    queue_.push_back(p);
    if (!player_.playing() && !slot_.armed()) start_next();
}

void NecRemote::start_next() {
    if (queue_.empty()) return;
    const Time now = board()->now();
    if (last_start_ >= 0 && now < last_start_ + scaled(kRepeatPeriod)) {
        slot_.at(last_start_ + scaled(kRepeatPeriod));
        return;
    }
    const Pending p = queue_.front();
    queue_.pop_front();
    last_start_ = now;
    if (!board()->options().record_history) sent_.clear();
    sent_.push_back({now, p.kind, p.bytes});
    ++sent_count_;
    board()->info(*this, p.kind == Kind::Frame ? "sends frame " + hex_digits(p.bytes.data(), p.bytes.size(), " ")
                                               : std::string("sends repeat code"));
    if (p.from_key && held_) {
        // The next repeat counts from the start of this transmission, and
        // goes out only if the key is still down by then.
        const Time next = now + scaled(kRepeatPeriod);
        if (next < release_at_) repeat_.at(next);
    }
    player_.play(p.kind == Kind::Frame ? frame_light(p.bytes, settings_.clock_error) : repeat_light(settings_.clock_error),
                 Drive::Low, [this] { start_next(); });
}

void NecRemote::finish() {
    if (!board()) return;
    board()->info(
        *this, "summary: " + std::to_string(sent_count_) + " transmission(s), " + std::to_string(glitch_count_) + " glitch(es)");
}

// ---------------------------------------------------------------- scenario

namespace {

using S = NecRemote::Settings;

// The arguments of the remote's actions.
struct Key {
    long address = 0;
    std::optional<bool> extended;  // default: an address above 0xFF
    long command = 0;
    Time hold = 0;
};
struct Frame {
    std::vector<std::uint8_t> bytes;
};
struct Glitch {
    Time length = 0;
};
struct Link {
    std::optional<double> clock_error;
    std::optional<Time> stretch;
};

// Shorter or denser interference does not get through a receiver as
// glitches (see NecRemote::kMinGlitchLength).
constexpr Time kGlitchShortest = NecRemote::kMinGlitchLength;
constexpr Time kGlitchLongest = 10_ms;

Fields<S> settings() {
    return Fields<S>()
        .pin("pin", &S::pin, "the receiver's output")
        .number("clock_error", &S::clock_error, -50, 50,
                "the remote's clock off by this much: every length of its frames, and their period, scale by it")
        .unit("%")
        .duration("stretch", &S::stretch, 0, 1_ms,
                  "the receiver lengthens every burst and shortens every space by this much (real ones: up to 100us)")
        .group("glitches",
               Fields<S>()
                   .duration("every", &S::glitch_every, NecRemote::kMinGlitchInterval, kMaxDuration,
                             "mean interval between glitches; denser interference is continuous noise to a receiver")
                   .required()
                   .duration("length", &S::glitch_length, kGlitchShortest, kGlitchLongest,
                             "how long each one lasts; a receiver passes none shorter")
                   .integer("seed", &S::glitch_seed, 0, 0x7FFFFFFF, "seed of their random times: runs repeat exactly"),
               "random interference: at random times the receiver's output is inverted for `length`")
        .flag("absent", &S::absent, "no receiver on the pin: the line follows its pull alone");
}

Fields<Key> key_fields(bool with_hold) {
    Fields<Key> f;
    f.integer("address", &Key::address, 0, 0xFFFF, "the remote's address; above 0xFF a 16-bit extended one")
        .hex()
        .integer("command", &Key::command, 0, 0xFF, "the key's command")
        .hex()
        .required()
        .flag("extended", &Key::extended, "send the address as a 16-bit extended one (low byte first)")
        .defaults("true for an address above 0xFF");
    if (with_hold)
        f.duration("hold", &Key::hold, 0, 10 * 60_s,
                   "how long the key is held: repeat codes every 108ms after the frame while it is");
    return f;
}

void check_key(const S&, const Key& k, const Config& c) {
    if (k.extended && !*k.extended && k.address > 0xFF)
        c.fail("address", "an 8-bit address is 0 to 255; this one needs extended: true");
}

void press(NecRemote& r, const Key& k, Time hold) {
    r.press(static_cast<std::uint16_t>(k.address), k.extended.value_or(k.address > 0xFF), static_cast<std::uint8_t>(k.command),
            hold);
}

const DeviceRegistrar registrar{
    ModelOf<NecRemote, S>("nec-remote", "an NEC infrared remote and the receiver module it shines at", settings())
        .action<Key>(
            "press", "a key: its frame, then repeat codes while it is held", key_fields(true),
            [](NecRemote& r, const Key& k) { press(r, k, k.hold); }, {}, check_key)
        .action<Key>(
            "down", "a key pressed and held until `up`: its frame, then repeat codes", key_fields(false),
            [](NecRemote& r, const Key& k) { press(r, k, kNever); }, {}, check_key)
        .action("up", "the key held is let go: no more repeat codes", [](NecRemote& r) { r.let_go(); })
        .action<Frame>("frame", "any four bytes with NEC timing",
                       Fields<Frame>().bytes("bytes", &Frame::bytes, 4, 4, "the frame's bytes in the order sent").required(),
                       [](NecRemote& r, const Frame& f) {
                           r.send_frame({f.bytes[0], f.bytes[1], f.bytes[2], f.bytes[3]});
                       })
        .action("repeat", "one repeat code", [](NecRemote& r) { r.send_repeat(); })
        .action<Glitch>(
            "glitch", "invert the receiver's output once, now",
            Fields<Glitch>().duration("length", &Glitch::length, kGlitchShortest, kGlitchLongest, "for how long").required(),
            [](NecRemote& r, const Glitch& g) { r.glitch(g.length); })
        .action<Link>(
            "set", "change the link from now on: clock_error, stretch or both",
            Fields<Link>()
                .number("clock_error", &Link::clock_error, -50, 50, "the remote's clock error")
                .unit("%")
                .defaults("unchanged")
                .duration("stretch", &Link::stretch, 0, 1_ms, "the receiver's stretch of every burst")
                .defaults("unchanged"),
            [](NecRemote& r, const Link& l) { r.set_link(l.clock_error, l.stretch); }, {},
            [](const S&, const Link& l, const Config& c) {
                if (!l.clock_error && !l.stretch) c.fail_here("'set' needs clock_error or stretch");
            })
        .shows("held", ShownType::Flag, "a key of the remote is held down")
        .shows("key", ShownType::Record, "the last key pressed: address and command")};

}  // namespace

}  // namespace pikit::sim
