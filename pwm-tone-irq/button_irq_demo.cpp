/*
 * button-irq-demo: every press of the button on wiringPi 22 (a falling edge)
 * switches the blinking of the LED on wiringPi 23 on or off. The interrupt
 * handler only flips a flag; the main loop does the blinking, one blink a
 * second (500 ms LOW, 500 ms HIGH), and holds the LED LOW while the flag is
 * clear. There is no debouncing: a contact that bounces flips the flag once
 * per falling edge.
 */
#include <stdint.h>
#include <stdio.h>

#include <atomic>

#include <wiringPi.h>

static const uint8_t ledPin = 23;
static const uint8_t interruptPin = 22;

/* 0: LED held LOW, 1: LED blinking. Written by the handler on wiringPi's
 * interrupt thread, read by the main loop on every pass. */
static std::atomic<uint8_t> state{0};

static void blink(void)
{
    state = (uint8_t)(1 - state);
}

int main(void)
{
    uint8_t result;

    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    wiringPiSetup();
    pinMode(ledPin, OUTPUT);

    /* The button module has its own pull-up; no pull is set here. Only the
     * low 8 bits of the result are looked at. */
    result = (uint8_t)wiringPiISR(interruptPin, INT_EDGE_FALLING, blink);
    if (result != 0) {
        puts("Interrupt function initialization failed! ");
        return 1;
    }

    while (1) {
        digitalWrite(ledPin, LOW);
        if (state) {
            delay(500);
            digitalWrite(ledPin, HIGH);
            delay(500);
        }
    }
}
