#include "signal_gate.h"

#include <dlfcn.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "board_impl.h"

namespace pikit::sim {

namespace {

// Signals that come from outside the code a thread runs, and so may land
// anywhere: these wait while a thread is inside the kit. A fault
// (SIGSEGV...) must be handled where it happens, and the real-time signals
// queue every instance, which holding back would merge.
bool held_back(int sig) {
    if (sig < 1 || sig > 31) return false;
    switch (sig) {
    case SIGSEGV:
    case SIGBUS:
    case SIGFPE:
    case SIGILL:
    case SIGTRAP:
    case SIGSYS:
    case SIGABRT:
    case SIGKILL:
    case SIGSTOP: return false;
    default: return true;
    }
}

using SigactionFn = int (*)(int, const struct sigaction*, struct sigaction*);

// The C library's sigaction, behind the program's (sim/api/libc.cpp). When
// the kit is a shared library loaded after the C library, nothing comes
// next: then the C library's own is asked for by name.
SigactionFn real_sigaction() {
    static const SigactionFn fn = [] {
        auto next = reinterpret_cast<SigactionFn>(dlsym(RTLD_NEXT, "sigaction"));
        if (next && next != &::sigaction) return next;
        void* libc = dlopen("libc.so.6", RTLD_NOLOAD | RTLD_LAZY);
        return reinterpret_cast<SigactionFn>(libc ? dlsym(libc, "sigaction") : nullptr);
    }();
    return fn;
}
// Looked up before main, never first inside a signal handler.
[[maybe_unused]] const SigactionFn g_looked_up = real_sigaction();

// A disposition as the program set it: sa_handler or sa_sigaction (by
// SA_SIGINFO), flags, the mask of signals 1-64, and whether it is the kit's.
struct Action {
    std::uintptr_t handler = 0;
    int flags = 0;
    std::uint64_t mask = 0;
    bool kit = false;
};

// One per signal. Written under g_writing with every signal blocked in the
// writing thread; read by the kit's handler on any thread, which retries
// while a write is under way (a sequence lock), so that it never waits on a
// lock a thread it interrupted might hold. Each value is stored with release
// after the count is bumped, and loaded with acquire: a reader that sees any
// value of a write sees the count moved too, and tries again.
struct Entry {
    std::atomic<unsigned> seq{0};
    std::atomic<bool> known{false};
    std::atomic<std::uintptr_t> handler{0};
    std::atomic<int> flags{0};
    std::atomic<std::uint64_t> mask{0};
    std::atomic<bool> kit{false};
};
Entry g_entries[32];
std::atomic_flag g_writing = ATOMIC_FLAG_INIT;
std::atomic<bool> g_closed{false};
// The kit's own handler, which the program may put back where it found it.
std::atomic<std::uintptr_t> g_kit_handler{0};

std::uintptr_t as_value(SignalHandler h) { return reinterpret_cast<std::uintptr_t>(h); }
const std::uintptr_t kDefault = as_value(SIG_DFL);
const std::uintptr_t kIgnore = as_value(SIG_IGN);

std::uint64_t mask_bits(const sigset_t& set) {
    std::uint64_t bits = 0;
    for (int s = 1; s <= 64; ++s)
        if (sigismember(&set, s) == 1) bits |= std::uint64_t{1} << (s - 1);
    return bits;
}

sigset_t mask_set(std::uint64_t bits) {
    sigset_t set;
    sigemptyset(&set);
    for (int s = 1; s <= 64; ++s)
        if (bits >> (s - 1) & 1u) sigaddset(&set, s);
    return set;
}

Action from_sigaction(const struct sigaction& sa) {
    Action a;
    a.flags = sa.sa_flags;
    a.handler = (sa.sa_flags & SA_SIGINFO) ? reinterpret_cast<std::uintptr_t>(sa.sa_sigaction) : as_value(sa.sa_handler);
    a.mask = mask_bits(sa.sa_mask);
    return a;
}

struct sigaction to_sigaction(const Action& a) {
    struct sigaction sa {};
    if (a.flags & SA_SIGINFO) sa.sa_sigaction = reinterpret_cast<void (*)(int, siginfo_t*, void*)>(a.handler);
    else sa.sa_handler = reinterpret_cast<SignalHandler>(a.handler);
    sa.sa_flags = a.flags;
    sa.sa_mask = mask_set(a.mask);
    return sa;
}

Action read(int sig) {
    const Entry& e = g_entries[sig];
    for (;;) {
        const unsigned s = e.seq.load(std::memory_order_acquire);
        if (s & 1u) continue;
        Action a;
        a.handler = e.handler.load(std::memory_order_acquire);
        a.flags = e.flags.load(std::memory_order_acquire);
        a.mask = e.mask.load(std::memory_order_acquire);
        a.kit = e.kit.load(std::memory_order_acquire);
        if (e.seq.load(std::memory_order_relaxed) == s) return a;
    }
}

void shim(int sig, siginfo_t* info, void* context);

// Blocks every signal in the calling thread and takes the writers' lock:
// a handler of the kit's on this thread can then never find a write half done.
class Writing {
public:
    Writing() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old_);
        while (g_writing.test_and_set(std::memory_order_acquire)) {}
    }
    ~Writing() {
        g_writing.clear(std::memory_order_release);
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }

private:
    sigset_t old_;
};

// With the writers' lock: the program's disposition as the C library has it
// (at start-up: inherited, such as a SIG_IGN from nohup).
void learn(int sig) {
    Entry& e = g_entries[sig];
    if (e.known.load(std::memory_order_relaxed)) return;
    struct sigaction now {};
    real_sigaction()(sig, nullptr, &now);
    const Action a = from_sigaction(now);
    e.handler.store(a.handler, std::memory_order_relaxed);
    e.flags.store(a.flags, std::memory_order_relaxed);
    e.mask.store(a.mask, std::memory_order_relaxed);
    e.known.store(true, std::memory_order_relaxed);
}

// With the writers' lock: the program's disposition becomes `a`, and the
// kernel gets the kit's handler in front of any handler.
int store(int sig, const Action& a) {
    struct sigaction k = to_sigaction(a);
    if (a.handler != kDefault && a.handler != kIgnore) {
        k.sa_sigaction = shim;
        // What the kernel does around the handler is kept; a one-shot
        // handler is put back to the default by the kit, which runs it.
        k.sa_flags = SA_SIGINFO | (a.flags & (SA_RESTART | SA_ONSTACK | SA_NOCLDSTOP | SA_NOCLDWAIT | SA_NODEFER));
    }
    Entry& e = g_entries[sig];
    e.seq.fetch_add(1, std::memory_order_relaxed);
    e.handler.store(a.handler, std::memory_order_release);
    e.flags.store(a.flags, std::memory_order_release);
    e.mask.store(a.mask, std::memory_order_release);
    e.kit.store(a.kit, std::memory_order_release);
    e.known.store(true, std::memory_order_relaxed);
    e.seq.fetch_add(1, std::memory_order_release);
    return real_sigaction()(sig, &k, nullptr);
}

void set_default(int sig) {
    Writing w;
    store(sig, Action{kDefault, 0, 0, false});
}

// Runs the program's handler as the kernel would: `from_kernel` when the
// kernel has just called the kit's handler for it (and so applied the mask);
// otherwise it was held back, and the mask is applied here.
void run(int sig, const Action& a, siginfo_t* info, void* context, bool from_kernel) {
    if (a.handler == kIgnore) return;
    if (a.handler == kDefault) {
        // The program put the default back meanwhile: the signal takes it.
        raise(sig);
        return;
    }
    if (a.flags & SA_RESETHAND) set_default(sig);
    sigset_t old;
    if (!from_kernel) {
        sigset_t m = mask_set(a.mask);
        if (!(a.flags & SA_NODEFER)) sigaddset(&m, sig);
        pthread_sigmask(SIG_BLOCK, &m, &old);
    }
    if (a.flags & SA_SIGINFO) reinterpret_cast<void (*)(int, siginfo_t*, void*)>(a.handler)(sig, info, context);
    else reinterpret_cast<SignalHandler>(a.handler)(sig);
    if (!from_kernel) pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void shim(int sig, siginfo_t* info, void* context) {
    const int saved = errno;
    const Action a = read(sig);
    if (a.kit) {
        reinterpret_cast<SignalHandler>(a.handler)(sig);
    } else if (in_kit() || g_closed.load(std::memory_order_relaxed)) {
        if (info) std::memcpy(&t_gate.info[sig], info, sizeof *info);
        else std::memset(&t_gate.info[sig], 0, sizeof t_gate.info[sig]);
        t_gate.held.fetch_or(1u << sig, std::memory_order_relaxed);
    } else {
        errno = saved;
        run(sig, a, info, context, true);
    }
    errno = saved;
}

[[noreturn]] void stop_for_good() {
    // Signals the kit ends the run on stay open: a second one ends the
    // process at once.
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    for (int sig = 1; sig < 32; ++sig)
        if (g_entries[sig].kit.load(std::memory_order_relaxed)) sigdelset(&mask, sig);
    for (;;) sigsuspend(&mask);
}

}  // namespace

bool in_kit() { return t_gate.depth > 0 || t_fast.busy.load(std::memory_order_relaxed); }

void release_held() {
    for (;;) {
        const std::uint32_t held = t_gate.held.load(std::memory_order_relaxed);
        if (held == 0) return;
        if (held & 1u) stop_for_good();
        const int sig = __builtin_ctz(held);
        siginfo_t info;
        std::memcpy(&info, &t_gate.info[sig], sizeof info);
        t_gate.held.fetch_and(~(1u << sig), std::memory_order_relaxed);
        if (g_closed.load(std::memory_order_relaxed)) continue;
        const int saved = errno;
        ucontext_t context;
        getcontext(&context);
        run(sig, read(sig), &info, &context, false);
        errno = saved;
    }
}

void leave_for_good() {
    ++t_gate.depth;
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig = 1; sig < 32; ++sig)
        if (held_back(sig)) sigaddset(&mask, sig);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    // Blocked here, what the kernel has for the process goes to another
    // thread; what this one held back is sent on to the process.
    const std::uint32_t held = t_gate.held.exchange(0, std::memory_order_relaxed);
    for (int sig = 1; sig < 32; ++sig)
        if (held >> sig & 1u) kill(getpid(), sig);
}

void close_the_gate() {
    g_closed.store(true, std::memory_order_relaxed);
    ++t_gate.depth;
}

void stop_here() {
    if (in_kit()) {
        t_gate.held.fetch_or(1u, std::memory_order_relaxed);
        return;
    }
    stop_for_good();
}

int gate_sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
    if (!held_back(sig)) return real_sigaction()(sig, act, old);
    Writing w;
    learn(sig);
    if (old) *old = to_sigaction(read(sig));
    if (!act) return 0;
    Action a = from_sigaction(*act);
    a.kit = a.handler == g_kit_handler.load(std::memory_order_relaxed) && !(a.flags & SA_SIGINFO);
    return store(sig, a);
}

SignalHandler gate_signal(int sig, SignalHandler handler) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    if (sig > 0 && sig < 65) sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = SA_RESTART;
    if (gate_sigaction(sig, &sa, &old) != 0) return SIG_ERR;
    return old.sa_handler;
}

bool install_kit_handler(int sig, SignalHandler handler) {
    if (!held_back(sig)) return false;
    Writing w;
    learn(sig);
    if (read(sig).handler == kIgnore) return false;  // started ignoring it (nohup): left so
    g_kit_handler.store(as_value(handler), std::memory_order_relaxed);
    return store(sig, Action{as_value(handler), SA_RESTART, 0, true}) == 0;
}

Disposition disposition(int sig) {
    if (!held_back(sig)) return Disposition::Default;
    {
        Writing w;
        learn(sig);
    }
    const Action a = read(sig);
    if (a.handler == kDefault) return Disposition::Default;
    if (a.handler == kIgnore) return Disposition::Ignore;
    return a.kit ? Disposition::Kit : Disposition::Program;
}

void restore_default(int sig) {
    if (held_back(sig)) set_default(sig);
}

}  // namespace pikit::sim
