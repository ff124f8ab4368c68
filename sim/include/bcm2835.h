/*
 * bcm2835, simulated: the hardware I2C master and delays of the bcm2835
 * library, with the real header's declarations and reason codes. The I2C
 * master is the Pi's controller on BCM 2 (SDA) and BCM 3 (SCL), the same one
 * that wiringPi's I2C helpers reach through the kernel. The rest of the real
 * library (GPIO registers, SPI, PWM, timers) is not part of the simulated kit:
 * a program that calls it does not compile against this header.
 *
 * Like the real header it also defines HIGH and LOW, and - unless
 * BCM2835_NO_DELAY_COMPATIBILITY is defined before it is included - maps
 * delay() and delayMicroseconds() onto bcm2835's own delays with macros (the
 * library's historical names). So, exactly as on a Pi:
 *   - included after wiringPi.h, every later delay() and delayMicroseconds()
 *     in that source is bcm2835's, not wiringPi's;
 *   - included before wiringPi.h, the build fails: the macro turns wiringPi's
 *     declaration of delayMicroseconds(unsigned int) into a second, different
 *     declaration of bcm2835_delayMicroseconds(uint64_t).
 * A program that needs both libraries includes wiringPi.h first, or defines
 * BCM2835_NO_DELAY_COMPATIBILITY.
 */
#ifndef PIKIT_SIM_BCM2835_H
#define PIKIT_SIM_BCM2835_H

#include <stdint.h>

#define HIGH 0x1
#define LOW 0x0

typedef enum {
    BCM2835_I2C_REASON_OK = 0x00,
    BCM2835_I2C_REASON_ERROR_NACK = 0x01,
    BCM2835_I2C_REASON_ERROR_CLKT = 0x02,
    BCM2835_I2C_REASON_ERROR_DATA = 0x04
} bcm2835I2CReasonCodes;

#ifndef BCM2835_NO_DELAY_COMPATIBILITY
#define delay(x) bcm2835_delay(x)
#define delayMicroseconds(x) bcm2835_delayMicroseconds(x)
#endif

#ifdef __cplusplus
extern "C" {
#endif

int bcm2835_init(void);
int bcm2835_close(void);
int bcm2835_i2c_begin(void);
void bcm2835_i2c_end(void);
void bcm2835_i2c_setSlaveAddress(uint8_t addr);
void bcm2835_i2c_setClockDivider(uint16_t divider);
void bcm2835_i2c_set_baudrate(uint32_t baudrate);
uint8_t bcm2835_i2c_write(const char* buf, uint32_t len);
uint8_t bcm2835_i2c_read(char* buf, uint32_t len);
uint8_t bcm2835_i2c_read_register_rs(char* regaddr, char* buf, uint32_t len);
uint8_t bcm2835_i2c_write_read_rs(char* cmds, uint32_t cmds_len, char* buf, uint32_t buf_len);
void bcm2835_delay(unsigned int millis);
void bcm2835_delayMicroseconds(uint64_t micros);

#ifdef __cplusplus
}
#endif

#endif
