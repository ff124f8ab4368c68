// wiringPi's shift routines: each bit is a data write and a clock pulse (or a
// clock edge and a read), made of the library's own pin calls, with no wait
// between them: the pulse is as long as a pin call takes, as on a Pi.
// Kept out of the kit's own programs, two of which define a shiftOut of their
// own with these very name and arguments.
#include <wiringPi.h>
#include <wiringShift.h>

extern "C" {

uint8_t shiftIn(uint8_t dPin, uint8_t cPin, uint8_t order) {
    uint8_t value = 0;
    if (order == MSBFIRST) {
        for (int i = 7; i >= 0; --i) {
            digitalWrite(cPin, HIGH);
            value = static_cast<uint8_t>(value | digitalRead(dPin) << i);
            digitalWrite(cPin, LOW);
        }
    } else {
        for (int i = 0; i < 8; ++i) {
            digitalWrite(cPin, HIGH);
            value = static_cast<uint8_t>(value | digitalRead(dPin) << i);
            digitalWrite(cPin, LOW);
        }
    }
    return value;
}

void shiftOut(uint8_t dPin, uint8_t cPin, uint8_t order, uint8_t val) {
    if (order == MSBFIRST) {
        for (int i = 7; i >= 0; --i) {
            digitalWrite(dPin, val & (1 << i));
            digitalWrite(cPin, HIGH);
            digitalWrite(cPin, LOW);
        }
    } else {
        for (int i = 0; i < 8; ++i) {
            digitalWrite(dPin, val & (1 << i));
            digitalWrite(cPin, HIGH);
            digitalWrite(cPin, LOW);
        }
    }
}

}  // extern "C"
