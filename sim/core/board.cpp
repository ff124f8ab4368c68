// The simulated Pi. Three concerns live here, kept apart by section:
//   1. lines: per-pin electrical state and its resolution into a level;
//   2. time and events: the virtual clock, the event queue, pin-call costs;
//   3. threads: which program thread may run at the current virtual instant.
//
// Threads. Program threads (main, interrupt handlers) run for real, but only
// one of them "holds the clock" at a time: the holder's library calls take
// effect at the current virtual time and cost Options::pin_call_cost each.
// When the holder waits (delay...), the clock passes to the next thread that
// is ready, or, if none is, advances to the next event. A thread that stops
// calling the library while holding the clock (it spins on memory or blocks on
// something we cannot see) is noticed by the supervisor thread from its CPU and
// wall time and set free; time may then advance without it, but only after the
// free threads have had a fair chance (Options::quiet_cpu of CPU time each,
// with no library call anywhere) to react to what the last running thread did.
// Threads that become ready at one instant run in the order they became
// ready, so a scenario replays identically on every run.

#include "board.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <queue>
#include <thread>
#include <unordered_set>

#include "trace.h"

namespace pikit::sim {

namespace {

constexpr int kPins = 32;

// wiringPi pin -> BCM GPIO and physical header pin (40-pin header).
constexpr int kBcm[kPins] = {17, 18, 27, 22, 23, 24, 25, 4, 2, 3, 8, 7, 10, 9, 11, 14,
                             15, -1, -1, -1, -1, 5, 6, 13, 19, 26, 12, 16, 20, 21, 0, 1};
constexpr int kHeader[kPins] = {11, 12, 13, 15, 16, 18, 22, 7, 3, 5, 24, 26, 19, 21, 23, 8,
                                10, -1, -1, -1, -1, 29, 31, 33, 35, 37, 32, 36, 38, 40, 27, 28};

constexpr int kModeInput = 0;
constexpr int kModeOutput = 1;

std::atomic<Board*> g_current{nullptr};
std::atomic<std::uint64_t> g_generation{0};

// Which simulated-thread record the calling OS thread is, for the board of
// that generation. The guard tells the board when the OS thread ends.
struct SelfTls {
    std::uint64_t generation = 0;
    void* rec = nullptr;
    ~SelfTls();
};
thread_local SelfTls t_self;

Time cpu_time(clockid_t id) {
    timespec ts{};
    if (clock_gettime(id, &ts) != 0) return 0;
    return static_cast<Time>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Time wall_time() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}


}  // namespace

const char* to_string(ReportKind k) {
    switch (k) {
        case ReportKind::Info: return "info";
        case ReportKind::Breach: return "breach";
        case ReportKind::Contention: return "contention";
        case ReportKind::Fault: return "fault";
        case ReportKind::Error: return "error";
    }
    return "?";
}

int bcm_of(int pin) { return pin >= 0 && pin < kPins ? kBcm[pin] : -1; }
int header_pin_of(int pin) { return pin >= 0 && pin < kPins ? kHeader[pin] : -1; }

std::string pin_name(int pin) {
    if (!is_header_pin(pin)) return "wpi" + std::to_string(pin);
    return "wpi" + std::to_string(pin) + "/BCM" + std::to_string(kBcm[pin]) + "/P" + std::to_string(kHeader[pin]);
}

// ---------------------------------------------------------------------------

struct Board::Impl {
    Board& b;
    explicit Impl(Board& board) : b(board) {}

    std::mutex m;
    bool finished = false;
    std::uint64_t generation = 0;

    // ---- lines ----
    struct Attachment {
        Device* dev;
        PinRole role;
        Drive drive;
    };
    struct Pin {
        bool used = false;
        int mode = kModeInput;
        Level latch = Level::Low;
        Pull internal = Pull::None;
        Pull external = Pull::None;
        std::vector<Attachment> attached;
        Level level = Level::Low;
        bool floating = true;
        int contention = -1;  // index into contentions while one lasts
        std::vector<LineChange> history;
        Waveform wave;
        EventId wave_event = 0;
        bool error_reported = false;
    };
    Pin pins[kPins];
    std::deque<std::pair<int, Level>> pending_edges;
    bool propagating = false;

    std::vector<std::unique_ptr<Device>> devices;
    std::vector<Report> reports;
    std::vector<Contention> contentions;
    std::vector<Call> calls;
    std::unique_ptr<VcdWriter> vcd;
    std::unique_ptr<LogWriter> log;
    std::filesystem::path state_dir;

    // ---- time and events ----
    struct Event {
        Time at;
        EventId id;
        std::function<void()> fn;
    };
    struct Later {
        bool operator()(const Event& a, const Event& b) const {
            return a.at != b.at ? a.at > b.at : a.id > b.id;
        }
    };
    std::priority_queue<Event, std::vector<Event>, Later> events;
    std::unordered_set<EventId> cancelled;
    EventId next_event = 1;
    Time frozen_at = -1;
    std::uint64_t frozen_count = 0;
    Time wall_origin = 0;    // wall time of virtual time 0, for paced runs
    std::uint64_t pace_tick = 0;

    // ---- threads ----
    enum class St { Free, Ready, Holder, Waiting, Gone };
    struct Thread {
        int id;
        std::string name;
        St st = St::Free;
        bool wants_edge = false;  // interrupt thread waiting for its next edge
        std::condition_variable cv;
        std::uint64_t calls = 0;
        clockid_t cpu{};
        bool has_cpu = false;
    };
    std::vector<std::unique_ptr<Thread>> threads;
    std::deque<Thread*> ready;
    Thread* holder = nullptr;
    bool dispatching = false;
    std::uint64_t activity = 0;  // library calls of all threads
    std::uint64_t quiet_ok_activity = UINT64_MAX;
    std::condition_variable supervisor_cv;
    std::thread supervisor;

    struct Isr {
        int pin;
        int mode;
        void (*handler)();
        Thread* thread;
        unsigned pending = 0;
        std::thread worker;
    };
    std::vector<std::unique_ptr<Isr>> isrs;
    Isr* isr_of[kPins] = {};

    // ================= lines =================

    void use_pin(int pin) {
        Pin& p = pins[pin];
        if (p.used) return;
        p.used = true;
        if (vcd) {
            std::string n = pin_name(pin);
            std::replace(n.begin(), n.end(), '/', '_');
            vcd->declare(pin, n);
        }
    }

    void resolve(int pin) {
        Pin& p = pins[pin];
        bool dev_low = false, dev_high = false;
        const Device* low_dev = nullptr;
        const Device* high_dev = nullptr;
        for (const Attachment& a : p.attached) {
            if (a.drive == Drive::Low && !low_dev) { dev_low = true; low_dev = a.dev; }
            if (a.drive == Drive::High && !high_dev) { dev_high = true; high_dev = a.dev; }
        }
        Level level;
        bool floating = false;
        std::string fight;
        if (p.mode == kModeOutput) {
            level = p.latch;
            if (is_high(p.latch) && dev_low) {
                level = Level::Low;
                fight = "master drives HIGH, " + low_dev->label() + " pulls LOW";
            } else if (!is_high(p.latch) && dev_high) {
                fight = "master drives LOW, " + high_dev->label() + " drives HIGH";
            }
        } else if (dev_low || dev_high) {
            level = dev_low ? Level::Low : Level::High;
            if (dev_low && dev_high) fight = high_dev->label() + " drives HIGH, " + low_dev->label() + " pulls LOW";
        } else {
            Pull pull = p.external != Pull::None ? p.external : p.internal;
            floating = pull == Pull::None;
            level = pull == Pull::Up ? Level::High : Level::Low;
        }
        update_contention(pin, fight);
        if (level == p.level && floating == p.floating) return;
        bool edge = level != p.level;
        p.level = level;
        p.floating = floating;
        if (b.options_.record_history) p.history.push_back({b.now(), level, floating});
        if (vcd) vcd->change(b.now(), pin, floating ? 'z' : (is_high(level) ? '1' : '0'));
        if (edge) {
            pending_edges.emplace_back(pin, level);
            propagate();
        }
    }

    void update_contention(int pin, const std::string& fight) {
        Pin& p = pins[pin];
        if (!fight.empty() && p.contention < 0) {
            p.contention = static_cast<int>(contentions.size());
            contentions.push_back({pin, b.now(), kNever, fight});
            add_report(ReportKind::Contention, "board", pin_name(pin) + ": " + fight);
        } else if (fight.empty() && p.contention >= 0) {
            Contention& c = contentions[static_cast<std::size_t>(p.contention)];
            c.end = b.now();
            if (log) log->line(b.now(), "board", "contention on " + pin_name(pin) + " over after " + format_duration(c.end - c.start));
            p.contention = -1;
        }
    }

    // Edges reach devices and interrupt threads in the order they happened,
    // also when a device's reaction causes further edges.
    void propagate() {
        if (propagating) return;
        propagating = true;
        while (!pending_edges.empty()) {
            auto [pin, level] = pending_edges.front();
            pending_edges.pop_front();
            for (std::size_t i = 0; i < pins[pin].attached.size(); ++i) pins[pin].attached[i].dev->on_edge(pin, level);
            deliver_interrupt(pin, level);
        }
        propagating = false;
    }

    void add_report(ReportKind kind, const std::string& source, const std::string& text) {
        reports.push_back({b.now(), kind, source, text});
        if (log) log->line(b.now(), source, kind == ReportKind::Info ? text : std::string(to_string(kind)) + ": " + text);
    }

    bool check_pin(int pin, const char* what) {
        if (is_header_pin(pin)) return true;
        if (pin >= 0 && pin < kPins) {
            if (!pins[pin].error_reported) {
                pins[pin].error_reported = true;
                add_report(ReportKind::Error, "board", std::string(what) + " on pin " + std::to_string(pin) + ", which is not on the 40-pin header");
            }
        } else {
            add_report(ReportKind::Error, "board", std::string(what) + " on pin " + std::to_string(pin) + ", which is not a wiringPi pin of the header");
        }
        return false;
    }

    void record(CallKind kind, int pin, int value) {
        if (b.options_.record_calls) calls.push_back({b.now(), kind, pin, value});
    }

    // ================= time and events =================

    EventId schedule(Time at, std::function<void()> fn) {
        EventId id = next_event++;
        events.push({std::max(at, b.now()), id, std::move(fn)});
        return id;
    }

    // Applies every event due up to `target` (in order), then sets now = target.
    void advance_to(Time target) {
        while (!events.empty() && events.top().at <= target) {
            Event e = events.top();
            events.pop();
            if (cancelled.erase(e.id)) continue;
            if (e.at > b.now()) b.now_.store(e.at, std::memory_order_relaxed);
            e.fn();
        }
        if (target > b.now()) b.now_.store(target, std::memory_order_relaxed);
    }

    Time next_event_time() {
        while (!events.empty() && cancelled.count(events.top().id)) {
            cancelled.erase(events.top().id);
            events.pop();
        }
        return events.empty() ? kNever : events.top().at;
    }

    void fatal(const std::string& text) {
        add_report(ReportKind::Error, "board", text);
        if (b.options_.exit_on_fatal) {
            std::fprintf(stderr, "pikit-sim: %s\n", text.c_str());
            close_outputs();
            _exit(3);
        }
        throw SimError(text);
    }

    // The cost of one pin call by the holder: time moves on, events due happen.
    void pin_call(std::unique_lock<std::mutex>& lk) {
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
        advance_to(b.now() + cost);
        if (b.options_.speed != Speed::Max && (++pace_tick & 1023) == 0) pace(lk);
    }

    Time wall_deadline(Time t) const {
        double factor = b.options_.speed == Speed::Realtime ? 1.0 : b.options_.speed_factor;
        return wall_origin + static_cast<Time>(static_cast<double>(t) / factor);
    }

    // Keeps a paced run from getting ahead of the wall clock during long
    // stretches of pin calls without waits.
    void pace(std::unique_lock<std::mutex>& lk) {
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

    // ================= threads =================

    Thread* self() {
        if (t_self.generation != generation || !t_self.rec) {
            Thread* t = add_thread("thread " + std::to_string(threads.size()));
            bind_cpu_clock(*t);
            t_self.generation = generation;
            t_self.rec = t;
        }
        return static_cast<Thread*>(t_self.rec);
    }

    void set_self(Thread* t) {
        t_self.generation = generation;
        t_self.rec = t;
    }

    // An OS thread that used the library has ended.
    void thread_gone(Thread* t) {
        std::unique_lock<std::mutex> lk(m);
        auto it = std::find(ready.begin(), ready.end(), t);
        if (it != ready.end()) ready.erase(it);
        t->st = St::Gone;
        if (holder == t) {
            holder = nullptr;
            dispatch(lk);
        }
    }

    Thread* add_thread(std::string name) {
        threads.push_back(std::make_unique<Thread>());
        Thread* t = threads.back().get();
        t->id = static_cast<int>(threads.size()) - 1;
        t->name = std::move(name);
        return t;
    }

    static void bind_cpu_clock(Thread& t) {
        t.has_cpu = pthread_getcpuclockid(pthread_self(), &t.cpu) == 0;
    }

    // Start of every library call: the calling thread gets the clock (waiting
    // for it if another thread holds it).
    Thread* enter(std::unique_lock<std::mutex>& lk) {
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

    void block_until_holder(std::unique_lock<std::mutex>& lk, Thread* t) {
        while (t->st != St::Holder) {
            if (finished) {
                if (release_on_finish) return;
                t->cv.wait(lk, [] { return false; });
            }
            t->cv.wait(lk);
        }
    }
    bool release_on_finish = true;

    // A thread that holds the clock and finds another one ready at this
    // instant lets it go first: threads interleave in virtual-time order.
    void maybe_yield(std::unique_lock<std::mutex>& lk, Thread* t) {
        if (ready.empty() || holder != t) return;
        t->st = St::Ready;
        ready.push_back(t);
        holder = nullptr;
        dispatch(lk);
        block_until_holder(lk, t);
    }

    void make_ready(Thread* t) {
        if (t->st == St::Ready || t->st == St::Holder) return;
        t->st = St::Ready;
        t->wants_edge = false;
        ready.push_back(t);
    }

    bool any_free() const {
        for (const auto& t : threads)
            if (t->st == St::Free) return true;
        return false;
    }

    // Hands the clock to the next ready thread, advancing virtual time as far
    // as needed. Any thread may run this with the lock held; when advancing
    // must wait for the wall clock (paced run) or for free threads to settle,
    // it leaves that to the supervisor.
    void dispatch(std::unique_lock<std::mutex>& lk) {
        (void)lk;
        if (dispatching) return;
        dispatching = true;
        while (!holder && !finished) {
            if (!ready.empty()) {
                holder = ready.front();
                ready.pop_front();
                holder->st = St::Holder;
                holder->cv.notify_one();
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

    // The calling thread waits until `when`, or for `when` from the moment it
    // has the clock when `relative` (the usual case: a delay starts when the
    // call is made, and a thread may have to wait for the clock first).
    void wait(Time when, bool relative, CallKind kind = CallKind::DelayMs, int value = -1) {
        std::unique_lock<std::mutex> lk(m);
        if (finished && release_on_finish) return;
        Thread* t = enter(lk);
        if (finished) return;
        if (value >= 0) record(kind, -1, value);
        if (relative) when += b.now();
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

    // ---- interrupts ----

    void deliver_interrupt(int pin, Level level) {
        Isr* isr = isr_of[pin];
        if (!isr) return;
        bool fall = level == Level::Low;
        bool wanted = isr->mode == 3 || isr->mode == 0 || (isr->mode == 1 && fall) || (isr->mode == 2 && !fall);
        if (!wanted) return;
        if (isr->thread->wants_edge) make_ready(isr->thread);  // wakes for this edge
        else ++isr->pending;                                  // handled after the running call
    }

    // Body of an interrupt thread: one handler call per edge, in order. The
    // thread's record was set up (waiting for an edge) by wiringPiISR itself,
    // so edges that come before this OS thread gets going are not lost.
    void isr_loop(Isr* isr) {
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

    // ---- supervisor: frees stalled holders, lets time advance past free threads ----

    void supervise() {
        std::unique_lock<std::mutex> lk(m);
        Thread* sampled = nullptr;
        std::uint64_t sampled_calls = 0;
        Time sampled_cpu = 0, sampled_wall = 0;
        std::uint64_t quiet_activity = UINT64_MAX;
        std::vector<std::pair<Thread*, Time>> quiet_cpu;
        Time quiet_wall = 0;
        const Time poll = std::max<Time>(b.options_.quiet_cpu / 4, 200000);
        while (!finished) {
            Time wake = kNever;
            // 1. A holder that stopped calling the library is set free.
            if (holder) {
                if (holder != sampled || holder->calls != sampled_calls) {
                    sampled = holder;
                    sampled_calls = holder->calls;
                    sampled_cpu = holder->has_cpu ? cpu_time(holder->cpu) : 0;
                    sampled_wall = wall_time();
                } else {
                    Time cpu = holder->has_cpu ? cpu_time(holder->cpu) - sampled_cpu : 0;
                    Time wall = wall_time() - sampled_wall;
                    if (cpu >= b.options_.quiet_cpu || wall >= b.options_.quiet_wall) {
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
                        bool settled = wall_time() - quiet_wall >= b.options_.quiet_wall;
                        if (!settled) {
                            settled = true;
                            for (auto& [t, c0] : quiet_cpu)
                                if (t->st == St::Free && (!t->has_cpu || cpu_time(t->cpu) - c0 < b.options_.quiet_cpu)) settled = false;
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

    void close_outputs() {
        if (vcd) vcd->finish();
        if (log) log->flush();
    }

    bool devices_finished = false;
    void finish_devices() {
        if (devices_finished) return;
        devices_finished = true;
        for (auto& d : devices) d->finish();
    }

    void run_limit() {
        add_report(ReportKind::Info, "board", "run limit reached");
        if (b.options_.on_until) {
            b.options_.on_until();
            return;
        }
        finish_devices();
        close_outputs();
        std::fflush(stderr);
        kill(getpid(), SIGTERM);
    }

    // ---- soft PWM and soft tone: waveforms made of scheduled edges ----
    std::uint64_t wave_gen[kPins] = {};

    void set_latch(int pin, Level l) {
        pins[pin].latch = l;
        resolve(pin);
    }

    void waveform_changed(int pin) {
        for (std::size_t i = 0; i < pins[pin].attached.size(); ++i) pins[pin].attached[i].dev->on_waveform(pin);
    }

    // One period of wiringPi's soft PWM thread: HIGH for `value` 100 us steps,
    // LOW for the rest of `range`; the value is read at the start of a period.
    void pwm_period(int pin, std::uint64_t gen) {
        if (wave_gen[pin] != gen) return;
        const Waveform& w = pins[pin].wave;
        int mark = w.value, space = w.range - w.value;
        if (mark != 0) set_latch(pin, Level::High);
        if (space != 0)
            schedule(b.now() + mark * 100_us, [this, pin, gen] {
                if (wave_gen[pin] == gen) set_latch(pin, Level::Low);
            });
        schedule(b.now() + w.range * 100_us, [this, pin, gen] { pwm_period(pin, gen); });
    }

    // One cycle of wiringPi's soft tone thread: half a period HIGH, half LOW,
    // with the half period in whole microseconds; silence polls every 1 ms.
    void tone_cycle(int pin, std::uint64_t gen) {
        if (wave_gen[pin] != gen) return;
        int freq = pins[pin].wave.freq;
        if (freq == 0) {
            schedule(b.now() + 1_ms, [this, pin, gen] { tone_cycle(pin, gen); });
            return;
        }
        Time half = (500000 / freq) * 1_us;
        set_latch(pin, Level::High);
        schedule(b.now() + half, [this, pin, gen] {
            if (wave_gen[pin] == gen) set_latch(pin, Level::Low);
        });
        schedule(b.now() + 2 * half, [this, pin, gen] { tone_cycle(pin, gen); });
    }

    void stop_wave(int pin) {
        ++wave_gen[pin];
        pins[pin].wave = Waveform{};
        pins[pin].wave.since = b.now();
        set_latch(pin, Level::Low);
        waveform_changed(pin);
    }
};

SelfTls::~SelfTls() {
    Board* board = g_current.load();
    if (!rec || !board || board->impl_generation() != generation) return;
    board->thread_gone(rec);
}

// ===========================================================================

Board* Board::current() { return g_current.load(); }

Board::Board(Options options) : options_(std::move(options)), impl_(std::make_unique<Impl>(*this)) {
    Impl& im = *impl_;
    im.generation = ++g_generation;
    for (int pin = 0; pin < kPins; ++pin) {
        Impl::Pin& p = im.pins[pin];
        // BCM2835 power-on pulls: GPIO 0-8 pulled up, 9-27 pulled down.
        int bcm = kBcm[pin];
        p.internal = bcm < 0 ? Pull::None : (bcm <= 8 ? Pull::Up : Pull::Down);
        // The Pi board's own 1.8 kOhm pull-ups on the I2C pins.
        if (pin == 8 || pin == 9) p.external = Pull::Up;
        Pull pull = p.external != Pull::None ? p.external : p.internal;
        p.level = pull == Pull::Up ? Level::High : Level::Low;
        p.floating = pull == Pull::None;
        if (options_.record_history) p.history.push_back({0, p.level, p.floating});
    }
    if (!options_.vcd_path.empty()) {
        im.vcd = std::make_unique<VcdWriter>(options_.vcd_path);
        if (!im.vcd->ok()) throw std::runtime_error("cannot write trace file '" + options_.vcd_path + "': " + im.vcd->error());
        for (int pin = 0; pin < kPins; ++pin) {
            const Impl::Pin& p = im.pins[pin];
            im.vcd->initial(pin, p.floating ? 'z' : (is_high(p.level) ? '1' : '0'));
        }
    }
    if (!options_.log_path.empty()) {
        im.log = std::make_unique<LogWriter>(options_.log_path);
        if (!im.log->ok()) throw std::runtime_error("cannot write log file '" + options_.log_path + "': " + im.log->error());
    }
    im.state_dir = options_.state_dir;
    // The thread that builds the board holds the clock, as a program's main
    // thread does from its first instruction.
    Impl::Thread* main = im.self();
    main->name = "main";
    main->st = Impl::St::Holder;
    im.holder = main;
    if (options_.until != kNever) im.schedule(options_.until, [&im] { im.run_limit(); });
    im.wall_origin = wall_time();
    g_current.store(this);
    im.supervisor = std::thread([&im] { im.supervise(); });
}

Board::~Board() {
    finish();
    if (impl_->supervisor.joinable()) impl_->supervisor.join();
    for (auto& isr : impl_->isrs)
        if (isr->worker.joinable()) isr->worker.join();
    Board* self = this;
    g_current.compare_exchange_strong(self, nullptr);
}

std::uint64_t Board::impl_generation() const { return impl_->generation; }

void Board::thread_gone(void* rec) { impl_->thread_gone(static_cast<Impl::Thread*>(rec)); }

void Board::finish(bool release_threads) {
    {
        std::unique_lock<std::mutex> lk(impl_->m);
        if (impl_->finished) return;
        impl_->release_on_finish = release_threads;
        impl_->finish_devices();
        impl_->finished = true;
        impl_->close_outputs();
        for (auto& t : impl_->threads) t->cv.notify_all();
        impl_->supervisor_cv.notify_all();
    }
    if (impl_->supervisor.joinable() && impl_->supervisor.get_id() != std::this_thread::get_id())
        impl_->supervisor.join();
}

Device& Board::add_device(std::unique_ptr<Device> device) {
    std::unique_lock<std::mutex> lk(impl_->m);
    for (const auto& d : impl_->devices)
        if (d->name() == device->name())
            throw std::invalid_argument("a device named '" + device->name() + "' is already wired");
    Device& ref = *device;
    ref.board_ = this;
    impl_->devices.push_back(std::move(device));
    try {
        ref.attach(*this);
    } catch (...) {
        for (auto& p : impl_->pins) {
            auto& a = p.attached;
            a.erase(std::remove_if(a.begin(), a.end(), [&](const Impl::Attachment& x) { return x.dev == &ref; }), a.end());
        }
        impl_->devices.pop_back();
        throw;
    }
    return ref;
}

Device* Board::find(const std::string& name) const {
    for (const auto& d : impl_->devices)
        if (d->name() == name) return d.get();
    return nullptr;
}

void Board::set_external_pull(int pin, Pull pull) {
    std::unique_lock<std::mutex> lk(impl_->m);
    if (!is_header_pin(pin)) throw std::invalid_argument("pin " + std::to_string(pin) + " is not on the header");
    impl_->pins[pin].external = pull;
    impl_->use_pin(pin);
    impl_->resolve(pin);
}

void Board::set_pin_call_cost(Time cost) {
    std::unique_lock<std::mutex> lk(impl_->m);
    options_.pin_call_cost = cost;
}

// ---- device side ----

void Board::attach(Device& device, int pin, PinRole role) {
    if (!is_header_pin(pin))
        throw std::invalid_argument(device.label() + ": pin " + std::to_string(pin) + " is not a wiringPi pin of the header");
    Impl::Pin& p = impl_->pins[pin];
    if (role == PinRole::PushPull)
        for (const auto& a : p.attached)
            if (a.role == PinRole::PushPull)
                throw std::invalid_argument("pin " + std::to_string(pin) + " would be driven push-pull by both " +
                                            a.dev->label() + " and " + device.label());
    p.attached.push_back({&device, role, Drive::Release});
    impl_->use_pin(pin);
}

void Board::drive(Device& device, int pin, Drive d) {
    Impl::Pin& p = impl_->pins[pin];
    for (auto& a : p.attached) {
        if (a.dev != &device) continue;
        if (a.role == PinRole::Input && d != Drive::Release)
            throw std::logic_error(device.label() + " drives " + pin_name(pin) + ", attached as an input");
        if (a.role == PinRole::OpenDrain && d == Drive::High)
            throw std::logic_error(device.label() + " drives " + pin_name(pin) + " HIGH, attached open-drain");
        if (a.drive == d) return;
        a.drive = d;
        impl_->resolve(pin);
        return;
    }
    throw std::logic_error(device.label() + " drives " + pin_name(pin) + ", which it is not attached to");
}

Level Board::level(int pin) const { return is_header_pin(pin) ? impl_->pins[pin].level : Level::Low; }
bool Board::floating(int pin) const { return is_header_pin(pin) && impl_->pins[pin].floating; }
bool Board::master_output(int pin) const { return is_header_pin(pin) && impl_->pins[pin].mode == kModeOutput; }
Level Board::master_latch(int pin) const { return is_header_pin(pin) ? impl_->pins[pin].latch : Level::Low; }

Board::EventId Board::schedule(Time at, std::function<void()> fn) { return impl_->schedule(at, std::move(fn)); }
void Board::cancel(EventId id) { impl_->cancelled.insert(id); }

const Waveform& Board::waveform(int pin) const {
    static const Waveform none{};
    return is_header_pin(pin) ? impl_->pins[pin].wave : none;
}

void Board::report(const Device& from, ReportKind kind, const std::string& text) {
    impl_->add_report(kind, from.label(), text);
}

std::filesystem::path Board::state_dir() {
    if (impl_->state_dir.empty()) {
        const char* xdg = std::getenv("XDG_STATE_HOME");
        const char* home = std::getenv("HOME");
        if (xdg && *xdg) impl_->state_dir = std::filesystem::path(xdg) / "pikit-sim";
        else if (home && *home) impl_->state_dir = std::filesystem::path(home) / ".local" / "state" / "pikit-sim";
        else impl_->state_dir = std::filesystem::temp_directory_path() / "pikit-sim";
    }
    std::error_code ec;
    std::filesystem::create_directories(impl_->state_dir, ec);
    return impl_->state_dir;
}

// ---- inspection ----

const std::vector<LineChange>& Board::history(int pin) const {
    static const std::vector<LineChange> none;
    return is_header_pin(pin) ? impl_->pins[pin].history : none;
}

std::vector<Report> Board::reports() const {
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->reports;
}

std::vector<Report> Board::reports(ReportKind kind) const {
    std::lock_guard<std::mutex> g(impl_->m);
    std::vector<Report> out;
    for (const auto& r : impl_->reports)
        if (r.kind == kind) out.push_back(r);
    return out;
}

std::vector<Report> Board::reports_from(const std::string& device_name) const {
    std::lock_guard<std::mutex> g(impl_->m);
    std::vector<Report> out;
    const Device* d = find(device_name);
    if (!d) return out;
    std::string label = d->label();
    for (const auto& r : impl_->reports)
        if (r.source == label) out.push_back(r);
    return out;
}

std::vector<Contention> Board::contentions() const {
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->contentions;
}

const std::vector<Call>& Board::calls() const { return impl_->calls; }

void Board::clear_records() {
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->reports.clear();
    impl_->calls.clear();
    for (auto& c : impl_->contentions)
        if (c.end == kNever) c.end = now();
    impl_->contentions.clear();
    for (int pin = 0; pin < kPins; ++pin) {
        auto& p = impl_->pins[pin];
        p.contention = -1;
        p.history.clear();
        if (options_.record_history) p.history.push_back({now(), p.level, p.floating});
    }
}

void Board::run_until(Time t) { wait_until(t); }

// ---- program side ----

namespace {
// Holds the board lock for one library call and gives the caller the clock.
struct CallScope {
    Board::Impl& im;
    std::unique_lock<std::mutex> lk;
    Board::Impl::Thread* t = nullptr;
    bool live = false;
    explicit CallScope(Board::Impl& impl) : im(impl), lk(impl.m) {
        if (im.finished && im.release_on_finish) return;
        t = im.enter(lk);
        live = !im.finished;
    }
    ~CallScope() {
        if (live && !im.finished) {
            im.advance_to(im.b.now());
            im.maybe_yield(lk, t);
        }
    }
};
}  // namespace

void Board::pin_mode(int pin, int mode) {
    CallScope c(*impl_);
    if (!c.live) return;
    impl_->pin_call(c.lk);
    if (!impl_->check_pin(pin, "pinMode")) return;
    impl_->use_pin(pin);
    impl_->record(CallKind::PinMode, pin, mode);
    if (mode != kModeInput && mode != kModeOutput) {
        impl_->add_report(ReportKind::Error, "board", "pinMode(" + std::to_string(pin) + ", " + std::to_string(mode) +
                                                          "): only INPUT and OUTPUT are simulated; ignored");
        return;
    }
    impl_->pins[pin].mode = mode;
    impl_->resolve(pin);
}

void Board::pull_control(int pin, int pud) {
    CallScope c(*impl_);
    if (!c.live) return;
    impl_->pin_call(c.lk);
    if (!impl_->check_pin(pin, "pullUpDnControl")) return;
    impl_->use_pin(pin);
    impl_->record(CallKind::PullControl, pin, pud);
    impl_->pins[pin].internal = pud == 2 ? Pull::Up : pud == 1 ? Pull::Down : Pull::None;
    impl_->resolve(pin);
}

void Board::write(int pin, int value) {
    CallScope c(*impl_);
    if (!c.live) return;
    impl_->pin_call(c.lk);
    if (!impl_->check_pin(pin, "digitalWrite")) return;
    impl_->use_pin(pin);
    impl_->record(CallKind::Write, pin, value);
    impl_->set_latch(pin, value == 0 ? Level::Low : Level::High);
}

int Board::read(int pin) {
    CallScope c(*impl_);
    if (!c.live) return 0;
    impl_->pin_call(c.lk);
    if (!impl_->check_pin(pin, "digitalRead")) return 0;
    impl_->use_pin(pin);
    int v = is_high(impl_->pins[pin].level) ? 1 : 0;
    impl_->record(CallKind::Read, pin, v);
    return v;
}

void Board::wait_until(Time when) { impl_->wait(when, false); }

void Board::wait_for(Time duration) { impl_->wait(duration, true); }

void Board::apply(const std::function<void()>& fn, bool pin_call) {
    CallScope c(*impl_);
    if (!c.live) return;
    if (pin_call) impl_->pin_call(c.lk);
    fn();
}

void Board::give_to_peripheral(int pin) {
    if (!is_header_pin(pin)) return;
    impl_->use_pin(pin);
    impl_->pins[pin].mode = kModeInput;
    impl_->resolve(pin);
}

void Board::delay_ms(unsigned ms) {
    impl_->wait(static_cast<Time>(ms) * 1_ms + options_.sleep_overrun, true, CallKind::DelayMs, static_cast<int>(ms));
}

void Board::delay_us(unsigned us) {
    if (us == 0) {  // returns at once, as wiringPi's does
        std::lock_guard<std::mutex> g(impl_->m);
        impl_->record(CallKind::DelayUs, -1, 0);
        return;
    }
    impl_->wait(static_cast<Time>(us) * 1_us + (us >= 100 ? options_.sleep_overrun : 0), true, CallKind::DelayUs,
                static_cast<int>(us));
}

int Board::isr(int pin, int mode, void (*handler)()) {
    CallScope c(*impl_);
    if (!c.live) return -1;
    impl_->record(CallKind::Isr, pin, mode);
    if (options_.isr_fails) {
        impl_->add_report(ReportKind::Fault, "board", "wiringPiISR(" + std::to_string(pin) + ") fails, as the scenario asks");
        return -1;
    }
    if (!impl_->check_pin(pin, "wiringPiISR") || !handler || mode < 0 || mode > 3) return -1;
    if (impl_->isr_of[pin]) {
        impl_->add_report(ReportKind::Error, "board", "a second wiringPiISR on " + pin_name(pin) + " refused");
        return -1;
    }
    impl_->use_pin(pin);
    auto isr = std::make_unique<Impl::Isr>();
    isr->pin = pin;
    isr->mode = mode;
    isr->handler = handler;
    isr->thread = impl_->add_thread("interrupt " + pin_name(pin));
    isr->thread->st = Impl::St::Waiting;
    isr->thread->wants_edge = true;
    Impl::Isr* raw = isr.get();
    impl_->isr_of[pin] = raw;
    impl_->isrs.push_back(std::move(isr));
    Impl* im = impl_.get();
    raw->worker = std::thread([im, raw] { im->isr_loop(raw); });
    return 0;
}

int Board::pwm_create(int pin, int value, int range) {
    CallScope c(*impl_);
    if (!c.live) return -1;
    if (!impl_->check_pin(pin, "softPwmCreate")) return -1;
    Impl::Pin& p = impl_->pins[pin];
    if (p.wave.kind == Waveform::Kind::Pwm || range <= 0) return -1;
    impl_->use_pin(pin);
    ++impl_->wave_gen[pin];
    impl_->set_latch(pin, Level::Low);
    p.mode = kModeOutput;
    impl_->resolve(pin);
    p.wave = Waveform{Waveform::Kind::Pwm, std::clamp(value, 0, range), range, 0, now()};
    impl_->waveform_changed(pin);
    impl_->pwm_period(pin, impl_->wave_gen[pin]);
    return 0;
}

void Board::pwm_write(int pin, int value) {
    CallScope c(*impl_);
    if (!c.live || !impl_->check_pin(pin, "softPwmWrite")) return;
    Impl::Pin& p = impl_->pins[pin];
    if (p.wave.kind != Waveform::Kind::Pwm) {
        impl_->add_report(ReportKind::Error, "board", "softPwmWrite on " + pin_name(pin) + ", which has no soft PWM");
        return;
    }
    p.wave.value = std::clamp(value, 0, p.wave.range);
    p.wave.since = now();
    impl_->waveform_changed(pin);
}

void Board::pwm_stop(int pin) {
    CallScope c(*impl_);
    if (!c.live || !impl_->check_pin(pin, "softPwmStop")) return;
    if (impl_->pins[pin].wave.kind == Waveform::Kind::Pwm) impl_->stop_wave(pin);
}

int Board::tone_create(int pin) {
    CallScope c(*impl_);
    if (!c.live) return -1;
    if (!impl_->check_pin(pin, "softToneCreate")) return -1;
    Impl::Pin& p = impl_->pins[pin];
    if (p.wave.kind == Waveform::Kind::Tone) return -1;
    impl_->use_pin(pin);
    ++impl_->wave_gen[pin];
    p.mode = kModeOutput;
    impl_->set_latch(pin, Level::Low);
    p.wave = Waveform{Waveform::Kind::Tone, 0, 0, 0, now()};
    impl_->waveform_changed(pin);
    impl_->tone_cycle(pin, impl_->wave_gen[pin]);
    return 0;
}

void Board::tone_write(int pin, int freq) {
    CallScope c(*impl_);
    if (!c.live || !impl_->check_pin(pin, "softToneWrite")) return;
    Impl::Pin& p = impl_->pins[pin];
    if (p.wave.kind != Waveform::Kind::Tone) {
        impl_->add_report(ReportKind::Error, "board", "softToneWrite on " + pin_name(pin) + ", which has no soft tone");
        return;
    }
    p.wave.freq = std::clamp(freq, 0, 5000);
    p.wave.since = now();
    impl_->waveform_changed(pin);
}

void Board::tone_stop(int pin) {
    CallScope c(*impl_);
    if (!c.live || !impl_->check_pin(pin, "softToneStop")) return;
    if (impl_->pins[pin].wave.kind == Waveform::Kind::Tone) impl_->stop_wave(pin);
}

}  // namespace pikit::sim
