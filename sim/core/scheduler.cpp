// The program's threads and virtual time.
//
// Program threads (main, interrupt handlers, threads the program starts) run
// for real, but only one of them "holds the clock" at a time: the holder's
// library calls take effect at the current virtual time and cost
// Options::pin_call_cost each. When the holder waits (delay...), the clock
// passes to the next thread that is ready, or, if none is, advances to the
// next event. Threads that become ready at one instant run in the order they
// became ready, so a scenario replays identically on every run.
//
// A thread waits inside the library on a futex of its own (park), never
// holding the board lock, so that a handler of the program's may run there
// and make calls of its own (signal_gate.h). A thread that stops calling the
// library while it holds the clock is the supervisor's business
// (supervisor.cpp).
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <string>
#include <thread>
#include <utility>

#include "board_impl.h"
#include "host.h"

namespace pikit::sim {

std::atomic<Board*> g_current{nullptr};
std::atomic<std::uint64_t> g_generation{0};
thread_local SelfTls t_self;

SelfTls::~SelfTls() {
    Board* board = g_current.load();
    if (!rec || !board || board->impl_generation() != generation) return;
    // The thread's own storage is going away: a handler of the program's
    // may no longer run on it, and what it held back goes to another thread.
    leave_for_good();
    board->thread_gone(rec);
}

void Board::Impl::pin_call(std::unique_lock<std::mutex>& lk) {
    expect_held(lk, m, "a pin call");
    if (nested_call()) return;
    Time cost = b.options_.pin_call_cost;
    if (cost == 0) {
        if (b.now() != frozen.at) {
            frozen.at = b.now();
            frozen.count = 0;
        } else if (++frozen.count >= b.options_.frozen_calls) {
            fatal("virtual time frozen at " + format_time(b.now()) + ": " + std::to_string(frozen.count) +
                  " pin calls without any wait, and the pin call cost is 0 (PIKIT_SIM_PIN_COST)");
        }
    }
    advance_to(lk, add_time(b.now(), cost));
    if (paced() && (++pacing.tick & 1023) == 0) pace(lk);
}

Time Board::Impl::wall_deadline(Time t) const {
    if (pacing.paused) return kNever;
    double factor = b.options_.speed == Speed::Realtime ? 1.0 : b.options_.speed_factor;
    // Held below overflow: at a slow factor a far virtual time is "never" on the wall clock too.
    const double wall = std::min(static_cast<double>(t) / factor, 4e18);
    return pacing.wall_origin + static_cast<Time>(wall);
}

void Board::Impl::pace(std::unique_lock<std::mutex>& lk) {
    // While paused, until the pause ends; else one sleep at most.
    do {
        Time ahead = wall_deadline(b.now()) - wall_time();
        if (ahead <= 2000000) return;
        Thread* t = self();
        lk.unlock();
        {
            // Asleep in the library, as in a delay: a handler's call made
            // meanwhile runs at once and leaves this call's place alone.
            ++t_in_call;
            SignalWindow window;
            std::this_thread::sleep_for(std::chrono::nanoseconds(std::min<Time>(ahead, 50000000)));
            --t_in_call;
        }
        lk.lock();
        // A long sleep may have looked like a stalled holder to the supervisor.
        if (t->st == St::Free) {
            t->st = St::Ready;
            ready.push_back(t);
            if (!holder) dispatch(lk);
        }
        block_until_holder(lk, t);
    } while (pacing.paused && !finished);
}

Board::Impl::Thread* Board::Impl::self() {
    if (t_self.generation != generation || !t_self.rec) {
        Thread* t = add_thread("thread " + std::to_string(threads.size()));
        bind_cpu_clock(*t);
        t_self.generation = generation;
        t_self.rec = t;
    }
    return static_cast<Thread*>(t_self.rec);
}

void Board::Impl::set_self(Thread* t) {
    t_self.generation = generation;
    t_self.rec = t;
}

void Board::Impl::thread_gone(Thread* t) {
    KitSection kit;
    std::unique_lock<std::mutex> lk(m);
    auto it = std::find(ready.begin(), ready.end(), t);
    if (it != ready.end()) ready.erase(it);
    if (fast.owned_here(lk)) fast.drop(lk);
    if (holder == t) {
        holder = nullptr;
        ++activity;  // it ran since it got the clock, perhaps making fast calls only
    }
    if (t->st == St::Ending || t->st == St::Gone) return;
    t->st = St::Ending;
    ++ending;
    supervisor.cv.notify_one();
}

void Board::Impl::reap_ended(std::unique_lock<std::mutex>& lk) {
    bool any = false;
    for (const auto& t : threads) {
        if (t->st != St::Ending) continue;
        if (thread_alive(t->tid)) continue;
        t->st = St::Gone;
        --ending;
        any = true;
    }
    if (any && !holder) dispatch(lk);
}

Board::Impl::Thread* Board::Impl::add_thread(std::string name) {
    threads.push_back(std::make_unique<Thread>());
    Thread* t = threads.back().get();
    t->id = static_cast<int>(threads.size()) - 1;
    t->name = std::move(name);
    return t;
}

void Board::Impl::bind_cpu_clock(Thread& t) {
    t.has_cpu = pthread_getcpuclockid(pthread_self(), &t.cpu) == 0;
    t.tid = static_cast<pid_t>(syscall(SYS_gettid));
}

Board::Impl::Thread* Board::Impl::enter(std::unique_lock<std::mutex>& lk) {
    Thread* t = self();
    ++t->calls;
    ++activity;
    if (t->st == St::Holder) return t;
    // The holder must let this thread go first at the end of its next call,
    // which therefore takes the locked path. A fast call it is making now
    // touches nothing of what this thread does here.
    fast.drop(lk);
    t->st = St::Ready;
    ready.push_back(t);
    if (!holder) dispatch(lk);
    block_until_holder(lk, t);
    return t;
}

void Board::Impl::block_until_holder(std::unique_lock<std::mutex>& lk, Thread* t) {
    while (t->st != St::Holder) {
        if (finished) {
            if (release_on_finish) return;
            park_for_good(lk, t);
        }
        park(lk, t);
    }
}

void Board::Impl::park(std::unique_lock<std::mutex>& lk, Thread* t) {
    const std::uint32_t seen = t->wakeups.load(std::memory_order_relaxed);
    t->parked = true;
    lk.unlock();
    {
        SignalWindow window;
        syscall(SYS_futex, &t->wakeups, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
    }
    lk.lock();
    t->parked = false;
}

void Board::Impl::park_for_good(std::unique_lock<std::mutex>& lk, Thread* t) {
    for (;;) park(lk, t);
}

void Board::Impl::unpark(Thread* t) {
    t->wakeups.fetch_add(1, std::memory_order_relaxed);
    if (t->parked) syscall(SYS_futex, &t->wakeups, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void Board::Impl::hold_if_ending(std::unique_lock<std::mutex>& lk) {
    if (finished && calls_held) park_for_good(lk, self());
}

void Board::Impl::maybe_yield(std::unique_lock<std::mutex>& lk, Thread* t) {
    if (ready.empty() || holder != t) return;
    t->st = St::Ready;
    ready.push_back(t);
    holder = nullptr;
    fast.drop(lk);
    dispatch(lk);
    block_until_holder(lk, t);
}

void Board::Impl::make_ready(Thread* t) {
    if (t->st == St::Ready || t->st == St::Holder) return;
    t->st = St::Ready;
    t->wants_edge = false;
    ready.push_back(t);
}

bool Board::Impl::any_free() const {
    for (const auto& t : threads)
        if (t->st == St::Free) return true;
    return false;
}

void Board::Impl::dispatch(std::unique_lock<std::mutex>& lk) {
    expect_held(lk, m, "dispatching");
    (void)lk;
    if (dispatching) return;
    dispatching = true;
    std::uint64_t steps = 0;
    Time slice_end = 0;
    while (!holder && !finished) {
        if (ending > 0) {  // the supervisor carries on once they are gone
            supervisor.cv.notify_one();
            break;
        }
        if (!ready.empty()) {
            holder = ready.front();
            ready.pop_front();
            holder->st = St::Holder;
            unpark(holder);
            if (supervisor.idle) supervisor.cv.notify_one();  // a holder to watch
            break;
        }
        if (limit.held) {  // the supervisor lets time go on if the program goes quiet
            supervisor.cv.notify_one();
            break;
        }
        Time next = next_event_time();
        if (next == kNever) break;
        if (settled_activity != activity && any_free()) {
            supervisor.cv.notify_one();
            break;
        }
        if (paced() && wall_deadline(next) > wall_time()) {
            supervisor.cv.notify_one();
            break;
        }
        // With endless events (a soft PWM, a part with something to do every
        // nanosecond) this could go on for ever with the lock held, while a
        // free thread wants to come back into the library, a signal from
        // outside wants the run ended, or a handler of the program's makes a
        // call. Let go now and then; the supervisor goes on after a pause.
        if ((++steps & 255) == 0) {
            Time w = wall_time();
            if (slice_end == 0) {
                slice_end = w + 1000000;
            } else if (w >= slice_end) {
                supervisor.advance_paused = true;
                supervisor.cv.notify_one();
                break;
            }
        }
        advance_to(lk, next);
    }
    dispatching = false;
}

void Board::Impl::wait(Time when, bool relative, CallKind kind, int value) {
    KitSection kit;
    std::unique_lock<std::mutex> lk(m);
    hold_if_ending(lk);
    if (finished && release_on_finish) return;
    if (t_in_call > 0) {  // a signal handler's delay while this thread waits in another call
        if (value >= 0) record(kind, -1, value);
        return;
    }
    struct InCall {
        InCall() { ++t_in_call; }
        ~InCall() { --t_in_call; }
    } in_call;
    Thread* t = enter(lk);
    if (finished) return;
    if (value >= 0) record(kind, -1, value);
    if (relative) when = add_time(b.now(), when);
    if (when <= b.now()) {
        advance_to(lk, b.now());
        maybe_yield(lk, t);
        return;
    }
    t->st = St::Waiting;
    schedule(when, [this, t] { make_ready(t); });
    holder = nullptr;
    fast.drop(lk);
    frozen.at = -1;
    dispatch(lk);
    block_until_holder(lk, t);
}

}  // namespace pikit::sim
