#include "host.h"

#include <linux/membarrier.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace pikit::sim {

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

bool process_barrier_ready() {
    static const bool ready = syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    return ready;
}

void process_barrier() { syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0); }

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
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool thread_alive(pid_t tid) {
    if (tid <= 0) return false;
    // Signal 0 only asks whether the thread still exists.
    if (syscall(SYS_tgkill, getpid(), tid, 0) == 0) return true;
    return errno != ESRCH;
}

}  // namespace pikit::sim
