// bcm2835.h first, then wiringPi.h, with BCM2835_NO_DELAY_COMPATIBILITY: the
// order that otherwise does not build, and delay names left to wiringPi.
#define BCM2835_NO_DELAY_COMPATIBILITY
#include <bcm2835.h>
#include <wiringPi.h>

#define PROBE_NAME without_delay_macros
#include "probe_define.h"
