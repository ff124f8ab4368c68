// wiringPi's C API on the simulated Pi: each call goes to the current Board.
#include <wiringPi.h>
#include <softPwm.h>
#include <softTone.h>

#include <cstdio>
#include <cstdlib>

#include "core/board.h"

using pikit::sim::Board;

namespace {
Board& board() {
    Board* b = Board::current();
    if (!b) {
        std::fputs("pikit-sim: a wiringPi call with no simulated board; a test must create a pikit::sim::Board first\n", stderr);
        std::abort();
    }
    return *b;
}
}  // namespace

extern "C" {

int wiringPiSetup(void) { return 0; }
void pinMode(int pin, int mode) { board().pin_mode(pin, mode); }
void pullUpDnControl(int pin, int pud) { board().pull_control(pin, pud); }
void digitalWrite(int pin, int value) { board().write(pin, value); }
int digitalRead(int pin) { return board().read(pin); }
void delay(unsigned int howLong) { board().delay_ms(howLong); }
void delayMicroseconds(unsigned int howLong) { board().delay_us(howLong); }
int wiringPiISR(int pin, int mode, void (*function)(void)) { return board().isr(pin, mode, function); }

int softPwmCreate(int pin, int value, int range) { return board().pwm_create(pin, value, range); }
void softPwmWrite(int pin, int value) { board().pwm_write(pin, value); }
void softPwmStop(int pin) { board().pwm_stop(pin); }

int softToneCreate(int pin) { return board().tone_create(pin); }
void softToneWrite(int pin, int freq) { board().tone_write(pin, freq); }
void softToneStop(int pin) { board().tone_stop(pin); }

}  // extern "C"
