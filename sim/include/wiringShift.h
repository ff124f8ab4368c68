/*
 * wiringPi's shift routines, simulated: same declarations as the real header.
 * Each bit is a data write (or read) and a clock pulse, made of ordinary pin
 * calls, so a shift register wired in the scenario sees them as on a Pi.
 */
#ifndef PIKIT_SIM_WIRINGSHIFT_H
#define PIKIT_SIM_WIRINGSHIFT_H

#include <stdint.h>

#define LSBFIRST 0
#define MSBFIRST 1

#ifdef __cplusplus
extern "C" {
#endif

uint8_t shiftIn(uint8_t dPin, uint8_t cPin, uint8_t order);
void shiftOut(uint8_t dPin, uint8_t cPin, uint8_t order, uint8_t val);

#ifdef __cplusplus
}
#endif

#endif
