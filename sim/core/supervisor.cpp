// The supervisor: a thread of the kit's own that watches the program's
// threads from outside, where the clock cannot see them.
//
// A thread that holds the clock but stops calling the library (it spins on
// memory, or blocks on something the kit cannot see) is noticed from its CPU
// and wall time (Options::stall_cpu, settle_wall) and set free: time may
// then advance without it, but only after the free threads have had a fair
// chance (Options::settle_cpu of CPU time each, with no library call
// anywhere) to react to what the last running thread did. CPU time, not
// wall time, is what counts, so a thread that is merely descheduled on a
// busy host is never taken for a spinning one; and the limits grow with the
// host's measured slowness.
//
// Its loop asks each watcher for its next look (a wall time) and sleeps
// until the earliest: the stall of a holder, the settling of free threads
// before time advances, a paced run's next event, threads that are ending,
// and the program's reaction to the run limit (run_limit.cpp).
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "board_impl.h"
#include "host.h"

namespace pikit::sim {

namespace {

// The supervisor's limits, grown with the host's slowness. Code run for the
// first time can cost far more than that says (an emulator translates it
// first), and a thread reacting to a change may well run some: each limit is
// at least twice what a batch of fresh code took on this host.
struct Limits {
    Time stall_cpu;
    Time settle_cpu;
    Time settle_wall;
    // While the holder keeps calling, look again this often: a stall is then
    // noticed at most this long after stall_cpu.
    Time rewatch;
};

Limits limits_for(const Options& o) {
    const bool scale = o.scale_to_host;
    const double slow = scale ? host_slowness() : 1.0;
    const Time fresh = scale ? 2 * fresh_code_cpu() : 0;
    auto scaled = [&](Time limit) { return std::max(static_cast<Time>(static_cast<double>(limit) * slow), fresh); };
    Limits l{scaled(o.stall_cpu), scaled(o.settle_cpu), scaled(o.settle_wall), 0};
    l.rewatch = std::max<Time>(l.stall_cpu / 16, 100000);
    return l;
}

// The holder being watched for a stall: its calls, the clock, and its CPU
// and wall time when it was first seen not to have made a call since the
// last look. Only the holder moves the clock, so a clock that moved shows
// calls too, also fast ones, which are not counted.
struct StallWatch {
    Board::Impl::Thread* watched = nullptr;
    std::uint64_t calls = 0;
    Time now = 0, cpu = 0, wall = 0;
};

// The free threads' CPU times when the activity now settling was first seen.
struct SettleWatch {
    std::uint64_t activity = UINT64_MAX;
    std::vector<std::pair<Board::Impl::Thread*, Time>> from;
    Time since = 0;
};

Time thread_cpu(const Board::Impl::Thread& t) { return t.has_cpu ? cpu_time(t.cpu) : 0; }

}  // namespace

// A holder that stopped calling the library is set free (not the one still
// wiring the scenario before main()). CPU time cannot grow faster than wall
// time, so a watch ends no sooner than stall_cpu after the holder's last
// call. Returns the next look; `wall` itself to look again at once.
static Time watch_stall(Board::Impl& im, std::unique_lock<std::mutex>& lk, StallWatch& w, Time wall, const Limits& l) {
    Board::Impl::Thread* h = im.holder;
    if (!h) {
        w.watched = nullptr;
        return kNever;
    }
    if (h != w.watched || h->calls != w.calls || im.b.now() != w.now || im.start_held || im.rewatch_holder) {
        im.rewatch_holder = false;
        w = {h, h->calls, im.b.now(), thread_cpu(*h), wall};
        return wall + std::min(l.rewatch, l.stall_cpu);
    }
    const Time cpu = h->has_cpu ? cpu_time(h->cpu) - w.cpu : 0;
    // Wall time only counts while the holder sleeps: one that is runnable
    // but gets no processor on a busy host is neither blocked nor spinning,
    // and must not be set free for it.
    if (cpu < l.stall_cpu && wall - w.wall >= l.settle_wall && thread_runnable(h->tid)) w.wall = wall;
    if (cpu < l.stall_cpu && wall - w.wall < l.settle_wall)
        return wall + std::min(l.stall_cpu - cpu, w.wall + l.settle_wall - wall);
    im.fast.revoke();
    w.watched = nullptr;
    if (h->calls != w.calls || im.b.now() != w.now) return wall;  // a fast call came first: watch afresh
    h->st = Board::Impl::St::Free;
    im.holder = nullptr;
    ++im.activity;  // what it did since its last call, others may react to
    im.dispatch(lk);
    return kNever;
}

// With no holder, time may advance only once the free threads have had
// their chance: each has used settle_cpu since the activity now settling,
// or settle_wall has passed (threads blocked elsewhere). Returns the next
// look.
static Time watch_settle(Board::Impl& im, SettleWatch& s, Time wall, const Limits& l) {
    if (im.next_event_time() == kNever || im.settled_activity == im.activity || !im.any_free()) return kNever;
    if (s.activity != im.activity) {
        s.activity = im.activity;
        s.from.clear();
        for (const auto& t : im.threads)
            if (t->st == Board::Impl::St::Free) s.from.emplace_back(t.get(), thread_cpu(*t));
        s.since = wall;
        return wall + std::min(l.settle_cpu, l.settle_wall);
    }
    Time short_of = 0;
    if (wall - s.since >= l.settle_wall) {
        // As for a holder: a free thread that waits for a processor has not
        // had its chance yet.
        for (auto& [t, c0] : s.from) {
            if (t->st != Board::Impl::St::Free || !t->has_cpu) continue;
            if (cpu_time(t->cpu) - c0 < l.settle_cpu && thread_runnable(t->tid)) s.since = wall;
        }
    }
    if (wall - s.since < l.settle_wall) {
        for (auto& [t, c0] : s.from) {
            if (t->st != Board::Impl::St::Free) continue;
            const Time used = t->has_cpu ? cpu_time(t->cpu) - c0 : 0;
            short_of = std::max(short_of, t->has_cpu ? l.settle_cpu - used : l.settle_wall);
        }
    }
    if (short_of > 0) return wall + std::min(short_of, s.since + l.settle_wall - wall);
    im.settled_activity = im.activity;
    s.activity = UINT64_MAX;
    return kNever;
}

// Time goes on where it may (dispatch), and the next look: a paced run
// waits for the next event's moment on the wall clock, but not while time
// stands still, at the run limit or until ending threads are gone, when that
// moment may be past and still no event may run.
static Time advance(Board::Impl& im, std::unique_lock<std::mutex>& lk) {
    Time wake = kNever;
    im.dispatch(lk);
    if (im.advance_paused) {
        im.advance_paused = false;
        wake = wall_time() + 50000;
    }
    if (im.holder) return std::min(wake, wall_time());  // a new holder: start watching it
    const Time next = im.next_event_time();
    if (next != kNever && !im.held_at_limit && im.ending == 0 && !(im.settled_activity != im.activity && im.any_free()) &&
        im.paced())
        wake = std::min(wake, im.wall_deadline(next));
    return wake;
}

void Board::Impl::supervise() {
    // Sleep until the moment a decision may be due, not a tick later: the
    // default timer slack (50 us) would be a good part of each settling step.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    std::unique_lock<std::mutex> lk(m);
    const Limits l = limits_for(b.options_);
    StallWatch stall;
    SettleWatch settle;
    while (!finished) {
        const Time wall = wall_time();
        // Time moved on by fast pin calls, which take no lock: what was
        // shown at an earlier instant is published now, not at the next call
        // that takes the lock.
        settle_if_over();
        if (term_to_send) send_limit_term();
        Time wake = watch_after_limit(lk, wall, l.settle_wall);
        // Threads that are ending: time goes on once they have really gone.
        if (ending > 0) {
            reap_ended(lk);
            if (ending > 0) wake = std::min(wake, wall + kSupervisorPoll);
        }
        wake = std::min(wake, watch_stall(*this, lk, stall, wall, l));
        if (!holder && !dispatching) {
            wake = std::min(wake, watch_settle(*this, settle, wall, l));
            wake = std::min(wake, advance(*this, lk));
        }
        if (finished) break;
        // The run limit came while this thread advanced time: its SIGTERM
        // goes out now, and the watch over the program's reaction begins.
        if (term_to_send) continue;
        if (wake == kNever) {
            supervisor_idle = true;
            supervisor_cv.wait(lk);
            supervisor_idle = false;
        } else {
            const Time delta = wake - wall_time();
            if (delta > 0) {
                supervisor_cv.wait_for(lk, std::chrono::nanoseconds(delta));
            } else {
                // Look again at once, but let go of the lock first: a
                // program thread may be waiting for it.
                lk.unlock();
                std::this_thread::yield();
                lk.lock();
            }
        }
    }
}

}  // namespace pikit::sim
