// The C library as a program sees it on the simulated Pi: its clock, and
// its signal dispositions.
//
// A program that asks for the date (time(), as rgb-fade-demo does to seed its
// random colours) gets the scenario's start date plus virtual time, so that a
// run at `max` speed sees its seconds go by as fast as its delays, and a
// scenario with a fixed start date gives the same dates on every run. This
// definition takes the place of the C library's for the program's calls. The
// kit itself never calls time(): its own wall-clock needs use clock_gettime
// and std::chrono::steady_clock, which are left as they are.
#include <signal.h>
#include <time.h>

#include "core/board.h"
#include "core/signal_gate.h"

extern "C" time_t time(time_t* out) {
    const pikit::sim::Board* board = pikit::sim::Board::current();
    time_t now;
    if (board) {
        const std::int64_t ns = board->date();
        now = static_cast<time_t>(ns >= 0 ? ns / 1000000000 : -((-ns + 999999999) / 1000000000));
    } else {
        // No simulated board (a test binary before it builds one): the real date.
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        now = ts.tv_sec;
    }
    if (out) *out = now;
    return now;
}

// The program's signal dispositions. A handler of the program's may call the
// libraries at any moment, as on a Pi; the kit therefore keeps each
// disposition as the program sets it and stands in front of the handler, so
// that a signal landing inside a library call runs the handler as soon as
// that call is out of the kit's lock (core/signal_gate.h). The program sees
// exactly what it set.
extern "C" int sigaction(int sig, const struct sigaction* act, struct sigaction* old) noexcept {
    return pikit::sim::gate_sigaction(sig, act, old);
}

extern "C" sighandler_t signal(int sig, sighandler_t handler) noexcept { return pikit::sim::gate_signal(sig, handler); }

extern "C" sighandler_t bsd_signal(int sig, sighandler_t handler) noexcept { return pikit::sim::gate_signal(sig, handler); }

// System V's signal(), which a C program built in a strict ISO mode gets: a
// one-shot handler, not blocked while it runs, and calls not restarted.
extern "C" sighandler_t __sysv_signal(int sig, sighandler_t handler) noexcept {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    if (pikit::sim::gate_sigaction(sig, &sa, &old) != 0) return SIG_ERR;
    return old.sa_handler;
}

extern "C" sighandler_t sysv_signal(int sig, sighandler_t handler) noexcept { return __sysv_signal(sig, handler); }
