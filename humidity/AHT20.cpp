/*
 * AHT20 driver: measurement trigger, status, frame read with and without the
 * CRC check, and the calibration register set-up. Every transfer goes through
 * the software I2C primitives; acknowledge results are not examined, so a
 * missing acknowledge shows only as the bus layer's message and the transfer
 * carries on unchanged.
 */
#include "AHT20.h"

#include <wiringPi.h>

#include "I2C.h"

#define AHT20_WRITE 0x70 /* 0x38 << 1 | write */
#define AHT20_READ 0x71  /* 0x38 << 1 | read */
#define STATUS_BUSY 0x80
/* Polls of the busy bit after the first 80 ms, 2 ms apart. */
#define BUSY_POLLS 100

/* CRC-8 of the sensor's frame: polynomial x^8 + x^5 + x^4 + 1 (0x31), start
 * value 0xFF, most significant bit first, no reflection, no final XOR. */
uint8_t Calc_CRC8(uint8_t *message, uint8_t Num)
{
    uint8_t i;
    uint8_t byte;
    uint8_t crc = 0xFF;

    for (byte = 0; byte < Num; byte++) {
        crc ^= message[byte];
        for (i = 8; i > 0; --i) {
            if (crc & 0x80) {
                crc = (uint8_t)((crc << 1) ^ 0x31);
            } else {
                crc = (uint8_t)(crc << 1);
            }
        }
    }
    return crc;
}

/* Starts one measurement: 0xAC with its two argument bytes 0x33 0x00. */
void SendAC_to_AHT20_(void)
{
    Start_I2C();
    Master_WR_Byte(AHT20_WRITE);
    Slave_ACK();
    Master_WR_Byte(0xAC);
    Slave_ACK();
    Master_WR_Byte(0x33);
    Slave_ACK();
    Master_WR_Byte(0x00);
    Slave_ACK();
    Stop_I2C();
}

/* The status byte is the first byte of every read. */
uint8_t Read_AHT20_Status(void)
{
    uint8_t Byte_first;

    Start_I2C();
    Master_WR_Byte(AHT20_READ);
    Slave_ACK();
    Byte_first = Master_RD_Byte();
    Master_NACK();
    Stop_I2C();
    return Byte_first;
}

/* Trigger, then wait 80 ms and poll the busy bit every 2 ms for at most
 * about 200 ms more. The frame is read afterwards in any case. */
static void Trigger_And_Wait(void)
{
    uint8_t cnt = 0;

    SendAC_to_AHT20_();
    delay(80);
    while ((Read_AHT20_Status() & STATUS_BUSY) == STATUS_BUSY) {
        delay(2);
        if (cnt >= BUSY_POLLS) {
            break;
        }
        cnt++;
    }
}

/* One read transfer of `Num` bytes: each acknowledged but the last, which
 * gets the not-acknowledge that ends the sensor's answer. */
static void Read_Frame(uint8_t *Byte, uint8_t Num)
{
    uint8_t i;

    Start_I2C();
    Master_WR_Byte(AHT20_READ);
    Slave_ACK();
    for (i = 0; i + 1 < Num; i++) {
        Byte[i] = Master_RD_Byte();
        Master_ACK();
    }
    Byte[Num - 1] = Master_RD_Byte();
    Master_NACK();
    Stop_I2C();
}

/* Humidity in %RH and temperature in degrees C from the frame's two 20-bit
 * fields, computed in single precision as the sensor's formulas give them. */
static void Convert_CTdata(const uint8_t *Byte, float *ct)
{
    uint32_t RetuData;

    RetuData = 0;
    RetuData = (RetuData | Byte[1]) << 8;
    RetuData = (RetuData | Byte[2]) << 8;
    RetuData = (RetuData | Byte[3]);
    RetuData = RetuData >> 4;
    ct[0] = (float)RetuData * 100.0f / 1024.0f / 1024.0f;

    RetuData = 0;
    RetuData = (RetuData | Byte[3]) << 8;
    RetuData = (RetuData | Byte[4]) << 8;
    RetuData = (RetuData | Byte[5]);
    RetuData = RetuData & 0x000FFFFF;
    ct[1] = (float)RetuData * 200.0f / 1024.0f / 1024.0f - 50.0f;
}

/* Measurement without the CRC byte: six bytes read, no check. */
void Read_CTdata_From_AHT20(float *ct)
{
    uint8_t Byte[6];

    Trigger_And_Wait();
    Read_Frame(Byte, 6);

    Convert_CTdata(Byte, ct);
}

/* Measurement with the CRC byte checked. A frame whose CRC does not match
 * gives 0.0 for both values. */
void Read_CTdata_From_AHT20_crc(float *ct)
{
    uint8_t Byte[7];

    Trigger_And_Wait();
    Read_Frame(Byte, 7);

    if (Calc_CRC8(Byte, 6) != Byte[6]) {
        ct[0] = 0.0f;
        ct[1] = 0.0f;
        return;
    }
    Convert_CTdata(Byte, ct);
}

/* Sets up one calibration register: select it with two zero bytes, read back
 * status and its two bytes, then write those two bytes to 0xB0 | register. */
void Reset_AHT20_REG(uint8_t addr)
{
    uint8_t Byte_first, Byte_second, Byte_third;

    Start_I2C();
    Master_WR_Byte(AHT20_WRITE);
    Slave_ACK();
    Master_WR_Byte(addr);
    Slave_ACK();
    Master_WR_Byte(0x00);
    Slave_ACK();
    Master_WR_Byte(0x00);
    Slave_ACK();
    Stop_I2C();

    delay(5);

    Start_I2C();
    Master_WR_Byte(AHT20_READ);
    Slave_ACK();
    Byte_first = Master_RD_Byte();
    Master_ACK();
    Byte_second = Master_RD_Byte();
    Master_ACK();
    Byte_third = Master_RD_Byte();
    Master_NACK();
    Stop_I2C();
    (void)Byte_first;

    delay(10);

    Start_I2C();
    Master_WR_Byte(AHT20_WRITE);
    Slave_ACK();
    Master_WR_Byte((uint8_t)(0xB0 | addr));
    Slave_ACK();
    Master_WR_Byte(Byte_second);
    Slave_ACK();
    Master_WR_Byte(Byte_third);
    Slave_ACK();
    Stop_I2C();
}

void Start_Init_AHT20(void)
{
    Reset_AHT20_REG(0x1B);
    Reset_AHT20_REG(0x1C);
    Reset_AHT20_REG(0x1E);
}
