// The EEPROM demo for a bus with the GX2431 alone on it: every transaction
// addresses it with Skip ROM, so its id is never read.
#include <stdint.h>
#include <stdio.h>

#include "GX2431.h"

const int ONE_WIRE_PIN = 27;

static void dump_memory(const uint8_t* mem)
{
    int i;

    for (i = 0; i < 128; i++) {
        if (i % 8 == 0 && i != 0)
            printf("\n");
        printf(" %d", mem[i]);
    }
    printf("\n");
}

int main(void)
{
    uint8_t mem[128];
    uint8_t tag[8] = {'<', 'V', 'e', 'x', 'o', 'r', 'a', '>'};
    int address = 0;
    bool wrote;
    int i;

    // Line-buffered even into a pipe or file: the program may be killed.
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    if (!eeprom_init(ONE_WIRE_PIN)) {
        puts("No GX2431 found on the 1-Wire bus. ");
        return 1;
    }

    eeprom_m_read(0, mem, 128);
    puts("Memory contents : ");
    dump_memory(mem);

    wrote = eeprom_m_write(address, tag, 8);
    if (wrote)
        puts("Successfully wrote data to address 0-7: 60 86 101 120 111 114 97 62 ");
    else
        puts("Failed wrote data to address 0-7! ");

    eeprom_m_read(0, mem, 128);
    puts("Reread memory contents : ");
    dump_memory(mem);

    // "Our team:" and a no-break space (UTF-8), then the first row as raw bytes.
    printf("Our team:\xC2\xA0");
    for (i = 0; i < 8; i++)
        putchar(mem[i]);
    printf("\n");
    // The memory is shown either way, but a script must be able to tell a
    // tag that did not take from one that did.
    return wrote ? 0 : 1;
}
