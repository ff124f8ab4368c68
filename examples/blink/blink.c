/*
 * Blink: an LED on wiringPi pin 0 (BCM 17, header pin 11) through a resistor
 * to ground, on for half a second, off for half a second, until Ctrl-C.
 *
 *   gcc blink.c -o blink -lwiringPi
 */
#include <wiringPi.h>

#define LED 0

int main(void)
{
    wiringPiSetup();
    pinMode(LED, OUTPUT);
    for (;;) {
        digitalWrite(LED, HIGH);
        delay(500);
        digitalWrite(LED, LOW);
        delay(500);
    }
    return 0;
}
