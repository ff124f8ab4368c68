/*
 * Clocking one byte into a 74HC595 (or any shift register that samples its
 * serial input on the rising edge of its shift clock) over two GPIO lines.
 *
 * wiringPi ships a routine with this very name and argument list in its own
 * shift module. These programs use this one instead, for its timing: each
 * clock phase is held 10 us, which any 74HC595 takes at any supply voltage,
 * however long or short the Pi's pin calls are. It has C linkage, so it is
 * the same symbol as the library's: the definition in the program is the one
 * every call binds to, and wiringPi's shift header (which declares it with C
 * linkage as well) is never needed.
 */
#ifndef SHIFT_LED_SHIFTOUT_H
#define SHIFT_LED_SHIFTOUT_H

#include <stdint.h>

/* Bit order: 0 sends the least significant bit first, any other value the
 * most significant bit first. */
#define LSB_FIRST 0
#define MSB_FIRST 1

extern "C" void shiftOut(uint8_t dPin, uint8_t cPin, uint8_t order, uint8_t val);

#endif
