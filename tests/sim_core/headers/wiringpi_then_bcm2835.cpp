// A program source that includes wiringPi.h, then bcm2835.h, and uses the
// plain delay names: bcm2835's macros take them over from here on.
#include <wiringPi.h>
#include <bcm2835.h>

#include "probe.h"

#define PROBE_TEXT(x) #x
#define PROBE_EXPANDED(x) PROBE_TEXT(x)

const HeaderProbe wiringpi_then_bcm2835 = {
    PROBE_EXPANDED(delay(1)),
    PROBE_EXPANDED(delayMicroseconds(1)),
    HIGH,
    LOW,
    [](unsigned ms) { delay(ms); },
    [](unsigned us) { delayMicroseconds(us); },
};
