// wiringPi's core calls on the simulated Pi: set-up and pin numbering, pins,
// hardware PWM, delays and the clock, soft PWM and soft tone, the board.
// Interrupts and threads are in wiringpi_threads.cpp, I2C and SPI in their
// own sources.
#include <wiringPi.h>
#include <softPwm.h>
#include <softTone.h>

#include <mutex>

#include "api/front.h"
#include "api/pwm_controller.h"

using pikit::sim::Board;
using pikit::sim::Time;
namespace api = pikit::sim::api;

namespace {

Board& board() { return api::board_for("wiringPi"); }

// The pin a call of the program names, on the board's numbering: -1 (with a
// report, once) when it names no GPIO of the header.
int pin_of(Board& b, const char* call, int pin) {
    const int w = api::board_pin(pin);
    if (w < 0) {
        api::unmapped(b, call, pin);
        return -1;
    }
    api::note_pin_use(b, w);
    return w;
}

// millis() and micros() count from the set-up call, in virtual time.
struct Epoch {
    std::mutex m;
    std::uint64_t board = 0;
    Time at = 0;
} g_epoch;

int setup(api::Numbering n) {
    Board& b = board();
    api::set_numbering(n);
    std::lock_guard<std::mutex> lk(g_epoch.m);
    g_epoch.board = b.impl_generation();
    g_epoch.at = b.now();
    return 0;
}

Time since_epoch() {
    Board& b = board();
    std::lock_guard<std::mutex> lk(g_epoch.m);
    // Before any set-up, from the board's power-on.
    return b.now() - (g_epoch.board == b.impl_generation() ? g_epoch.at : 0);
}

}  // namespace

extern "C" {

int wiringPiSetup(void) { return setup(api::Numbering::WiringPi); }
int wiringPiSetupGpio(void) { return setup(api::Numbering::Bcm); }
int wiringPiSetupPhys(void) { return setup(api::Numbering::Physical); }
// On a Pi the /sys/class/gpio interface, which numbers pins as BCM does; the
// simulated Pi has one kind of GPIO access only.
int wiringPiSetupSys(void) { return setup(api::Numbering::Bcm); }

int wpiPinToGpio(int wpiPin) { return pikit::sim::bcm_of(wpiPin); }

int physPinToGpio(int physPin) {
    for (int w = 0; w < 32; ++w)
        if (pikit::sim::header_pin_of(w) == physPin && physPin > 0) return pikit::sim::bcm_of(w);
    return -1;
}

void pinMode(int pin, int mode) {
    Board& b = board();
    const int w = pin_of(b, "pinMode", pin);
    if (w < 0) return;
    switch (mode) {
    case PWM_OUTPUT:
    case PWM_MS_OUTPUT:
    case PWM_BAL_OUTPUT:
    case PWM_TONE_OUTPUT:
        if (api::pwm::channel_of(w) < 0) {
            // wiringPi leaves such a pin as it is.
            api::library_error(b, "pinMode(" + pikit::sim::pin_name(w) +
                                      ", PWM_OUTPUT): the pin has no hardware PWM (only BCM 12, 13, 18 and 19 have); "
                                      "ignored");
            return;
        }
        api::pwm::start(b, w, mode == PWM_MS_OUTPUT || mode == PWM_TONE_OUTPUT);
        return;
    case SOFT_PWM_OUTPUT: softPwmCreate(pin, 0, 100); return;
    case SOFT_TONE_OUTPUT: softToneCreate(pin); return;
    case GPIO_CLOCK:
        api::library_error(
            b, "pinMode(" + pikit::sim::pin_name(w) + ", GPIO_CLOCK): the general-purpose clocks are not simulated; ignored");
        return;
    case PM_OFF:
        // The pin is let go: back to an input, its generators stopped.
        api::pwm::stop(b, w);
        b.pwm_stop(w);
        b.tone_stop(w);
        b.pin_mode(w, INPUT);
        return;
    default: api::pwm::stop(b, w); b.pin_mode(w, mode);
    }
}

void pullUpDnControl(int pin, int pud) {
    Board& b = board();
    const int w = pin_of(b, "pullUpDnControl", pin);
    if (w >= 0) b.pull_control(w, pud);
}

void digitalWrite(int pin, int value) {
    Board& b = board();
    const int w = pin_of(b, "digitalWrite", pin);
    if (w >= 0) b.write(w, value);
}

int digitalRead(int pin) {
    Board& b = board();
    const int w = pin_of(b, "digitalRead", pin);
    return w >= 0 ? b.read(w) : LOW;
}

void pwmWrite(int pin, int value) {
    Board& b = board();
    const int w = pin_of(b, "pwmWrite", pin);
    if (w >= 0) api::pwm::write(b, w, value);
}

void pwmSetMode(int mode) { api::pwm::set_mode(board(), mode == PWM_MODE_BAL); }
void pwmSetRange(unsigned int range) { api::pwm::set_range(board(), range); }
void pwmSetClock(int divisor) { api::pwm::set_clock(board(), divisor); }

// A square wave of `freq` Hz in mark-space mode, reckoned as wiringPi does
// from the 600 kHz tick of its default clock divisor (32).
void pwmToneWrite(int pin, int freq) {
    Board& b = board();
    const int w = pin_of(b, "pwmToneWrite", pin);
    if (w < 0) return;
    if (freq == 0) {
        api::pwm::write(b, w, 0);
        return;
    }
    const int range = 600000 / freq;
    api::pwm::set_range(b, static_cast<unsigned>(range));
    api::pwm::write(b, w, range / 2);
}

void delay(unsigned int howLong) { board().delay_ms(howLong); }
void delayMicroseconds(unsigned int howLong) { board().delay_us(howLong); }

unsigned int millis(void) { return static_cast<unsigned int>(static_cast<unsigned long long>(since_epoch()) / 1000000); }
unsigned int micros(void) { return static_cast<unsigned int>(static_cast<unsigned long long>(since_epoch()) / 1000); }
unsigned long long piMicros64(void) { return static_cast<unsigned long long>(since_epoch()) / 1000; }

// The simulated Pi is a 3 Model B: board revision 2, as every Pi since the
// first Model B revision 2 reports.
int piBoardRev(void) { return 2; }

// Real-time scheduling changes nothing in virtual time, and the PC's own
// scheduling is left alone; it succeeds as it does on a Pi for root.
int piHiPri(const int pri) {
    (void)pri;
    return 0;
}

int softPwmCreate(int pin, int value, int range) {
    Board& b = board();
    const int w = pin_of(b, "softPwmCreate", pin);
    return w >= 0 ? b.pwm_create(w, value, range) : -1;
}

void softPwmWrite(int pin, int value) {
    Board& b = board();
    const int w = pin_of(b, "softPwmWrite", pin);
    if (w >= 0) b.pwm_write(w, value);
}

void softPwmStop(int pin) {
    Board& b = board();
    const int w = pin_of(b, "softPwmStop", pin);
    if (w >= 0) b.pwm_stop(w);
}

int softToneCreate(int pin) {
    Board& b = board();
    const int w = pin_of(b, "softToneCreate", pin);
    return w >= 0 ? b.tone_create(w) : -1;
}

void softToneWrite(int pin, int freq) {
    Board& b = board();
    const int w = pin_of(b, "softToneWrite", pin);
    if (w >= 0) b.tone_write(w, freq);
}

void softToneStop(int pin) {
    Board& b = board();
    const int w = pin_of(b, "softToneStop", pin);
    if (w >= 0) b.tone_stop(w);
}

}  // extern "C"
