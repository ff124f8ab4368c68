/*
 * keypad-display-demo: shows the value of each key pressed on the BC7278's
 * keypad on its four-digit display (7 as 7.0, 17 as 17.0) and prints it,
 * until killed.
 *
 * The controller pulls its key interrupt line (wiringPi 21) low when a key
 * goes down; wiringPi then runs GetKeyValue on its own thread, which reads
 * the key over the link and leaves it in KeyValue. The main loop polls
 * KeyValue without pausing, shows the key, waits 100 ms, prints the key then
 * in KeyValue and clears it.
 */
#include <stdint.h>
#include <stdio.h>
#include <wiringPi.h>

#include <atomic>

#include "BC7278.h"

const uint8_t ButtonPin = 21;

/* The last key read by the interrupt handler; 0 while no new key waits. */
std::atomic<uint8_t> KeyValue{0};

void GetKeyValue(void)
{
    KeyValue = ReadKeyValue();
}

int main(void)
{
    /* Line-buffered even when redirected, so that no line is lost when the
     * program is killed. */
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    wiringPiSetup();
    wiringPiISR(ButtonPin, INT_EDGE_FALLING, GetKeyValue);
    Start_Init();
    ClearAll();

    for (;;) {
        float value = KeyValue.load();
        uint8_t printed;

        if (value == 0)
            continue;
        DisplayNumber(value);
        delay(100);

        /* Read again: a key read in the meantime is the one reported. A read
         * that found no key down (a contact bounce, say) leaves 0, which is no
         * key value and is not printed. */
        printed = KeyValue.load();
        if (printed == 0)
            continue;
        printf("Key value: %d \n", printed);
        /* Clear only the key just printed: one read by the handler since the
         * printout stays for the next pass. */
        KeyValue.compare_exchange_strong(printed, 0);
    }
}
