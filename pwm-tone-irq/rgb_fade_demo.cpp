/*
 * rgb-fade-demo: fades a three-colour LED (red wiringPi 23, green 24, blue 26)
 * with software PWM. Forever: pick one of the three colours at random, fade
 * it up to full and back down to a faint glow, and pick again.
 *
 * Prints nothing unless the PWM outputs cannot be created, and then ends
 * with status 1. Ended by Ctrl-C, SIGTERM or a lost terminal (SIGHUP) it
 * switches the three channels off before it dies of the signal.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <softPwm.h>
#include <wiringPi.h>

#include "pwm_shutdown.h"
#include "rgb_fade.h"

static const uint8_t rgbPins[] = {R_led, G_led, B_led};

int main(void)
{
    int red, green, blue;
    int colour;

    /* Line-buffered even when redirected, so that what is printed survives a
     * kill. */
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    wiringPiSetup();
    pwmOffOnSignal(rgbPins, 3);

    /* Range 100: 100 steps of 100 us, a 100 Hz PWM. All three are tried
     * before any result is looked at. */
    red = softPwmCreate(R_led, 0, 100);
    green = softPwmCreate(G_led, 0, 100);
    blue = softPwmCreate(B_led, 0, 100);
    if (red != 0 || green != 0 || blue != 0) {
        printf("PWM function initialization failed!");
        return 1;
    }

    while (1) {
        /* Seeded afresh from the clock before every draw: one pass takes
         * about 1.94 s, so the seeds of successive passes differ by one or
         * two seconds. */
        srand(time(NULL));
        colour = rand() % 3 + 1;
        if (colour == 1)
            RGB_pin = R_led;
        else if (colour == 2)
            RGB_pin = G_led;
        else
            RGB_pin = B_led;
        fadeOn(1000, 5);
        fadeOff(1000, 5);
    }
}
