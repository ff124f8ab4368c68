// The run limit (PIKIT_SIM_UNTIL): at that virtual time the process gets
// SIGTERM, as `timeout` would send it, and the run ends at that instant.
//
// A program that dies of SIGTERM (no handler of its own) ends the run at
// once: nothing more happens in virtual time. A program that takes SIGTERM
// itself (its own handler, or a thread that waits for it) is held at the
// limit: virtual time stands still, no event runs and calls cost nothing,
// while it reacts (switches its outputs off), so that what it does is
// recorded at the limit's instant at every speed. The supervisor sends it
// the signal, and gives it its time back if it goes quiet without dying (a
// handler that sets a flag for a loop that sleeps), so that it can finish.
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "board_impl.h"
#include "signals.h"

namespace pikit::sim {

void Board::Impl::start_run_limit() {
    if (b.options_.until != kNever) schedule(b.options_.until, [this] { run_limit(); });
}

void Board::limit_now() {
    Impl* im = impl_.get();
    im->schedule(now(), [im] { im->run_limit(); });
}

void Board::Impl::run_limit() {
    add_report(ReportKind::Info, "board", "run limit reached");
    if (b.options_.on_until) {
        b.options_.on_until();
        return;
    }
    limit.reached = true;
    if (!program_blocks(SIGTERM) && prepare_to_die_of(SIGTERM)) {
        // The process dies of it: the run ends at this instant. Nothing more
        // happens in virtual time, and threads that call the library from
        // now on stay there until the signal has done its work.
        fast.revoke(events_lock());
        finish_devices();
        finished = true;
        release_on_finish = false;
        calls_held = true;
        close_outputs("run limit");
        supervisor.cv.notify_all();
    } else {
        // The program handles SIGTERM, ignores it, or waits for it on a
        // thread of its own: it goes on, at this instant, and what it does
        // (outputs switched off before it dies) is recorded until it ends.
        // Its outputs are closed when it ends: by the kit's handler if it
        // raises the signal again, at exit if it returns.
        fast.revoke(events_lock());  // a fast call would move the clock
        limit.held = true;
        add_report(ReportKind::Info, "board", "the program takes SIGTERM itself: time stands still while it reacts");
        if (log) log->flush();
        if (event_stream) event_stream->flush();
        // Not from here: this may be a program thread inside a call, and a
        // handler run on it could not make a call of its own.
        limit.term_to_send = true;
        supervisor.cv.notify_all();
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

void Board::Impl::send_limit_term() {
    // Sent from the supervisor, which blocks every signal and holds the
    // board lock: the handler runs on a program thread that holds no lock,
    // and its calls wait for the lock like any other.
    limit.term_to_send = false;
    std::fflush(stderr);
    kill(getpid(), SIGTERM);
}

Time Board::Impl::watch_after_limit(std::unique_lock<std::mutex>& lk, Time wall, Time settle_wall) {
    if (!limit.held || holder || !ready.empty()) return kNever;
    if (limit.watched_activity != activity) {
        limit.watched_activity = activity;
        limit.quiet_since = wall;
    } else if (wall - limit.quiet_since >= settle_wall) {
        limit.held = false;
        add_report(ReportKind::Info, "board",
                   "the program has gone quiet since the run limit's SIGTERM without ending: time goes on");
        dispatch(lk);
        return kNever;
    }
    return wall + kSupervisorPoll;
}

}  // namespace pikit::sim
