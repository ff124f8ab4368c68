/*
 * shift-led-demo: eight LEDs behind a 74HC595 (data wiringPi 0, shift clock
 * 2, latch 3) light up one after the other, LED 0 first, one per second,
 * then go out again in reverse order, LED 7 first, and so on until the
 * program is killed. It prints nothing: what it does is seen on the LEDs.
 */
#include <stdio.h>
#include <wiringPi.h>

#include "ShiftLed.h"

int main(void)
{
    int i;

    /* Nothing is printed; kept line-buffered like every program of the kit. */
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    wiringPiSetup();
    Init_LED_IO(LATCH_PIN, CLOCK_PIN, DATA_PIN);

    while (1) {
        for (i = 0; i < 8; i++) {
            SetLed((uint8_t)i, 1);
            delay(1000);
        }
        for (i = 7; i >= 0; i--) {
            setLed((uint8_t)i, 0);
            delay(1000);
        }
    }
}
