/*
 * bcm2835, simulated: the hardware I2C master and delay of the bcm2835 library
 * as the kit uses them, with the real header's declarations and reason codes.
 */
#ifndef PIKIT_SIM_BCM2835_H
#define PIKIT_SIM_BCM2835_H

#include <stdint.h>

typedef enum {
    BCM2835_I2C_REASON_OK = 0x00,
    BCM2835_I2C_REASON_ERROR_NACK = 0x01,
    BCM2835_I2C_REASON_ERROR_CLKT = 0x02,
    BCM2835_I2C_REASON_ERROR_DATA = 0x04
} bcm2835I2CReasonCodes;

#ifdef __cplusplus
extern "C" {
#endif

int bcm2835_init(void);
int bcm2835_i2c_begin(void);
void bcm2835_i2c_set_baudrate(uint32_t baudrate);
void bcm2835_i2c_setSlaveAddress(uint8_t addr);
uint8_t bcm2835_i2c_write_read_rs(char* cmds, uint32_t cmds_len, char* buf, uint32_t buf_len);
void bcm2835_delay(unsigned int millis);

#ifdef __cplusplus
}
#endif

#endif
