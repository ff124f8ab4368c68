// 1-Wire bus master bit-banged on one GPIO line, and the ROM search that
// enumerates the devices on it.
//
// The line is open-drain with a pull-up resistor: the master either releases
// it (pin as input, the resistor pulls it high), pulls it low, or drives it
// high to feed a parasite-powered device between slots. Bytes travel least
// significant bit first. Timing comes only from fixed busy delays; nothing
// compensates for the time the GPIO calls take.
#pragma once

#include <stdint.h>

// The one bus of the program: its pin and the state of the ROM search.
struct ow_state {
    uint8_t pin;                      // wiringPi pin number of the bus line
    uint8_t rom[8];                   // search path: family code first, CRC byte last
    uint8_t last_discrepancy;         // bit position (1-64) the next search turns to 1; 0 = start afresh
    uint8_t last_family_discrepancy;  // the same, when within the family code (1-8)
    bool last_device_flag;            // the last device of the enumeration has been reported
};

extern ow_state ow;

// Link: reset and presence, time slots, bytes, ROM commands.
void ow_begin(uint8_t pin);
uint8_t ow_reset(void);
void ow_write_bit(uint8_t bit);
uint8_t ow_read_bit(void);
void ow_write(uint8_t byte, uint8_t power);
void ow_write_bytes(const uint8_t* buf, uint32_t count, bool power);
uint8_t ow_read(void);
void ow_read_bytes(uint8_t* buf, uint32_t count);
void ow_select(const uint8_t rom[8]);
void ow_skip(void);
void ow_depower(void);

// ROM search: one device per call, in ascending order of the ids read bit by
// bit from the family code's least significant bit on.
void ow_reset_search(void);
void ow_target_search(uint8_t family_code);
bool ow_search(uint8_t* newAddr, uint8_t search_mode);
