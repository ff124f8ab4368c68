// Pin calls that change nothing, made by the thread holding the clock, skip
// the lock while nothing is due. They must leave exactly what the locked path
// leaves, also around events, interrupt threads and the run limit, and taking
// the clock from such a thread must never let time run backwards.
#include <gtest/gtest.h>
#include <softPwm.h>
#include <softTone.h>
#include <wiringPi.h>

#include <time.h>

#include <atomic>
#include <string>
#include <tuple>
#include <vector>

#include "core/board.h"
#include "core/fast_path.h"

namespace {

using namespace pikit::sim;

std::atomic<int> g_handled{0};

// Runs on each rising edge of the soft PWM pin, beside the polling main thread.
void on_pwm_edge() {
    digitalWrite(12, HIGH);
    delayMicroseconds(20);
    digitalWrite(12, LOW);
    digitalRead(1);
    ++g_handled;
}

struct Timeline {
    std::vector<std::pair<Time, int>> seen;  // each change of the polled pin, as the poller saw it
    std::vector<int> driven;                 // what pin 7 reads once made an output after a HIGH write
    std::uint64_t polls = 0;
    std::vector<std::tuple<int, Time, Level, bool>> lines;  // pin, LineChange
    std::vector<std::tuple<Time, ReportKind, std::string, std::string>> reports;
    int handled = 0;
    Time end = 0;
};

// A main thread polls a soft-tone pin with writes, modes and pulls in between
// (mostly changing nothing), while soft PWM edges wake an interrupt handler,
// until the run limit stops it. Now and then it writes HIGH to an input its
// pull-up holds HIGH, whose latch is LOW, and then makes it an output: the
// write changed the latch though not the line, and the pin must drive HIGH.
Timeline poll_until_limit(bool fast) {
    g_handled = 0;
    std::atomic<bool> stop{false};
    Options o;
    o.fast_pin_calls = fast;
    o.until = 30_ms + 37_ns;
    o.on_until = [&stop] { stop = true; };
    Board board(o);
    pinMode(12, OUTPUT);
    pinMode(23, OUTPUT);
    digitalWrite(24, HIGH);
    softPwmCreate(1, 3, 10);
    softToneCreate(26);
    softToneWrite(26, 1234);
    EXPECT_EQ(wiringPiISR(1, INT_EDGE_RISING, on_pwm_edge), 0);
    Timeline tl;
    int last = -1;
    while (!stop.load()) {
        int v = digitalRead(26);
        if (v != last) tl.seen.emplace_back(board.now(), v);
        last = v;
        // Mostly the level, mode and pull already set; now and then a change.
        digitalWrite(23, (tl.polls >> 10) & 1);
        pinMode(24, (tl.polls >> 12) & 1 ? OUTPUT : INPUT);
        pullUpDnControl(6, (tl.polls >> 11) & 1 ? PUD_UP : PUD_DOWN);
        if ((tl.polls & 1023) == 512) {
            pinMode(7, INPUT);
            pullUpDnControl(7, PUD_UP);
            digitalWrite(7, HIGH);
            pinMode(7, OUTPUT);
            tl.driven.push_back(digitalRead(7));
            digitalWrite(7, LOW);
        }
        ++tl.polls;
    }
    tl.end = board.now();
    tl.handled = g_handled;
    for (int pin : {1, 6, 7, 12, 23, 24, 26})
        for (const LineChange& c : board.history(pin)) tl.lines.emplace_back(pin, c.at, c.level, c.floating);
    for (const Report& r : board.reports()) tl.reports.emplace_back(r.at, r.kind, r.source, r.text);
    return tl;
}

TEST(FastCalls, PollingLeavesExactlyWhatTheLockedPathLeaves) {
    Timeline locked = poll_until_limit(false);
    Timeline fast = poll_until_limit(true);
    ASSERT_GT(locked.seen.size(), 40u) << "the tone's edges were seen";
    ASSERT_GT(locked.handled, 20);
    EXPECT_EQ(fast.polls, locked.polls);
    EXPECT_EQ(fast.seen, locked.seen);
    ASSERT_FALSE(locked.driven.empty());
    EXPECT_EQ(locked.driven, std::vector<int>(locked.driven.size(), 1)) << "the latch written HIGH drives the pin";
    EXPECT_EQ(fast.driven, locked.driven);
    EXPECT_EQ(fast.handled, locked.handled);
    EXPECT_EQ(fast.end, locked.end);
    EXPECT_TRUE(fast.lines == locked.lines) << "line histories differ";
    EXPECT_TRUE(fast.reports == locked.reports) << "reports differ";
}

Time thread_cpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<Time>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

TEST(FastCalls, TakingTheClockFromAPollingThreadLeavesItsCallsWhole) {
    // The holder alternates bursts of fast calls with stretches of spinning
    // long enough to be set free, so that the supervisor takes the clock from
    // it, and time runs on with the soft PWM's events, again and again, often
    // just as it starts its next burst. The first call of a burst waits for
    // the clock; from then on the thread holds it, and nothing else may move
    // the clock: each call moves it by exactly the call's cost.
    Options o;
    o.scale_to_host = false;
    o.stall_cpu = 100_us;
    o.settle_cpu = 20_us;
    Board board(o);
    softPwmCreate(1, 3, 10);
    pinMode(6, INPUT);
    int not_whole = 0;
    for (int round = 0; round < 150; ++round) {
        digitalRead(6);
        for (int i = 0; i < 2000; ++i) {
            Time before = board.now();
            digitalRead(6);
            if (board.now() - before != 100_ns) ++not_whole;
        }
        Time t0 = thread_cpu();
        while (thread_cpu() - t0 < 150_us) {}
    }
    EXPECT_EQ(not_whole, 0);
    // The PWM's events all happened at their times: 300 us high every 1 ms
    // (entry 0 is the line's power-up level). The run is ended first: this
    // thread makes no calls while it reads, so it would soon be set free and
    // the PWM's events would grow the history under it.
    board.finish();
    const auto& h = board.history(1);
    ASSERT_GT(h.size(), 20u) << "time ran on while the holder spun";
    for (std::size_t i = 1; i + 2 < h.size(); i += 2) {
        ASSERT_EQ(h[i].level, Level::High) << i;
        EXPECT_EQ(h[i + 1].at - h[i].at, 300_us) << i;
        EXPECT_EQ(h[i + 2].at - h[i].at, 1_ms) << i;
    }
}

// Granting, dropping or revoking the fast path changes what a fast call in
// progress may read: done without the board lock, it would race with the
// owner. The kit stops at once rather than go on with a clock it cannot
// trust. (The check is off in Release builds.)
TEST(FastCallsDeathTest, TheFastPathIsChangedOnlyUnderTheBoardLock) {
#ifndef PIKIT_LOCK_CHECKS
    GTEST_SKIP() << "lock checks are off in this build";
#else
    // The default death-test style forks without exec: a cross build's test
    // runs under an emulator, which could not exec the test program again.
    std::mutex board_lock, other;
    FastPath fast(board_lock);
    std::unique_lock<std::mutex> let_go(board_lock, std::defer_lock);
    EXPECT_DEATH(fast.grant(let_go, 1), "granting the fast path without the board lock");
    EXPECT_DEATH(fast.owned_here(let_go), "asking who owns the fast path without the board lock");
    std::unique_lock<std::mutex> wrong(other);
    EXPECT_DEATH(fast.drop(wrong), "dropping the fast path without the board lock");
    EXPECT_DEATH(fast.revoke(wrong), "revoking the fast path without the board lock");
    std::unique_lock<std::mutex> held(board_lock);
    fast.grant(held, 1);
    EXPECT_TRUE(fast.owned_here(held));
    fast.revoke(held);
    EXPECT_FALSE(fast.owned_here(held));
#endif
}

}  // namespace
