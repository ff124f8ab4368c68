// The simulated Raspberry Pi: virtual time, the header's GPIO lines with their
// electrical state, the devices wired to them, the program's threads, and what
// the run leaves behind (VCD trace, log, reports).
//
// One Board is "current" at a time; the simulated wiringPi and bcm2835 calls
// act on it. A process that links the simulated kit gets one built from its
// scenario before main() runs; a test builds its own:
//
//   pikit::sim::Board board;                 // fresh Pi, max speed, history kept
//   board.set_external_pull(8, Pull::Up);
//   auto& sensor = board.add(std::make_unique<Aht20>("sensor", settings));
//   Start_I2C(); ...                         // program code, on the test thread
//   EXPECT_EQ(board.history(8).back().level, Level::High);
//
// Locking: all state is guarded by one mutex. Methods marked "device side"
// expect it to be held, which it is inside Device callbacks and scheduled
// events. Methods marked "test side" take it themselves; call them from a test
// while no program thread is inside the library, or from the thread that is.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device.h"
#include "events.h"
#include "shown.h"
#include "time.h"

namespace pikit::sim {

enum class Pull : unsigned char { None, Down, Up };

enum class ReportKind : unsigned char {
    Info,        // what a module shows or does (LED on, display contents, tag stored)
    Breach,      // a master broke a protocol's timing or sequence rules
    Contention,  // two drivers fighting over a line
    Fault,       // an injected fault took effect
    Error,       // a program misused the library (bad pin, second softPwmCreate...)
};
const char* to_string(ReportKind k);

struct Report {
    Time at;
    ReportKind kind;
    std::string source;  // device label or "board"
    std::string text;
};

// One resolved level change of a line.
struct LineChange {
    Time at;
    Level level;
    bool floating;  // nobody drives it and no pull holds it
};

// One program call into the simulated library (kept when Options::record_calls).
enum class CallKind : unsigned char { PinMode, PullControl, Write, Read, DelayMs, DelayUs, Isr, PwmWrite, ToneWrite };
struct Call {
    Time at;
    CallKind kind;
    int pin;    // -1 for delays
    int value;  // mode, pull, level written or read, delay length, PWM value or tone frequency as passed
};

// A contention episode on one line: master and a device (or two devices) driving
// opposite levels. `end` is kNever while it lasts.
struct Contention {
    int pin;
    Time start;
    Time end;
    std::string who;
};

// Soft PWM / soft tone generator state of a pin (no thread: a waveform), or
// the Pi's PWM controller driving it (Hardware).
struct Waveform {
    enum class Kind : unsigned char { None, Pwm, Tone, Hardware } kind = Kind::None;
    int value = 0;   // PWM: high steps per period
    int range = 0;   // PWM: steps per period (100 us each; Hardware: ticks of the PWM clock)
    int freq = 0;    // tone: Hz, 0 = silent (LOW)
    Time since = 0;  // when these settings were made
    // Hardware: one period of the pattern (`range` ticks). In balanced mode
    // the HIGH ticks are spread over it, so a reading of the line's duty
    // must span at least this long.
    Time period = 0;
    bool balanced = false;  // Hardware: balanced mode rather than mark-space
    double duty() const {
        return (kind == Kind::Pwm || kind == Kind::Hardware) && range > 0 ? double(std::min(value, range)) / range : 0.0;
    }
};

enum class Speed : unsigned char { Max, Realtime, Factor };

// What a header pin is doing, as a person probing the header would see it.
struct PinState {
    int pin;             // wiringPi number
    bool output;         // the program drives it (pinMode OUTPUT, or a generator)
    Level level;         // the line's resolved level
    bool floating;       // nobody drives it and no pull holds it
    bool module_drives;  // a device on the pin pulls it or drives it now
    Waveform wave;       // soft PWM or soft tone on it
};

// What a person sees of the whole board at one instant: the virtual time,
// the devices in the order they were wired, every shown value, and the
// header pins in use.
struct BoardSnapshot {
    Time now = 0;
    bool running = true;       // false once the run has ended (its outputs closed)
    Speed speed = Speed::Max;  // the pacing now
    double speed_factor = 1.0;
    bool paused = false;
    struct DeviceEntry {
        std::string name;
        std::string type;
    };
    std::vector<DeviceEntry> devices;
    struct Value {
        std::string device;
        std::string key;
        Shown value;
    };
    std::vector<Value> shown;
    std::vector<PinState> pins;
};

struct Options {
    Time pin_call_cost = 100_ns;  // each pinMode/digitalWrite/digitalRead/pull call
    Time sleep_overrun = 0;       // added to delay() and delayMicroseconds(>=100): nanosleep latency
    Speed speed = Speed::Max;
    double speed_factor = 1.0;  // virtual seconds per wall second for Speed::Factor
    Time until = kNever;        // run limit
    // What happens at the run limit. Unset: kill(getpid(), SIGTERM), as if the
    // user ran `kill`. Tests may set their own.
    std::function<void()> on_until;
    std::string vcd_path;     // empty: no trace
    std::string log_path;     // empty: no log; "-": standard error
    std::string events_path;  // empty: no event stream; "-": standard error
    // Followers of the event stream in the process (a live view): they get
    // every event, with or without events_path. Not owned; they must outlive the board.
    std::vector<EventListener*> event_listeners;
    std::string program;              // what runs, for the event stream's start: the program...
    std::string scenario;             // ...and the scenario file it was given
    std::filesystem::path state_dir;  // empty: $XDG_STATE_HOME/pikit-sim or ~/.local/state/pikit-sim
    // Keep every LineChange, report and contention in memory for inspection
    // (tests). Off for programs, whose memory must stay flat over long runs:
    // the log and the trace get everything all the same.
    bool record_history = true;
    bool record_calls = false;   // keep every Call (tests)
    bool exit_on_fatal = false;  // fatal simulation errors: report and _exit(3) instead of throwing
    // A thread that holds the clock but makes no library call for this much
    // CPU time is taken to be spinning (or stuck) outside the library, and
    // time may go on without it. Work between library calls (formatting
    // output...) must stay below it: 10 ms of it is never taken for spinning...
    Time stall_cpu = 12_ms;
    // ...and before each step of time, threads that spin outside the library
    // get this much CPU time, with no library call anywhere, to react to what
    // the last running thread did (reach their next library call).
    Time settle_cpu = 200_us;
    // A thread that uses no CPU (blocked on something the kit cannot see)
    // counts as stalled or settled after this much wall time.
    Time settle_wall = 250_ms;
    // The three limits above are multiplied by the host's slowness, measured
    // once per process (1 on a current PC; more under valgrind or an emulator),
    // and are at least twice what running a batch of code for the first time
    // took (an emulator translates such code first, which costs far more than
    // its slowness says), so that a slow host never mistakes ordinary work for
    // spinning.
    bool scale_to_host = true;
    // A pin call that changes nothing (a read, a write of the level the latch
    // holds, a mode or pull already set), made by the thread holding the
    // clock while nothing is due before it ends, skips the lock: same result,
    // same time, same records. Off: every call takes the locked path (tests
    // compare the two). Never used when calls are recorded, the pin call cost
    // is 0, or the run is paced.
    bool fast_pin_calls = true;
    // Calls at one virtual instant, with no wait, before the clock counts as frozen.
    std::uint64_t frozen_calls = 20000000;
    bool isr_fails = false;  // wiringPiISR returns -1 (to exercise programs' failure paths)
    // softPwmCreate / softToneCreate fail on these pins (bit n: wiringPi pin
    // n), as when the generator's thread cannot be started.
    std::uint32_t pwm_fails = 0;
    std::uint32_t tone_fails = 0;
    // The date at virtual time 0, in nanoseconds since the Unix epoch, for
    // the C library's time() as the program sees it. Unset: the wall clock
    // when the board is built, as on a Pi.
    std::optional<std::int64_t> start_date;
    // bcm2835's start-up calls return 0, as on a Pi without the rights to map
    // the peripherals, or whose I2C controller cannot be started.
    bool bcm2835_init_fails = false;
    bool bcm2835_i2c_begin_fails = false;
    // The thread that builds the board keeps the clock, however long it goes
    // without a library call, until started(): a program's scenario is wired
    // before main() runs, and a big one must not let virtual time (stimuli,
    // the run limit) run ahead meanwhile.
    bool hold_until_started = false;
};

// A setting of Options that cannot be used: an output file that cannot be
// written, a state directory given explicitly that cannot be used. what() is
// why; option() names the member of Options ("vcd_path"), value() its value.
class OptionError : public std::runtime_error {
public:
    OptionError(std::string option, std::string value, const std::string& why)
        : std::runtime_error(why), option_(std::move(option)), value_(std::move(value)) {}
    const std::string& option() const { return option_; }
    const std::string& value() const { return value_; }

private:
    std::string option_;
    std::string value_;
};

// A fatal simulation error (virtual time frozen, ...) when exit_on_fatal is off.
class SimError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Board {
public:
    explicit Board(Options options = {});
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    static Board* current();  // the board the simulated libraries act on

    // ---- set-up (test side, before the program runs) ----
    template <class D>
    D& add(std::unique_ptr<D> device) {
        D& ref = *device;
        add_device(std::unique_ptr<Device>(std::move(device)));
        return ref;
    }
    Device& add_device(std::unique_ptr<Device> device);
    Device* find(const std::string& name) const;
    // A resistor on the module or the Pi board (I2C pins 8 and 9 have 1.8 kOhm
    // pull-ups on every Pi; a Board starts with those).
    void set_external_pull(int pin, Pull pull);
    void set_pin_call_cost(Time cost);
    const Options& options() const { return options_; }
    // Ends the hold of Options::hold_until_started: the program starts.
    void started();

    // ---- from outside the program: a live view's threads ----
    // Everything a person sees now, taken under the board lock in one go.
    // `also` runs under that lock too, so that a follower of the event
    // stream can note where in the stream the snapshot stands.
    BoardSnapshot snapshot(const std::function<void()>& also = nullptr) const;
    // A stimulus given while the program runs, applied at the current
    // virtual instant exactly as a scenario's stimulus at that time would be.
    // `make` runs under the board lock: it checks the input (throwing
    // ScenarioError when it cannot be used: nothing is then applied) and
    // returns what to do. The instant is just after now (at a paced speed,
    // not before the wall clock's virtual time), when nothing due at it has
    // happened yet; the stimulus takes its place among the stimuli there
    // (schedule_stimulus). Returns that instant, or nullopt when the run is
    // over or stands still after the run limit (nothing is applied).
    std::optional<Time> stimulate(const std::function<std::function<void()>()>& make);
    // Changes the pacing while the program runs (a person's control): only
    // how fast virtual time goes against the wall clock changes, never what
    // happens in it. `paused`: virtual time stands still until the next call.
    void set_pace(Speed speed, double factor = 1.0, bool paused = false);
    // The program's standard output, as the program writes it: an event
    // "stdout" at the current virtual time (when there is an event stream).
    void program_output(const char* data, std::size_t size);

    // ---- device side (board lock held) ----
    Time now() const { return now_.load(std::memory_order_relaxed); }
    // The date of the current virtual instant, in nanoseconds since the Unix
    // epoch: the start date plus virtual time. Safe from any thread.
    std::int64_t date() const { return start_date_ + now(); }
    // Connects the device to a line. A device attached to one line twice
    // (an input fed from its own output) keeps one connection, with the
    // role that drives.
    void attach(Device& device, int pin, PinRole role);
    void drive(Device& device, int pin, Drive d);
    // A resistor on the device's module from the line to 3.3 V or ground
    // (a button module's pull-up); like a scenario's `pulls:` entry.
    void pull(Device& device, int pin, Pull pull);
    Level level(int pin) const;
    bool floating(int pin) const;
    // Whether the master (the program) has the pin as an output, and its latch.
    bool master_output(int pin) const;
    Level master_latch(int pin) const;
    using EventId = std::uint64_t;
    // `fn` runs at virtual time `at` (not before now), in (time, order of scheduling).
    EventId schedule(Time at, std::function<void()> fn);
    // A stimulus: at its instant, the stimuli come after the events
    // scheduled before reserve_stimuli() (what the devices set up while
    // being wired, the run limit), in the order they were given, and before
    // everything scheduled after it. So a stimulus given while the program
    // runs, at an instant nothing has happened at yet, takes the same place
    // as the same stimulus written in the scenario.
    EventId schedule_stimulus(Time at, std::function<void()> fn);
    // Where the stimuli's place begins: the scenario loader calls it once the
    // devices are wired, whether the scenario has stimuli or not (else the
    // first stimulus does).
    void reserve_stimuli();
    void cancel(EventId id);
    // The run limit, brought forward to the current instant: what happens
    // at the limit (the program's SIGTERM, or Options::on_until) happens once
    // the events already due at this instant have run. For a follower of the
    // run that has seen enough (a test whose expectations are decided).
    void limit_now();
    const Waveform& waveform(int pin) const;
    void report(const Device& from, ReportKind kind, const std::string& text);
    // What the device shows a person, under `key` ("on", "display", "colour"):
    // kept as the current value, logged and streamed only when it changes.
    void show(const Device& from, const std::string& key, Shown value);
    // Lines beyond the header: a device's own outputs (a shift register's
    // Q0-Q7) as named nets, "<device>.<output>". net() gives the line number
    // of a net, making it on first use, so a driver and its listeners may be
    // added in any order; a net is traced and kept in history like a pin,
    // and devices attach to it and drive it like a pin. The program cannot
    // reach a net: its library calls take header pins only.
    int net(const std::string& name);
    // The line a setting names: a header pin, or a net.
    int line(const LineRef& ref);
    void info(const Device& from, const std::string& text) { report(from, ReportKind::Info, text); }
    void breach(const Device& from, const std::string& text) { report(from, ReportKind::Breach, text); }
    // Directory for state that outlives a run (created on first use). One
    // given in Options that cannot be used throws OptionError; the default
    // one, if unusable, gives a warning on standard error once and an empty
    // path: the state then lives only as long as the run.
    std::filesystem::path state_dir();

    // ---- inspection (test side) ----
    // history() and level() take a header pin or a net's line number.
    const std::vector<LineChange>& history(int pin) const;
    // The line number of a named net, or -1 when there is none.
    int find_net(const std::string& name) const;
    // "wpi8/BCM2/P3" for a header pin, the net's name for a net.
    std::string line_name(int line) const;
    // What a device shows now under `key`, or nullopt before it showed anything.
    std::optional<Shown> shown(const std::string& device, const std::string& key) const;
    // Every change of it (kept when Options::record_history), the first one included.
    std::vector<ShownChange> shown_history(const std::string& device, const std::string& key) const;
    // Nets that devices listen to but nobody drives (a typo in a net name).
    std::vector<std::string> undriven_nets() const;
    std::vector<Report> reports() const;
    std::vector<Report> reports(ReportKind kind) const;
    std::vector<Report> reports_from(const std::string& device_name) const;
    std::vector<Contention> contentions() const;
    const std::vector<Call>& calls() const;
    void clear_records();  // forget history, calls, reports, contentions so far
    // Run the simulation, on the calling thread, until `t` (as delay() would).
    void run_until(Time t);
    // Ends the run: devices finish, trace and log are closed. Program threads
    // blocked in the library are released (their calls return at once from
    // then on), or with release_threads false stay blocked for good, as a
    // process that is exiting wants. Idempotent; the destructor calls it.
    // `reason` is what the event stream's end says ("exit", "end", ...).
    void finish(bool release_threads = true, const char* reason = "end");
    // As finish(false, reason) for a process about to die of a signal from
    // outside: from then on every library call stays in the library for good,
    // the calling thread's too, so that the program runs on with none of
    // them returning a made-up value.
    void end_from_outside(const char* reason);

    // ---- program side: the simulated libraries call these, from any thread ----
    void pin_mode(int pin, int mode);
    void pull_control(int pin, int pud);
    void write(int pin, int value);
    int read(int pin);
    void delay_ms(unsigned ms);
    void delay_us(unsigned us);
    int isr(int pin, int mode, void (*handler)());
    int pwm_create(int pin, int value, int range);
    void pwm_write(int pin, int value);
    void pwm_stop(int pin);
    int tone_create(int pin);
    void tone_write(int pin, int freq);
    void tone_stop(int pin);
    // The calling thread waits until `when` (virtual), letting time run...
    void wait_until(Time when);
    // ...or for `duration` from the moment it has the clock.
    void wait_for(Time duration);
    // Runs `fn` as one library call of the calling thread: it gets the clock,
    // pays one pin call if `pin_call`, and fn runs with the board lock held.
    // For library front ends (the I2C controller) and the scenario loader.
    void apply(const std::function<void()>& fn, bool pin_call = false);
    // The pin's GPIO function is taken by a peripheral: the master stops
    // driving it (as an input would), without counting as a program call.
    void give_to_peripheral(int pin);
    // A peripheral of the Pi (the PWM controller) generates the pin's
    // waveform: what it is, for the devices on the line (device side). The
    // edges themselves are the peripheral's own drive of the line.
    void set_peripheral_waveform(int pin, const Waveform& w);

    // A wait that the device side may end early, for library calls that wait
    // for something other than time (an interrupt edge, a lock): the calling
    // thread waits for `timeout` from the moment it has the clock (kNever:
    // for good) or until wake(w), whichever comes first. `ready` runs first, within the call and with the
    // board lock held: true means there is nothing to wait for. Returns true
    // when woken or ready, false at the time-out.
    struct Wakeup {
        void* thread = nullptr;  // the thread waiting, while it waits
        EventId timeout = 0;
        void* woken_thread = nullptr;  // the thread wake() ended the wait of
    };
    bool wait_for_wakeup(Wakeup& w, Time timeout, const std::function<bool()>& ready);
    // Device side: ends the wait of `w` at the current instant, if it waits.
    void wake(Wakeup& w);

    // A thread the program is about to start (piThreadCreate): it counts as
    // ready to run at this instant from now on, so that time does not run
    // ahead of it before its OS thread makes its first call. The calling
    // thread takes the clock; the new OS thread calls adopt_thread() with
    // what this returned before anything else, which returns when its turn
    // comes (thread_gone() if it never comes to be).
    void* expect_thread(const std::string& name);
    void adopt_thread(void* rec);

    // Internal: the implementation, and bookkeeping for ending OS threads.
    struct Impl;
    std::uint64_t impl_generation() const;
    void thread_gone(void* rec);

private:
    Options options_;
    std::int64_t start_date_ = 0;
    // Written only with the board lock held; read anywhere (relaxed).
    std::atomic<Time> now_{0};
    std::unique_ptr<Impl> impl_;
};

// Name of a wiringPi pin for logs and traces: "wpi8/BCM2/P3".
std::string pin_name(int pin);
int bcm_of(int pin);         // BCM GPIO number, -1 when not a header pin
int header_pin_of(int pin);  // physical header pin, -1 when not a header pin

}  // namespace pikit::sim
