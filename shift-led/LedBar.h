/*
 * An eight-segment LED bar behind one 74HC595.
 *
 * Segment n is register output Qn; a set bit of ledData drives its output
 * HIGH and lights the segment. The three lines are kept in variables, set by
 * Init_LED_IO, and every update uses them, so the bar can sit on any three
 * free GPIO lines.
 */
#ifndef SHIFT_LED_LEDBAR_H
#define SHIFT_LED_LEDBAR_H

#include <stdint.h>

extern uint8_t latchPin; /* the register's storage clock */
extern uint8_t clockPin; /* its shift clock */
extern uint8_t dataPin;  /* its serial data input */
extern uint8_t ledData;

/* Starts wiringPi, keeps the three pins and makes them outputs (data, clock,
 * latch, in that order). */
void Init_LED_IO(uint8_t latch, uint8_t clock, uint8_t data);

/* Segment `index` lit (state 1) or dark (any other state); an index of 8 or
 * more names no segment and leaves the pattern as it is. The pattern is sent
 * and latched in every case. */
void SetLed(uint8_t index, uint8_t state);

/* Replaces the whole pattern and shows it. */
void SetLedBar(uint8_t pattern);

#endif
