// The simulated bcm2835.h puts in scope what the real one does: HIGH, LOW and,
// unless BCM2835_NO_DELAY_COMPATIBILITY, delay macros that hand a source's
// later delays to bcm2835. Which delay a source gets shows in its timing:
// bcm2835 busy-waits below 450 us where wiringPi already sleeps from 100 us
// (and a sleep overruns). The order that must not compile is checked by the
// CTest test LibraryHeaders.Bcm2835BeforeWiringPiDoesNotCompile.
#include <gtest/gtest.h>

#include "core/board.h"
#include "headers/probe.h"

namespace {

using namespace pikit::sim;

Time elapsed(void (*wait)(unsigned), unsigned amount) {
    const Time t0 = Board::current()->now();
    wait(amount);
    return Board::current()->now() - t0;
}

TEST(LibraryHeaders, DelayNamesAndLevelsDependOnTheCompatibilityMacros) {
    EXPECT_STREQ(wiringpi_then_bcm2835.delay_ms_text, "bcm2835_delay(1)");
    EXPECT_STREQ(wiringpi_then_bcm2835.delay_us_text, "bcm2835_delayMicroseconds(1)");
    EXPECT_STREQ(without_delay_macros.delay_ms_text, "delay(1)");
    EXPECT_STREQ(without_delay_macros.delay_us_text, "delayMicroseconds(1)");
    for (const HeaderProbe* p : {&wiringpi_then_bcm2835, &without_delay_macros}) {
        EXPECT_EQ(p->high, 1);
        EXPECT_EQ(p->low, 0);
    }
}

TEST(LibraryHeaders, EachLibrarysDelayKeepsItsOwnSleepThreshold) {
    Options o;
    o.pin_call_cost = 0;
    o.sleep_overrun = 50_us;
    Board board(o);
    const HeaderProbe& bcm = wiringpi_then_bcm2835;
    const HeaderProbe& wpi = without_delay_macros;
    struct Case {
        unsigned us;
        Time bcm2835, wiringpi;
    } cases[] = {
        {0, 0, 0},
        {99, 99_us, 99_us},
        {100, 100_us, 150_us},  // wiringPi sleeps, bcm2835 still busy-waits
        {449, 449_us, 499_us},
        {450, 500_us, 500_us},  // both sleep
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.us);
        EXPECT_EQ(elapsed(bcm.delay_us, c.us), c.bcm2835);
        EXPECT_EQ(elapsed(wpi.delay_us, c.us), c.wiringpi);
    }
    EXPECT_EQ(elapsed(bcm.delay_ms, 3), 3_ms + 50_us);
    EXPECT_EQ(elapsed(wpi.delay_ms, 3), 3_ms + 50_us);
}

}  // namespace
