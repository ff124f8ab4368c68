/*
 * Eight LEDs behind one 74HC595, on three fixed GPIO lines.
 *
 * The LED states live in one byte, ledData: bit n is register output Qn, and
 * a set bit drives that output HIGH, lighting its LED. Every change sends the
 * whole byte, most significant bit first, so bit 7 travels furthest and ends
 * in the last stage, Q7; the rising edge of the latch (the register's storage
 * clock) then shows the new byte on all eight outputs at once, with no
 * flicker of the bits shifting through.
 */
#ifndef SHIFT_LED_SHIFTLED_H
#define SHIFT_LED_SHIFTLED_H

#include <stdint.h>

/* wiringPi pins of the module (BCM 17, 27, 22; header pins 11, 13, 15). */
#define DATA_PIN 0
#define CLOCK_PIN 2
#define LATCH_PIN 3

extern uint8_t ledData;

/* Makes the three lines outputs, in argument order. The updates always use
 * the module's pins above. */
void Init_LED_IO(uint8_t latch, uint8_t clock, uint8_t data);

/* Switches LED `index` (0-7) on (state 1) or off (state 0) and shows the
 * pattern. Any other index or state is refused: nothing changes and no pin
 * moves. */
void SetLed(uint8_t index, uint8_t state);

/* The same without checks: state 1 lights the LED, any other state puts it
 * out; an index of 8 or more names no LED and leaves the pattern as it is.
 * The pattern is sent and latched in every case. */
void setLed(uint8_t index, uint8_t state);

#endif
