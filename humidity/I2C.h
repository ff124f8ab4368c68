/*
 * Software I2C master on two GPIO lines of the Pi header.
 *
 * SDA is wiringPi pin 8 and SCL wiringPi pin 9 (BCM 2 and 3, header pins 3 and
 * 5). The master drives both lines actively while it owns them, HIGH included;
 * SDA becomes an input only while the slave's data or acknowledge is sampled,
 * and both lines are handed back to the pull-ups at the end of a stop
 * condition. Every clock and data phase lasts 8 us, which gives a bus clock of
 * roughly 20 to 40 kHz, well inside what any I2C part accepts.
 *
 * Each primitive sets the directions it needs itself; the only state carried
 * from one call to the next is the level left on the two lines:
 *
 *   Start_I2C       SCL out HIGH, SDA out LOW
 *   Master_WR_Byte  SCL out HIGH (high phase of bit 8), SDA out (last bit)
 *   Slave_ACK       SCL out HIGH (high phase of the ack clock), SDA in
 *   Master_RD_Byte  SCL out LOW, SDA in
 *   Master_ACK      SCL out HIGH, SDA out LOW
 *   Master_NACK     SCL out HIGH, SDA out HIGH
 *   Stop_I2C        both inputs, bus idle high
 */
#ifndef HUMIDITY_I2C_H
#define HUMIDITY_I2C_H

#include <stdint.h>

#define SDA_PIN 8
#define SCL_PIN 9

void Start_I2C(void);
void Stop_I2C(void);
void Master_WR_Byte(uint8_t Byte);
uint8_t Master_RD_Byte(void);
uint8_t Slave_ACK(void);
void Master_ACK(void);
void Master_NACK(void);

#endif
