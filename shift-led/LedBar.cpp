/*
 * An eight-segment LED bar behind one 74HC595: the pins, the pattern byte and
 * its latched update.
 */
#include "LedBar.h"

#include <wiringPi.h>

#include "shiftOut.h"

uint8_t latchPin = 3;
uint8_t clockPin = 2;
uint8_t dataPin = 0;
uint8_t ledData = 0;

/* Latch LOW, the eight bits most significant first (bit 7 ends in Q7), latch
 * HIGH: the rising latch edge shows the new pattern on all segments at once. */
static void UpdateBar(void)
{
    digitalWrite(latchPin, LOW);
    shiftOut(dataPin, clockPin, MSB_FIRST, ledData);
    digitalWrite(latchPin, HIGH);
}

void Init_LED_IO(uint8_t latch, uint8_t clock, uint8_t data)
{
    wiringPiSetup();
    latchPin = latch;
    clockPin = clock;
    dataPin = data;
    pinMode(dataPin, OUTPUT);
    pinMode(clockPin, OUTPUT);
    pinMode(latchPin, OUTPUT);
}

void SetLed(uint8_t index, uint8_t state)
{
    /* Only 0 to 7 name a bit of the byte; a wider shift would be
     * meaningless, so other indexes leave the pattern alone. */
    if (index < 8) {
        if (state == 1)
            ledData = (uint8_t)(ledData | (1u << index));
        else
            ledData = (uint8_t)(ledData & ~(1u << index));
    }
    UpdateBar();
}

void SetLedBar(uint8_t pattern)
{
    ledData = pattern;
    UpdateBar();
}
