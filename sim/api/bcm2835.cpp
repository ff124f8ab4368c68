// bcm2835's hardware I2C master on the simulated Pi. The Broadcom Serial
// Controller takes BCM 2 (SDA, wiringPi 8) and BCM 3 (SCL, wiringPi 9) as
// open-drain outputs and clocks transfers itself; here it is modelled bit by
// bit on the same simulated lines, so the bit-level I2C device models answer
// it exactly as they answer a software master.
// The library's own source wants its own names, not the delay() macros.
#define BCM2835_NO_DELAY_COMPATIBILITY
#include <bcm2835.h>

#include <algorithm>
#include <string>

#include "core/board.h"

namespace {

using namespace pikit::sim;

constexpr int kSda = 8;
constexpr int kScl = 9;

// The controller as a device on the bus: it only ever pulls a line low or
// lets it go, like every I2C participant.
class I2cController final : public Device {
public:
    I2cController() : Device("bcm2835-i2c", "i2c controller") {}
    void attach(Board& b) override {
        b.attach(*this, kSda, PinRole::OpenDrain);
        b.attach(*this, kScl, PinRole::OpenDrain);
    }
};

struct State {
    // The board the controller was added to, and the one bcm2835_init mapped,
    // by generation: a new board may be built at the address of one that is
    // gone.
    std::uint64_t board = 0;
    std::uint64_t mapped = 0;
    I2cController* ctl = nullptr;
    uint32_t baudrate = 100000;
    uint8_t address = 0;
} g;

Board& board() { return *Board::current(); }

bool ready() {
    const Board* b = Board::current();
    return b && g.board == b->impl_generation() && g.ctl != nullptr;
}

Time half_period() { return static_cast<Time>(500000000.0 / (g.baudrate ? g.baudrate : 1)); }

void set(int pin, bool high) {
    board().apply([&] { board().drive(*g.ctl, pin, high ? Drive::Release : Drive::Low); });
}

bool sample(int pin) {
    bool v = false;
    board().apply([&] { v = is_high(board().level(pin)); });
    return v;
}

void wait_half() { board().wait_for(half_period()); }

// Releases SCL and waits for it to rise; a slave may stretch the clock, but
// only for so long before the controller reports a clock-stretch timeout.
bool clock_high() {
    set(kScl, true);
    for (int i = 0; i < 64 * 2; ++i) {
        if (sample(kScl)) return true;
        wait_half();
    }
    return false;
}

// START, or with `repeated` a repeated START after a byte's ninth clock: then
// SCL has just fallen, and SDA is let go for a whole low phase of the clock
// before SCL rises again.
bool start(bool repeated) {
    set(kSda, true);
    if (repeated) wait_half();
    if (!clock_high()) return false;
    wait_half();
    set(kSda, false);
    wait_half();
    set(kScl, false);
    wait_half();
    return true;
}

// One byte out, MSB first; returns 0 ok, 1 nack, 2 clock timeout.
int write_byte(uint8_t v) {
    for (int bit = 7; bit >= 0; --bit) {
        set(kSda, (v >> bit) & 1);
        wait_half();
        if (!clock_high()) return 2;
        wait_half();
        set(kScl, false);
    }
    set(kSda, true);
    wait_half();
    if (!clock_high()) return 2;
    bool nack = sample(kSda);
    wait_half();
    set(kScl, false);
    return nack ? 1 : 0;
}

int read_byte(uint8_t& out, bool ack) {
    set(kSda, true);
    uint8_t v = 0;
    for (int bit = 7; bit >= 0; --bit) {
        wait_half();
        if (!clock_high()) return 2;
        v = static_cast<uint8_t>((v << 1) | (sample(kSda) ? 1 : 0));
        wait_half();
        set(kScl, false);
    }
    set(kSda, !ack);
    wait_half();
    if (!clock_high()) return 2;
    wait_half();
    set(kScl, false);
    set(kSda, true);
    out = v;
    return 0;
}

void stop() {
    set(kSda, false);
    wait_half();
    clock_high();
    wait_half();
    set(kSda, true);
    wait_half();
}

}  // namespace

extern "C" {

// Fails (0) when the scenario says so, as the real call does for a user
// without the rights to map the peripherals.
int bcm2835_init(void) {
    Board* b = Board::current();
    if (!b || b->options().bcm2835_init_fails) return 0;
    g.mapped = b->impl_generation();
    return 1;
}

// Like the real library, needs a successful bcm2835_init first: without the
// mapped peripherals there is no controller to start.
int bcm2835_i2c_begin(void) {
    Board* b = Board::current();
    if (!b || g.mapped != b->impl_generation() || b->options().bcm2835_i2c_begin_fails) return 0;
    if (g.board != b->impl_generation()) {
        g.board = b->impl_generation();
        g.ctl = &b->add(std::make_unique<I2cController>());
    }
    b->apply([&] {
        b->give_to_peripheral(kSda);
        b->give_to_peripheral(kScl);
    });
    return 1;
}

void bcm2835_i2c_set_baudrate(uint32_t baudrate) { g.baudrate = baudrate; }

void bcm2835_i2c_setSlaveAddress(uint8_t addr) { g.address = addr; }

uint8_t bcm2835_i2c_write_read_rs(char* cmds, uint32_t cmds_len, char* buf, uint32_t buf_len) {
    if (!ready()) return BCM2835_I2C_REASON_ERROR_DATA;
    auto finish = [](int r) -> uint8_t {
        stop();
        return r == 1 ? BCM2835_I2C_REASON_ERROR_NACK : r == 2 ? BCM2835_I2C_REASON_ERROR_CLKT : BCM2835_I2C_REASON_OK;
    };
    if (!start(false)) return finish(2);
    int r = write_byte(static_cast<uint8_t>(g.address << 1));
    for (uint32_t i = 0; r == 0 && i < cmds_len; ++i) r = write_byte(static_cast<uint8_t>(cmds[i]));
    if (r != 0) return finish(r);
    if (!start(true)) return finish(2);
    r = write_byte(static_cast<uint8_t>((g.address << 1) | 1));
    for (uint32_t i = 0; r == 0 && i < buf_len; ++i) {
        uint8_t v = 0;
        r = read_byte(v, i + 1 < buf_len);
        if (r == 0) buf[i] = static_cast<char>(v);
    }
    return finish(r);
}

void bcm2835_delay(unsigned int millis) { board().delay_ms(millis); }

// bcm2835 busy-waits on the system timer below about 450 us and sleeps
// (nanosleep, with its latency) for longer waits; wiringPi's threshold is
// 100 us. A wait too long for virtual time is held to a practical forever.
void bcm2835_delayMicroseconds(uint64_t micros) {
    if (micros == 0) return;
    constexpr uint64_t kLongest = static_cast<uint64_t>(kNever / 4 / 1000);
    const Time wait = static_cast<Time>(std::min(micros, kLongest)) * 1_us;
    board().wait_for(wait + (micros >= 450 ? board().options().sleep_overrun : 0));
}

}  // extern "C"
