// Signals and the kit's own code.
//
// On a Pi the libraries' calls are a few memory writes, so a signal handler
// of the program's may call them at any moment: `signal(SIGINT, handler)`
// with a handler that drives a pin LOW and calls exit() is the commonest
// clean-up there is. Here a library call takes the board's lock, allocates
// and may wait for the clock: a handler that ran in the middle of one, on
// the same thread, would wait for ever for the lock its own thread holds (or
// for the allocator's).
//
// So the kit stands in front of the program's handlers. The program's
// signal() and sigaction() calls go through it (sim/api/libc.cpp): it keeps
// each disposition as the program set it, and installs its own small handler
// in the kernel instead. When a signal comes, that handler looks at the
// thread it landed on:
//  - outside the kit, it runs the program's handler at once, as the kernel
//    would have;
//  - inside the kit (a library call, the kit's own clean-up at exit), it
//    holds the signal back and the thread runs the program's handler at its
//    next safe point: as soon as it leaves the kit, or when it starts to
//    wait inside the kit (a delay, its turn for the clock), where it holds
//    no lock, exactly as a thread asleep in nanosleep() on a Pi runs it.
// Only signals that come from outside the thread's own code are held back
// (not SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT, nor the
// real-time ones); the kit's own handler for ending a run (signals.h) runs
// at once wherever it lands, as it only hands the signal on.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>

namespace pikit::sim {

// Per OS thread, what the kit's handler needs to know. Trivially built, so
// that a signal handler may reach it at any time.
struct GateTls {
    // Inside the kit's own code, outside its waits: signals are held back.
    int depth = 0;
    // Bit n: signal n held back until the next safe point. Bit 0: the run is
    // ending from outside and the thread is to stop there (stop_here()).
    std::atomic<std::uint32_t> held{0};
    siginfo_t info[32] = {};  // what came with each held signal
};
inline thread_local GateTls t_gate __attribute__((tls_model("initial-exec")));

// Whether the calling thread is inside the kit's code: held back, or in a
// pin call that skips the lock (sim/core/board_impl.h's fast path).
bool in_kit();

// Runs the program's handlers for the signals held back on this thread (and
// stops it if the run is ending). Called at safe points only: the thread
// holds no lock of the kit's.
void release_held();

inline void release_if_held() {
    if (__builtin_expect(t_gate.held.load(std::memory_order_relaxed) != 0, 0)) release_held();
}

// The kit's code on this thread, from construction to destruction: signals
// for the program's handlers wait until it ends (or until the thread waits,
// see SignalWindow).
class KitSection {
public:
    KitSection() { ++t_gate.depth; }
    ~KitSection() {
        if (--t_gate.depth == 0) release_if_held();
    }
    KitSection(const KitSection&) = delete;
    KitSection& operator=(const KitSection&) = delete;
};

// A stretch inside a KitSection where the thread holds no lock of the kit's
// and runs none of its code that allocates: while it waits for the clock, or
// runs the program's interrupt handler. Held signals are delivered when it
// begins, and signals that come during it run at once.
class SignalWindow {
public:
    SignalWindow() : depth_(t_gate.depth) {
        t_gate.depth = 0;
        release_if_held();
    }
    ~SignalWindow() { t_gate.depth = depth_; }
    SignalWindow(const SignalWindow&) = delete;
    SignalWindow& operator=(const SignalWindow&) = delete;

private:
    int depth_;
};

// From here on, signals for the program's handlers are never delivered on
// this thread: it is ending (its thread-local storage is going away), and
// each signal held back for it, or landing on it, is sent on to the process
// for another thread to take.
void leave_for_good();

// The process is ending by itself (exit): the kit's clean-up runs, and no
// handler of the program's may run beside it any more, on any thread.
void close_the_gate();

// The thread stops here for good (the run is ending from outside and the
// process is about to die of the signal): at once when it is outside the
// kit, at its next safe point otherwise. A second ending signal still ends
// the process at once. Async-signal-safe.
void stop_here();

// ---- dispositions, as the program sees them ----

// What the program's sigaction() does: the same contract as the C
// library's, for every signal.
int gate_sigaction(int sig, const struct sigaction* act, struct sigaction* old);
// What the program's signal() does (BSD semantics, as glibc's).
using SignalHandler = void (*)(int);
SignalHandler gate_signal(int sig, SignalHandler handler);

// The kit's own handler for `sig`, in the program's place: the program sees
// it as the disposition (and may put it back), and it runs at once wherever
// the signal lands. Leaves a signal ignored at start-up (nohup) ignored;
// returns whether it was installed.
bool install_kit_handler(int sig, SignalHandler handler);
// The disposition the program has for `sig`: its own handler (nullptr: none),
// and whether that is SIG_DFL, SIG_IGN or the kit's.
enum class Disposition : unsigned char { Default, Ignore, Kit, Program };
Disposition disposition(int sig);
// Sets `sig` back to its default action (kit side: a run limit that ends the
// process).
void restore_default(int sig);

}  // namespace pikit::sim
