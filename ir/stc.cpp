/*
 * The infrared co-processor board's registers over the Pi's hardware I2C.
 */
#include "stc.h"

#include <stdio.h>

#include <bcm2835.h>

int stc_adr = 0x2D;

uint8_t stc_init(void)
{
    if (!bcm2835_init()) {
        puts("bcm2835_init failed. Are you running as root??");
        return 255;
    }
    if (!bcm2835_i2c_begin()) {
        puts("bcm2835_i2c_begin failed. Are you running as root??");
        return 255;
    }
    bcm2835_i2c_set_baudrate(100000);
    return 0;
}

int readi2c(uint8_t reg)
{
    char cmd[1] = {(char)reg};
    char buf[3] = {0, 0, 0};

    /* Set again before every read: nothing else on the bus may have
     * changed it, but the transfer must not depend on that. */
    bcm2835_i2c_setSlaveAddress((uint8_t)stc_adr);
    /* The reason code is not looked at: a byte that does not arrive stays 0,
     * and a reading of 0 means no key. */
    bcm2835_i2c_write_read_rs(cmd, 1, buf, 2);
    return (uint8_t)buf[0] * 256 + (uint8_t)buf[1];
}

int stc_mic(void)
{
    return readi2c(0);
}

int stc_sr(void)
{
    return readi2c(2);
}

int stc_ir(void)
{
    return readi2c(4);
}
