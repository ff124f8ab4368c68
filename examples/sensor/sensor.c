/*
 * An AHT20 humidity and temperature sensor on the Pi's I2C bus (SDA on BCM 2,
 * SCL on BCM 3), read once a second through wiringPi's I2C helpers: trigger
 * a measurement, wait for it, read status, 20 bits of humidity and 20 bits
 * of temperature.
 */
#include <stdint.h>
#include <stdio.h>
#include <wiringPi.h>
#include <wiringPiI2C.h>

#define AHT20 0x38

int main(void)
{
    int fd;
    uint8_t frame[7];

    wiringPiSetup();
    delay(40); /* the sensor's start-up time */
    fd = wiringPiI2CSetup(AHT20);
    if (fd < 0 || wiringPiI2CRead(fd) < 0) {
        printf("no AHT20 at 0x%02X\n", AHT20);
        return 1;
    }
    for (;;) {
        /* 0xAC 0x33 0x00 starts a measurement */
        wiringPiI2CWriteReg16(fd, 0xAC, 0x0033);
        delay(80);
        if (wiringPiI2CRawRead(fd, frame, 7) != 7 || (frame[0] & 0x80)) {
            printf("read failed\n");
        } else {
            uint32_t h = ((uint32_t)frame[1] << 12) | ((uint32_t)frame[2] << 4) | (frame[3] >> 4);
            uint32_t t = ((uint32_t)(frame[3] & 0x0F) << 16) | ((uint32_t)frame[4] << 8) | frame[5];
            printf("humidity %.1f %%, temperature %.1f C\n", h * 100.0 / 1048576, t * 200.0 / 1048576 - 50);
        }
        fflush(stdout);
        delay(1000);
    }
    return 0;
}
