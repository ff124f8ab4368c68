/*
 * shiftOut: eight clock pulses, one data bit before each rising edge.
 *
 * The data level is written immediately before the clock goes HIGH, with no
 * wait between the two writes: the set-up time the register sees is the
 * duration of one pin call (about 0.1 us on a Pi, several times what a
 * 74HC595 needs at 3.3 V). The bit stays on the data line for the whole
 * 20 us clock period, so the hold time after the edge is never short.
 */
#include "shiftOut.h"

#include <wiringPi.h>

extern "C" void shiftOut(uint8_t dPin, uint8_t cPin, uint8_t order, uint8_t val)
{
    uint8_t i;

    for (i = 0; i < 8; i++) {
        if (order == LSB_FIRST) {
            digitalWrite(dPin, val & 0x01);
            val = (uint8_t)(val >> 1);
        } else {
            digitalWrite(dPin, (val & 0x80) ? HIGH : LOW);
            val = (uint8_t)(val << 1);
        }
        digitalWrite(cPin, HIGH);
        delayMicroseconds(10);
        digitalWrite(cPin, LOW);
        delayMicroseconds(10);
    }
}
