/*
 * wiringPi's SPI helpers, simulated: same declarations as the real header.
 * On a Pi they talk to the kernel's driver for SPI0 (MOSI BCM 10, MISO BCM 9,
 * SCLK BCM 11, CE0 BCM 8, CE1 BCM 7); here that controller clocks the
 * simulated lines itself, so an SPI part of a scenario answers as it would.
 */
#ifndef PIKIT_SIM_WIRINGPISPI_H
#define PIKIT_SIM_WIRINGPISPI_H

#ifdef __cplusplus
extern "C" {
#endif

int wiringPiSPIGetFd(int channel);
int wiringPiSPIDataRW(int channel, unsigned char* data, int len);
int wiringPiSPISetupMode(int channel, int speed, int mode);
int wiringPiSPISetup(int channel, int speed);
int wiringPiSPIClose(const int channel);

#ifdef __cplusplus
}
#endif

#endif
