// Virtual time and the program's threads.
//
// Threads. Program threads (main, interrupt handlers) run for real, but only
// one of them "holds the clock" at a time: the holder's library calls take
// effect at the current virtual time and cost Options::pin_call_cost each.
// When the holder waits (delay...), the clock passes to the next thread that
// is ready, or, if none is, advances to the next event. A thread that stops
// calling the library while holding the clock (it spins on memory or blocks on
// something we cannot see) is noticed by the supervisor thread from its CPU and
// wall time (Options::stall_cpu, quiet_wall) and set free; time may then
// advance without it, but only after the free threads have had a fair chance
// (Options::quiet_cpu of CPU time each, with no library call anywhere) to react
// to what the last running thread did. CPU time, not wall time, is what
// counts, so a thread that is merely descheduled on a busy host is never taken
// for a spinning one; and the limits grow with the host's measured slowness.
// Threads that become ready at one instant run in the order they became
// ready, so a scenario replays identically on every run.

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "board_impl.h"
#include "signals.h"

namespace pikit::sim {

std::atomic<Board*> g_current{nullptr};
std::atomic<std::uint64_t> g_generation{0};
thread_local SelfTls t_self;

SelfTls::~SelfTls() {
    Board* board = g_current.load();
    if (!rec || !board || board->impl_generation() != generation) return;
    board->thread_gone(rec);
}

Time cpu_time(clockid_t id) {
    timespec ts{};
    if (clock_gettime(id, &ts) != 0) return 0;
    return static_cast<Time>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double host_slowness() {
    static const double slowness = [] {
        // A fixed piece of work that takes about 250 us of CPU time on a
        // current PC, run once: its first run also pays for any translation a
        // dynamic emulator (valgrind, qemu) makes of new code.
        Time t0 = cpu_time(CLOCK_THREAD_CPUTIME_ID);
        volatile std::uint32_t x = 1;
        for (int i = 0; i < 200000; ++i) x = x * 1664525u + 1013904223u;
        double ratio = static_cast<double>(cpu_time(CLOCK_THREAD_CPUTIME_ID) - t0) / 250000.0;
        return std::clamp(ratio, 1.0, 200.0);
    }();
    return slowness;
}

Time wall_time() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

Board::EventId Board::Impl::schedule(Time at, std::function<void()> fn) {
    EventId id = next_event++;
    actions.emplace(id, std::move(fn));
    events.push({std::max(at, b.now()), id});
    return id;
}

void Board::Impl::cancel(EventId id) { actions.erase(id); }

void Board::Impl::advance_to(Time target) {
    if (frozen) return;
    while (!events.empty() && events.top().at <= target && !finished) {
        Event e = events.top();
        events.pop();
        auto it = actions.find(e.id);
        if (it == actions.end()) continue;  // cancelled
        std::function<void()> fn = std::move(it->second);
        actions.erase(it);
        if (e.at > b.now()) b.now_.store(e.at, std::memory_order_relaxed);
        fn();
    }
    if (target > b.now()) b.now_.store(target, std::memory_order_relaxed);
}

Time Board::Impl::next_event_time() {
    while (!events.empty() && !actions.count(events.top().id)) events.pop();
    return events.empty() ? kNever : events.top().at;
}

void Board::Impl::fatal(const std::string& text) {
    add_report(ReportKind::Error, "board", text);
    if (b.options_.exit_on_fatal) {
        std::fprintf(stderr, "pikit-sim: %s\n", text.c_str());
        close_outputs("fatal");
        _exit(3);
    }
    throw SimError(text);
}

void Board::Impl::pin_call(std::unique_lock<std::mutex>& lk) {
    Time cost = b.options_.pin_call_cost;
    if (cost == 0) {
        if (b.now() != frozen_at) {
            frozen_at = b.now();
            frozen_count = 0;
        } else if (++frozen_count >= b.options_.frozen_calls) {
            fatal("virtual time frozen at " + format_time(b.now()) + ": " + std::to_string(frozen_count) +
                  " pin calls without any wait, and the pin call cost is 0 (PIKIT_SIM_PIN_COST)");
        }
    }
    advance_to(add_time(b.now(), cost));
    if (b.options_.speed != Speed::Max && (++pace_tick & 1023) == 0) pace(lk);
}

Time Board::Impl::wall_deadline(Time t) const {
    double factor = b.options_.speed == Speed::Realtime ? 1.0 : b.options_.speed_factor;
    // Held below overflow: at a slow factor a far virtual time is "never" on the wall clock too.
    const double wall = std::min(static_cast<double>(t) / factor, 4e18);
    return wall_origin + static_cast<Time>(wall);
}

void Board::Impl::pace(std::unique_lock<std::mutex>& lk) {
    Time ahead = wall_deadline(b.now()) - wall_time();
    if (ahead <= 2000000) return;
    Thread* t = self();
    lk.unlock();
    std::this_thread::sleep_for(std::chrono::nanoseconds(std::min<Time>(ahead, 50000000)));
    lk.lock();
    // A long sleep may have looked like a stalled holder to the supervisor.
    if (t->st == St::Free) {
        t->st = St::Ready;
        ready.push_back(t);
        if (!holder) dispatch(lk);
    }
    block_until_holder(lk, t);
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
    std::unique_lock<std::mutex> lk(m);
    auto it = std::find(ready.begin(), ready.end(), t);
    if (it != ready.end()) ready.erase(it);
    if (holder == t) holder = nullptr;
    if (t->st == St::Ending || t->st == St::Gone) return;
    t->st = St::Ending;
    ++ending;
    supervisor_cv.notify_one();
}

void Board::Impl::reap_ended(std::unique_lock<std::mutex>& lk) {
    bool any = false;
    for (const auto& t : threads) {
        if (t->st != St::Ending) continue;
        // Signal 0 only asks whether the thread still exists.
        if (t->tid != 0 && syscall(SYS_tgkill, getpid(), t->tid, 0) == 0) continue;
        if (t->tid != 0 && errno != ESRCH) continue;
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
            t->cv.wait(lk, [] { return false; });
        }
        t->cv.wait(lk);
    }
}

void Board::Impl::maybe_yield(std::unique_lock<std::mutex>& lk, Thread* t) {
    if (ready.empty() || holder != t) return;
    t->st = St::Ready;
    ready.push_back(t);
    holder = nullptr;
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
    (void)lk;
    if (dispatching) return;
    dispatching = true;
    while (!holder && !finished) {
        if (ending > 0) {  // the supervisor carries on once they are gone
            supervisor_cv.notify_one();
            break;
        }
        if (!ready.empty()) {
            holder = ready.front();
            ready.pop_front();
            holder->st = St::Holder;
            holder->cv.notify_one();
            break;
        }
        if (frozen) {  // the supervisor lets time go on if the program goes quiet
            supervisor_cv.notify_one();
            break;
        }
        Time next = next_event_time();
        if (next == kNever) break;
        if (quiet_ok_activity != activity && any_free()) {
            supervisor_cv.notify_one();
            break;
        }
        if (b.options_.speed != Speed::Max && wall_deadline(next) > wall_time()) {
            supervisor_cv.notify_one();
            break;
        }
        advance_to(next);
    }
    dispatching = false;
}

void Board::Impl::wait(Time when, bool relative, CallKind kind, int value) {
    std::unique_lock<std::mutex> lk(m);
    if (finished && release_on_finish) return;
    Thread* t = enter(lk);
    if (finished) return;
    if (value >= 0) record(kind, -1, value);
    if (relative) when = add_time(b.now(), when);
    if (when <= b.now()) {
        advance_to(b.now());
        maybe_yield(lk, t);
        return;
    }
    t->st = St::Waiting;
    schedule(when, [this, t] { make_ready(t); });
    holder = nullptr;
    frozen_at = -1;
    dispatch(lk);
    block_until_holder(lk, t);
}

void Board::Impl::deliver_interrupt(int pin, Level level) {
    Isr* isr = isr_of[pin];
    if (!isr) return;
    bool fall = level == Level::Low;
    bool wanted = isr->mode == 3 || isr->mode == 0 || (isr->mode == 1 && fall) || (isr->mode == 2 && !fall);
    if (!wanted) return;
    if (isr->thread->wants_edge) make_ready(isr->thread);  // wakes for this edge
    else ++isr->pending;                                  // handled after the running call
}

void Board::Impl::isr_loop(Isr* isr) {
    Thread* t = isr->thread;
    std::unique_lock<std::mutex> lk(m);
    bind_cpu_clock(*t);
    set_self(t);
    for (;;) {
        block_until_holder(lk, t);
        if (finished) return;
        ++t->calls;
        ++activity;
        lk.unlock();
        isr->handler();
        lk.lock();
        if (finished) return;
        if (isr->pending > 0) {
            --isr->pending;
            if (t->st == St::Holder) {
                maybe_yield(lk, t);
            } else {
                make_ready(t);
                if (!holder) dispatch(lk);
            }
            continue;
        }
        if (holder == t) holder = nullptr;
        t->st = St::Waiting;
        t->wants_edge = true;
        ++activity;
        dispatch(lk);
    }
}

void Board::Impl::supervise() {
    std::unique_lock<std::mutex> lk(m);
    Thread* sampled = nullptr;
    std::uint64_t sampled_calls = 0;
    Time sampled_cpu = 0, sampled_wall = 0;
    std::uint64_t quiet_activity = UINT64_MAX;
    std::vector<std::pair<Thread*, Time>> quiet_cpu;
    Time quiet_wall = 0;
    const double slow = b.options_.scale_to_host ? host_slowness() : 1.0;
    const Time stall_cpu = static_cast<Time>(static_cast<double>(b.options_.stall_cpu) * slow);
    const Time settle_cpu = static_cast<Time>(static_cast<double>(b.options_.quiet_cpu) * slow);
    const Time settle_wall = static_cast<Time>(static_cast<double>(b.options_.quiet_wall) * slow);
    const Time poll = std::max<Time>(settle_cpu / 4, 200000);
    std::uint64_t frozen_activity = UINT64_MAX;
    Time frozen_wall = 0;
    while (!finished) {
        Time wake = kNever;
        // After the run limit, a program that took SIGTERM itself and has
        // gone quiet without dying (a handler that sets a flag for a loop
        // that sleeps) gets its time back, so that it can finish.
        if (frozen && !holder && ready.empty()) {
            if (frozen_activity != activity) {
                frozen_activity = activity;
                frozen_wall = wall_time();
            } else if (wall_time() - frozen_wall >= settle_wall) {
                frozen = false;
                add_report(ReportKind::Info, "board", "the program has gone quiet since the run limit's SIGTERM without ending: time goes on");
                dispatch(lk);
            }
            if (frozen) wake = wall_time() + poll;
        }
        // 0. Threads that are ending: time goes on once they have really gone.
        if (ending > 0) {
            reap_ended(lk);
            if (ending > 0) wake = wall_time() + std::min<Time>(poll, 1000000);
        }
        // 1. A holder that stopped calling the library is set free (not the
        //    one still wiring the scenario before main()).
        if (holder) {
            if (holder != sampled || holder->calls != sampled_calls || start_held) {
                sampled = holder;
                sampled_calls = holder->calls;
                sampled_cpu = holder->has_cpu ? cpu_time(holder->cpu) : 0;
                sampled_wall = wall_time();
            } else {
                Time cpu = holder->has_cpu ? cpu_time(holder->cpu) - sampled_cpu : 0;
                Time wall = wall_time() - sampled_wall;
                if (cpu >= stall_cpu || wall >= settle_wall) {
                    holder->st = St::Free;
                    holder = nullptr;
                    sampled = nullptr;
                    dispatch(lk);
                }
            }
            wake = wall_time() + poll;
        } else {
            sampled = nullptr;
        }
        // 2. No holder: advance, once free threads have had their chance.
        if (!holder && !dispatching) {
            Time next = next_event_time();
            if (next != kNever && quiet_ok_activity != activity && any_free()) {
                if (quiet_activity != activity) {
                    quiet_activity = activity;
                    quiet_cpu.clear();
                    for (const auto& t : threads)
                        if (t->st == St::Free) quiet_cpu.emplace_back(t.get(), t->has_cpu ? cpu_time(t->cpu) : 0);
                    quiet_wall = wall_time();
                } else {
                    bool settled = wall_time() - quiet_wall >= settle_wall;
                    if (!settled) {
                        settled = true;
                        for (auto& [t, c0] : quiet_cpu)
                            if (t->st == St::Free && (!t->has_cpu || cpu_time(t->cpu) - c0 < settle_cpu)) settled = false;
                    }
                    if (settled) {
                        quiet_ok_activity = activity;
                        quiet_activity = UINT64_MAX;
                    }
                }
            }
            dispatch(lk);
            if (!holder) {
                next = next_event_time();
                if (next != kNever) {
                    if (quiet_ok_activity != activity && any_free()) {
                        wake = std::min(wake, wall_time() + poll);
                    } else if (b.options_.speed != Speed::Max) {
                        wake = std::min(wake, wall_deadline(next));
                    }
                }
            }
        }
        if (finished) break;
        if (holder) wake = std::min(wake, wall_time() + poll);
        if (wake == kNever) {
            supervisor_cv.wait(lk);
        } else {
            Time delta = wake - wall_time();
            if (delta > 0) supervisor_cv.wait_for(lk, std::chrono::nanoseconds(delta));
        }
    }
}

void Board::Impl::close_outputs(const char* reason) {
    if (vcd) vcd->finish(b.now());
    if (log) log->flush();
    if (event_stream && !outputs_closed) event_stream->write(b.now(), "end", ",\"reason\":" + json_string(reason));
    outputs_closed = true;
}

void Board::Impl::finish_devices() {
    if (devices_finished) return;
    devices_finished = true;
    for (auto& d : devices) d->finish();
}

void Board::Impl::run_limit() {
    add_report(ReportKind::Info, "board", "run limit reached");
    if (b.options_.on_until) {
        b.options_.on_until();
        return;
    }
    limit_reached = true;
    if (!program_blocks(SIGTERM) && prepare_to_die_of(SIGTERM)) {
        // The process dies of it: the run ends at this instant. Nothing more
        // happens in virtual time, and threads that call the library from
        // now on stay there until the signal has done its work.
        finish_devices();
        finished = true;
        release_on_finish = false;
        close_outputs("run limit");
        supervisor_cv.notify_all();
    } else {
        // The program handles SIGTERM, ignores it, or waits for it on a
        // thread of its own: it goes on, at this instant, and what it does
        // (outputs switched off before it dies) is recorded until it ends.
        // Its outputs are closed when it ends: by the kit's handler if it
        // raises the signal again, at exit if it returns.
        frozen = true;
        add_report(ReportKind::Info, "board", "the program takes SIGTERM itself: time stands still while it reacts");
        if (log) log->flush();
        if (event_stream) event_stream->flush();
        supervisor_cv.notify_all();
    }
    std::fflush(stderr);
    kill(getpid(), SIGTERM);
}

bool Board::Impl::program_blocks(int sig) const {
    bool any = false;
    for (const auto& t : threads) {
        if (t->st == St::Gone || t->st == St::Ending || t->tid == 0) continue;
        if (!thread_blocks(t->tid, sig)) return false;
        any = true;
    }
    return any;
}

}  // namespace pikit::sim
