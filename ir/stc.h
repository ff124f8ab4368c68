/*
 * The infrared co-processor board: a board with its own infrared receiver and
 * microcontroller that decodes remote-control frames itself and offers what
 * it found as 16-bit registers on the I2C bus, at 7-bit address 0x2D. Read
 * through the Pi's hardware I2C controller (bcm2835 library).
 *
 * Registers, each read as two bytes, high byte first:
 *   0  read by stc_mic
 *   2  read by stc_sr
 *   4  read by stc_ir: the code of the remote key, 0 when there is none
 */
#ifndef IR_STC_H
#define IR_STC_H

#include <stdint.h>

extern int stc_adr;

/* Maps the peripherals and starts the I2C controller at 100 kHz. 0 when it
 * is ready, 255 after printing why it is not. */
uint8_t stc_init(void);

/* One register as one combined transfer: the register number written, then
 * a repeated start and two bytes read. Bytes the board does not send read as
 * 0, so a board that does not answer reads as 0. */
int readi2c(uint8_t reg);

int stc_mic(void);
int stc_sr(void);
int stc_ir(void);

#endif
