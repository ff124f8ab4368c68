// The interrupt handler of a keypad-display module's key line, as the
// simulator's tests and benchmark run it beside a main loop that spins on
// memory: it clocks in a 16-bit key frame (clock low, data bit, 50 us, clock
// high, 50 us, read), rests 30 ms as the part requires, then sets the byte
// the main loop spins on.
#pragma once

#include <wiringPi.h>

#include <atomic>

namespace pikit::test {

inline std::atomic<unsigned char> key_ready{0};

inline void read_key_frame() {
    for (int bit = 0; bit < 16; ++bit) {
        digitalWrite(14, LOW);
        digitalWrite(12, bit & 1);
        delayMicroseconds(50);
        digitalWrite(14, HIGH);
        delayMicroseconds(50);
        digitalRead(13);
    }
    delay(30);
    key_ready = 1;
}

}  // namespace pikit::test
