// The Pi's PWM controller as wiringPi drives it: two channels, each brought
// out on two header pins (channel 0 on BCM 12 and 18, channel 1 on BCM 13 and
// 19) when the pin is given the PWM function. Its clock is the 19.2 MHz
// oscillator divided by a divisor; a channel counts `range` ticks per period
// and is HIGH for `data` of them: at the start of the period in mark-space
// mode, spread as evenly as the ticks allow in balanced mode. The pattern is
// driven on the simulated line tick for tick, so whatever listens to the line
// sees what it would see on a Pi.
#pragma once

#include "core/board.h"

namespace pikit::sim::api::pwm {

// The channel (0 or 1) a wiringPi pin reaches, or -1 when it has none.
int channel_of(int wpi_pin);

// pinMode(pin, PWM_OUTPUT): the pin takes the PWM function, and the
// controller is reset to wiringPi's defaults (balanced mode, range 1024,
// divisor 32: 600 kHz ticks, a period of 1.7 ms). `mark_space`: the mode
// PWM_MS_OUTPUT and PWM_TONE_OUTPUT ask for instead.
void start(Board& b, int wpi_pin, bool mark_space);
// The pin goes back to GPIO (another pinMode); false if it had no PWM.
bool stop(Board& b, int wpi_pin);
void write(Board& b, int wpi_pin, int value);
void set_mode(Board& b, bool balanced);
void set_range(Board& b, unsigned range);
void set_clock(Board& b, int divisor);
// Ticks per second at the current divisor (19.2 MHz / divisor).
double tick_rate(Board& b);

}  // namespace pikit::sim::api::pwm
