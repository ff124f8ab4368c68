/*
 * wiringPi, simulated: the part of wiringPi's core API that the kit's programs
 * use, with the same declarations and constants as the real header, backed by
 * the simulated Raspberry Pi (see docs/simulator.md).
 */
#ifndef PIKIT_SIM_WIRINGPI_H
#define PIKIT_SIM_WIRINGPI_H

#define INPUT 0
#define OUTPUT 1

#define LOW 0
#define HIGH 1

#define PUD_OFF 0
#define PUD_DOWN 1
#define PUD_UP 2

#define INT_EDGE_SETUP 0
#define INT_EDGE_FALLING 1
#define INT_EDGE_RISING 2
#define INT_EDGE_BOTH 3

#ifdef __cplusplus
extern "C" {
#endif

int wiringPiSetup(void);
void pinMode(int pin, int mode);
void pullUpDnControl(int pin, int pud);
void digitalWrite(int pin, int value);
int digitalRead(int pin);
void delay(unsigned int howLong);
void delayMicroseconds(unsigned int howLong);
int wiringPiISR(int pin, int mode, void (*function)(void));

#ifdef __cplusplus
}
#endif

#endif
