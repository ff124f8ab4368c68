// The board as seen from outside the program: a live view's threads take
// what a person sees and give inputs while the program runs. None of these threads is a
// program thread: they never hold the clock and hold the board lock only
// for a moment.
#include <algorithm>
#include <cmath>

#include "board_impl.h"

namespace pikit::sim {

BoardSnapshot Board::snapshot(const std::function<void()>& also) const {
    std::lock_guard<std::mutex> g(impl_->m);
    const Impl& im = *impl_;
    BoardSnapshot s;
    s.now = now();
    s.running = !im.outputs_closed;
    s.speed = options_.speed;
    s.speed_factor = options_.speed_factor;
    s.paused = im.pacing.paused;
    for (const auto& d : im.devices) s.devices.push_back({d->name(), d->type()});
    for (const auto& [where, state] : im.shown) s.shown.push_back({where.first, where.second, state.value});
    for (int pin = 0; pin < kPins; ++pin) {
        const Impl::Pin& p = im.pins[pin];
        if (!p.used || !is_header_pin(pin)) continue;
        const bool module = std::any_of(p.attached.begin(), p.attached.end(),
                                        [](const Impl::Attachment& a) { return a.drive != Drive::Release; });
        s.pins.push_back({pin, p.mode == kModeOutput, p.level, p.floating, module, p.wave});
    }
    if (also) also();
    return s;
}

std::optional<Time> Board::stimulate(const std::function<std::function<void()>()>& make) {
    Impl& im = *impl_;
    std::unique_lock<std::mutex> lk(im.m);
    // Over, or standing still at the run limit while the program reacts to
    // its SIGTERM: nothing a person does can happen any more.
    if (im.finished || im.outputs_closed || im.limit.held || im.limit.reached) return std::nullopt;
    std::function<void()> fn = make();  // may throw: nothing is applied
    // A fast pin call moves the clock without the lock; once revoked, the
    // clock stands where it is until this lock is let go, and everything due
    // up to now has happened, nothing after.
    im.fast.revoke(lk);
    Time at = add_time(now(), 1);
    if (options_.speed != Speed::Max && !im.pacing.paused) {
        // Paced: where the wall clock says virtual time is, if the run is
        // behind it (between two events, time jumps, it does not flow).
        const double factor = options_.speed == Speed::Realtime ? 1.0 : options_.speed_factor;
        const double wall = static_cast<double>(wall_time() - im.pacing.wall_origin) * factor;
        if (wall > static_cast<double>(at) && wall < static_cast<double>(kMaxDuration)) at = static_cast<Time>(std::floor(wall));
    }
    im.schedule_stimulus(at, std::move(fn));
    // Whoever moves time next sees it: the holder at its next call, else the
    // supervisor, which may be asleep until a later event or the wall clock.
    im.supervisor.cv.notify_all();
    return at;
}

void Board::set_pace(Speed speed, double factor, bool paused) {
    Impl& im = *impl_;
    std::unique_lock<std::mutex> lk(im.m);
    im.fast.revoke(lk);  // fast pin calls are for a run at full speed only
    options_.speed = speed;
    options_.speed_factor = factor;
    im.pacing.paused = paused;
    // Paced from here on: the wall clock's origin moves so that now is now.
    if (speed != Speed::Max && !paused) {
        const double f = speed == Speed::Realtime ? 1.0 : factor;
        im.pacing.wall_origin = static_cast<Time>(std::max(-4e18, static_cast<double>(wall_time()) - static_cast<double>(now()) / f));
    }
    // Whoever waits for the wall clock looks again.
    im.supervisor.cv.notify_all();
}

}  // namespace pikit::sim
