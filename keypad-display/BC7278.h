/*
 * BC7278 LED display and keypad controller on a three-wire serial link made
 * in software, with four digit positions numbered 0 to 3 from the left.
 *
 * The link uses the header's SPI0 pins as plain GPIO: MOSI_PIN carries data
 * to the controller, MISO_PIN data from it, and SCLK_PIN the clock, which
 * idles HIGH. Every exchange is one 16-bit frame, an address byte followed by
 * a data byte, most significant bit first; the controller takes each bit at
 * the rising clock edge and shifts its key state back at the same time. There
 * is no chip select and no acknowledge: the controller finds the start of a
 * frame from the clock having been idle, so every frame ends with a 30 ms
 * pause and frames must never be interleaved (both frame functions hold one
 * lock for the whole frame, pause included).
 *
 * Display registers hold one bit per segment, 0 = lit, 1 = dark (0xFF blanks
 * a position); bit 7 is the position's decimal point, and single segments are
 * numbered position * 8 + bit (segment 23 is the decimal point of position 2).
 * Register operations check their arguments and send nothing when one is out
 * of range; none of them returns a status.
 */
#ifndef KEYPAD_DISPLAY_BC7278_H
#define KEYPAD_DISPLAY_BC7278_H

#include <stdint.h>

#define MOSI_PIN 12
#define MISO_PIN 13
#define SCLK_PIN 14

/* Bit period in microseconds; each clock phase lasts T / 2. */
extern int T;
/* Digit-blink mask kept by ClearBit (bit d = position d blinks). */
extern uint8_t BitFlashData;

void Start_Init(void);
void BC7278_spi_write_data(uint8_t address, uint8_t data);
uint16_t BC7278_spi_read_data(uint8_t address, uint8_t data);

void SetDisplayReg(uint8_t position, uint8_t pattern);
void SetDisplaySeg(uint8_t segment, uint8_t on);
void SetSegFlash(uint8_t position, uint8_t mask);
void SetBitFlash(uint8_t mask);
void SetFlashSpeed(uint8_t speed);
void ClearAll(void);
void ClearBit(uint8_t position);

void DisplayChar(uint8_t position, uint8_t character);
void DisplayNumber(float value);
uint8_t ReadKeyValue(void);

#endif
