/*
 * humidity-demo: reads relative humidity and temperature once from an AHT20
 * on the software I2C bus (SDA wiringPi 8, SCL wiringPi 9) and prints the
 * reading every second until killed.
 */
#include <stdint.h>
#include <stdio.h>
#include <wiringPi.h>

#include "AHT20.h"

int main(void)
{
    float CT_data[2];
    uint8_t status;

    /* Line-buffered even when redirected, so that no line is lost when the
     * program is killed. */
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    wiringPiSetup();
    delay(500); /* power-up settling of the sensor */

    status = Read_AHT20_Status();
    if ((status & 0x18) != 0x18) {
        Start_Init_AHT20();
        delay(10);
    }

    Read_CTdata_From_AHT20_crc(CT_data);
    delay(1000);

    while (1) {
        printf("Humidity = %.3f%%, Temperature = %.3fC \n", (double)CT_data[0], (double)CT_data[1]);
        delay(1000);
    }
}
