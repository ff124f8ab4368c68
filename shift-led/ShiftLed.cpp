/*
 * Eight LEDs behind one 74HC595: the pattern byte and its latched update.
 */
#include "ShiftLed.h"

#include <wiringPi.h>

#include "shiftOut.h"

uint8_t ledData = 0;

/* Latch LOW, the eight bits, latch HIGH: the rising latch edge copies the
 * shift stages to the outputs. The latch then stays HIGH until the next
 * update. */
static void UpdateLed(void)
{
    digitalWrite(LATCH_PIN, LOW);
    shiftOut(DATA_PIN, CLOCK_PIN, MSB_FIRST, ledData);
    digitalWrite(LATCH_PIN, HIGH);
}

/* Sets or clears the pattern bit of one LED. The index is a full byte; only
 * 0 to 7 name a bit, and a wider shift would be meaningless, so other
 * indexes leave the pattern alone. */
static void ChangeBit(uint8_t index, uint8_t on)
{
    if (index > 7)
        return;
    if (on)
        ledData = (uint8_t)(ledData | (1u << index));
    else
        ledData = (uint8_t)(ledData & ~(1u << index));
}

void Init_LED_IO(uint8_t latch, uint8_t clock, uint8_t data)
{
    pinMode(latch, OUTPUT);
    pinMode(clock, OUTPUT);
    pinMode(data, OUTPUT);
}

void SetLed(uint8_t index, uint8_t state)
{
    if (index > 7 || state > 1)
        return;
    ChangeBit(index, state == 1);
    UpdateLed();
}

void setLed(uint8_t index, uint8_t state)
{
    ChangeBit(index, state == 1);
    UpdateLed();
}
