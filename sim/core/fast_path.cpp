#include "fast_path.h"

#include <thread>

#include "board_impl.h"
#include "host.h"

namespace pikit::sim {

void FastPath::revoke(const std::unique_lock<std::mutex>& lk) {
    expect_held(lk, board_lock_, "revoking the fast path");
    FastTls* owner = owner_.load(std::memory_order_relaxed);
    if (!owner) return;
    owner_.store(nullptr, std::memory_order_relaxed);
    if (owner == &t_fast) return;
    process_barrier();
    while (owner->busy.load(std::memory_order_acquire)) std::this_thread::yield();
}

void Board::Impl::grant_fast(const std::unique_lock<std::mutex>& lk, Thread* t) {
    const Options& o = b.options_;
    if (holder != t || !ready.empty() || finished || limit.held || !o.fast_pin_calls || o.record_calls || o.pin_call_cost <= 0 ||
        paced() || !process_barrier_ready())
        return;
    fast.grant(lk, o.pin_call_cost);
}

}  // namespace pikit::sim
