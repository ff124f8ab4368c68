/*
 * led-chaser-demo: a running light on an eight-segment LED bar behind a
 * 74HC595 (data wiringPi 0, shift clock 2, latch 3). The bar fills from
 * segment 0 to segment 7, one segment every half second, then empties from
 * segment 7 down to 0, and so on until the program is killed. It prints
 * nothing: what it does is seen on the bar.
 */
#include <stdio.h>
#include <wiringPi.h>

#include "LedBar.h"

int main(void)
{
    int i;

    /* Nothing is printed; kept line-buffered like every program of the kit. */
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    Init_LED_IO(3, 2, 0); /* also starts wiringPi */

    while (1) {
        for (i = 0; i < 8; i++) {
            SetLed((uint8_t)i, 1);
            delay(500);
        }
        for (i = 7; i >= 0; i--) {
            SetLed((uint8_t)i, 0);
            delay(500);
        }
    }
}
