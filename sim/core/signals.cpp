#include "signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "board.h"

namespace pikit::sim {

namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

Board* g_board = nullptr;
int g_pipe[2] = {-1, -1};
std::atomic<bool> g_ending{false};

// Runs on whichever thread the kernel picked, possibly in the middle of a
// library call holding the board's lock: so it only hands the signal to the
// ender thread, through a pipe (write() is async-signal-safe).
void on_signal(int sig) {
    if (g_ending.exchange(true)) {
        // Asked again while the outputs are being closed: stop now.
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(sig);
    if (write(g_pipe[1], &b, 1) != 1) {
        signal(sig, SIG_DFL);
        raise(sig);
    }
    errno = saved;
}

[[noreturn]] void die_of(int sig) {
    signal(sig, SIG_DFL);
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
    // Devices, trace, log and event stream closed; the program's threads stay where they are.
    g_board->finish(false, b == SIGINT ? "SIGINT" : b == SIGTERM ? "SIGTERM" : "SIGHUP");
    std::fflush(stderr);
    die_of(b);
}

bool is_kits(const struct sigaction& sa) {
    return !(sa.sa_flags & SA_SIGINFO) && sa.sa_handler == on_signal;
}

}  // namespace

void install_ending_signals(Board& board) {
    if (g_board) return;
    if (pipe2(g_pipe, O_CLOEXEC) != 0) return;  // no handlers: the default actions stay
    g_board = &board;
    // The ender must not take the signals itself, or it would hand them to itself.
    sigset_t all, old;
    sigemptyset(&all);
    for (int sig : kEndingSignals) sigaddset(&all, sig);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    std::thread(ender).detach();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    for (int sig : kEndingSignals) {
        struct sigaction now {};
        sigaction(sig, nullptr, &now);
        if (now.sa_handler == SIG_IGN) continue;  // started ignoring it (nohup): leave it so
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(sig, &sa, nullptr);
    }
}

bool prepare_to_die_of(int sig) {
    struct sigaction sa {};
    if (sigaction(sig, nullptr, &sa) != 0) return true;
    if (is_kits(sa)) {
        signal(sig, SIG_DFL);
        return true;
    }
    return !(sa.sa_flags & SA_SIGINFO) && sa.sa_handler == SIG_DFL;
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
