#include "OneWire.h"

#include <wiringPi.h>

// All zero at start-up, as a static object is.
ow_state ow;

// ROM commands.
#define OW_MATCH_ROM 0x55
#define OW_SKIP_ROM 0xCC
#define OW_SEARCH_ROM 0xF0
#define OW_ALARM_SEARCH 0xEC

void ow_begin(uint8_t pin)
{
    ow.pin = pin;
    wiringPiSetup();
    pinMode(ow.pin, INPUT);
    ow_reset_search();
}

// Reset pulse and presence detect. A device answers the end of the 480 us low
// pulse by pulling the line low itself some 15-60 us later for 60-240 us, so a
// sample 70 us after the release sees it. Before the pulse the line must have
// come up: a line that stays low (short, no pull-up, a device stuck driving)
// gets no reset pulse at all, which the caller cannot tell from an empty bus.
uint8_t ow_reset(void)
{
    uint8_t presence;
    uint8_t retries = 125;

    pinMode(ow.pin, INPUT);
    do {
        if (--retries == 0)
            return 0;
        delayMicroseconds(2);
    } while (!digitalRead(ow.pin));

    pinMode(ow.pin, OUTPUT);
    digitalWrite(ow.pin, LOW);
    delayMicroseconds(480);
    pinMode(ow.pin, INPUT);
    delayMicroseconds(70);
    presence = !digitalRead(ow.pin);
    delayMicroseconds(410);
    return presence;
}

// Write slot. The device samples 15-60 us after the falling edge: a 1 has the
// line back high by then, a 0 keeps it low through the window. The slot ends
// with the line driven high, not released, so a parasite-powered device stays
// fed until the next slot.
void ow_write_bit(uint8_t bit)
{
    pinMode(ow.pin, OUTPUT);
    digitalWrite(ow.pin, LOW);
    if (bit & 1) {
        delayMicroseconds(10);
        digitalWrite(ow.pin, HIGH);
        delayMicroseconds(55);
    } else {
        delayMicroseconds(65);
        digitalWrite(ow.pin, HIGH);
        delayMicroseconds(5);
    }
}

// Read slot: a short low pulse starts it; a device sending 0 holds the line low
// past it, for at least 15 us from the falling edge. Sampled 13 us in.
uint8_t ow_read_bit(void)
{
    uint8_t r;

    pinMode(ow.pin, OUTPUT);
    digitalWrite(ow.pin, LOW);
    delayMicroseconds(3);
    pinMode(ow.pin, INPUT);
    delayMicroseconds(10);
    r = digitalRead(ow.pin) ? 1 : 0;
    delayMicroseconds(53);
    return r;
}

void ow_write(uint8_t byte, uint8_t power)
{
    uint8_t mask;

    for (mask = 0x01; mask; mask <<= 1)
        ow_write_bit((byte & mask) ? 1 : 0);
    if (!power)
        pinMode(ow.pin, INPUT);
}

void ow_write_bytes(const uint8_t* buf, uint32_t count, bool power)
{
    uint32_t i;

    for (i = 0; i < count; i++)
        ow_write(buf[i], 1);
    if (!power)
        pinMode(ow.pin, INPUT);
}

uint8_t ow_read(void)
{
    uint8_t mask;
    uint8_t r = 0;

    for (mask = 0x01; mask; mask <<= 1)
        if (ow_read_bit())
            r |= mask;
    return r;
}

void ow_read_bytes(uint8_t* buf, uint32_t count)
{
    uint32_t i;

    for (i = 0; i < count; i++)
        buf[i] = ow_read();
}

void ow_select(const uint8_t rom[8])
{
    uint8_t i;

    ow_write(OW_MATCH_ROM, 1);
    for (i = 0; i < 8; i++)
        ow_write(rom[i], 1);
}

void ow_skip(void)
{
    ow_write(OW_SKIP_ROM, 1);
}

void ow_depower(void)
{
    pinMode(ow.pin, INPUT);
}

void ow_reset_search(void)
{
    int i;

    ow.last_discrepancy = 0;
    ow.last_device_flag = false;
    ow.last_family_discrepancy = 0;
    for (i = 7; i >= 0; i--)
        ow.rom[i] = 0;
}

// Aim the next search at a family: follow the family code's bits at every
// fork within the first byte and 0 below position 64, so a device of that
// family, if any takes part, is the first one found.
void ow_target_search(uint8_t family_code)
{
    int i;

    ow.rom[0] = family_code;
    for (i = 1; i < 8; i++)
        ow.rom[i] = 0;
    ow.last_discrepancy = 64;
    ow.last_family_discrepancy = 0;
    ow.last_device_flag = false;
}

// One search pass. At each of the 64 bit positions every device still taking
// part sends its bit, then its complement, over the wired-AND line; the master
// writes the bit it follows, and the devices that differ drop out until the
// next reset. A fork (both reads 0) is resolved by the previous pass's path
// below the last fork explored, 1 at that fork, and 0 beyond it.
bool ow_search(uint8_t* newAddr, uint8_t search_mode)
{
    uint8_t id_bit_number = 1;
    uint8_t last_zero = 0;
    uint8_t rom_byte_number = 0;
    uint8_t rom_byte_mask = 1;
    uint8_t id_bit, cmp_id_bit, search_direction;
    bool search_result = false;
    int i;

    if (!ow.last_device_flag) {
        if (!ow_reset()) {
            ow.last_discrepancy = 0;
            ow.last_device_flag = false;
            ow.last_family_discrepancy = 0;
            return false;
        }

        ow_write(search_mode ? OW_SEARCH_ROM : OW_ALARM_SEARCH, 1);

        while (rom_byte_number < 8) {
            id_bit = ow_read_bit();
            cmp_id_bit = ow_read_bit();

            // Nobody answering any more.
            if (id_bit == 1 && cmp_id_bit == 1)
                break;

            if (id_bit != cmp_id_bit) {
                search_direction = id_bit;
            } else {
                if (id_bit_number < ow.last_discrepancy)
                    search_direction = (ow.rom[rom_byte_number] & rom_byte_mask) ? 1 : 0;
                else
                    search_direction = (id_bit_number == ow.last_discrepancy) ? 1 : 0;

                if (search_direction == 0) {
                    last_zero = id_bit_number;
                    if (last_zero <= 8)
                        ow.last_family_discrepancy = last_zero;
                }
            }

            if (search_direction == 1)
                ow.rom[rom_byte_number] |= rom_byte_mask;
            else
                ow.rom[rom_byte_number] &= (uint8_t)~rom_byte_mask;

            ow_write_bit(search_direction);

            id_bit_number++;
            rom_byte_mask <<= 1;
            if (rom_byte_mask == 0) {
                rom_byte_number++;
                rom_byte_mask = 1;
            }
        }

        if (id_bit_number > 64) {
            ow.last_discrepancy = last_zero;
            if (ow.last_discrepancy == 0)
                ow.last_device_flag = true;
            search_result = true;
        }
    }

    // Family code 0 is no device: a line that reads low throughout gives it.
    if (!search_result || !ow.rom[0]) {
        ow.last_discrepancy = 0;
        ow.last_device_flag = false;
        ow.last_family_discrepancy = 0;
        return false;
    }

    for (i = 0; i < 8; i++)
        newAddr[i] = ow.rom[i];
    return true;
}
