// bcm2835.h before wiringPi.h, without BCM2835_NO_DELAY_COMPATIBILITY. With
// the real headers this does not compile: the delayMicroseconds macro turns
// wiringPi's declaration into a conflicting bcm2835_delayMicroseconds. The
// simulated headers must refuse it too (a CTest test builds this and expects
// that error), or a program could build on the kit and fail on the Pi.
#include <bcm2835.h>
#include <wiringPi.h>

void probe_pause(unsigned us) { delayMicroseconds(us); }
