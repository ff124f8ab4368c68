// bcm2835.h first, then wiringPi.h, with BCM2835_NO_DELAY_COMPATIBILITY: the
// order that otherwise does not build, and delay names left to wiringPi.
#define BCM2835_NO_DELAY_COMPATIBILITY
#include <bcm2835.h>
#include <wiringPi.h>

#include "probe.h"

#define PROBE_TEXT(x) #x
#define PROBE_EXPANDED(x) PROBE_TEXT(x)

const HeaderProbe without_delay_macros = {
    PROBE_EXPANDED(delay(1)),
    PROBE_EXPANDED(delayMicroseconds(1)),
    HIGH,
    LOW,
    [](unsigned ms) { delay(ms); },
    [](unsigned us) { delayMicroseconds(us); },
};
