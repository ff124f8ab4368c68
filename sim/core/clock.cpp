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
//
// Fast pin calls. Most calls of a polling loop change nothing: a read, a
// write of the level the latch already holds. When the holder makes one and
// nothing is due before it ends (no event, no other thread ready), all it
// does is move the clock by the call's cost, so it does that without the lock
// (board_impl.h: fast_begin). The holder is the only thread that changes the
// clock, the queue or the lines while it holds the clock, so it needs no lock
// against them; the only threads that may take the clock from it meanwhile
// (the supervisor, finish()) first revoke its fast path: they clear the owner
// and then issue a process-wide barrier (membarrier), which orders that with
// the owner's busy flag, so that either the owner's next fast call sees it has
// no fast path, or the revoker sees the call in progress and waits the few
// nanoseconds until it ends. The owner's side thus needs no fence and no
// atomic read-modify-write, only plain loads and stores. Fast calls are not
// counted in the thread's calls: the supervisor sees them move the clock.

#include <linux/futex.h>
#include <linux/membarrier.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "board_impl.h"
#include "signals.h"

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

namespace {
// The revoking side of the fast path's handshake needs a barrier on every
// thread of the process; a kernel without one leaves the fast path unused.
bool process_barrier_ready() {
    static const bool ready =
        syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    return ready;
}

void process_barrier() { syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0); }
}  // namespace

namespace {
// Distinct little functions, each run once per process, to time code that
// runs for the first time. Identical bodies would be folded into one; these
// differ in their constants.
template <int I>
[[gnu::noinline]] std::uint32_t fresh_step(std::uint32_t x) {
    return (x ^ (x >> (I % 7 + 1))) * (2u * static_cast<std::uint32_t>(I) + 1u);
}
template <int... I>
std::uint32_t run_fresh(std::integer_sequence<int, I...>, std::uint32_t x) {
    ((x = fresh_step<I>(x)), ...);
    return x;
}
}  // namespace

Time fresh_code_cpu() {
    static const Time cost = [] {
        // A few microseconds of cache misses natively; a dynamic emulator
        // first translates each function, as it does any code a program runs
        // for the first time (valgrind: about as long as a first printf).
        Time t0 = cpu_time(CLOCK_THREAD_CPUTIME_ID);
        volatile std::uint32_t sink = run_fresh(std::make_integer_sequence<int, 256>{}, 1);
        (void)sink;
        return cpu_time(CLOCK_THREAD_CPUTIME_ID) - t0;
    }();
    return cost;
}

bool thread_runnable(pid_t tid) {
    if (tid <= 0) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
    std::FILE* f = std::fopen(path, "re");
    if (!f) return false;
    char buf[512];
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // "tid (name) S ...": the state follows the last parenthesis.
    const char* close = std::strrchr(buf, ')');
    return close && close[1] == ' ' && close[2] == 'R';
}

Time wall_time() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

Board::EventId Board::Impl::schedule(Time at, std::function<void()> fn) { return enqueue(next_event++, at, std::move(fn)); }

void Board::Impl::reserve_stimuli() {
    // Far larger than any run's count of stimuli: ids given before the band
    // sort before every stimulus, ids given after it after every stimulus,
    // however many come later.
    constexpr EventId kStimulusBand = EventId{1} << 40;
    if (next_stimulus != 0) return;
    next_stimulus = next_event;
    next_event += kStimulusBand;
}

Board::EventId Board::Impl::schedule_stimulus(Time at, std::function<void()> fn) {
    reserve_stimuli();
    return enqueue(next_stimulus++, at, std::move(fn));
}


Board::EventId Board::Impl::enqueue(EventId id, Time at, std::function<void()> fn) {
    actions.emplace(id, std::move(fn));
    at = std::max(at, b.now());
    events.push({at, id});
    next_due = std::min(next_due, at);
    return id;
}

void Board::Impl::cancel(EventId id) { actions.erase(id); }

void Board::Impl::advance_to(Time target) {
    if (frozen) return;
    // Events that keep scheduling others at the same instant would hold
    // time (and this lock) for ever: a model's fault, reported as such.
    std::uint64_t at_instant = 0;
    while (!events.empty() && events.top().at <= target && !finished) {
        Event e = events.top();
        events.pop();
        auto it = actions.find(e.id);
        if (it == actions.end()) continue;  // cancelled
        std::function<void()> fn = std::move(it->second);
        actions.erase(it);
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

Time Board::Impl::next_event_time() {
    while (!events.empty() && !actions.count(events.top().id)) events.pop();
    refresh_due();
    return next_due;
}

void Board::Impl::refresh_due() { next_due = events.empty() ? kNever : events.top().at; }

void Board::Impl::grant_fast(Thread* t) {
    const Options& o = b.options_;
    if (holder != t || !ready.empty() || finished || frozen || !o.fast_pin_calls || o.record_calls || o.pin_call_cost <= 0 ||
        paced() || !process_barrier_ready())
        return;
    fast_cost = o.pin_call_cost;
    fast_owner.store(&t_fast, std::memory_order_relaxed);
}

void Board::Impl::drop_fast() { fast_owner.store(nullptr, std::memory_order_relaxed); }

void Board::Impl::revoke_fast() {
    FastTls* owner = fast_owner.load(std::memory_order_relaxed);
    if (!owner) return;
    fast_owner.store(nullptr, std::memory_order_relaxed);
    if (owner == &t_fast) return;
    process_barrier();
    while (owner->busy.load(std::memory_order_acquire)) std::this_thread::yield();
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
    if (nested_call()) return;
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
    if (paced() && (++pace_tick & 1023) == 0) pace(lk);
}

Time Board::Impl::wall_deadline(Time t) const {
    if (paused) return kNever;
    double factor = b.options_.speed == Speed::Realtime ? 1.0 : b.options_.speed_factor;
    // Held below overflow: at a slow factor a far virtual time is "never" on the wall clock too.
    const double wall = std::min(static_cast<double>(t) / factor, 4e18);
    return wall_origin + static_cast<Time>(wall);
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
    } while (paused && !finished);
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
    if (fast_owner.load(std::memory_order_relaxed) == &t_fast) drop_fast();
    if (holder == t) {
        holder = nullptr;
        ++activity;  // it ran since it got the clock, perhaps making fast calls only
    }
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
    // The holder must let this thread go first at the end of its next call,
    // which therefore takes the locked path. A fast call it is making now
    // touches nothing of what this thread does here.
    drop_fast();
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
    drop_fast();
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
    std::uint64_t steps = 0;
    Time slice_end = 0;
    while (!holder && !finished) {
        if (ending > 0) {  // the supervisor carries on once they are gone
            supervisor_cv.notify_one();
            break;
        }
        if (!ready.empty()) {
            holder = ready.front();
            ready.pop_front();
            holder->st = St::Holder;
            unpark(holder);
            if (supervisor_idle) supervisor_cv.notify_one();  // a holder to watch
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
        if (paced() && wall_deadline(next) > wall_time()) {
            supervisor_cv.notify_one();
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
                advance_paused = true;
                supervisor_cv.notify_one();
                break;
            }
        }
        advance_to(next);
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
        advance_to(b.now());
        maybe_yield(lk, t);
        return;
    }
    t->st = St::Waiting;
    schedule(when, [this, t] { make_ready(t); });
    holder = nullptr;
    drop_fast();
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
    KitSection kit;
    std::unique_lock<std::mutex> lk(m);
    bind_cpu_clock(*t);
    set_self(t);
    // In the library, but for the handler's own run: a signal handler's call
    // made while this thread waits for an edge must leave its place alone.
    ++t_in_call;
    for (;;) {
        block_until_holder(lk, t);
        if (finished) return;
        ++t->calls;
        ++activity;
        lk.unlock();
        --t_in_call;
        {
            SignalWindow program_code;
            isr->handler();
        }
        ++t_in_call;
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
        if (holder == t) {
            holder = nullptr;
            drop_fast();
        }
        t->st = St::Waiting;
        t->wants_edge = true;
        ++activity;
        dispatch(lk);
    }
}

void Board::Impl::supervise() {
    // Sleep until the moment a decision may be due, not a tick later: the
    // default timer slack (50 us) would be a good part of each settling step.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    std::unique_lock<std::mutex> lk(m);
    // The limits grow with the host's slowness. Code run for the first time
    // can cost far more than that says (an emulator translates it first), and
    // a thread reacting to a change may well run some: each limit is at least
    // twice what a batch of fresh code took on this host.
    const bool scale = b.options_.scale_to_host;
    const double slow = scale ? host_slowness() : 1.0;
    const Time fresh = scale ? 2 * fresh_code_cpu() : 0;
    auto scaled = [&](Time limit) { return std::max(static_cast<Time>(static_cast<double>(limit) * slow), fresh); };
    const Time stall_cpu = scaled(b.options_.stall_cpu);
    const Time settle_cpu = scaled(b.options_.quiet_cpu);
    const Time settle_wall = scaled(b.options_.quiet_wall);
    // While the holder keeps calling, look again this often: a stall is then
    // noticed at most this long after stall_cpu.
    const Time rewatch = std::max<Time>(stall_cpu / 16, 100000);
    // Threads that are ending are looked at again this often until gone.
    const Time reap_poll = 200000;
    // The holder being watched for a stall: its calls, the clock, and its CPU
    // and wall time when it was first seen not to have made a call since the
    // last look. Only the holder moves the clock, so a clock that moved shows
    // calls too, also fast ones, which are not counted.
    Thread* watched = nullptr;
    std::uint64_t watched_calls = 0;
    Time watched_now = 0, watched_cpu = 0, watched_wall = 0;
    // The free threads' CPU times when the activity now settling was first seen.
    std::uint64_t settling = UINT64_MAX;
    std::vector<std::pair<Thread*, Time>> settle_from;
    Time settle_since = 0;
    // After the run limit, while the program reacts to SIGTERM: its library
    // calls so far, and when they were last seen to change.
    std::uint64_t frozen_activity = UINT64_MAX;
    Time frozen_wall = 0;
    while (!finished) {
        Time wake = kNever;
        Time wall = wall_time();
        // Time moved on by fast pin calls, which take no lock: what was
        // shown at an earlier instant is published now, not at the next call
        // that takes the lock.
        settle_if_over();
        // The run limit's SIGTERM, for a program that takes it itself. This
        // thread blocks every signal and holds the board lock, so the handler
        // runs on a program thread that does not: its calls wait for the lock
        // like any other.
        if (term_to_send) {
            term_to_send = false;
            std::fflush(stderr);
            kill(getpid(), SIGTERM);
        }
        // After the run limit, a program that took SIGTERM itself and has
        // gone quiet without dying (a handler that sets a flag for a loop
        // that sleeps) gets its time back, so that it can finish.
        if (frozen && !holder && ready.empty()) {
            if (frozen_activity != activity) {
                frozen_activity = activity;
                frozen_wall = wall;
            } else if (wall - frozen_wall >= settle_wall) {
                frozen = false;
                add_report(ReportKind::Info, "board", "the program has gone quiet since the run limit's SIGTERM without ending: time goes on");
                dispatch(lk);
            }
            if (frozen) wake = wall + reap_poll;
        }
        // 0. Threads that are ending: time goes on once they have really gone.
        if (ending > 0) {
            reap_ended(lk);
            if (ending > 0) wake = wall + reap_poll;
        }
        // 1. A holder that stopped calling the library is set free (not the
        // one still wiring the scenario before main()). CPU time cannot grow
        // faster than wall time, so a watch ends no sooner than stall_cpu
        // after the holder's last call.
        if (holder) {
            if (holder != watched || holder->calls != watched_calls || b.now() != watched_now || start_held ||
                rewatch_holder) {
                rewatch_holder = false;
                watched = holder;
                watched_calls = holder->calls;
                watched_now = b.now();
                watched_cpu = holder->has_cpu ? cpu_time(holder->cpu) : 0;
                watched_wall = wall;
                wake = std::min(wake, wall + std::min(rewatch, stall_cpu));
            } else {
                Time cpu = holder->has_cpu ? cpu_time(holder->cpu) - watched_cpu : 0;
                // Wall time only counts while the holder sleeps: one that is
                // runnable but gets no processor on a busy host is neither
                // blocked nor spinning, and must not be set free for it.
                if (cpu < stall_cpu && wall - watched_wall >= settle_wall && thread_runnable(holder->tid))
                    watched_wall = wall;
                if (cpu >= stall_cpu || wall - watched_wall >= settle_wall) {
                    revoke_fast();
                    if (holder->calls == watched_calls && b.now() == watched_now) {
                        holder->st = St::Free;
                        holder = nullptr;
                        ++activity;  // what it did since its last call, others may react to
                        watched = nullptr;
                        dispatch(lk);
                    } else {
                        watched = nullptr;  // a fast call came first: watch afresh
                        continue;
                    }
                } else {
                    wake = std::min(wake, wall + std::min(stall_cpu - cpu, watched_wall + settle_wall - wall));
                }
            }
        } else {
            watched = nullptr;
        }
        // 2. No holder: advance, once free threads have had their chance.
        if (!holder && !dispatching) {
            Time next = next_event_time();
            if (next != kNever && quiet_ok_activity != activity && any_free()) {
                if (settling != activity) {
                    settling = activity;
                    settle_from.clear();
                    for (const auto& t : threads)
                        if (t->st == St::Free) settle_from.emplace_back(t.get(), t->has_cpu ? cpu_time(t->cpu) : 0);
                    settle_since = wall;
                    wake = wall + std::min(settle_cpu, settle_wall);
                } else {
                    // Settled when each free thread has used settle_cpu since,
                    // or when settle_wall has passed (threads blocked elsewhere).
                    Time short_of = 0;
                    if (wall - settle_since >= settle_wall) {
                        // As for a holder: a free thread that waits for a
                        // processor has not had its chance yet.
                        for (auto& [t, c0] : settle_from) {
                            if (t->st != St::Free || !t->has_cpu) continue;
                            if (cpu_time(t->cpu) - c0 < settle_cpu && thread_runnable(t->tid)) settle_since = wall;
                        }
                    }
                    if (wall - settle_since < settle_wall) {
                        for (auto& [t, c0] : settle_from) {
                            if (t->st != St::Free) continue;
                            Time used = t->has_cpu ? cpu_time(t->cpu) - c0 : 0;
                            short_of = std::max(short_of, t->has_cpu ? settle_cpu - used : settle_wall);
                        }
                    }
                    if (short_of <= 0) {
                        quiet_ok_activity = activity;
                        settling = UINT64_MAX;
                    } else {
                        wake = wall + std::min(short_of, settle_since + settle_wall - wall);
                    }
                }
            }
            dispatch(lk);
            if (advance_paused) {
                advance_paused = false;
                wake = std::min(wake, wall_time() + 50000);
            }
            if (!holder) {
                // A paced run waits for the next event's moment on the wall
                // clock; not while time stands still at the run limit, when
                // that moment is past and no event may run.
                next = next_event_time();
                if (next != kNever && !frozen && !(quiet_ok_activity != activity && any_free()) &&
                    paced())
                    wake = std::min(wake, wall_deadline(next));
            } else {
                wake = std::min(wake, wall_time());  // a new holder: start watching it
            }
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
            Time delta = wake - wall_time();
            if (delta > 0) supervisor_cv.wait_for(lk, std::chrono::nanoseconds(delta));
        }
    }
}

void Board::Impl::close_outputs(const char* reason) {
    if (!unsettled.empty()) settle_shown();
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
        revoke_fast();
        finish_devices();
        finished = true;
        release_on_finish = false;
        calls_held = true;
        close_outputs("run limit");
        supervisor_cv.notify_all();
    } else {
        // The program handles SIGTERM, ignores it, or waits for it on a
        // thread of its own: it goes on, at this instant, and what it does
        // (outputs switched off before it dies) is recorded until it ends.
        // Its outputs are closed when it ends: by the kit's handler if it
        // raises the signal again, at exit if it returns.
        revoke_fast();  // a fast call would move the clock
        frozen = true;
        add_report(ReportKind::Info, "board", "the program takes SIGTERM itself: time stands still while it reacts");
        if (log) log->flush();
        if (event_stream) event_stream->flush();
        // Not from here: this may be a program thread inside a call, and a
        // handler run on it could not make a call of its own.
        term_to_send = true;
        supervisor_cv.notify_all();
        return;
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
