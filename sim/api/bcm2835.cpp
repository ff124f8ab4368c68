// bcm2835 on the simulated Pi: its I2C master (the Pi's I2C controller,
// shared with wiringPi's I2C helpers) and its delays.
// The library's own source wants its own names, not the delay() macros.
#define BCM2835_NO_DELAY_COMPATIBILITY
#include <bcm2835.h>

#include <algorithm>
#include <mutex>

#include "api/front.h"
#include "api/i2c_controller.h"

namespace {

using namespace pikit::sim;
namespace i2c = pikit::sim::api::i2c;

struct State {
    std::mutex m;
    // The board bcm2835_init mapped and the one whose controller
    // bcm2835_i2c_begin started, by generation: a new board may be built at
    // the address of one that is gone.
    std::uint64_t mapped = 0;
    std::uint64_t begun = 0;
    std::uint8_t address = 0;
} g;

Board& board() { return api::board_for("bcm2835"); }

bool mapped(const Board& b) {
    std::lock_guard<std::mutex> lk(g.m);
    return g.mapped == b.impl_generation();
}

bool begun(const Board& b) {
    std::lock_guard<std::mutex> lk(g.m);
    return g.begun == b.impl_generation();
}

std::uint8_t reason(i2c::Result r) {
    switch (r) {
    case i2c::Result::Ok: return BCM2835_I2C_REASON_OK;
    case i2c::Result::Nack: return BCM2835_I2C_REASON_ERROR_NACK;
    case i2c::Result::ClockTimeout: return BCM2835_I2C_REASON_ERROR_CLKT;
    }
    return BCM2835_I2C_REASON_ERROR_DATA;
}

std::uint8_t address() {
    std::lock_guard<std::mutex> lk(g.m);
    return g.address;
}

}  // namespace

extern "C" {

// Fails (0) when the scenario says so, as the real call does for a user
// without the rights to map the peripherals.
int bcm2835_init(void) {
    Board& b = board();
    if (b.options().bcm2835_init_fails) return 0;
    std::lock_guard<std::mutex> lk(g.m);
    g.mapped = b.impl_generation();
    return 1;
}

int bcm2835_close(void) {
    Board& b = board();
    std::lock_guard<std::mutex> lk(g.m);
    if (g.mapped == b.impl_generation()) g.mapped = 0;
    return 1;
}

// Like the real library, needs a successful bcm2835_init first: without the
// mapped peripherals there is no controller to start.
int bcm2835_i2c_begin(void) {
    Board& b = board();
    if (!mapped(b) || b.options().bcm2835_i2c_begin_fails) return 0;
    i2c::begin(b);
    std::lock_guard<std::mutex> lk(g.m);
    g.begun = b.impl_generation();
    return 1;
}

void bcm2835_i2c_end(void) {
    Board& b = board();
    if (!begun(b)) return;
    i2c::end(b);
    std::lock_guard<std::mutex> lk(g.m);
    g.begun = 0;
}

void bcm2835_i2c_set_baudrate(uint32_t baudrate) { i2c::set_baudrate(board(), baudrate); }

// The controller's clock is the 250 MHz core clock divided by this.
void bcm2835_i2c_setClockDivider(uint16_t divider) {
    i2c::set_baudrate(board(), divider ? 250000000u / divider : 250000000u / 32768u);
}

void bcm2835_i2c_setSlaveAddress(uint8_t addr) {
    std::lock_guard<std::mutex> lk(g.m);
    g.address = addr;
}

uint8_t bcm2835_i2c_write(const char* buf, uint32_t len) {
    Board& b = board();
    if (!begun(b)) return BCM2835_I2C_REASON_ERROR_DATA;
    return reason(i2c::transfer(b, address(), reinterpret_cast<const std::uint8_t*>(buf), len, nullptr, 0));
}

uint8_t bcm2835_i2c_read(char* buf, uint32_t len) {
    Board& b = board();
    if (!begun(b)) return BCM2835_I2C_REASON_ERROR_DATA;
    static char none;
    return reason(i2c::transfer(b, address(), nullptr, 0, reinterpret_cast<std::uint8_t*>(buf ? buf : &none), len));
}

uint8_t bcm2835_i2c_read_register_rs(char* regaddr, char* buf, uint32_t len) {
    return bcm2835_i2c_write_read_rs(regaddr, 1, buf, len);
}

// START, address+W, `cmds`, repeated START, address+R, `buf_len` bytes, STOP.
// Bytes not received are left as they were in `buf`.
uint8_t bcm2835_i2c_write_read_rs(char* cmds, uint32_t cmds_len, char* buf, uint32_t buf_len) {
    Board& b = board();
    if (!begun(b)) return BCM2835_I2C_REASON_ERROR_DATA;
    static char none;  // both phases happen, however short
    return reason(i2c::transfer(b, address(), reinterpret_cast<const std::uint8_t*>(cmds ? cmds : &none), cmds_len,
                                reinterpret_cast<std::uint8_t*>(buf ? buf : &none), buf_len));
}

void bcm2835_delay(unsigned int millis) { board().delay_ms(millis); }

// bcm2835 busy-waits on the system timer below about 450 us and sleeps
// (nanosleep, with its latency) for longer waits; wiringPi's threshold is
// 100 us. A wait too long for virtual time is held to a practical forever.
void bcm2835_delayMicroseconds(uint64_t micros) {
    if (micros == 0) return;
    Board& b = board();
    constexpr uint64_t kLongest = static_cast<uint64_t>(kNever / 4 / 1000);
    const Time wait = static_cast<Time>(std::min(micros, kLongest)) * 1_us;
    b.wait_for(wait + (micros >= 450 ? b.options().sleep_overrun : 0));
}

}  // extern "C"
