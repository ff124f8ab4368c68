#include "api/pwm_controller.h"

#include <memory>
#include <mutex>

#include "api/front.h"

namespace pikit::sim::api::pwm {

namespace {

// One tick of the 19.2 MHz oscillator is 625/12 ns; times are kept as tick
// counts from the channel's start, so they never drift.
constexpr std::int64_t kOscNumerator = 625;
constexpr std::int64_t kOscDenominator = 12;

class Controller final : public Device {
public:
    Controller() : Device("bcm2835-pwm", "pwm controller") {}
    void attach(Board&) override {}

    struct Channel {
        unsigned data = 0;
        bool on = false;            // some pin of it has the PWM function
        Time origin = 0;            // tick 0 of the current run
        std::int64_t tick = 0;      // the tick the next step happens at
        std::uint64_t context = 0;  // balanced mode's running sum
        Board::EventId next = 0;
    };
    Channel ch[2];
    bool pin_on[32] = {};
    bool attached[32] = {};
    bool balanced = true;
    unsigned range = 1024;
    int divisor = 32;

    Time at(const Channel& c, std::int64_t tick) const { return c.origin + tick * divisor * kOscNumerator / kOscDenominator; }
    Time period() const { return static_cast<Time>(range) * divisor * kOscNumerator / kOscDenominator; }

    void announce(int channel) {
        Waveform w;
        w.kind = Waveform::Kind::Hardware;
        w.value = static_cast<int>(std::min<unsigned>(ch[channel].data, range));
        w.range = static_cast<int>(range);
        w.period = period();
        w.balanced = balanced;
        for (int p = 0; p < 32; ++p)
            if (pin_on[p] && channel_of(p) == channel) board()->set_peripheral_waveform(p, w);
    }

    void drive(int channel, bool high) {
        for (int p = 0; p < 32; ++p)
            if (pin_on[p] && channel_of(p) == channel) board()->drive(*this, p, high ? Drive::High : Drive::Low);
    }

    // The output from `tick` on, and for how many ticks it stays so.
    std::int64_t run(Channel& c, bool& high) {
        const std::uint64_t n = std::min<unsigned>(c.data, range), m = range;
        if (n == 0 || n >= m) {  // flat: looked at again each period
            high = n != 0;
            return static_cast<std::int64_t>(m - static_cast<std::uint64_t>(c.tick) % m);
        }
        if (!balanced) {
            const std::uint64_t k = static_cast<std::uint64_t>(c.tick) % m;
            high = k < n;
            return static_cast<std::int64_t>(high ? n - k : m - k);
        }
        // Balanced: each tick adds `data` to a running sum; a tick whose sum
        // reaches `range` is HIGH and takes `range` off again.
        std::int64_t length = 0;
        bool first = false;
        for (;;) {
            const bool bit = c.context + n >= m;
            if (length == 0) first = bit;
            else if (bit != first) break;
            c.context = bit ? c.context + n - m : c.context + n;
            ++length;
        }
        high = first;
        return length;
    }

    void step(int channel) {
        Channel& c = ch[channel];
        c.next = 0;
        if (!c.on) return;
        bool high = false;
        const std::int64_t length = run(c, high);
        drive(channel, high);
        c.tick += length;
        c.next = board()->schedule(at(c, c.tick), [this, channel] { step(channel); });
    }

    // A setting changed: the channel carries on from its next tick with it.
    void restart(int channel, bool from_zero) {
        Channel& c = ch[channel];
        if (c.next) board()->cancel(c.next);
        c.next = 0;
        if (!c.on) return;
        const Time now = board()->now();
        if (from_zero) {
            c.origin = now;
            c.tick = 0;
            c.context = 0;
        } else {
            // The first tick boundary at or after now.
            const std::int64_t per = static_cast<std::int64_t>(divisor) * kOscNumerator;
            c.tick = ((now - c.origin) * kOscDenominator + per - 1) / per;
            if (!balanced) c.context = 0;
        }
        announce(channel);
        if (at(c, c.tick) <= now) step(channel);
        else c.next = board()->schedule(at(c, c.tick), [this, channel] { step(channel); });
    }
    void restart_all(bool from_zero) {
        for (int i = 0; i < 2; ++i) restart(i, from_zero);
    }
};

struct State {
    std::mutex m;
    std::uint64_t board = 0;
    Controller* ctl = nullptr;
    std::uint32_t pins = 0;  // pins with the PWM function, for a look without the board lock
} g;

void note_pin(int pin, bool on) {
    std::lock_guard<std::mutex> lk(g.m);
    if (on) g.pins |= 1u << pin;
    else g.pins &= ~(1u << pin);
}

Controller& controller(Board& b) {
    std::lock_guard<std::mutex> lk(g.m);
    if (g.board != b.impl_generation() || !g.ctl) {
        g.board = b.impl_generation();
        g.pins = 0;
        g.ctl = &b.add(std::make_unique<Controller>());
    }
    return *g.ctl;
}

}  // namespace

int channel_of(int wpi_pin) {
    switch (bcm_of(wpi_pin)) {
    case 12:
    case 18: return 0;
    case 13:
    case 19: return 1;
    default: return -1;
    }
}

void start(Board& b, int pin, bool mark_space) {
    Controller& c = controller(b);
    const int channel = channel_of(pin);
    std::string refused;
    b.apply(
        [&] {
            if (!c.attached[pin]) {
                try {
                    b.attach(c, pin, PinRole::PushPull);
                } catch (const std::invalid_argument& e) {
                    refused = e.what();
                    return;
                }
                c.attached[pin] = true;
            }
            b.give_to_peripheral(pin);
            c.pin_on[pin] = true;
            c.ch[channel].on = true;
            // What wiringPi sets whenever a pin is given the PWM function.
            c.balanced = !mark_space;
            c.range = 1024;
            c.divisor = 32;
            c.restart_all(true);
        },
        true);
    if (!refused.empty()) library_error(b, "pinMode(" + pin_name(pin) + ", PWM_OUTPUT) refused: " + refused);
    else note_pin(pin, true);
}

bool stop(Board& b, int pin) {
    if (channel_of(pin) < 0) return false;
    {
        // Nothing to do (and no call to make) before the controller is used.
        std::lock_guard<std::mutex> lk(g.m);
        if (g.board != b.impl_generation() || !(g.pins >> pin & 1u)) return false;
    }
    Controller& c = controller(b);
    bool had = false;
    b.apply([&] {
        if (pin < 0 || pin >= 32 || !c.pin_on[pin]) return;
        had = true;
        c.pin_on[pin] = false;
        b.drive(c, pin, Drive::Release);
        b.set_peripheral_waveform(pin, Waveform{});
        const int channel = channel_of(pin);
        bool any = false;
        for (int p = 0; p < 32; ++p) any = any || (c.pin_on[p] && channel_of(p) == channel);
        if (!any) {
            c.ch[channel].on = false;
            c.restart(channel, false);
        }
    });
    note_pin(pin, false);
    return had;
}

void write(Board& b, int pin, int value) {
    const int channel = channel_of(pin);
    if (channel < 0) {
        library_error(b, "pwmWrite(" + pin_name(pin) +
                             "): the pin has no hardware PWM (only BCM 12, 13, 18 and 19 "
                             "have); ignored");
        return;
    }
    Controller& c = controller(b);
    b.apply(
        [&] {
            // The data register takes the value as an unsigned number, as on a Pi:
            // anything from the range up keeps the line HIGH.
            c.ch[channel].data = static_cast<unsigned>(value);
            c.restart(channel, false);
        },
        true);
}

void set_mode(Board& b, bool balanced) {
    Controller& c = controller(b);
    b.apply(
        [&] {
            c.balanced = balanced;
            c.restart_all(false);
        },
        true);
}

void set_range(Board& b, unsigned range) {
    if (range == 0) {
        library_error(b, "pwmSetRange(0): a period needs at least one tick; ignored");
        return;
    }
    Controller& c = controller(b);
    b.apply(
        [&] {
            c.range = range;
            c.restart_all(false);
        },
        true);
}

void set_clock(Board& b, int divisor) {
    // The clock manager's divisor field has 12 bits, as wiringPi masks it.
    divisor &= 4095;
    if (divisor < 1) {
        library_error(b, "pwmSetClock: a divisor of 0 stops the PWM clock; ignored");
        return;
    }
    Controller& c = controller(b);
    b.apply(
        [&] {
            c.divisor = divisor;
            c.restart_all(true);
        },
        true);
}

double tick_rate(Board& b) { return 19.2e6 / controller(b).divisor; }

}  // namespace pikit::sim::api::pwm
