// NEC remote control and infrared receiver module. See nec_remote.h for what
// they do; this file is the remote's transmitter (frames and repeat codes
// played on its light net) and the receiver that turns that light into the
// level of the output pin.
#include "devices/nec_remote.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/board.h"
#include "core/config.h"
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
    board()->info(*this, "key pressed: address " + hex(address, extended ? 4 : 2) + ", command " + hex(command, 2) +
                             ", held " + format_duration(hold));
    if (hold > 0) {
        held_ = true;
        release_at_ = board()->now() + hold;
        release_.at(release_at_);
        board()->show(*this, "held", true);
    }
    transmit({Kind::Frame, {lo, second, command, static_cast<std::uint8_t>(~command)}, true});
}

void NecRemote::release() {
    held_ = false;
    repeat_.cancel();
    release_.cancel();
    board()->show(*this, "held", false);
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
    board()->info(*this, "summary: " + std::to_string(sent_count_) + " transmission(s), " + std::to_string(glitch_count_) +
                             " glitch(es)");
}

// ---------------------------------------------------------------- scenario

std::function<void()> NecRemote::stimulus(const std::string& action, const Config& args) {
    if (action == "press") {
        const long address = args.integer("address", 0, 0, 0xFFFF);
        const bool extended = args.flag("extended", address > 0xFF);
        if (!extended && address > 0xFF) args.fail("address", "an 8-bit address is 0 to 255; this one needs extended: true, not");
        if (!args.has("command")) args.fail_here("'press' needs a command (0 to 255)");
        const long command = args.integer("command", 0, 0, 0xFF);
        const Time hold = args.duration("hold", 0);
        return [this, address, extended, command, hold] {
            press(static_cast<std::uint16_t>(address), extended, static_cast<std::uint8_t>(command), hold);
        };
    }
    if (action == "frame") {
        const std::vector<std::uint8_t> b = args.bytes("bytes");
        if (b.size() != 4) args.fail("bytes", "an NEC frame is four bytes, not");
        const std::array<std::uint8_t, 4> bytes{b[0], b[1], b[2], b[3]};
        return [this, bytes] { send_frame(bytes); };
    }
    if (action == "repeat") return [this] { send_repeat(); };
    if (action == "glitch") {
        const Time length = args.duration("length");
        if (length < NecRemote::kMinGlitchLength)
            args.fail("length", "a receiver passes no glitch shorter than 10us, not");
        return [this, length] { glitch(length); };
    }
    if (action == "set") {
        if (!args.has("clock_error") && !args.has("stretch")) args.fail_here("'set' needs clock_error or stretch");
        const bool has_clock = args.has("clock_error");
        const bool has_stretch = args.has("stretch");
        const double clock = args.number_in("clock_error", 0, -50, 50);
        const Time stretch = args.duration("stretch", 0);
        return [this, has_clock, has_stretch, clock, stretch] {
            if (has_clock) set_clock_error(clock);
            if (has_stretch) set_stretch(stretch);
            board()->info(*this, "link set: clock error " + std::to_string(settings_.clock_error) + " %, stretch " +
                                     format_duration(settings_.stretch));
        };
    }
    args.fail("action", "nec-remote knows the actions press, frame, repeat, glitch and set, not");
}

namespace {

std::unique_ptr<Device> make_nec_remote(const std::string& name, const Config& c) {
    NecRemote::Settings s;
    s.pin = c.pin("pin", s.pin);
    s.clock_error = c.number_in("clock_error", s.clock_error, -50, 50);
    s.stretch = c.duration("stretch", s.stretch);
    if (c.has("glitches")) {
        const Config g = c.child("glitches");
        s.glitch_every = g.duration("every");
        if (s.glitch_every < NecRemote::kMinGlitchInterval)
            g.fail("every", "a receiver takes interference more often than every 1ms as continuous noise and passes "
                            "none of it; the mean interval must be at least 1ms, not");
        s.glitch_length = g.duration("length", s.glitch_length);
        if (s.glitch_length < NecRemote::kMinGlitchLength)
            g.fail("length", "a receiver passes no glitch shorter than 10us, not");
        s.glitch_seed = static_cast<std::uint32_t>(g.integer("seed", s.glitch_seed, 0, 0x7FFFFFFF));
    }
    s.absent = c.flag("absent", s.absent);
    return std::make_unique<NecRemote>(name, s);
}

const DeviceRegistrar registrar{"nec-remote", make_nec_remote};

}  // namespace

}  // namespace pikit::sim
