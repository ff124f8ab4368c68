// The board lock's rule, checked where it matters: an operation that needs
// the lock held takes the caller's lock and makes sure that it is the
// board's and that it is held. A caller without the lock does not compile
// (it has no lock to pass); one that passes a lock it has let go, or another
// mutex's, stops at once with a message. The check is on in every build but
// Release (the tests are built with optimisation, where assert() is off), and
// costs nothing there.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace pikit::sim {

[[noreturn]] inline void lock_not_held(const char* what) {
    std::fprintf(stderr, "pikit-sim: internal error: %s without the board lock\n", what);
    std::abort();
}

#ifdef PIKIT_LOCK_CHECKS
inline void expect_held(const std::unique_lock<std::mutex>& lk, const std::mutex& m, const char* what) {
    if (!lk.owns_lock() || lk.mutex() != &m) lock_not_held(what);
}
#else
inline void expect_held(const std::unique_lock<std::mutex>&, const std::mutex&, const char*) {}
#endif

}  // namespace pikit::sim
