// Which sanitizer the tests (and so the programs they run) are built with.
//
// ThreadSanitizer takes every asynchronous signal itself and hands it to the
// program's handler only at its own safe points (its next intercepted call),
// so when a signal lands is then ThreadSanitizer's choice, not the kit's: a
// loop that calls nothing it intercepts never gets the signal. Valgrind
// cannot run a program built with either sanitizer.
#pragma once

namespace pikit::test {

#if defined(__has_feature)
#define PIKIT_TEST_HAS_FEATURE(x) __has_feature(x)
#else
#define PIKIT_TEST_HAS_FEATURE(x) 0
#endif

constexpr bool thread_sanitized() {
#if defined(__SANITIZE_THREAD__) || PIKIT_TEST_HAS_FEATURE(thread_sanitizer)
    return true;
#else
    return false;
#endif
}

constexpr bool address_sanitized() {
#if defined(__SANITIZE_ADDRESS__) || PIKIT_TEST_HAS_FEATURE(address_sanitizer)
    return true;
#else
    return false;
#endif
}

#undef PIKIT_TEST_HAS_FEATURE

}  // namespace pikit::test
