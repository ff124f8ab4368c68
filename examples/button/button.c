/*
 * A push button toggles an LED, by interrupt. The button pulls BCM 17
 * (header pin 11) to ground when pressed, against the Pi's own pull-up; the
 * LED hangs on BCM 27 (header pin 13). A contact bounces: presses closer
 * than 50 ms to the last one are taken for its bounce.
 */
#include <stdio.h>
#include <wiringPi.h>

#define BUTTON 17
#define LED 27

static volatile int lit;
static volatile unsigned int last_press;

static void pressed(void)
{
    unsigned int now = millis();
    if (now - last_press < 50)
        return;
    last_press = now;
    lit = !lit;
    digitalWrite(LED, lit);
    printf("%u ms: LED %s\n", now, lit ? "on" : "off");
    fflush(stdout);
}

int main(void)
{
    wiringPiSetupGpio();
    pinMode(LED, OUTPUT);
    pinMode(BUTTON, INPUT);
    pullUpDnControl(BUTTON, PUD_UP);
    last_press = millis() - 1000;
    if (wiringPiISR(BUTTON, INT_EDGE_FALLING, pressed) != 0) {
        printf("cannot set up the interrupt\n");
        return 1;
    }
    for (;;)
        delay(1000);
    return 0;
}
