/*
 * RGB LED fading with wiringPi's software PWM: one colour channel at a time
 * is faded up from dark to full and back down again.
 */
#ifndef RGB_FADE_H
#define RGB_FADE_H

#include <stdint.h>

/* wiringPi pins of the red, green and blue channels (common cathode). */
extern const uint8_t R_led;
extern const uint8_t G_led;
extern const uint8_t B_led;

/* The channel the fades act on; read on every step. */
extern uint8_t RGB_pin;

/* Raise the channel's PWM level from 0 in `step`s until the 8-bit level
 * reaches 255, spreading the steps over about `duration` ms. The step must
 * divide 255, or the level never meets 255. */
void fadeOn(uint32_t duration, int step);

/* Lower the channel's PWM level from 255 in `step`s until it reaches 0 (which
 * is never written, so the channel keeps a faint glow). */
void fadeOff(uint32_t duration, int step);

#endif
