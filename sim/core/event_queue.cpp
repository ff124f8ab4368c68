// The event queue: what happens at a virtual time, and time moving on to it.
//
// Devices, stimuli, soft PWM and tone generators, and the scheduler's own
// wake-ups schedule events; advance_to() applies them in order of time and,
// at one instant, in the order of their ids: the order they were scheduled,
// but for a scenario's stimuli, which take theirs from a band of their own
// (reserve_stimuli). Called with the board lock held.
#include <algorithm>
#include <string>
#include <utility>

#include "board_impl.h"

namespace pikit::sim {

Board::EventId Board::Impl::schedule(Time at, std::function<void()> fn) { return enqueue(queue.next++, at, std::move(fn)); }

void Board::Impl::reserve_stimuli() {
    // Far larger than any run's count of stimuli: ids given before the band
    // sort before every stimulus, ids given after it after every stimulus,
    // however many come later.
    constexpr EventId kStimulusBand = EventId{1} << 40;
    if (queue.next_stimulus != 0) return;
    queue.next_stimulus = queue.next;
    queue.next += kStimulusBand;
}

Board::EventId Board::Impl::schedule_stimulus(Time at, std::function<void()> fn) {
    reserve_stimuli();
    return enqueue(queue.next_stimulus++, at, std::move(fn));
}

Board::EventId Board::Impl::enqueue(EventId id, Time at, std::function<void()> fn) {
    queue.actions.emplace(id, std::move(fn));
    at = std::max(at, b.now());
    queue.times.push({at, id});
    queue.next_due = std::min(queue.next_due, at);
    return id;
}

void Board::Impl::cancel(EventId id) { queue.actions.erase(id); }

void Board::Impl::advance_to(const std::unique_lock<std::mutex>& lk, Time target) {
    expect_held(lk, m, "advancing time");
    if (limit.held) return;
    // The events' actions run under the caller's lock (events_lock()), also
    // when one of them ends the run with an exception (a fault in a test).
    struct Applying {
        const std::unique_lock<std::mutex>*& under;
        const std::unique_lock<std::mutex>* before;
        Applying(const std::unique_lock<std::mutex>*& u, const std::unique_lock<std::mutex>& lk) : under(u), before(u) {
            under = &lk;
        }
        ~Applying() { under = before; }
    } applying(applying_under, lk);
    // Events that keep scheduling others at the same instant would hold
    // time (and this lock) for ever: a model's fault, reported as such.
    std::uint64_t at_instant = 0;
    while (!queue.times.empty() && queue.times.top().at <= target && !finished) {
        Event e = queue.times.top();
        queue.times.pop();
        auto it = queue.actions.find(e.id);
        if (it == queue.actions.end()) continue;  // cancelled
        std::function<void()> fn = std::move(it->second);
        queue.actions.erase(it);
        if (e.at > b.now()) {
            if (!unsettled.empty()) settle_shown();
            b.now_.store(e.at, std::memory_order_relaxed);
            at_instant = 0;
        } else if (++at_instant >= b.options_.frozen_calls) {
            fatal("virtual time frozen at " + format_time(b.now()) + ": " + std::to_string(at_instant) +
                  " events at this instant, each scheduling more (a device model that never lets time go on)");
        }
        fn();
    }
    if (target > b.now()) {
        if (!unsettled.empty()) settle_shown();
        b.now_.store(target, std::memory_order_relaxed);
    }
    refresh_due();
}

const std::unique_lock<std::mutex>& Board::Impl::events_lock() const {
    if (!applying_under) lock_not_held("an event's action outside advance_to()");
    return *applying_under;
}

Time Board::Impl::next_event_time() {
    while (!queue.times.empty() && !queue.actions.count(queue.times.top().id)) queue.times.pop();
    refresh_due();
    return queue.next_due;
}

void Board::Impl::refresh_due() { queue.next_due = queue.times.empty() ? kNever : queue.times.top().at; }

}  // namespace pikit::sim
