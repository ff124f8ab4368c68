// The simulated headers declare every call exactly as the real ones do, so a
// program that builds here builds on a Pi. Written out from wiringPi's and
// bcm2835's own headers (wiringPi 2.x's from its npm binding for the calls
// both versions have, the 3.x additions from its documented API; bcm2835
// 1.71 from Debian's libbcm2835-dev), and checked at compile time.
#include <wiringPi.h>
#include <softPwm.h>
#include <softTone.h>
#include <wiringPiI2C.h>
#include <wiringPiSPI.h>
#include <wiringShift.h>
#define BCM2835_NO_DELAY_COMPATIBILITY
#include <bcm2835.h>

#include <type_traits>

#define SAME(fn, type) static_assert(std::is_same_v<decltype(&fn), type>, #fn " is declared differently")

extern "C" {
SAME(wiringPiSetup, int (*)(void));
SAME(wiringPiSetupSys, int (*)(void));
SAME(wiringPiSetupGpio, int (*)(void));
SAME(wiringPiSetupPhys, int (*)(void));
SAME(wpiPinToGpio, int (*)(int));
SAME(physPinToGpio, int (*)(int));
SAME(pinMode, void (*)(int, int));
SAME(pullUpDnControl, void (*)(int, int));
SAME(digitalRead, int (*)(int));
SAME(digitalWrite, void (*)(int, int));
SAME(pwmWrite, void (*)(int, int));
SAME(pwmSetMode, void (*)(int));
SAME(pwmSetRange, void (*)(unsigned int));
SAME(pwmSetClock, void (*)(int));
SAME(pwmToneWrite, void (*)(int, int));
SAME(waitForInterrupt, int (*)(int, int));
SAME(wiringPiISR, int (*)(int, int, void (*)(void)));
SAME(piThreadCreate, int (*)(void* (*)(void*)));
SAME(piLock, void (*)(int));
SAME(piUnlock, void (*)(int));
SAME(piHiPri, int (*)(const int));
SAME(delay, void (*)(unsigned int));
SAME(delayMicroseconds, void (*)(unsigned int));
SAME(millis, unsigned int (*)(void));
SAME(micros, unsigned int (*)(void));
SAME(piMicros64, unsigned long long (*)(void));
SAME(piBoardRev, int (*)(void));
SAME(softPwmCreate, int (*)(int, int, int));
SAME(softPwmWrite, void (*)(int, int));
SAME(softPwmStop, void (*)(int));
SAME(softToneCreate, int (*)(int));
SAME(softToneWrite, void (*)(int, int));
SAME(softToneStop, void (*)(int));
SAME(shiftIn, uint8_t (*)(uint8_t, uint8_t, uint8_t));
SAME(shiftOut, void (*)(uint8_t, uint8_t, uint8_t, uint8_t));
SAME(wiringPiI2CRead, int (*)(int));
SAME(wiringPiI2CReadReg8, int (*)(int, int));
SAME(wiringPiI2CReadReg16, int (*)(int, int));
SAME(wiringPiI2CReadBlockData, int (*)(int, int, uint8_t*, uint8_t));
SAME(wiringPiI2CRawRead, int (*)(int, uint8_t*, uint8_t));
SAME(wiringPiI2CWrite, int (*)(int, int));
SAME(wiringPiI2CWriteReg8, int (*)(int, int, int));
SAME(wiringPiI2CWriteReg16, int (*)(int, int, int));
SAME(wiringPiI2CWriteBlockData, int (*)(int, int, const uint8_t*, uint8_t));
SAME(wiringPiI2CRawWrite, int (*)(int, const uint8_t*, uint8_t));
SAME(wiringPiI2CSetupInterface, int (*)(const char*, int));
SAME(wiringPiI2CSetup, int (*)(const int));
SAME(wiringPiSPIGetFd, int (*)(int));
SAME(wiringPiSPIDataRW, int (*)(int, unsigned char*, int));
SAME(wiringPiSPISetupMode, int (*)(int, int, int));
SAME(wiringPiSPISetup, int (*)(int, int));
SAME(wiringPiSPIClose, int (*)(const int));
SAME(bcm2835_init, int (*)(void));
SAME(bcm2835_close, int (*)(void));
SAME(bcm2835_i2c_begin, int (*)(void));
SAME(bcm2835_i2c_end, void (*)(void));
SAME(bcm2835_i2c_setSlaveAddress, void (*)(uint8_t));
SAME(bcm2835_i2c_setClockDivider, void (*)(uint16_t));
SAME(bcm2835_i2c_set_baudrate, void (*)(uint32_t));
SAME(bcm2835_i2c_write, uint8_t (*)(const char*, uint32_t));
SAME(bcm2835_i2c_read, uint8_t (*)(char*, uint32_t));
SAME(bcm2835_i2c_read_register_rs, uint8_t (*)(char*, char*, uint32_t));
SAME(bcm2835_i2c_write_read_rs, uint8_t (*)(char*, uint32_t, char*, uint32_t));
SAME(bcm2835_delay, void (*)(unsigned int));
SAME(bcm2835_delayMicroseconds, void (*)(uint64_t));
}

static_assert(INPUT == 0 && OUTPUT == 1 && PWM_OUTPUT == 2 && GPIO_CLOCK == 3 && SOFT_PWM_OUTPUT == 4 && SOFT_TONE_OUTPUT == 5 &&
              PWM_TONE_OUTPUT == 6 && PM_OFF == 7 && PWM_MS_OUTPUT == 8 && PWM_BAL_OUTPUT == 9);
static_assert(PWM_MODE_MS == 0 && PWM_MODE_BAL == 1 && LSBFIRST == 0 && MSBFIRST == 1);
static_assert(PI_MODEL_3B == 8 && PI_MODEL_4B == 17);
static_assert(WPI_MODE_PINS == 0 && WPI_MODE_GPIO == 1 && WPI_MODE_GPIO_SYS == 2 && WPI_MODE_PHYS == 3);

// A thread function as PI_THREAD writes it is what piThreadCreate takes.
PI_THREAD(declared_thread) { return nullptr; }
static_assert(std::is_same_v<decltype(&declared_thread), void* (*)(void*)>);
