#include "api/spi_controller.h"

#include <memory>
#include <mutex>

namespace pikit::sim::api::spi {

namespace {

constexpr int kMosi = 12, kMiso = 13, kSclk = 14;
constexpr int kCe[2] = {10, 11};

class Controller final : public Device {
public:
    Controller() : Device("bcm2835-spi", "spi controller") {}
    void attach(Board& b) override {
        b.attach(*this, kMosi, PinRole::PushPull);
        b.attach(*this, kSclk, PinRole::PushPull);
        b.attach(*this, kCe[0], PinRole::PushPull);
        b.attach(*this, kCe[1], PinRole::PushPull);
        b.attach(*this, kMiso, PinRole::Input);
    }
};

struct State {
    std::mutex m;
    std::uint64_t board = 0;
    Controller* ctl = nullptr;
} g;

Controller& controller(Board& b) {
    std::lock_guard<std::mutex> lk(g.m);
    if (g.board != b.impl_generation() || !g.ctl) {
        g.board = b.impl_generation();
        g.ctl = &b.add(std::make_unique<Controller>());
    }
    return *g.ctl;
}

void set(Board& b, Controller& c, int pin, bool high) {
    b.apply([&] { b.drive(c, pin, high ? Drive::High : Drive::Low); });
}

}  // namespace

void begin(Board& b, int mode) {
    Controller& c = controller(b);
    b.apply([&] {
        for (int pin : {kMosi, kMiso, kSclk, kCe[0], kCe[1]}) b.give_to_peripheral(pin);
        b.drive(c, kCe[0], Drive::High);
        b.drive(c, kCe[1], Drive::High);
        b.drive(c, kSclk, (mode & 2) ? Drive::High : Drive::Low);
        b.drive(c, kMosi, Drive::Low);
    });
}

void transfer(Board& b, int channel, int mode, int speed_hz, std::uint8_t* data, std::size_t len) {
    Controller& c = controller(b);
    const bool cpol = mode & 2, cpha = mode & 1;
    const Time half = static_cast<Time>(500000000.0 / (speed_hz > 0 ? speed_hz : 1));
    auto miso = [&] {
        bool v = false;
        b.apply([&] { v = is_high(b.level(kMiso)); });
        return v;
    };
    set(b, c, kSclk, cpol);
    set(b, c, kCe[channel], false);
    b.wait_for(half);
    for (std::size_t i = 0; i < len; ++i) {
        std::uint8_t in = 0;
        for (int bit = 7; bit >= 0; --bit) {
            const bool out = (data[i] >> bit) & 1;
            if (!cpha) {
                // Data out before the first edge, read on it.
                set(b, c, kMosi, out);
                b.wait_for(half);
                set(b, c, kSclk, !cpol);
                in = static_cast<std::uint8_t>(in << 1 | miso());
                b.wait_for(half);
                set(b, c, kSclk, cpol);
            } else {
                // Data out on the first edge, read on the second.
                set(b, c, kSclk, !cpol);
                set(b, c, kMosi, out);
                b.wait_for(half);
                set(b, c, kSclk, cpol);
                in = static_cast<std::uint8_t>(in << 1 | miso());
                b.wait_for(half);
            }
        }
        data[i] = in;
    }
    set(b, c, kCe[channel], true);
    b.wait_for(half);
}

}  // namespace pikit::sim::api::spi
