#include "GX2431.h"

#include <wiringPi.h>

#include "OneWire.h"
#include "crc.h"

// Memory function commands.
#define GX2431_READ_MEMORY 0xF0
#define GX2431_WRITE_SCRATCHPAD 0x0F
#define GX2431_READ_SCRATCHPAD 0xAA
#define GX2431_COPY_SCRATCHPAD 0x55
// The chip answers a completed copy with alternating ones and zeros.
#define GX2431_COPY_DONE 0xAA
// E/S after a full 8-byte scratchpad write at a row start: ending offset 7,
// neither the partial-byte nor the authorisation flag set.
#define GX2431_ES_FULL_ROW 0x07
#define GX2431_ROW_SIZE 8
#define GX2431_LAST_ADDRESS 0x7F
// Programming a row into the EEPROM takes the chip milliseconds; the line stays
// driven high meanwhile, as the chip may draw its programming current from it.
#define GX2431_PROGRAM_MS 15

uint8_t serialNumber[8];
uint8_t skiprom;

uint8_t eeprom_init(uint8_t pin)
{
    ow_begin(pin);
    skiprom = 1;
    return ow_reset();
}

// Find the chip by a search aimed at its family and take the first id found,
// if its CRC holds. From here on the chip is addressed by that id.
bool eeprom_begin(uint8_t* rom)
{
    int i;

    skiprom = 0;
    ow_target_search(GX2431_FAMILY);
    if (!ow_search(rom, 1))
        return false;
    if (crc8_r(rom, 7) != rom[7])
        return false;
    for (i = 0; i < 8; i++)
        serialNumber[i] = rom[i];
    return true;
}

void eeprom_startTransmission(void)
{
    ow_reset();
    if (skiprom)
        ow_skip();
    else
        ow_select(serialNumber);
}

void eeprom_m_read(uint32_t address, uint8_t* buf, uint32_t len)
{
    uint32_t i;

    eeprom_startTransmission();
    ow_write(GX2431_READ_MEMORY, 1);
    ow_write(address & 0xFF, 1);
    ow_write((address >> 8) & 0xFF, 1);
    for (i = 0; i < len; i++)
        buf[i] = ow_read();
    ow_depower();
}

uint8_t eeprom_read(uint32_t address)
{
    uint8_t b;

    eeprom_m_read(address, &b, 1);
    return b;
}

// Write one 8-byte row. The frame buffer is reused for the three steps:
//   write scratchpad  0x0F TA1 TA2 d0..d7
//   read scratchpad   0xAA TA1 TA2 E/S s0..s7    (as the chip holds them)
//   copy scratchpad   0x55 TA1 TA2 E/S           (the chip's own, as read back)
// When the write looks suspicious (its CRC fails or E/S is not a full row),
// the whole scratchpad is read back and compared before anything is copied;
// a row that cannot be verified is never committed to the EEPROM.
bool eeprom_m_write(uint32_t address, const uint8_t* data, uint32_t len)
{
    uint8_t frame[12];
    uint8_t crc[2];
    uint8_t attempts = 0;
    uint8_t verify = 0;
    uint32_t i;

    if (address > GX2431_LAST_ADDRESS || (address & (GX2431_ROW_SIZE - 1)) != 0)
        return false;
    // The scratchpad, the frame and the checks below all span exactly one row.
    if (len != GX2431_ROW_SIZE)
        return false;

    frame[0] = GX2431_WRITE_SCRATCHPAD;
    frame[1] = address & 0xFF;
    frame[2] = (address >> 8) & 0xFF;
    for (i = 0; i < len; i++)
        frame[3 + i] = data[i];

    eeprom_startTransmission();
    ow_write_bytes(frame, len + 3, 1);
    ow_read_bytes(crc, 2);
    if (!check_crc16(frame, len + 3, crc))
        verify = 1;

    frame[0] = GX2431_READ_SCRATCHPAD;
    for (;;) {
        eeprom_startTransmission();
        ow_write(GX2431_READ_SCRATCHPAD, 1);
        ow_read_bytes(frame + 1, 3);
        if (frame[3] != GX2431_ES_FULL_ROW)
            verify = 1;
        // A clean write needs only the copy's authorisation bytes; the rest
        // of the chip's answer is cut off by the next reset.
        if (!verify)
            break;

        ow_read_bytes(frame + 4, len);
        ow_read_bytes(crc, 2);
        if (check_crc16(frame, 12, crc)) {
            if ((uint32_t)frame[2] * 256 + frame[1] != address)
                return false;
            if (frame[3] != GX2431_ES_FULL_ROW)
                return false;
            for (i = 0; i < len; i++)
                if (frame[4 + i] != data[i])
                    return false;
            break;
        }
        // What came back could not be read intact: try once more, then give
        // up rather than copy a scratchpad nobody has seen.
        if (++attempts >= 2)
            return false;
    }

    frame[0] = GX2431_COPY_SCRATCHPAD;
    eeprom_startTransmission();
    ow_write_bytes(frame, 4, 1);
    delay(GX2431_PROGRAM_MS);
    return ow_read() == GX2431_COPY_DONE;
}

bool eeprom_write(uint32_t address, const uint8_t* data, uint32_t len)
{
    bool r = eeprom_m_write(address, data, len);

    ow_depower();
    return r;
}
