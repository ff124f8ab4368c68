// Virtual time shared by several program threads: waits overlap, interrupt
// handlers run one at a time in edge order, and a thread that spins without
// calling the library does not stall the clock.
#include <gtest/gtest.h>
#include <wiringPi.h>

#include <time.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "core/board.h"
#include "support/key_frame.h"
#include "support/run_program.h"

namespace {

using namespace pikit::sim;

// A push-button-like source of edges: drives its pin at scheduled times.
class EdgeSource final : public Device {
public:
    explicit EdgeSource(int pin) : Device("edge-source", "src"), pin_(pin) {}
    void attach(Board& b) override { b.attach(*this, pin_, PinRole::OpenDrain); }
    void pulse_at(Time at, Time width) {
        board()->apply([&] {
            board()->schedule(at, [this] { board()->drive(*this, pin_, Drive::Low); });
            board()->schedule(at + width, [this] { board()->drive(*this, pin_, Drive::Release); });
        });
    }

private:
    int pin_;
};

Options exact() {
    Options o;
    o.pin_call_cost = 0;
    return o;
}

std::atomic<int> g_calls{0};
std::atomic<Time> g_handler_done{0};
std::vector<Time> g_starts;

void waiting_handler() {
    Board* b = Board::current();
    g_starts.push_back(b->now());
    delay(30);
    g_handler_done = b->now();
    ++g_calls;
}

TEST(Threads, TwoThreadsWaitingTogetherTakeTheLongerWaitOnly) {
    g_calls = 0;
    g_starts.clear();
    Board board(exact());
    board.set_external_pull(22, Pull::Up);
    auto& src = board.add(std::make_unique<EdgeSource>(22));
    ASSERT_EQ(wiringPiISR(22, INT_EDGE_FALLING, waiting_handler), 0);
    src.pulse_at(1_ms, 10_us);
    delay(1);  // the edge comes at 1 ms; the handler starts its 30 ms wait then
    delay(30);
    EXPECT_EQ(board.now(), 31_ms);
    delay(1);
    EXPECT_EQ(g_calls.load(), 1);
    EXPECT_EQ(g_handler_done.load(), 31_ms);
}

std::vector<std::pair<int, Time>> g_order;
std::atomic<int> g_inside{0};
std::atomic<int> g_overlap{0};

void slow_handler() {
    if (++g_inside > 1) ++g_overlap;
    g_order.emplace_back(static_cast<int>(g_order.size()), Board::current()->now());
    delayMicroseconds(500);  // longer than the gap between edges below
    --g_inside;
}

TEST(Threads, EdgesDuringAHandlerAreQueuedAndHandledOneAtATimeInOrder) {
    g_order.clear();
    g_overlap = 0;
    Board board(exact());
    board.set_external_pull(22, Pull::Up);
    auto& src = board.add(std::make_unique<EdgeSource>(22));
    ASSERT_EQ(wiringPiISR(22, INT_EDGE_FALLING, slow_handler), 0);
    for (int i = 0; i < 3; ++i) src.pulse_at(100_us + i * 200_us, 50_us);
    delay(5);
    ASSERT_EQ(g_order.size(), 3u);
    EXPECT_EQ(g_overlap.load(), 0);
    // First call at the first edge; each later one starts when the previous ends.
    EXPECT_EQ(g_order[0].second, 100_us);
    EXPECT_EQ(g_order[1].second, 600_us);
    EXPECT_EQ(g_order[2].second, 1100_us);
}

std::atomic<int> g_rising{0};
void count_rising() { ++g_rising; }

TEST(Threads, HandlerSeesOnlyTheEdgesItAskedFor) {
    g_rising = 0;
    Board board(exact());
    board.set_external_pull(22, Pull::Up);
    auto& src = board.add(std::make_unique<EdgeSource>(22));
    ASSERT_EQ(wiringPiISR(22, INT_EDGE_RISING, count_rising), 0);
    src.pulse_at(1_ms, 1_ms);
    src.pulse_at(5_ms, 1_ms);
    delay(10);
    EXPECT_EQ(g_rising.load(), 2);
    EXPECT_NE(wiringPiISR(22, INT_EDGE_FALLING, count_rising), 0) << "second handler on one pin";
    EXPECT_NE(wiringPiISR(40, INT_EDGE_FALLING, count_rising), 0) << "pin not on the header";
}

std::atomic<int> g_flag{0};
void busy_handler() {
    // Pin writes and delays from the interrupt thread while main spins.
    digitalWrite(23, HIGH);
    delayMicroseconds(50);
    digitalWrite(23, LOW);
    delay(30);
    g_flag = 1;
}

TEST(Threads, SpinningMainThreadDoesNotStallHandlerOrEvents) {
    g_flag = 0;
    Options o;  // default pin call cost
    Board board(o);
    board.set_external_pull(22, Pull::Up);
    auto& src = board.add(std::make_unique<EdgeSource>(22));
    pinMode(23, OUTPUT);
    ASSERT_EQ(wiringPiISR(22, INT_EDGE_FALLING, busy_handler), 0);
    src.pulse_at(2_ms, 100_us);
    // Spin on memory only, as the keypad demo's main loop does.
    while (g_flag.load() == 0) {}
    EXPECT_GE(board.now(), 2_ms + 30_ms + 50_us);
    EXPECT_LT(board.now(), 2_ms + 30_ms + 60_us);
    const auto& h = board.history(23);
    ASSERT_GE(h.size(), 3u);
    EXPECT_EQ(h[h.size() - 2].level, Level::High);
    EXPECT_EQ(h.back().level, Level::Low);
    EXPECT_EQ(h.back().at - h[h.size() - 2].at, 50_us + 100_ns);
}

TEST(Threads, ASpinningThreadReactsToAHandlersByteAtTheSameVirtualTimeEveryRun) {
    // CPU time, not wall time, decides when time may move on without the
    // spinning thread: a busy machine changes nothing.
    pikit::test::CpuHogs hogs;
    std::vector<Time> reactions;
    for (int run = 0; run < 4; ++run) {
        pikit::test::key_ready = 0;
        Board board(Options{});
        board.set_external_pull(22, Pull::Up);
        auto& src = board.add(std::make_unique<EdgeSource>(22));
        pinMode(12, OUTPUT);
        pinMode(14, OUTPUT);
        pinMode(23, OUTPUT);
        ASSERT_EQ(wiringPiISR(22, INT_EDGE_FALLING, pikit::test::read_key_frame), 0);
        src.pulse_at(2_ms, 100_us);
        src.pulse_at(50_ms, 100_us);  // something due later, where time could run to
        while (pikit::test::key_ready.load() == 0) {}
        digitalWrite(23, HIGH);
        reactions.push_back(board.history(23).back().at);
    }
    // The edge at 2 ms, 16 bits of four 100 ns pin calls and two 50 us waits,
    // 30 ms: the main thread's write is the very next call.
    const Time expected = 2_ms + 16 * (4 * 100_ns + 100_us) + 30_ms + 100_ns;
    for (Time t : reactions) EXPECT_EQ(t, expected);
}

Time thread_cpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<Time>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

TEST(Threads, WorkBetweenLibraryCallsIsNotMistakenForSpinning) {
    // Formatting output after a delay can take milliseconds of CPU on a slow
    // or emulated host; time must not move on meanwhile.
    std::atomic<bool> fired{false};
    Options o;
    o.until = 2_ms;
    o.on_until = [&] { fired = true; };
    Board board(o);
    delay(1);
    Time t0 = thread_cpu();
    volatile std::uint32_t x = 1;
    while (thread_cpu() - t0 < 10_ms) x = x * 1664525u + 1013904223u;
    EXPECT_FALSE(fired.load());
    EXPECT_EQ(board.now(), 1_ms);
    delay(5);
    EXPECT_TRUE(fired.load());
}

TEST(Threads, AThreadThatSpinsAgainAfterComingBackIsSetFreeAgain) {
    // Set free while nothing at all is due, the thread comes back into the
    // library, schedules something and spins on it: it must be noticed again,
    // though nothing was going on when it came back.
    Board board(Options{});
    delay(1);
    Time t0 = thread_cpu();
    while (thread_cpu() - t0 < 3 * board.options().stall_cpu) {}
    std::atomic<bool> fired{false};
    board.apply([&] { board.schedule(board.now() + 1_ms, [&] { fired = true; }); });
    while (!fired.load()) {}
    EXPECT_EQ(board.now(), 2_ms);
}

TEST(Threads, RunLimitEndsARunWhoseOnlyThreadSpins) {
    std::atomic<bool> stop{false};
    Options o;
    o.until = 3_s;
    o.on_until = [&] { stop = true; };
    Board board(o);
    delay(1000);
    while (!stop.load()) {}
    EXPECT_EQ(board.now(), 3_s);
}

TEST(Threads, SameScenarioGivesTheSameTimelineEveryRun) {
    auto run = [] {
        g_order.clear();
        Board board(Options{});
        board.set_external_pull(22, Pull::Up);
        auto& src = board.add(std::make_unique<EdgeSource>(22));
        wiringPiISR(22, INT_EDGE_FALLING, slow_handler);
        pinMode(23, OUTPUT);
        for (int i = 0; i < 5; ++i) src.pulse_at(50_us + i * 170_us, 20_us);
        for (int i = 0; i < 200; ++i) {
            digitalWrite(23, i & 1);
            delayMicroseconds(7);
        }
        delay(3);
        std::vector<Time> t;
        for (auto& [n, at] : g_order) t.push_back(at);
        for (auto& c : board.history(23)) t.push_back(c.at);
        return t;
    };
    auto first = run();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(run(), first);
}

TEST(Threads, ZeroCostPinCallsThatNeverWaitAreReportedNotHung) {
    Options o;
    o.pin_call_cost = 0;
    o.frozen_calls = 100000;
    Board board(o);
    auto spin = [] {
        for (;;) digitalRead(6);
    };
    EXPECT_THROW(spin(), SimError);
    auto errors = board.reports(ReportKind::Error);
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(errors.back().text.find("virtual time frozen"), std::string::npos);
}

// A part that, once started, always has one more thing to do at the same
// instant: time could never go on. It is reported, not hung.
class Echo final : public Device {
public:
    Echo() : Device("echo", "echo") {}
    void attach(Board& b) override {
        b.schedule(1_us, [this] { again(); });
    }

private:
    void again() {
        board()->schedule(board()->now(), [this] { again(); });
    }
};

TEST(Threads, EventsThatNeverLetTimeGoOnAreReportedNotHung) {
    Options o;
    o.frozen_calls = 100000;
    Board board(o);
    board.add(std::make_unique<Echo>());
    EXPECT_THROW(delay(1), SimError);
    auto errors = board.reports(ReportKind::Error);
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(errors.back().text.find("virtual time frozen at 0.000001000s: 100000 events at this instant"), std::string::npos)
        << errors.back().text;
}

}  // namespace
