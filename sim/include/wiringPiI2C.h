/*
 * wiringPi's I2C helpers, simulated: same declarations as the real header.
 * On a Pi they talk to the kernel's driver for the I2C controller on BCM 2
 * (SDA) and BCM 3 (SCL); here that controller clocks the simulated lines
 * itself, so the I2C parts of a scenario answer exactly as they would.
 */
#ifndef PIKIT_SIM_WIRINGPII2C_H
#define PIKIT_SIM_WIRINGPII2C_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int wiringPiI2CRead(int fd);
int wiringPiI2CReadReg8(int fd, int reg);
int wiringPiI2CReadReg16(int fd, int reg);
int wiringPiI2CReadBlockData(int fd, int reg, uint8_t* values, uint8_t size);
int wiringPiI2CRawRead(int fd, uint8_t* values, uint8_t size);
int wiringPiI2CWrite(int fd, int data);
int wiringPiI2CWriteReg8(int fd, int reg, int data);
int wiringPiI2CWriteReg16(int fd, int reg, int data);
int wiringPiI2CWriteBlockData(int fd, int reg, const uint8_t* values, uint8_t size);
int wiringPiI2CRawWrite(int fd, const uint8_t* values, uint8_t size);
int wiringPiI2CSetupInterface(const char* device, int devId);
int wiringPiI2CSetup(const int devId);

#ifdef __cplusplus
}
#endif

#endif
