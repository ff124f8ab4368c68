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

// Wall time a thread has been seen asleep (blocked, not waiting for a
// processor), added up look by look. A look only tells the thread's state at
// that instant, so a stretch counts only when the thread was asleep at both
// its ends, and only as far as the supervisor meant it to last: when the
// supervisor itself got no processor for a while (a busy host), or held the
// board lock while it waited for one, that lateness is its own and says
// nothing of the thread. A thread waiting for the board lock the supervisor
// holds is asleep at that look, but not at the one before it (it was let go
// in between), so such a look adds nothing either.
struct AsleepTime {
    Time total = 0;
    Time last = 0;     // wall time of the last look
    Time planned = 0;  // when the next look was due
    bool asleep_at_last = false;

    void start(Time wall) { *this = {0, wall, wall, false}; }
    void look(Time wall, bool asleep) {
        if (asleep && asleep_at_last) total += std::max<Time>(0, std::min(wall, planned) - last);
        asleep_at_last = asleep;
        last = wall;
        planned = wall;
    }
    // The next look, at `at` (the supervisor may come later).
    Time next(Time at) {
        planned = at;
        return at;
    }
};

// The holder being watched for a stall: its calls, the clock, and its CPU
// time when it was first seen not to have made a call since the last look,
// and how long it has been seen asleep since. Only the holder moves the
// clock, so a clock that moved shows calls too, also fast ones, which are
// not counted.
struct StallWatch {
    Board::Impl::Thread* watched = nullptr;
    std::uint64_t calls = 0;
    Time now = 0, cpu = 0;
    AsleepTime asleep;
};

// The free threads' CPU times when the activity now settling was first seen,
// and the wall time that has passed since, look by look: as for a holder,
// the supervisor's own lateness is not counted.
struct SettleWatch {
    std::uint64_t activity = UINT64_MAX;
    std::vector<std::pair<Board::Impl::Thread*, Time>> from;
    Time waited = 0;
    Time last = 0, planned = 0;

    void look(Time wall) {
        waited += std::max<Time>(0, std::min(wall, planned) - last);
        last = planned = wall;
    }
    Time next(Time at) {
        planned = at;
        return at;
    }
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
        w = {h, h->calls, im.b.now(), thread_cpu(*h), {}};
        w.asleep.start(wall);
        return w.asleep.next(wall + std::min(l.rewatch, l.stall_cpu));
    }
    const Time cpu = h->has_cpu ? cpu_time(h->cpu) - w.cpu : 0;
    if (cpu < l.stall_cpu) {
        // Wall time only counts while the holder sleeps: one that is
        // runnable but gets no processor on a busy host is neither blocked
        // nor spinning, and must not be set free for it.
        w.asleep.look(wall, !thread_runnable(h->tid));
        if (w.asleep.total < l.settle_wall)
            return w.asleep.next(wall + std::min(l.stall_cpu - cpu, l.settle_wall - w.asleep.total));
    }
    im.fast.revoke(lk);
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
        s.waited = 0;
        s.last = wall;
        return s.next(wall + std::min(l.settle_cpu, l.settle_wall));
    }
    s.look(wall);
    Time short_of = 0;
    if (s.waited >= l.settle_wall) {
        // As for a holder: a free thread that waits for a processor has not
        // had its chance yet.
        for (auto& [t, c0] : s.from) {
            if (t->st != Board::Impl::St::Free || !t->has_cpu) continue;
            if (cpu_time(t->cpu) - c0 < l.settle_cpu && thread_runnable(t->tid)) s.waited = 0;
        }
    }
    if (s.waited < l.settle_wall) {
        for (auto& [t, c0] : s.from) {
            if (t->st != Board::Impl::St::Free) continue;
            const Time used = t->has_cpu ? cpu_time(t->cpu) - c0 : 0;
            short_of = std::max(short_of, t->has_cpu ? l.settle_cpu - used : l.settle_wall);
        }
    }
    if (short_of > 0) return s.next(wall + std::min(short_of, l.settle_wall - s.waited));
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
    if (im.supervisor.advance_paused) {
        im.supervisor.advance_paused = false;
        wake = wall_time() + 50000;
    }
    if (im.holder) return std::min(wake, wall_time());  // a new holder: start watching it
    const Time next = im.next_event_time();
    if (next != kNever && !im.limit.held && im.ending == 0 && !(im.settled_activity != im.activity && im.any_free()) &&
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
        if (limit.term_to_send) send_limit_term();
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
        if (limit.term_to_send) continue;
        if (wake == kNever) {
            supervisor.idle = true;
            supervisor.cv.wait(lk);
            supervisor.idle = false;
        } else {
            const Time delta = wake - wall_time();
            if (delta > 0) {
                supervisor.cv.wait_for(lk, std::chrono::nanoseconds(delta));
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
