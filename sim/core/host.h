// The host the simulated Pi runs on: its clocks, its threads as the kernel
// sees them, and how slow it is. The scheduler and the supervisor judge
// program threads by these (CPU time, not wall time, tells a spinning thread
// from one that merely waits for a processor on a busy machine).
#pragma once

#include <sys/types.h>
#include <time.h>

#include "time.h"

namespace pikit::sim {

Time cpu_time(clockid_t id);  // CPU time of a thread's clock
Time wall_time();             // monotonic wall clock
double host_slowness();       // 1 on a current PC, more on slow or emulated hosts
Time fresh_code_cpu();        // CPU time of a batch of code run for the first time
// Whether a thread of this process is runnable (running, or waiting for a
// processor) rather than asleep or blocked; false when it cannot be told.
bool thread_runnable(pid_t tid);
// Whether a thread of this process still exists (false once the kernel has
// let it go; true when that cannot be told).
bool thread_alive(pid_t tid);

// A barrier on every thread of the process (membarrier), for the fast path's
// handshake. Whether the kernel offers one: without it the fast path stays
// unused.
bool process_barrier_ready();
void process_barrier();

}  // namespace pikit::sim
