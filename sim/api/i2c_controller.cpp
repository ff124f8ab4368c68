#include "api/i2c_controller.h"

#include <memory>
#include <mutex>

namespace pikit::sim::api::i2c {

namespace {

constexpr int kSda = 8;
constexpr int kScl = 9;

// The controller as a device on the bus: it only ever pulls a line low or
// lets it go, like every I2C participant.
class Controller final : public Device {
public:
    Controller() : Device("bcm2835-i2c", "i2c controller") {}
    void attach(Board& b) override {
        b.attach(*this, kSda, PinRole::OpenDrain);
        b.attach(*this, kScl, PinRole::OpenDrain);
    }
};

struct State {
    std::mutex m;
    // The board the controller was added to, by generation: a new board may
    // be built at the address of one that is gone.
    std::uint64_t board = 0;
    Controller* ctl = nullptr;
    std::uint32_t baudrate = 100000;
} g;

Controller& controller(Board& b) {
    std::lock_guard<std::mutex> lk(g.m);
    if (g.board != b.impl_generation() || !g.ctl) {
        g.board = b.impl_generation();
        g.baudrate = 100000;
        g.ctl = &b.add(std::make_unique<Controller>());
    }
    return *g.ctl;
}

// One transfer's bit-level work, on the calling program thread.
struct Bus {
    Board& b;
    Controller& ctl;
    Time half;

    void set(int pin, bool high) {
        b.apply([&] { b.drive(ctl, pin, high ? Drive::Release : Drive::Low); });
    }
    bool sample(int pin) {
        bool v = false;
        b.apply([&] { v = is_high(b.level(pin)); });
        return v;
    }
    void wait_half() { b.wait_for(half); }

    // Releases SCL and waits for it to rise; a slave may stretch the clock,
    // but only for so long before the controller gives up (its clock-stretch
    // timeout).
    bool clock_high() {
        set(kScl, true);
        for (int i = 0; i < 64 * 2; ++i) {
            if (sample(kScl)) return true;
            wait_half();
        }
        return false;
    }

    // START, or with `repeated` a repeated START after a byte's ninth clock:
    // then SCL has just fallen, and SDA is let go for a whole low phase of
    // the clock before SCL rises again.
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

    // One byte out, MSB first.
    Result write_byte(std::uint8_t v) {
        for (int bit = 7; bit >= 0; --bit) {
            set(kSda, (v >> bit) & 1);
            wait_half();
            if (!clock_high()) return Result::ClockTimeout;
            wait_half();
            set(kScl, false);
        }
        set(kSda, true);
        wait_half();
        if (!clock_high()) return Result::ClockTimeout;
        const bool nack = sample(kSda);
        wait_half();
        set(kScl, false);
        return nack ? Result::Nack : Result::Ok;
    }

    Result read_byte(std::uint8_t& out, bool ack) {
        set(kSda, true);
        std::uint8_t v = 0;
        for (int bit = 7; bit >= 0; --bit) {
            wait_half();
            if (!clock_high()) return Result::ClockTimeout;
            v = static_cast<std::uint8_t>((v << 1) | (sample(kSda) ? 1 : 0));
            wait_half();
            set(kScl, false);
        }
        set(kSda, !ack);
        wait_half();
        if (!clock_high()) return Result::ClockTimeout;
        wait_half();
        set(kScl, false);
        set(kSda, true);
        out = v;
        return Result::Ok;
    }

    void stop() {
        set(kSda, false);
        wait_half();
        clock_high();
        wait_half();
        set(kSda, true);
        wait_half();
    }
};

}  // namespace

void begin(Board& b) {
    controller(b);
    b.apply([&] {
        b.give_to_peripheral(kSda);
        b.give_to_peripheral(kScl);
    });
}

void end(Board& b) {
    Controller& ctl = controller(b);
    b.apply([&] {
        b.drive(ctl, kSda, Drive::Release);
        b.drive(ctl, kScl, Drive::Release);
    });
}

void set_baudrate(Board& b, std::uint32_t hz) {
    controller(b);
    std::lock_guard<std::mutex> lk(g.m);
    g.baudrate = hz;
}

std::uint32_t baudrate(Board& b) {
    controller(b);
    std::lock_guard<std::mutex> lk(g.m);
    return g.baudrate;
}

Result transfer(Board& b, std::uint8_t address, const std::uint8_t* out, std::size_t out_len, std::uint8_t* in,
                std::size_t in_len, std::size_t* in_done) {
    Controller& ctl = controller(b);
    const std::uint32_t hz = baudrate(b);
    Bus bus{b, ctl, static_cast<Time>(500000000.0 / (hz ? hz : 1))};
    if (in_done) *in_done = 0;
    auto finish = [&](Result r) {
        bus.stop();
        return r;
    };
    const bool read_phase = in != nullptr;
    if (!bus.start(false)) return finish(Result::ClockTimeout);
    Result r = Result::Ok;
    if (out != nullptr || !read_phase) {
        r = bus.write_byte(static_cast<std::uint8_t>(address << 1));
        for (std::size_t i = 0; r == Result::Ok && i < out_len; ++i) r = bus.write_byte(out[i]);
        if (r != Result::Ok || !read_phase) return finish(r);
        if (!bus.start(true)) return finish(Result::ClockTimeout);
    }
    r = bus.write_byte(static_cast<std::uint8_t>((address << 1) | 1));
    for (std::size_t i = 0; r == Result::Ok && i < in_len; ++i) {
        std::uint8_t v = 0;
        r = bus.read_byte(v, i + 1 < in_len);
        if (r == Result::Ok) {
            in[i] = v;
            if (in_done) *in_done = i + 1;
        }
    }
    return finish(r);
}

}  // namespace pikit::sim::api::i2c
