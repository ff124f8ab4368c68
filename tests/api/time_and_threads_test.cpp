// The clock calls follow virtual time, and the calls that wait for something
// other than time (an interrupt edge, a lock) wait in virtual time too: they
// end at the instant the awaited thing happens, or at their time-out.
#include <wiringPi.h>

#include <atomic>

#include "models/fixture.h"

namespace {

using namespace modeltest;

TEST(Clock, MillisAndMicrosCountVirtualTimeFromTheSetUpAndWrap) {
    Bench bench;
    bench.board.run_until(3_ms + 250_us);
    EXPECT_EQ(micros(), 3250u);  // before any set-up: from power-on
    wiringPiSetup();
    EXPECT_EQ(millis(), 0u);
    delay(1500);
    delayMicroseconds(20);
    EXPECT_EQ(millis(), 1500u);
    EXPECT_EQ(micros(), 1500020u);
    EXPECT_EQ(piMicros64(), 1500020u);
    // micros() is 32 bits wide: it wraps after 2^32 us (71 min 35 s), the
    // 64-bit count goes on.
    bench.board.run_until(bench.board.now() + 4294967296_us - 1500020_us + 5_us);
    EXPECT_EQ(micros(), 5u);
    EXPECT_EQ(piMicros64(), 4294967301ull);
    EXPECT_EQ(millis(), 4294967u);
}

const char* kButtonAt10ms =
    "devices:\n"
    "  - {type: button, name: button, pin: 22, bounce_edges: 0, release_bounce_edges: 0}\n"
    "stimuli:\n"
    "  - {at: 10ms, device: button, action: press, hold: 5ms}\n"
    "  - {at: 40ms, device: button, action: press, hold: 5ms}\n";

void nothing() {}

TEST(WaitForInterrupt, EndsAtTheEdgeOrAtItsTimeOut) {
    Bench bench(kButtonAt10ms);
    wiringPiSetup();
    EXPECT_EQ(waitForInterrupt(22, 100), -2);  // no edge set up on the pin
    ASSERT_EQ(wiringPiISR(22, INT_EDGE_FALLING, nothing), 0);

    EXPECT_EQ(waitForInterrupt(22, 3), 0);  // nothing within 3 ms
    EXPECT_EQ(bench.board.now(), 3_ms);
    EXPECT_EQ(waitForInterrupt(22, -1), 1);  // the press's falling edge
    EXPECT_EQ(bench.board.now(), 10_ms);
    // The release is a rising edge: not the kind set up. The time-out ends it.
    EXPECT_EQ(waitForInterrupt(22, 20), 0);
    EXPECT_EQ(bench.board.now(), 30_ms);
    // An edge that comes while nobody waits is kept for the next wait.
    delay(20);
    EXPECT_EQ(waitForInterrupt(22, 0), 1);
    EXPECT_EQ(bench.board.now(), 50_ms);
    EXPECT_EQ(waitForInterrupt(22, 0), 0);  // one kept, not a count
}

TEST(WaitForInterrupt, TakesTheEdgeNumberedAsSetUp) {
    Bench bench(kButtonAt10ms);
    wiringPiSetupGpio();
    ASSERT_EQ(wiringPiISR(6, INT_EDGE_BOTH, nothing), 0);  // BCM 6 is wiringPi 22
    EXPECT_EQ(waitForInterrupt(6, 100), 1);
    EXPECT_EQ(bench.board.now(), 10_ms);
    EXPECT_EQ(waitForInterrupt(6, 100), 1);  // the release, this time
    EXPECT_EQ(bench.board.now(), 15_ms);
    wiringPiSetup();
}

std::atomic<Time> g_locked_at{-1};
std::atomic<bool> g_done{false};

PI_THREAD(second_thread) {
    piLock(1);
    g_locked_at = Board::current()->now();
    delay(1);
    piUnlock(1);
    g_done = true;
    return nullptr;
}

TEST(PiLock, AWaitingThreadGetsTheKeyAtTheInstantItIsGivenUp) {
    Bench bench;
    g_locked_at = -1;
    g_done = false;
    piLock(1);
    ASSERT_EQ(piThreadCreate(second_thread), 0);
    delay(5);  // the other thread waits for the key meanwhile
    EXPECT_EQ(g_locked_at.load(), -1);
    piUnlock(1);
    delay(1);
    EXPECT_EQ(g_locked_at.load(), 5_ms);
    piLock(1);  // free again once the other thread has given it up
    EXPECT_EQ(bench.board.now(), 6_ms);
    piUnlock(1);
    while (!g_done) delay(1);
}

TEST(PiLock, KeysOutsideTheFourAreRefused) {
    Bench bench;
    piLock(4);
    piUnlock(-1);
    EXPECT_EQ(texts(bench.board.reports(ReportKind::Error)),
              "[library 'pi-gpio'] piLock(4): the keys are 0 to 3; ignored\n"
              "[library 'pi-gpio'] piUnlock(-1): the keys are 0 to 3; ignored\n");
}

TEST(BoardAnswers, AsAPi3ModelB) {
    Bench bench;
    EXPECT_EQ(piBoardRev(), 2);
    EXPECT_EQ(piHiPri(99), 0);
}

}  // namespace
