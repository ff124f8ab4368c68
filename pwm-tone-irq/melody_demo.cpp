/*
 * melody-demo: plays an 81-note melody on the buzzer on wiringPi 1 with
 * software tone, pauses one second and plays it again, forever. One pass
 * and its pause take about 24.75 s.
 *
 * If the tone generator cannot be created it says so and plays on, silently
 * but with the same timing.
 */
#include <stdio.h>

#include <softTone.h>
#include <wiringPi.h>

#include "melody.h"

/* Bound of the note loop, set from the table's size when the program starts. */
int length;

int main(void)
{
    int i;

    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    wiringPiSetup();
    if (softToneCreate(buzzer_pin) != 0)
        puts("Soft tone create fail!");

    length = sizeof(tune) / sizeof(tune[0]);

    while (1) {
        for (i = 0; i < length; i++) {
            softToneWrite(buzzer_pin, tune[i]);
            /* One beat is 500 ms, worked out in single precision and
             * truncated: 0.25, 0.5, 0.75, 1 and 1.5 beats give 125, 250,
             * 375, 500 and 750 ms. */
            delay((unsigned int)(durt[i] * 500));
            /* Silence until the next note's frequency is written: notes
             * follow each other with no gap. */
            softToneWrite(buzzer_pin, 0);
        }
        delay(1000);
    }
}
