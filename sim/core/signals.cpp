#include "signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "board.h"
#include "signal_gate.h"

namespace pikit::sim {

namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

Board* g_board = nullptr;
int g_pipe[2] = {-1, -1};
std::atomic<bool> g_ending{false};

// Runs at once on whichever thread the kernel picked, possibly in the middle
// of a library call holding the board's lock: so it only hands the signal to
// the ender thread, through a pipe (write() is async-signal-safe), and stops
// the thread it landed on where it holds nothing (at once, or as it leaves
// the kit), so that the program neither runs on nor prints anything while
// the run is ended for it.
void on_signal(int sig) {
    if (g_ending.exchange(true)) {
        // Asked again while the outputs are being closed: stop now.
        restore_default(sig);
        raise(sig);
        return;
    }
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(sig);
    if (write(g_pipe[1], &b, 1) != 1) {
        restore_default(sig);
        raise(sig);
    }
    errno = saved;
    stop_here();
}

[[noreturn]] void die_of(int sig) {
    restore_default(sig);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    kill(getpid(), sig);
    // The default action of these signals ends the process; we only get here
    // if something unblocked-and-ignored it in between.
    for (;;) pause();
}

void ender() {
    unsigned char b = 0;
    for (;;) {
        const ssize_t n = read(g_pipe[0], &b, 1);
        if (n == 1) break;
        if (n < 0 && errno == EINTR) continue;
        return;  // the pipe is gone: nothing to do
    }
    // Devices, trace, log and event stream closed; the program's threads stay
    // where they are, and any library call they make from now on stays there.
    g_board->end_from_outside(b == SIGINT ? "SIGINT" : b == SIGTERM ? "SIGTERM" : "SIGHUP");
    std::fflush(stderr);
    die_of(b);
}

}  // namespace

void install_ending_signals(Board& board) {
    if (g_board) return;
    if (pipe2(g_pipe, O_CLOEXEC) != 0) return;  // no handlers: the default actions stay
    g_board = &board;
    // The ender takes no signal at all: they are the program's.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    std::thread(ender).detach();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // A signal ignored from the start (nohup) stays ignored.
    for (int sig : kEndingSignals) install_kit_handler(sig, on_signal);
}

bool ending_from_outside() { return g_ending.load(); }

bool prepare_to_die_of(int sig) {
    switch (disposition(sig)) {
    case Disposition::Kit: restore_default(sig); return true;
    case Disposition::Default: return true;
    default: return false;
    }
}

bool thread_blocks(int tid, int sig) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/status", tid);
    std::FILE* f = std::fopen(path, "r");
    if (!f) return false;
    char line[256];
    unsigned long long mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) found = std::sscanf(line, "SigBlk: %llx", &mask) == 1;
    std::fclose(f);
    return found && (mask >> (sig - 1) & 1u);
}

}  // namespace pikit::sim
