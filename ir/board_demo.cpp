/*
 * ir-board-demo: polls the infrared co-processor board (I2C address 0x2D on
 * the Pi's hardware I2C, SDA BCM 2 / header pin 3, SCL BCM 3 / header pin 5)
 * ten times a second, prints every remote key code it reports, and switches
 * a red LED on wiringPi pin 23 (BCM 13, header pin 33) on or off at each
 * code 0xFF38.
 *
 * wiringPi drives the LED; bcm2835 runs the I2C controller. bcm2835.h comes
 * after wiringPi.h: it defines delay() and delayMicroseconds() as macros for
 * its own delays, which would rewrite wiringPi's declarations if it came
 * first. The only wait here is bcm2835_delay, named as such.
 */
#include <stdint.h>
#include <stdio.h>

#include <wiringPi.h>
#include <bcm2835.h>

#include "stc.h"

uint8_t led_pin = 23;
uint8_t ok = 0; /* LED state: 1 on, 0 off */
int key = 0;    /* last value of the infrared register */

int main(void)
{
    /* Line-buffered even when redirected: the program runs until it is
     * killed, and a block-buffered line would be lost with it. */
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    wiringPiSetup();
    pinMode(led_pin, OUTPUT);
    digitalWrite(led_pin, LOW);

    /* Without a working I2C controller there is nothing to poll: the reason
     * has been printed, and the run ends as a failure. */
    if (stc_init() != 0)
        return 1;

    while (1) {
        key = stc_ir();
        if (key != 0)
            printf("Get the key: 0x%04x \n", key);
        if (key == 0xFF38) {
            ok = 1 - ok;
            digitalWrite(led_pin, ok);
            if (ok == 1)
                puts("Red LED ON!");
            else
                puts("Red LED OFF!");
        }
        bcm2835_delay(100);
    }
}
