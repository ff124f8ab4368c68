// Whether the tests (and so the programs they run) are built with
// ThreadSanitizer. It takes every asynchronous signal itself and hands it to
// the program's handler only at its own safe points (its next intercepted
// call), so when a signal lands is then ThreadSanitizer's choice, not the
// kit's: a loop that calls nothing it intercepts never gets the signal.
#pragma once

namespace pikit::test {

constexpr bool thread_sanitized() {
#if defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

}  // namespace pikit::test
