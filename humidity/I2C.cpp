/*
 * Software I2C master: the seven bus primitives. Timing comes only from
 * delayMicroseconds(); the GPIO calls themselves add a little to every phase
 * and nothing compensates for that. SCL is never read back, so a slave cannot
 * stretch the clock.
 */
#include "I2C.h"

#include <stdio.h>
#include <wiringPi.h>

/* One clock or data phase. */
#define PHASE_US 8
/* Step and number of steps of the acknowledge poll: about 1 ms in all. */
#define ACK_POLL_US 10
#define ACK_POLLS 100

/* Start condition: SDA falls while SCL is high. Both lines are first driven
 * HIGH so that a start works from any state the bus was left in. */
void Start_I2C(void)
{
    pinMode(SCL_PIN, OUTPUT);
    pinMode(SDA_PIN, OUTPUT);
    digitalWrite(SCL_PIN, HIGH);
    digitalWrite(SDA_PIN, HIGH);
    delayMicroseconds(PHASE_US);
    digitalWrite(SDA_PIN, LOW);
    delayMicroseconds(PHASE_US);
}

/* Stop condition: SDA rises while SCL is high; then both lines are released
 * and the bus idles high through the pull-ups. */
void Stop_I2C(void)
{
    pinMode(SCL_PIN, OUTPUT);
    digitalWrite(SCL_PIN, LOW);
    delayMicroseconds(PHASE_US);
    pinMode(SDA_PIN, OUTPUT);
    digitalWrite(SDA_PIN, LOW);
    delayMicroseconds(PHASE_US);
    digitalWrite(SCL_PIN, HIGH);
    delayMicroseconds(PHASE_US);
    digitalWrite(SDA_PIN, HIGH);
    delayMicroseconds(PHASE_US);
    pinMode(SCL_PIN, INPUT);
    pinMode(SDA_PIN, INPUT);
}

/* Clocks one byte out, most significant bit first. Each bit: SCL low, set
 * SDA, SCL high. The byte ends with SCL high in the eighth bit's high phase
 * and SDA still driven with the last bit. */
void Master_WR_Byte(uint8_t Byte)
{
    uint8_t Data = Byte;
    uint8_t i;

    pinMode(SCL_PIN, OUTPUT);
    digitalWrite(SCL_PIN, LOW);
    pinMode(SDA_PIN, OUTPUT);
    for (i = 0; i < 8; i++) {
        digitalWrite(SCL_PIN, LOW);
        delayMicroseconds(PHASE_US);
        if (Data & 0x80) {
            digitalWrite(SDA_PIN, HIGH);
        } else {
            digitalWrite(SDA_PIN, LOW);
        }
        delayMicroseconds(PHASE_US);
        digitalWrite(SCL_PIN, HIGH);
        delayMicroseconds(PHASE_US);
        Data = (uint8_t)(Data << 1);
    }
}

/* Clocks one byte in, most significant bit first, sampling SDA in each high
 * phase. An absent slave leaves SDA to its pull-up and reads as 0xFF. */
uint8_t Master_RD_Byte(void)
{
    uint8_t Byte = 0;
    uint8_t i;

    pinMode(SCL_PIN, OUTPUT);
    digitalWrite(SCL_PIN, LOW);
    pinMode(SDA_PIN, INPUT);
    delayMicroseconds(PHASE_US);
    for (i = 0; i < 8; i++) {
        digitalWrite(SCL_PIN, HIGH);
        delayMicroseconds(PHASE_US);
        Byte = (uint8_t)(Byte << 1);
        if (digitalRead(SDA_PIN) == 1) {
            Byte |= 0x01;
        }
        digitalWrite(SCL_PIN, LOW);
        delayMicroseconds(PHASE_US);
    }
    return Byte;
}

/* Ninth clock of a written byte: SDA is released and the slave has about
 * 1 ms (100 polls of 10 us) to pull it low. SDA stays driven with the last
 * data bit until it is released here, 8 us after SCL falls. A reading taken
 * after the last poll step does not count. Returns 1 on acknowledge. */
uint8_t Slave_ACK(void)
{
    uint8_t CNT = 0;

    pinMode(SCL_PIN, OUTPUT);
    digitalWrite(SCL_PIN, LOW);
    delayMicroseconds(PHASE_US);
    pinMode(SDA_PIN, INPUT);
    delayMicroseconds(PHASE_US);
    digitalWrite(SCL_PIN, HIGH);
    while (digitalRead(SDA_PIN) != LOW && CNT < ACK_POLLS) {
        delayMicroseconds(ACK_POLL_US);
        CNT++;
    }
    if (CNT < ACK_POLLS) {
        return 1;
    }
    puts("IIC slave device not ack!");
    return 0;
}

/* Acknowledge of a received byte: SDA driven LOW through the ninth clock. */
void Master_ACK(void)
{
    pinMode(SCL_PIN, OUTPUT);
    digitalWrite(SCL_PIN, LOW);
    delayMicroseconds(PHASE_US);
    pinMode(SDA_PIN, OUTPUT);
    digitalWrite(SDA_PIN, LOW);
    delayMicroseconds(PHASE_US);
    digitalWrite(SCL_PIN, HIGH);
    delayMicroseconds(PHASE_US);
}

/* Not-acknowledge after the last byte of a read: SDA driven HIGH through the
 * ninth clock, which tells the slave to stop sending. */
void Master_NACK(void)
{
    pinMode(SCL_PIN, OUTPUT);
    digitalWrite(SCL_PIN, LOW);
    delayMicroseconds(PHASE_US);
    pinMode(SDA_PIN, OUTPUT);
    digitalWrite(SDA_PIN, HIGH);
    delayMicroseconds(PHASE_US);
    digitalWrite(SCL_PIN, HIGH);
    delayMicroseconds(PHASE_US);
}
