/*
 * BC7278 link, registers, digits and key read. Timing comes only from
 * delayMicroseconds() and delay(); the GPIO calls add a little to every phase
 * and nothing compensates for that.
 */
#include "BC7278.h"

#include <wiringPi.h>

#include <atomic>

int T = 100;
uint8_t BitFlashData = 0;

/* Register addresses. */
#define REG_SEG_FLASH 0x10 /* 0x10-0x13: segment blink of position 0-3 */
#define REG_BIT_FLASH 0x18 /* digit blink, bit d = position d */
#define REG_FLASH_SPEED 0x1A
#define REG_DECODE 0x1B  /* high nibble position, low nibble character */
#define REG_SEGMENT 0x1C /* bits 6-0 segment number, bit 7 set = dark */
#define REG_ALL 0x1D     /* pattern for every position */
#define REG_KEY 0xFF     /* key read, sent with data 0xFF */

/*
 * One frame on the lines at a time. The key interrupt handler reads the keys
 * on its own thread while the main loop may be writing the display, and both
 * drive the same clock and data pins. A frame takes a ticket when it starts
 * and runs when its number comes up, so frames go out in the order they were
 * asked for: a key read waits for at most the one display frame in progress,
 * and a number update lets a key read in between two of its frames.
 *
 * A waiter sleeps one bit period at a time rather than blocking on a mutex.
 * A plain mutex keeps no order: the main loop, writing four digits in a row,
 * could take it back at once each time and hold a key read off for a whole
 * number update. Checking the ticket once per bit period costs nothing worth
 * having back, since a frame holds the lines for more than 30 ms; and a
 * wiringPi delay of 100 us or more sleeps, so a waiter never takes the
 * processor from the frame in progress, whose clock phases on a single-core
 * Pi (Zero, 1) would otherwise stretch.
 */
static std::atomic<unsigned> next_ticket{0};
static std::atomic<unsigned> now_serving{0};

static void BC7278_spi_lock(void)
{
    const unsigned ticket = next_ticket.fetch_add(1);
    while (now_serving.load() != ticket)
        delayMicroseconds(T);
}

static void BC7278_spi_unlock(void)
{
    now_serving.fetch_add(1);
}

/* Sets the data line from bit 15 of the word while the clock is still high,
 * then one clock pulse: the controller takes the bit at the rising edge and
 * puts its own next bit out at the falling edge. Ends with the clock high. */
static void BC7278_spi_clock_bit(uint16_t word)
{
    digitalWrite(MOSI_PIN, (word & 0x8000) ? HIGH : LOW);
    digitalWrite(SCLK_PIN, LOW);
    delayMicroseconds(T / 2);
    digitalWrite(SCLK_PIN, HIGH);
    delayMicroseconds(T / 2);
}

void Start_Init(void)
{
    pinMode(MOSI_PIN, OUTPUT);
    pinMode(MISO_PIN, INPUT);
    pinMode(SCLK_PIN, OUTPUT);
    digitalWrite(SCLK_PIN, HIGH); /* the clock idles high */
}

/* Write frame: half a bit period of idle clock first, then the 16 bits, then
 * the 30 ms pause by which the controller tells this frame from the next. */
void BC7278_spi_write_data(uint8_t address, uint8_t data)
{
    uint16_t word = (uint16_t)(address * 256 + data);
    int i;

    BC7278_spi_lock();
    delayMicroseconds(T / 2);
    for (i = 0; i < 16; i++) {
        BC7278_spi_clock_bit(word);
        word = (uint16_t)(word << 1);
    }
    delay(30);
    BC7278_spi_unlock();
}

/* Read frame: the same 16 clocks with no lead-in. The controller's bit is
 * sampled at the end of each high phase, just before the next falling edge;
 * the first bit received ends up in bit 15. */
uint16_t BC7278_spi_read_data(uint8_t address, uint8_t data)
{
    uint16_t word = (uint16_t)(address * 256 + data);
    uint16_t reply = 0;
    int i;

    BC7278_spi_lock();
    for (i = 0; i < 16; i++) {
        BC7278_spi_clock_bit(word);
        reply = (uint16_t)(reply << 1);
        if (digitalRead(MISO_PIN))
            reply |= 1;
        word = (uint16_t)(word << 1);
    }
    delay(30);
    BC7278_spi_unlock();
    return reply;
}

void SetDisplayReg(uint8_t position, uint8_t pattern)
{
    if (position <= 3)
        BC7278_spi_write_data(position, pattern);
}

/* on = 1 lights the segment, on = 0 darkens it (bit 7 of the data set). */
void SetDisplaySeg(uint8_t segment, uint8_t on)
{
    if (on > 1)
        return;
    BC7278_spi_write_data(REG_SEGMENT, (uint8_t)(segment + 128 * (1 - on)));
}

void SetSegFlash(uint8_t position, uint8_t mask)
{
    if (position <= 3)
        BC7278_spi_write_data((uint8_t)(REG_SEG_FLASH + position), mask);
}

void SetBitFlash(uint8_t mask)
{
    if (mask <= 15)
        BC7278_spi_write_data(REG_BIT_FLASH, mask);
}

/* The controller takes the speed complemented. */
void SetFlashSpeed(uint8_t speed)
{
    BC7278_spi_write_data(REG_FLASH_SPEED, speed ^ 0xFF);
}

/* Blanks every position and stops all blinking (about 190 ms: six frames). */
void ClearAll(void)
{
    uint8_t p;

    BC7278_spi_write_data(REG_ALL, 0xFF);
    SetBitFlash(0);
    for (p = 0; p < 4; p++)
        SetSegFlash(p, 0);
}

/* Blanks one position and stops it blinking, keeping the other positions'
 * digit blink as BitFlashData has it. */
void ClearBit(uint8_t position)
{
    SetDisplayReg(position, 0xFF);
    if (position < 8) /* BitFlashData has no bit for higher positions */
        BitFlashData &= (uint8_t) ~(1u << position);
    SetBitFlash(BitFlashData);
    SetSegFlash(position, 0);
}

/* One of the controller's sixteen built-in characters (0-9, A, b, C, d, E, F);
 * the decode leaves the position's decimal point as it is. */
void DisplayChar(uint8_t position, uint8_t character)
{
    if (position <= 3 && character <= 15)
        BC7278_spi_write_data(REG_DECODE, (uint8_t)(position * 16 + character));
}

/*
 * Shows a value with one decimal place: hundreds, tens, units with the
 * decimal point lit, tenths. The tenfold value is truncated, not rounded
 * (12.34 shows as 12.3). Leading positions are blanked, but the units always
 * show a digit. Values above 999.9 are not shown; neither is a NaN or a value
 * whose tenfold does not fit an int, which could not be converted at all.
 * Negative values are not supported: their digits other than 0 are not
 * characters the controller has, so those positions keep what they showed.
 * Takes 5, 7 or 9 frames, about 31.65 ms each.
 */
void DisplayNumber(float value)
{
    float tenfold;
    int n;

    if ((double)value > 999.9)
        return;
    tenfold = value * 10.0f;
    /* At most 9999 here; this refuses a NaN and anything below INT_MIN. */
    if (!(tenfold >= -2147483648.0f))
        return;
    n = (int)tenfold;

    SetDisplaySeg(23, 1); /* decimal point of position 2 */
    if (n >= 1000 || n <= -1000) {
        DisplayChar(0, (uint8_t)(n / 1000));
        DisplayChar(1, (uint8_t)((n % 1000) / 100));
        DisplayChar(2, (uint8_t)((n % 100) / 10));
        DisplayChar(3, (uint8_t)(n % 10));
    } else if (n % 1000 >= 100 || n % 1000 <= -100) {
        ClearBit(0);
        DisplayChar(1, (uint8_t)((n % 1000) / 100));
        DisplayChar(2, (uint8_t)((n % 100) / 10));
        DisplayChar(3, (uint8_t)(n % 10));
    } else {
        ClearBit(0);
        ClearBit(1);
        DisplayChar(2, (uint8_t)((n % 100) / 10));
        DisplayChar(3, (uint8_t)(n % 10));
    }
}

/* The controller answers a key read with its key state, active low: the key
 * value (1-31) is in bits 15-11 of the complement; 0xFFFF means no key. */
uint8_t ReadKeyValue(void)
{
    return (uint8_t)((BC7278_spi_read_data(REG_KEY, 0xFF) ^ 0xFFFF) >> 11);
}
