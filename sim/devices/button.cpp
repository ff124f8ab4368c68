#include "devices/button.h"

#include "core/board.h"
#include "core/config.h"

namespace pikit::sim {

Button::Button(std::string name, Settings settings)
    : Device("button", std::move(name)), settings_(settings), rng_(settings.seed) {}

void Button::attach(Board& board) {
    // The contact can only pull the line to ground.
    board.attach(*this, settings_.pin, PinRole::OpenDrain);
    if (settings_.pull_up) board.pull(*this, settings_.pin, Pull::Up);
    player_.bind(board, *this, settings_.pin);
    release_.bind(board, [this] { set_pressed(false); });
    board.show(*this, "pressed", false);
}

void Button::bounce(std::vector<LinePlayer::Segment>& out, int edges, Drive first) {
    if (edges == 0) return;
    // Random moments within the bounce time: lengths in proportion to
    // random weights (the engine's raw output, the same on every platform).
    std::vector<std::uint32_t> weights;
    std::uint64_t sum = 0;
    for (int i = 0; i < edges; ++i) {
        weights.push_back(1 + rng_() % 1000);
        sum += weights.back();
    }
    Drive d = first;
    for (std::uint32_t w : weights) {
        const Time length = std::max<Time>(1_us, settings_.bounce_time * static_cast<Time>(w) / static_cast<Time>(sum));
        out.push_back({d, length});
        d = d == Drive::Low ? Drive::Release : Drive::Low;
    }
}

void Button::press(const Press& p) {
    if (player_.playing())
        board()->info(*this, "pushed again while still down: the earlier press ends here");
    std::vector<LinePlayer::Segment> segments;
    bounce(segments, p.bounce_edges, Drive::Low);
    const Time bounced = LinePlayer::length(segments);
    segments.push_back({Drive::Low, p.hold - bounced});
    bounce(segments, p.release_bounce_edges, Drive::Release);
    ++presses_;
    board()->info(*this, "pushed for " + format_duration(p.hold) + " (" + std::to_string(p.bounce_edges) +
                             " bounce edge(s) down, " + std::to_string(p.release_bounce_edges) + " up)");
    set_pressed(true);
    release_.in(p.hold);
    player_.play(std::move(segments), Drive::Release);
}

void Button::set_pressed(bool down) {
    if (down == pressed_) return;
    pressed_ = down;
    board()->show(*this, "pressed", down);
}

namespace {

int edge_count(const Config& c, const char* key, int fallback) {
    const long n = c.integer(key, fallback, 0, 100);
    if (n % 2 != 0) c.fail(key, "expected an even number (the contact ends where it started bouncing)");
    return static_cast<int>(n);
}

}  // namespace

std::function<void()> Button::stimulus(const std::string& action, const Config& args) {
    if (action != "press") args.fail("action", "unknown action of a button (known: press)");
    Press p;
    p.hold = args.duration("hold", p.hold);
    p.bounce_edges = edge_count(args, "bounce_edges", settings_.bounce_edges);
    p.release_bounce_edges = edge_count(args, "release_bounce_edges", settings_.release_bounce_edges);
    if (p.hold <= (p.bounce_edges > 0 ? settings_.bounce_time : 0))
        args.fail("hold", "must be longer than the bounce time (" + format_duration(settings_.bounce_time) + ")");
    return [this, p] { press(p); };
}

namespace {

std::unique_ptr<Device> make_button(const std::string& name, const Config& c) {
    Button::Settings s;
    s.pin = c.pin("pin", s.pin);
    s.pull_up = c.flag("pull_up", s.pull_up);
    s.bounce_edges = edge_count(c, "bounce_edges", s.bounce_edges);
    s.release_bounce_edges = edge_count(c, "release_bounce_edges", s.bounce_edges);
    s.bounce_time = c.duration("bounce_time", s.bounce_time);
    if (s.bounce_time <= 0) c.fail("bounce_time", "must be longer than 0");
    s.seed = static_cast<std::uint32_t>(c.integer("seed", s.seed, 0, 0x7FFFFFFF));
    return std::make_unique<Button>(name, s);
}

const DeviceRegistrar registrar{"button", make_button};

}  // namespace

}  // namespace pikit::sim
