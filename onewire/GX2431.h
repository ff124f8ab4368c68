// Driver for the GX2431, a 1-Wire EEPROM of family 0x2D: 128 bytes of data
// memory in 16 rows of 8, written a row at a time through an 8-byte
// scratchpad (write, read back to verify, copy into the EEPROM).
#pragma once

#include <stdint.h>

#define GX2431_FAMILY 0x2D

extern uint8_t serialNumber[8];  // ROM id of the chip addressed with Match ROM
extern uint8_t skiprom;          // 1: address the chip with Skip ROM instead

uint8_t eeprom_init(uint8_t pin);
bool eeprom_begin(uint8_t* rom);
void eeprom_startTransmission(void);
void eeprom_m_read(uint32_t address, uint8_t* buf, uint32_t len);
uint8_t eeprom_read(uint32_t address);
bool eeprom_m_write(uint32_t address, const uint8_t* data, uint32_t len);
bool eeprom_write(uint32_t address, const uint8_t* data, uint32_t len);
