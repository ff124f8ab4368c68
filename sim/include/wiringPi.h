/*
 * wiringPi, simulated: the core API of wiringPi 3.x with the same declarations
 * and constants as the real header, backed by the simulated Raspberry Pi (see
 * the kit's docs/simulator.md and docs/your-program.md).
 *
 * Every call declared here either works on the simulated Pi or is left
 * undefined on purpose: a program that uses one of those fails to link
 * ("undefined reference"), and the compiler warns at the call, rather than
 * the call doing nothing. Which is which is listed in docs/your-program.md.
 * Calls that can mean nothing on a PC (the board's revision) answer as a
 * Raspberry Pi 3 Model B does.
 */
#ifndef PIKIT_SIM_WIRINGPI_H
#define PIKIT_SIM_WIRINGPI_H

#if defined(__GNUC__)
#define PIKIT_SIM_NOT_SIMULATED \
    __attribute__((warning("not available on the simulated kit: the program will not link (see docs/your-program.md)")))
#else
#define PIKIT_SIM_NOT_SIMULATED
#endif

/* Pin numberings, as the set-up call chose them. */
#define WPI_MODE_PINS 0
#define WPI_MODE_GPIO 1
#define WPI_MODE_GPIO_SYS 2
#define WPI_MODE_PHYS 3
#define WPI_MODE_PIFACE 4
#define WPI_MODE_UNINITIALISED -1

/* Pin modes. */
#define INPUT 0
#define OUTPUT 1
#define PWM_OUTPUT 2
#define GPIO_CLOCK 3
#define SOFT_PWM_OUTPUT 4
#define SOFT_TONE_OUTPUT 5
#define PWM_TONE_OUTPUT 6
#define PM_OFF 7
#define PWM_MS_OUTPUT 8
#define PWM_BAL_OUTPUT 9

#define LOW 0
#define HIGH 1

#define PUD_OFF 0
#define PUD_DOWN 1
#define PUD_UP 2

#define PWM_MODE_MS 0
#define PWM_MODE_BAL 1

#define INT_EDGE_SETUP 0
#define INT_EDGE_FALLING 1
#define INT_EDGE_RISING 2
#define INT_EDGE_BOTH 3

/* Board models (piBoardId); the simulated Pi is a 3 Model B. */
#define PI_MODEL_A 0
#define PI_MODEL_B 1
#define PI_MODEL_AP 2
#define PI_MODEL_BP 3
#define PI_MODEL_2 4
#define PI_ALPHA 5
#define PI_MODEL_CM 6
#define PI_MODEL_07 7
#define PI_MODEL_3B 8
#define PI_MODEL_ZERO 9
#define PI_MODEL_CM3 10
#define PI_MODEL_ZERO_W 12
#define PI_MODEL_3BP 13
#define PI_MODEL_3AP 14
#define PI_MODEL_CM3P 16
#define PI_MODEL_4B 17

#define PI_THREAD(X) void* X(__attribute__((unused)) void* dummy)

#ifdef __cplusplus
extern "C" {
#endif

/* Set-up: which pin numbers the later calls take. */
int wiringPiSetup(void);
int wiringPiSetupSys(void);
int wiringPiSetupGpio(void);
int wiringPiSetupPhys(void);
int wpiPinToGpio(int wpiPin);
int physPinToGpio(int physPin);

/* Pins. */
void pinMode(int pin, int mode);
void pullUpDnControl(int pin, int pud);
int digitalRead(int pin);
void digitalWrite(int pin, int value);

/* Hardware PWM (BCM 12 and 18: channel 0; BCM 13 and 19: channel 1). */
void pwmWrite(int pin, int value);
void pwmSetMode(int mode);
void pwmSetRange(unsigned int range);
void pwmSetClock(int divisor);
void pwmToneWrite(int pin, int freq);

/* Interrupts. */
int waitForInterrupt(int pin, int mS);
int wiringPiISR(int pin, int mode, void (*function)(void));

/* Threads and priority. */
int piThreadCreate(void* (*fn)(void*));
void piLock(int key);
void piUnlock(int key);
int piHiPri(const int pri);

/* Time. */
void delay(unsigned int howLong);
void delayMicroseconds(unsigned int howLong);
unsigned int millis(void);
unsigned int micros(void);
unsigned long long piMicros64(void);

/* The board. */
int piBoardRev(void);

/* Not simulated: declared as the real header does, never defined. */
PIKIT_SIM_NOT_SIMULATED void pinModeAlt(int pin, int mode);
PIKIT_SIM_NOT_SIMULATED int getAlt(int pin);
PIKIT_SIM_NOT_SIMULATED void piBoardId(int* model, int* rev, int* mem, int* maker, int* overVolted);
PIKIT_SIM_NOT_SIMULATED void setPadDrive(int group, int value);
PIKIT_SIM_NOT_SIMULATED void gpioClockSet(int pin, int freq);
PIKIT_SIM_NOT_SIMULATED unsigned int digitalRead8(int pin);
PIKIT_SIM_NOT_SIMULATED void digitalWrite8(int pin, int value);
PIKIT_SIM_NOT_SIMULATED unsigned int digitalReadByte(void);
PIKIT_SIM_NOT_SIMULATED void digitalWriteByte(int value);
PIKIT_SIM_NOT_SIMULATED int wiringPiISRStop(int pin);
PIKIT_SIM_NOT_SIMULATED int analogRead(int pin);
PIKIT_SIM_NOT_SIMULATED void analogWrite(int pin, int value);

#ifdef __cplusplus
}
#endif

#endif
