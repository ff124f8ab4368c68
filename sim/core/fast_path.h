// Fast pin calls.
//
// Most calls of a polling loop change nothing: a read, a write of the level
// the latch already holds, a mode or pull already set. When the thread that
// holds the clock makes one and nothing is due before it ends (no event, no
// other thread ready), all it does is move the clock by the call's cost, so
// it does that without the board lock.
//
// The fast path belongs to one OS thread at a time, its owner. While it has
// an owner, only the owner changes the clock, the event queue and the lines,
// so its fast calls need no lock against them, and the cost and the time of
// the next event (next_due) stay as they are.
//  - grant(): the owner itself, at the end of one of its locked calls, when
//    it holds the clock, no other thread is ready and the options allow.
//  - drop(): with the lock held, by the owner (it gives up the clock), or by
//    another thread whose work touches nothing a fast call in progress reads
//    or writes (a thread getting ready makes the holder's next call take the
//    locked path, so that it lets that thread go first).
//  - revoke(): with the lock held, by any thread that is about to change what
//    a fast call reads (the supervisor taking the clock from a stalled
//    holder, the run limit, finish(), a signal handler's nested call, the
//    live view's inputs, a new pin call cost). It clears the owner, then
//    issues a process-wide barrier (membarrier) that orders this with the
//    owner's busy flag: either the owner's next fast call sees it has no
//    fast path, or the revoker sees the call in progress and waits the few
//    nanoseconds until it ends.
// The owner's side thus needs no fence and no atomic read-modify-write, only
// plain loads and stores (a pin call costs about 2 ns this way). Fast calls
// are not counted in the thread's calls: the supervisor sees them move the
// clock instead.
#pragma once

#include <atomic>
#include <mutex>

#include "lock_check.h"
#include "signal_gate.h"
#include "time.h"

namespace pikit::sim {

// Per OS thread: set while it is inside a fast pin call. Trivial, so that
// reaching it is a plain thread-local access.
struct FastTls {
    std::atomic<bool> busy{false};
};
inline thread_local FastTls t_fast __attribute__((tls_model("initial-exec")));

class FastPath {
public:
    // `board_lock`: the lock the operations that need it check for.
    explicit FastPath(const std::mutex& board_lock) : board_lock_(board_lock) {}

    // ---- the owner's side, without the lock ----

    // Starts a fast call at virtual time `now`: true when the calling thread
    // owns the fast path and the call ends before `next_due`, with `end` the
    // time it ends (the call then ends with commit() or end_call()). The busy
    // flag goes up before the owner is checked: revoke() either makes the
    // check fail, or sees the flag and waits for the call to end.
    bool begin(const std::atomic<Time>& now, const Time& next_due, Time& end) {
        t_fast.busy.store(true, std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (owner_.load(std::memory_order_relaxed) == &t_fast) {
            // now + cost < next_due, without overflowing near the clock's end
            // (where the locked path holds the clock at kNever).
            const Time t = now.load(std::memory_order_relaxed);
            if (t < next_due - cost_) {
                end = t + cost_;
                return true;
            }
        }
        end_call();
        return false;
    }
    // The call changed nothing: it only costs its time. True when a signal
    // landed during the call and waited for its end: the caller then hands
    // it on with release_held() as its last act (a jump, which keeps the
    // fast path a leaf that saves no registers).
    [[nodiscard]] static bool commit(std::atomic<Time>& now, Time end) {
        now.store(end, std::memory_order_relaxed);
        end_call();
        std::atomic_signal_fence(std::memory_order_seq_cst);
        return t_gate.held.load(std::memory_order_relaxed) != 0;
    }
    // Ends a call without a commit: the locked path follows, whose end hands
    // on any signal that waited.
    static void end_call() {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        t_fast.busy.store(false, std::memory_order_release);
    }

    // ---- with the board lock held: each takes the caller's lock ----

    // The calling thread becomes the owner, its fast calls costing `cost`.
    void grant(const std::unique_lock<std::mutex>& lk, Time cost) {
        expect_held(lk, board_lock_, "granting the fast path");
        cost_ = cost;
        owner_.store(&t_fast, std::memory_order_relaxed);
    }
    // The fast path has no owner from here on; a fast call in progress
    // touches nothing of what the caller does.
    void drop(const std::unique_lock<std::mutex>& lk) {
        expect_held(lk, board_lock_, "dropping the fast path");
        owner_.store(nullptr, std::memory_order_relaxed);
    }
    // The fast path has no owner from here on, and no fast call is in
    // progress when this returns.
    void revoke(const std::unique_lock<std::mutex>& lk);
    // Whether the calling thread owns the fast path (and goes on owning it
    // until it lets go of the lock: nobody else may change that meanwhile).
    bool owned_here(const std::unique_lock<std::mutex>& lk) const {
        expect_held(lk, board_lock_, "asking who owns the fast path");
        return owner_.load(std::memory_order_relaxed) == &t_fast;
    }

private:
    std::atomic<FastTls*> owner_{nullptr};
    Time cost_ = 0;
    const std::mutex& board_lock_;
};

}  // namespace pikit::sim
