#include "devices/button.h"

#include "core/board.h"
#include "core/model.h"

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
    if (player_.playing()) board()->info(*this, "pushed again while still down: the earlier press ends here");
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

void Button::down(int bounce_edges) {
    if (pressed_) {
        board()->info(*this, "pushed while already down: nothing changes");
        return;
    }
    release_.cancel();
    std::vector<LinePlayer::Segment> segments;
    bounce(segments, bounce_edges, Drive::Low);
    ++presses_;
    board()->info(*this, "pushed down (" + std::to_string(bounce_edges) + " bounce edge(s))");
    set_pressed(true);
    player_.play(std::move(segments), Drive::Low);
}

void Button::up(int release_bounce_edges) {
    if (!pressed_) {
        board()->info(*this, "let go while not pushed: nothing changes");
        return;
    }
    release_.cancel();
    std::vector<LinePlayer::Segment> segments;
    bounce(segments, release_bounce_edges, Drive::Release);
    board()->info(*this, "let go (" + std::to_string(release_bounce_edges) + " bounce edge(s))");
    set_pressed(false);
    player_.play(std::move(segments), Drive::Release);
}

namespace {

using S = Button::Settings;
using Press = Button::Press;

constexpr const char* kEven = "an even number: the contact ends where it started bouncing";

void even(const Config& c, const char* key, int edges) {
    if (edges % 2 != 0) c.fail(key, "expected an even number (the contact ends where it started bouncing)");
}

Fields<S> settings() {
    return Fields<S>()
        .pin("pin", &S::pin, "the button's line")
        .flag("pull_up", &S::pull_up, "the module's own pull-up to 3.3V (false: a bare button that needs one elsewhere)")
        .integer("bounce_edges", &S::bounce_edges, 0, 100, "extra edges a press gives as the contact closes (2: LOW, HIGH, LOW)")
        .when(kEven)
        .integer("release_bounce_edges", &S::release_bounce_edges, 0, 100, "extra edges as the contact opens")
        .defaults("as bounce_edges")
        .when(kEven)
        .duration("bounce_time", &S::bounce_time, 100_us, 50_ms, "how long the contact bounces, press or release")
        .integer("seed", &S::seed, 0, 0x7FFFFFFF, "seed of the bounce edges' random moments: runs repeat exactly")
        // A release bounces as its press did unless it says otherwise.
        .derive([](S& s, const Config& c) {
            if (!c.has("release_bounce_edges")) s.release_bounce_edges = s.bounce_edges;
        })
        .rule([](const S& s, const Config& c) {
            even(c, "bounce_edges", s.bounce_edges);
            even(c, "release_bounce_edges", s.release_bounce_edges);
        });
}

Fields<Press> edges(bool closing) {
    const char* key = closing ? "bounce_edges" : "release_bounce_edges";
    return Fields<Press>()
        .integer(key, closing ? &Press::bounce_edges : &Press::release_bounce_edges, 0, 100,
                 closing ? "extra edges as the contact closes" : "extra edges as the contact opens")
        .defaults(closing ? "the button's bounce_edges" : "the button's release_bounce_edges")
        .when(kEven)
        .rule(
            [closing, key](const Press& p, const Config& c) { even(c, key, closing ? p.bounce_edges : p.release_bounce_edges); });
}

void from_button(const S& s, Press& p) {
    p.bounce_edges = s.bounce_edges;
    p.release_bounce_edges = s.release_bounce_edges;
}

const DeviceRegistrar registrar{
    ModelOf<Button, S>("button", "push button to ground, with the module's pull-up and a bouncing contact", settings())
        .action<Press>(
            "press", "push the button and let it go after `hold`",
            Fields<Press>()
                .duration("hold", &Press::hold, 1_ms, 10 * 60_s, "from the first edge of the press to the first of the release")
                .include(edges(true))
                .include(edges(false)),
            [](Button& b, const Press& p) { b.press(p); }, from_button,
            [](const S& s, const Press& p, const Config& c) {
                if (p.bounce_edges > 0 && p.hold <= s.bounce_time)
                    c.fail("hold", "must be longer than the bounce time (" + format_duration(s.bounce_time) + ")");
            })
        .action<Press>(
            "down", "push the button and hold it down until `up`", edges(true),
            [](Button& b, const Press& p) { b.down(p.bounce_edges); }, from_button)
        .action<Press>(
            "up", "let the button go", edges(false), [](Button& b, const Press& p) { b.up(p.release_bounce_edges); }, from_button)
        .shows("pressed", ShownType::Flag, "the button is held down")};

}  // namespace

}  // namespace pikit::sim
