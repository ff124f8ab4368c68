/*
 * fan-demo: ramps a fan module's two drive inputs (wiringPi 23 and 24) with
 * software PWM, once: input 1 up and down while input 2 is held at 0, then
 * input 2 up and down while input 1 is held at 0. 640 steps of 10 ms, about
 * 6.4 s, then both inputs are switched off and the program ends.
 *
 * Prints nothing unless the PWM outputs cannot be created, and then ends
 * with status 1. Ended early by Ctrl-C, SIGTERM or a lost terminal (SIGHUP)
 * it switches both inputs off before it dies of the signal.
 */
#include <stdint.h>
#include <stdio.h>

#include <softPwm.h>
#include <wiringPi.h>

#include "pwm_shutdown.h"

static const uint8_t fanPins[] = {23, 24};

int main(void)
{
    int in1, in2;
    int i;

    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    wiringPiSetup();
    pwmOffOnSignal(fanPins, 2);

    in1 = softPwmCreate(23, 0, 100);
    in2 = softPwmCreate(24, 0, 100);
    if (in1 != 0 || in2 != 0) {
        puts("PWM function initialization failed! ");
        return 1;
    }

    /* The range is 100, so the counter's values above 100 drive an input
     * as full on: each rising phase reaches full power after 101 steps,
     * each falling phase holds full power for its first 60. */
    for (i = 0; i < 160; i++) {
        softPwmWrite(23, i);
        softPwmWrite(24, 0);
        delay(10);
    }
    for (i = 160; i > 0; i--) {
        softPwmWrite(23, i);
        softPwmWrite(24, 0);
        delay(10);
    }
    for (i = 0; i < 160; i++) {
        softPwmWrite(23, 0);
        softPwmWrite(24, i);
        delay(10);
    }
    for (i = 160; i > 0; i--) {
        softPwmWrite(23, 0);
        softPwmWrite(24, i);
        delay(10);
    }

    /* The last phase leaves input 2 at 1. A PWM thread dies with the
     * process wherever it is in its period, so a plain write of 0 would not
     * do: stopping the generators drives both pins LOW before we exit. */
    pwmOff();
    return 0;
}
