// ir-nec-demo: decodes NEC remote-control frames from an infrared receiver
// module on wiringPi pin 6 (BCM 25, header pin 22) and prints the command byte
// of every frame whose address and command pass their complement checks.
//
// The receiver demodulates the 38 kHz carrier itself: its output idles HIGH
// and is LOW for as long as it sees a burst of carrier. An NEC frame is a
// 9 ms leader burst and a 4.5 ms space, then 32 bits, least significant
// first: address, address complement, command, command complement. Each bit
// is a 562.5 us burst followed by a space of 562.5 us (0) or 1687.5 us (1).
//
// The decoder has no timer and no interrupt: it polls the pin in 60 us steps
// and counts the steps each level lasts. A 0 space gives about 9 readings, a
// 1 space about 28; anything above 15 is a 1. The leader is only skipped,
// never measured. A frame that fails a check is dropped without a word.
#include <stdint.h>
#include <stdio.h>

#include <wiringPi.h>

#define IR_PIN 6
#define STEP_US 60

uint8_t count;    // readings counted by the wait in progress
uint8_t i;        // bit being received, 0..31
uint8_t idx;      // byte of data receiving the bit, 0..3
uint8_t cnt;      // bit position within that byte, 0..7
uint8_t data[4];  // address, ~address, command, ~command

// Counts readings while the pin stays at `level`, one every 60 us, giving up
// after `limit` steps (count is then limit + 1). Ends at the first reading
// that shows the other level, without waiting after it.
static void wait_level(int level, uint8_t limit)
{
    count = 0;
    while (digitalRead(IR_PIN) == level) {
        count++;
        if (count > limit)
            break;
        delayMicroseconds(STEP_US);
    }
}

int main(void)
{
    // Line-buffered even when redirected: the program runs until it is
    // killed, and a block-buffered line would be lost with it.
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    wiringPiSetup();
    pinMode(IR_PIN, INPUT);
    // The receiver drives its output itself; the Pi's pull resistor would
    // only load it.
    pullUpDnControl(IR_PIN, PUD_OFF);

    puts("IRM test program ... ");

    while (1) {
        // Idle: spin on the pin until a burst starts. Each call into
        // wiringPi is a side effect, so this loop is well-defined.
        while (digitalRead(IR_PIN) != 0) {
        }

        wait_level(0, 200);  // leader burst, nominally 9 ms
        wait_level(1, 100);  // leader space, nominally 4.5 ms

        idx = 0;
        cnt = 0;
        data[0] = data[1] = data[2] = data[3] = 0;

        for (i = 0; i < 32; i++) {
            wait_level(0, 15);  // the bit's burst
            wait_level(1, 35);  // its space: the length tells the bit
            if (count > 15)
                data[idx] |= (uint8_t)(1u << cnt);
            if (cnt == 7) {
                cnt = 0;
                idx++;
            } else {
                cnt++;
            }
        }

        if (data[0] + data[1] == 255 && data[2] + data[3] == 255)
            printf("Get the key: 0x%02x\n", data[2]);
    }
}
