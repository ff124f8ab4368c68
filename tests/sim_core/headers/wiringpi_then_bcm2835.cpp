// A program source that includes wiringPi.h, then bcm2835.h, and uses the
// plain delay names: bcm2835's macros take them over from here on.
#include <wiringPi.h>
#include <bcm2835.h>

#define PROBE_NAME wiringpi_then_bcm2835
#include "probe_define.h"
