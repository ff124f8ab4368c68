// The lines of the simulated header: what each pin's master mode, latch and
// pulls and the attached devices make of the level, contention when drivers
// disagree, edges handed to devices and interrupt threads in the order they
// happen, soft PWM and soft tone as waveforms of scheduled edges, and the
// reports of the run.
#include <algorithm>
#include <utility>

#include "board_impl.h"

namespace pikit::sim {

namespace {
// wiringPi pin -> BCM GPIO and physical header pin (40-pin header).
constexpr int kBcm[kPins] = {17, 18, 27, 22, 23, 24, 25, 4,  2,  3,  8,  7,  10, 9,  11, 14,
                             15, -1, -1, -1, -1, 5,  6,  13, 19, 26, 12, 16, 20, 21, 0,  1};
constexpr int kHeader[kPins] = {11, 12, 13, 15, 16, 18, 22, 7,  3,  5,  24, 26, 19, 21, 23, 8,
                                10, -1, -1, -1, -1, 29, 31, 33, 35, 37, 32, 36, 38, 40, 27, 28};
}  // namespace

const char* to_string(ReportKind k) {
    switch (k) {
    case ReportKind::Info: return "info";
    case ReportKind::Breach: return "breach";
    case ReportKind::Contention: return "contention";
    case ReportKind::Fault: return "fault";
    case ReportKind::Error: return "error";
    }
    return "?";
}

int bcm_of(int pin) { return pin >= 0 && pin < kPins ? kBcm[pin] : -1; }
int header_pin_of(int pin) { return pin >= 0 && pin < kPins ? kHeader[pin] : -1; }

std::string pin_name(int pin) {
    if (!is_header_pin(pin)) return "wpi" + std::to_string(pin);
    return "wpi" + std::to_string(pin) + "/BCM" + std::to_string(kBcm[pin]) + "/P" + std::to_string(kHeader[pin]);
}

std::string Board::Impl::line_name(int line) const {
    if (line >= kPins && line < kPins + static_cast<int>(net_names.size()))
        return net_names[static_cast<std::size_t>(line - kPins)];
    return pin_name(line);
}

void Board::Impl::use_pin(int pin) {
    Pin& p = pins[pin];
    if (p.used) return;
    p.used = true;
    if (!vcd) return;
    if (pin >= kPins) {
        // A net "register.Q0": wire Q0 in the scope of device "register".
        const std::string& n = net_names[static_cast<std::size_t>(pin - kPins)];
        const auto dot = n.find('.');
        vcd->declare(pin, n.substr(dot + 1), n.substr(0, dot));
        return;
    }
    std::string n = pin_name(pin);
    std::replace(n.begin(), n.end(), '/', '_');
    vcd->declare(pin, n);
}

void Board::Impl::resolve(int pin) {
    Pin& p = pins[pin];
    bool dev_low = false, dev_high = false;
    const Device* low_dev = nullptr;
    const Device* high_dev = nullptr;
    for (const Attachment& a : p.attached) {
        if (a.drive == Drive::Low && !low_dev) {
            dev_low = true;
            low_dev = a.dev;
        }
        if (a.drive == Drive::High && !high_dev) {
            dev_high = true;
            high_dev = a.dev;
        }
    }
    Level level;
    bool floating = false;
    std::string fight;
    if (p.mode == kModeOutput) {
        level = p.latch;
        if (is_high(p.latch) && dev_low) {
            level = Level::Low;
            fight = "master drives HIGH, " + low_dev->label() + " pulls LOW";
        } else if (!is_high(p.latch) && dev_high) {
            fight = "master drives LOW, " + high_dev->label() + " drives HIGH";
        }
    } else if (dev_low || dev_high) {
        level = dev_low ? Level::Low : Level::High;
        if (dev_low && dev_high) fight = high_dev->label() + " drives HIGH, " + low_dev->label() + " pulls LOW";
    } else {
        Pull pull = p.external != Pull::None ? p.external : p.internal;
        floating = pull == Pull::None;
        level = pull == Pull::Up ? Level::High : Level::Low;
    }
    update_contention(pin, fight);
    if (level == p.level && floating == p.floating) return;
    bool edge = level != p.level;
    p.level = level;
    p.floating = floating;
    if (b.options_.record_history) p.history.push_back({b.now(), level, floating});
    if (vcd) vcd->change(b.now(), pin, floating ? 'z' : (is_high(level) ? '1' : '0'));
    if (edge) {
        pending_edges.emplace_back(pin, level);
        propagate();
    }
}

void Board::Impl::update_contention(int pin, const std::string& fight) {
    Pin& p = pins[pin];
    if (!fight.empty() && p.contention_start < 0) {
        p.contention_start = b.now();
        if (b.options_.record_history) {
            p.contention = static_cast<int>(contentions.size());
            contentions.push_back({pin, b.now(), kNever, fight});
        }
        add_report(ReportKind::Contention, "board", line_name(pin) + ": " + fight);
    } else if (fight.empty() && p.contention_start >= 0) {
        settle_if_over();
        if (p.contention >= 0) contentions[static_cast<std::size_t>(p.contention)].end = b.now();
        publish_contention_over(pin, p.contention_start);
        p.contention = -1;
        p.contention_start = -1;
    }
}

void Board::Impl::propagate() {
    if (propagating) return;
    propagating = true;
    while (!pending_edges.empty()) {
        auto [pin, level] = pending_edges.front();
        pending_edges.pop_front();
        for (std::size_t i = 0; i < pins[pin].attached.size(); ++i) pins[pin].attached[i].dev->on_edge(pin, level);
        if (pin < kPins) deliver_interrupt(pin, level);
    }
    propagating = false;
}

void Board::Impl::add_report(ReportKind kind, const std::string& source, const std::string& text, const Device* from) {
    settle_if_over();
    Report r{b.now(), kind, source, text};
    publish_report(r, from);
    if (b.options_.record_history) reports.push_back(std::move(r));
}

bool Board::Impl::check_pin(int pin, const char* what) {
    if (is_header_pin(pin)) return true;
    if (pin >= 0 && pin < kPins) {
        if (!pins[pin].error_reported) {
            pins[pin].error_reported = true;
            add_report(ReportKind::Error, "board",
                       std::string(what) + " on pin " + std::to_string(pin) + ", which is not on the 40-pin header");
        }
    } else {
        add_report(ReportKind::Error, "board",
                   std::string(what) + " on pin " + std::to_string(pin) + ", which is not a wiringPi pin of the header");
    }
    return false;
}

void Board::Impl::record(CallKind kind, int pin, int value) {
    if (b.options_.record_calls) calls.push_back({b.now(), kind, pin, value});
}

void Board::Impl::set_latch(int pin, Level l) {
    pins[pin].latch = l;
    resolve(pin);
}

void Board::Impl::waveform_changed(int pin) {
    for (std::size_t i = 0; i < pins[pin].attached.size(); ++i) pins[pin].attached[i].dev->on_waveform(pin);
}

void Board::Impl::pwm_period(int pin, std::uint64_t gen) {
    if (wave_gen[pin] != gen) return;
    const Waveform& w = pins[pin].wave;
    int mark = w.value, space = w.range - w.value;
    if (mark != 0) set_latch(pin, Level::High);
    if (space != 0)
        schedule(b.now() + mark * 100_us, [this, pin, gen] {
            if (wave_gen[pin] == gen) set_latch(pin, Level::Low);
        });
    schedule(b.now() + w.range * 100_us, [this, pin, gen] { pwm_period(pin, gen); });
}

void Board::Impl::tone_cycle(int pin, std::uint64_t gen) {
    if (wave_gen[pin] != gen) return;
    int freq = pins[pin].wave.freq;
    if (freq == 0) {
        schedule(b.now() + 1_ms, [this, pin, gen] { tone_cycle(pin, gen); });
        return;
    }
    Time half = (500000 / freq) * 1_us;
    set_latch(pin, Level::High);
    schedule(b.now() + half, [this, pin, gen] {
        if (wave_gen[pin] == gen) set_latch(pin, Level::Low);
    });
    schedule(b.now() + 2 * half, [this, pin, gen] { tone_cycle(pin, gen); });
}

void Board::Impl::master_output_low(int pin, bool latch_first) {
    Pin& p = pins[pin];
    use_pin(pin);
    // wiringPi's soft PWM writes LOW before making the pin an output; soft
    // tone makes it an output first. With a latch left HIGH the order shows.
    if (latch_first) {
        set_latch(pin, Level::Low);
        p.mode = kModeOutput;
        resolve(pin);
    } else {
        p.mode = kModeOutput;
        set_latch(pin, Level::Low);
    }
}

void Board::Impl::start_wave(int pin, const Waveform& w) {
    Pin& p = pins[pin];
    ++wave_gen[pin];  // ends any generator the pin had
    master_output_low(pin, w.kind == Waveform::Kind::Pwm);
    p.wave = w;
    waveform_changed(pin);
    if (w.kind == Waveform::Kind::Pwm) pwm_period(pin, wave_gen[pin]);
    else tone_cycle(pin, wave_gen[pin]);
}

void Board::Impl::stop_wave(int pin) {
    ++wave_gen[pin];
    pins[pin].wave = Waveform{};
    pins[pin].wave.since = b.now();
    set_latch(pin, Level::Low);
    waveform_changed(pin);
}

}  // namespace pikit::sim
