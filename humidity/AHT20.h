/*
 * AHT20 humidity and temperature sensor on the software I2C bus.
 *
 * The sensor answers at 7-bit address 0x38 (address byte 0x70 to write, 0x71
 * to read). A measurement is started with the command 0xAC 0x33 0x00 and
 * takes about 80 ms, during which bit 7 of the status byte reads 1. The frame
 * read afterwards is: status, 20 bits of humidity, 20 bits of temperature
 * (the middle byte holds the low humidity nibble and the high temperature
 * nibble), and a CRC-8 over the first six bytes.
 *
 * The status bits of mask 0x18 tell whether the sensor's calibration
 * registers 0x1B, 0x1C and 0x1E are set up; when they are not, each register
 * is read and written back before measuring.
 */
#ifndef HUMIDITY_AHT20_H
#define HUMIDITY_AHT20_H

#include <stdint.h>

uint8_t Calc_CRC8(uint8_t *message, uint8_t Num);
void SendAC_to_AHT20_(void);
uint8_t Read_AHT20_Status(void);
void Read_CTdata_From_AHT20(float *ct);
void Read_CTdata_From_AHT20_crc(float *ct);
void Reset_AHT20_REG(uint8_t addr);
void Start_Init_AHT20(void);

#endif
