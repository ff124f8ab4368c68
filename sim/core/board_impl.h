// Inside the simulated Pi: the state behind Board and the operations on it,
// each group defined in the source its comment names (docs/simulator.md has
// the map of the core). Not for device models or tests: they use board.h.
//
// Threading: everything here is guarded by the board lock `m`, but for
//  - the clock (Board::now_), read by anyone and moved only by the thread
//    that holds the clock (with the lock, or on the fast path without it);
//  - the fast path (fast_path.h), whose owner reads the lines, the clock and
//    queue.next_due without the lock while no other thread may change them;
//  - the threads' wake-up counters (park/unpark), atomics of their own.
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <queue>
#include <thread>
#include <unordered_map>

#include "board.h"
#include "fast_path.h"
#include "host.h"
#include "signal_gate.h"
#include "trace.h"

namespace pikit::sim {

constexpr int kPins = 32;    // wiringPi pins 0-31; those on the header: is_header_pin()
constexpr int kLines = 256;  // lines 0-31 are the pins; named nets of devices from 32 on
constexpr int kModeInput = 0;
constexpr int kModeOutput = 1;

// The board the simulated libraries act on, and a counter that tells boards
// (and the threads that used them) apart.
extern std::atomic<Board*> g_current;
extern std::atomic<std::uint64_t> g_generation;

// Which simulated-thread record the calling OS thread is, for the board of
// that generation. Its destructor tells the board when the OS thread ends.
struct SelfTls {
    std::uint64_t generation = 0;
    void* rec = nullptr;
    ~SelfTls();
};
extern thread_local SelfTls t_self;

// Per OS thread: how many library calls it is inside (with the board lock
// held, or waiting in the library for the clock). More than one means a
// signal handler of the program's has interrupted a call that waits, and is
// making one of its own: see Board::Impl::nested_call().
inline thread_local int t_in_call = 0;

// How often the supervisor looks again while it waits for something it
// cannot be woken for: threads that are ending, a program held at the limit.
constexpr Time kSupervisorPoll = 200000;

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
        Time contention_start = -1;  // while drivers fight over the line
        int contention = -1;         // its entry in `contentions`, when kept
        std::vector<LineChange> history;
        Waveform wave;
        EventId wave_event = 0;
        bool error_reported = false;
        bool wave_error_reported = false;  // a soft PWM/tone write with no generator
    };
    Pin pins[kLines];
    std::vector<std::string> net_names;  // line kPins + i is net_names[i]
    std::deque<std::pair<int, Level>> pending_edges;
    bool propagating = false;

    std::vector<std::unique_ptr<Device>> devices;
    std::vector<Report> reports;
    std::vector<Contention> contentions;
    std::vector<Call> calls;
    std::unique_ptr<VcdWriter> vcd;
    std::unique_ptr<LogWriter> log;
    std::unique_ptr<EventWriter> event_stream;
    bool outputs_closed = false;
    // What devices show a person, by (device name, key). A value is published
    // (log, event stream, history) once per virtual instant, with the value
    // it has when the instant is over, as a logic simulator settles its delta
    // cycles: a latch that sets eight outputs one after another at one
    // instant is one change of what a row of LEDs shows, and a value that
    // changes and changes back within an instant shows nothing.
    struct ShownState {
        const Device* from = nullptr;
        Shown value;      // the latest, this instant's so far
        Shown published;  // the last one published
        bool ever_published = false;
        bool unsettled = false;  // in `unsettled`
        std::vector<ShownChange> history;
    };
    std::map<std::pair<std::string, std::string>, ShownState> shown;
    // Values changed at `unsettled_at` and not yet published, in the order
    // they first changed.
    std::vector<std::pair<const std::string*, ShownState*>> unsettled;
    Time unsettled_at = -1;

    // ---- what the run leaves behind (publish.cpp) ----
    // Opens the trace, the log and the event stream the options name, and
    // writes the run's start.
    void open_outputs();
    // Publishes the shown values of an instant that is over: before anything
    // of a later instant is written, when time moves on, and at the run's end.
    void settle_shown();
    void settle_if_over() {
        if (!unsettled.empty() && b.now() > unsettled_at) settle_shown();
    }
    void publish_report(const Report& r, const Device* from);
    void publish_contention_over(int pin, Time began);
    // Ends the trace, the log and the event stream (with the run's end and
    // why it ended: "exit", "run limit", "fatal", ...). Idempotent.
    void close_outputs(const char* reason = "end");

    std::filesystem::path state_dir;
    bool state_dir_checked = false;

    // ---- time and events ----
    // The queue holds times; what to do lives beside it, so that cancelling
    // (of an event still due, or one long gone) is exact and leaves nothing.
    struct Event {
        Time at;
        EventId id;
    };
    struct Later {
        bool operator()(const Event& a, const Event& b) const { return a.at != b.at ? a.at > b.at : a.id > b.id; }
    };
    // The queue's state: event_queue.cpp's alone, under the board lock (the
    // fast path reads next_due through the handshake in fast_path.h).
    struct Queue {
        std::priority_queue<Event, std::vector<Event>, Later> times;
        std::unordered_map<EventId, std::function<void()>> actions;
        EventId next = 1;
        // Stimuli's ids, a band of their own (schedule_stimulus); 0 before the first.
        EventId next_stimulus = 0;
        Time next_due = kNever;  // time of the first queued event (maybe cancelled): refresh_due()
    } queue;
    // A loop of pin calls that cost nothing, at one instant (scheduler.cpp):
    // past Options::frozen_calls of them the run is a fault.
    struct FrozenLoop {
        Time at = -1;
        std::uint64_t count = 0;
    } frozen;
    // A paced run's link to the wall clock (scheduler.cpp, outside.cpp).
    struct Pacing {
        Time wall_origin = 0;    // wall time of virtual time 0
        bool paused = false;     // virtual time stands still (Board::set_pace)
        std::uint64_t tick = 0;  // pin calls, to look at the wall clock every 1024th
    } pacing;

    // ---- threads ----
    // Ending: the OS thread has run its thread_local destructors (it returned,
    // or called exit() and the process is going down) but is still alive.
    enum class St { Free, Ready, Holder, Waiting, Ending, Gone };
    struct Thread {
        int id;
        std::string name;
        St st = St::Free;
        bool wants_edge = false;  // interrupt thread waiting for its next edge
        // Its waits in the library (park): bumped by each wake-up, which
        // calls the kernel only while the thread is parked.
        std::atomic<std::uint32_t> wakeups{0};
        bool parked = false;
        // Library calls made through the lock. Fast pin calls are not
        // counted: they move the clock, which shows them to the supervisor.
        std::uint64_t calls = 0;
        clockid_t cpu{};
        bool has_cpu = false;
        pid_t tid = 0;  // kernel thread id, to see when the OS thread has really ended
    };
    std::vector<std::unique_ptr<Thread>> threads;
    std::deque<Thread*> ready;
    Thread* holder = nullptr;
    bool dispatching = false;
    std::uint64_t activity = 0;  // library calls of all threads
    // The activity the free threads have had their chance to react to, so
    // that time may advance without them (supervisor.cpp).
    std::uint64_t settled_activity = UINT64_MAX;
    int ending = 0;           // threads in St::Ending: the clock stands still until they are gone
    bool start_held = false;  // Options::hold_until_started, until started()
    // Set by started(): the holder's watch begins afresh from there. What it
    // spent wiring the scenario, and how long the supervisor itself waited
    // for a processor meanwhile, must not count against the program.
    bool rewatch_holder = false;
    // ---- the run limit (run_limit.cpp) ----
    // Its state, all under the board lock: set by the limit's event and the
    // supervisor, read where time would move or the run would end.
    struct RunLimit {
        bool reached = false;
        // The run limit has come and the program takes SIGTERM itself (its
        // own handler, or a thread that waits for it): virtual time stands
        // still at the limit while it reacts, no event runs and calls cost
        // nothing, until it dies or goes quiet without dying.
        bool held = false;
        bool term_to_send = false;  // the supervisor sends the run limit's SIGTERM
        // While held at the limit: the program's library calls so far, and
        // when they were last seen to change (run_limit.cpp only).
        std::uint64_t watched_activity = UINT64_MAX;
        Time quiet_since = 0;
    } limit;
    void start_run_limit();
    void run_limit();
    void send_limit_term();
    // The supervisor's watch over a program held at the limit: one that has
    // gone quiet without dying (a handler that sets a flag for a loop that
    // sleeps) gets its time back, so that it can finish. Returns the next look.
    Time watch_after_limit(std::unique_lock<std::mutex>& lk, Time wall, Time settle_wall);
    // Whether every program thread the kit knows has `sig` blocked: the
    // program leaves it to a thread of its own that waits for it.
    bool program_blocks(int sig) const;

    // The supervisor thread (supervisor.cpp) and how others wake it, under the board lock.
    struct Supervisor {
        std::thread thread;
        std::condition_variable cv;
        bool idle = false;            // waiting with nothing to watch: wake it for a new holder
        bool advance_paused = false;  // dispatch let go of the lock while free threads exist
    } supervisor;

    // ---- the fast path (fast_path.h) ----
    FastPath fast{m};

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

    bool release_on_finish = true;  // finish() lets blocked threads go
    // The process is about to die of a signal from outside: every library
    // call from now on, the holder's included, stays in the library for good.
    bool calls_held = false;
    bool devices_finished = false;
    std::uint64_t wave_gen[kPins] = {};  // bumped to end a pin's waveform events

    // ---- lines (lines.cpp): electrical state, edges, waveforms, reports ----
    void use_pin(int pin);
    void resolve(int pin);
    void update_contention(int pin, const std::string& fight);
    // Edges reach devices and interrupt threads in the order they happened,
    // also when a device's reaction causes further edges.
    void propagate();
    void add_report(ReportKind kind, const std::string& source, const std::string& text, const Device* from = nullptr);
    bool is_line(int line) const {
        return is_header_pin(line) || (line >= kPins && line < kPins + static_cast<int>(net_names.size()));
    }
    std::string line_name(int line) const;
    bool check_pin(int pin, const char* what);
    void record(CallKind kind, int pin, int value);
    void set_latch(int pin, Level l);
    void waveform_changed(int pin);
    // One period of wiringPi's soft PWM thread: HIGH for `value` 100 us steps,
    // LOW for the rest of `range`; the value is read at the start of a period.
    void pwm_period(int pin, std::uint64_t gen);
    // One cycle of wiringPi's soft tone thread: half a period HIGH, half LOW,
    // with the half period in whole microseconds; silence polls every 1 ms.
    void tone_cycle(int pin, std::uint64_t gen);
    void start_wave(int pin, const Waveform& w);
    // What a generator's start does to its pin before the thread runs: made
    // an output and driven LOW, in soft PWM's order (`latch_first`: LOW, then
    // output) or soft tone's (output, then LOW).
    void master_output_low(int pin, bool latch_first);
    void stop_wave(int pin);

    // ---- the fast path's use by pin calls (fast_path.h, fast_path.cpp) ----
    // Starts a fast pin call on `pin`: the pin when the calling thread may
    // make one, with `end` the time the call ends (then it must end with
    // fast_commit or FastPath::end_call), else null.
    Pin* fast_begin(int pin, Time& end) {
        if (fast.begin(b.now_, queue.next_due, end)) {
            if (static_cast<unsigned>(pin) < kPins && pins[pin].used) return &pins[pin];
            FastPath::end_call();
        }
        return nullptr;
    }
    [[nodiscard]] bool fast_commit(Time end) { return FastPath::commit(b.now_, end); }
    // At the end of a locked call by `t`: lets it make fast calls from now on
    // if it holds the clock, no other thread is ready and the options allow.
    void grant_fast(const std::unique_lock<std::mutex>& lk, Thread* t);

    // ---- the event queue (event_queue.cpp) ----
    void refresh_due();
    EventId schedule(Time at, std::function<void()> fn);
    // The stimuli's band of ids begins here, if it has not yet.
    void reserve_stimuli();
    EventId schedule_stimulus(Time at, std::function<void()> fn);
    EventId enqueue(EventId id, Time at, std::function<void()> fn);
    void cancel(EventId id);
    // Applies every event due up to `target` (in order), then sets now = target.
    void advance_to(const std::unique_lock<std::mutex>& lk, Time target);
    // The lock the events being applied run under (advance_to's caller's),
    // for an event's action that needs to show it.
    const std::unique_lock<std::mutex>& events_lock() const;
    const std::unique_lock<std::mutex>* applying_under = nullptr;
    Time next_event_time();

    // ---- program threads and virtual time (scheduler.cpp) ----
    // The cost of one pin call by the holder: time moves on, events due happen.
    void pin_call(std::unique_lock<std::mutex>& lk);
    // A call made by a signal handler on a thread that waits inside another
    // call (a delay, or its turn for the clock). That thread does not hold
    // the clock, and its place in the schedule belongs to the interrupted
    // call: the handler's call runs at once, at the current instant, costs
    // nothing, and leaves the schedule alone (a delay in it returns at once).
    // The kit sends the run limit's SIGTERM so that the handler's thread
    // never holds the board lock (the supervisor sends it, holding the lock).
    static bool nested_call() { return t_in_call > 1; }
    Time wall_deadline(Time t) const;
    // Whether virtual time follows the wall clock (or stands still), rather
    // than running as fast as it can.
    bool paced() const { return b.options_.speed != Speed::Max || pacing.paused; }
    // Keeps a paced run from getting ahead of the wall clock during long
    // stretches of pin calls without waits.
    void pace(std::unique_lock<std::mutex>& lk);
    Thread* self();
    void set_self(Thread* t);
    // An OS thread that used the library is ending (its thread_local
    // destructors run). Time stands still until the supervisor has seen the OS
    // thread really end: a thread that calls exit(), or the main thread
    // returning from main(), never does, so the program's own end is never
    // overtaken by events or the run limit.
    void thread_gone(Thread* t);
    // The supervisor's part of that: ending threads whose OS thread is gone.
    void reap_ended(std::unique_lock<std::mutex>& lk);
    Thread* add_thread(std::string name);
    static void bind_cpu_clock(Thread& t);
    // Start of every library call: the calling thread gets the clock (waiting
    // for it if another thread holds it).
    Thread* enter(std::unique_lock<std::mutex>& lk);
    void block_until_holder(std::unique_lock<std::mutex>& lk, Thread* t);
    // The thread waits inside the library until woken (or for no reason:
    // callers check what they wait for). The lock is let go meanwhile, and
    // this is where a signal for one of the program's handlers runs it (a
    // SignalWindow), as on a Pi while the thread sleeps in a delay.
    void park(std::unique_lock<std::mutex>& lk, Thread* t);
    [[noreturn]] void park_for_good(std::unique_lock<std::mutex>& lk, Thread* t);
    void unpark(Thread* t);
    // A library call made once the run is ending from outside stays here.
    void hold_if_ending(std::unique_lock<std::mutex>& lk);
    // A thread that holds the clock and finds another one ready at this
    // instant lets it go first: threads interleave in virtual-time order.
    void maybe_yield(std::unique_lock<std::mutex>& lk, Thread* t);
    void make_ready(Thread* t);
    bool any_free() const;
    // Hands the clock to the next ready thread, advancing virtual time as far
    // as needed. Any thread may run this with the lock held; when advancing
    // must wait for the wall clock (paced run) or for free threads to settle,
    // it leaves that to the supervisor.
    void dispatch(std::unique_lock<std::mutex>& lk);
    // The calling thread waits until `when`, or for `when` from the moment it
    // has the clock when `relative` (the usual case: a delay starts when the
    // call is made, and a thread may have to wait for the clock first).
    void wait(Time when, bool relative, CallKind kind = CallKind::DelayMs, int value = -1);

    // ---- interrupts (interrupts.cpp) ----
    void deliver_interrupt(int pin, Level level);
    // Body of an interrupt thread: one handler call per edge, in order. The
    // thread's record was set up (waiting for an edge) by wiringPiISR itself,
    // so edges that come before this OS thread gets going are not lost.
    void isr_loop(Isr* isr);

    // ---- the supervisor (supervisor.cpp) ----
    // The supervisor thread: frees holders that stopped calling the library,
    // and lets time advance past free threads once they have had their chance.
    void supervise();

    // ---- the run's end (run_end.cpp) ----
    void finish_devices();
    // A fault of the simulation itself: reported, then the run ends with
    // status 3 (or SimError is thrown, for tests).
    void fatal(const std::string& text);
};

}  // namespace pikit::sim
