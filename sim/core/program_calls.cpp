// The calls the simulated libraries make for the program: pins, waits,
// interrupts, soft PWM and soft tone. Each takes the board lock and the
// clock for its duration (CallScope), but for the pin calls that change
// nothing, which try the fast path first (fast_path.h).
#include <algorithm>
#include <cerrno>
#include <string>

#include "board_impl.h"

namespace pikit::sim {

// ---- program side ----

namespace {
// Holds the board lock for one library call and gives the caller the clock.
// A signal for one of the program's handlers that lands meanwhile waits until
// the lock is let go (KitSection, destroyed last).
struct CallScope {
    KitSection kit;
    Board::Impl& im;
    std::unique_lock<std::mutex> lk;
    Board::Impl::Thread* t = nullptr;
    bool live = false;
    bool nested = false;
    explicit CallScope(Board::Impl& impl) : im(impl), lk(impl.m) {
        ++t_in_call;
        im.hold_if_ending(lk);
        if (im.finished && im.release_on_finish) return;
        if (Board::Impl::nested_call()) {
            // A signal handler's call while this thread waits in another:
            // another thread may hold the clock and call without the lock.
            nested = true;
            im.fast.revoke(lk);
            live = !im.finished;
            return;
        }
        t = im.enter(lk);
        live = !im.finished;
    }
    ~CallScope() {
        if (live && !nested && !im.finished) {
            im.advance_to(lk, im.b.now());
            im.maybe_yield(lk, t);
            im.grant_fast(lk, t);
        }
        --t_in_call;
    }
};

Level level_of(int value) { return value == 0 ? Level::Low : Level::High; }
Pull pull_of(int pud) { return pud == 2 ? Pull::Up : pud == 1 ? Pull::Down : Pull::None; }

// The locked paths of the pin calls. Kept out of line, so that the fast path
// in front of each is a leaf that saves no registers.

[[gnu::noinline]] void locked_pin_mode(Board::Impl& im, int pin, int mode) {
    CallScope c(im);
    if (!c.live) return;
    im.pin_call(c.lk);
    if (!im.check_pin(pin, "pinMode")) return;
    im.use_pin(pin);
    im.record(CallKind::PinMode, pin, mode);
    if (mode != kModeInput && mode != kModeOutput) {
        im.add_report(
            ReportKind::Error, "board",
            "pinMode(" + std::to_string(pin) + ", " + std::to_string(mode) + "): only INPUT and OUTPUT are simulated; ignored");
        return;
    }
    im.pins[pin].mode = mode;
    im.resolve(pin);
}

[[gnu::noinline]] void locked_pull_control(Board::Impl& im, int pin, int pud) {
    CallScope c(im);
    if (!c.live) return;
    im.pin_call(c.lk);
    if (!im.check_pin(pin, "pullUpDnControl")) return;
    im.use_pin(pin);
    im.record(CallKind::PullControl, pin, pud);
    im.pins[pin].internal = pull_of(pud);
    im.resolve(pin);
}

[[gnu::noinline]] void locked_write(Board::Impl& im, int pin, int value) {
    CallScope c(im);
    if (!c.live) return;
    im.pin_call(c.lk);
    if (!im.check_pin(pin, "digitalWrite")) return;
    im.use_pin(pin);
    im.record(CallKind::Write, pin, value);
    im.set_latch(pin, level_of(value));
}

[[gnu::noinline]] int locked_read(Board::Impl& im, int pin) {
    CallScope c(im);
    if (!c.live) return 0;
    im.pin_call(c.lk);
    if (!im.check_pin(pin, "digitalRead")) return 0;
    im.use_pin(pin);
    int v = is_high(im.pins[pin].level) ? 1 : 0;
    im.record(CallKind::Read, pin, v);
    return v;
}
// What a fast call did when it left the pin as it is.
enum class Fast : unsigned char { NotTaken, Done, DoneSignalWaiting };

template <class Unchanged>
Fast fast_if_unchanged(Board::Impl& im, int pin, Unchanged unchanged) {
    Time end;
    if (Board::Impl::Pin* p = im.fast_begin(pin, end)) {
        if (unchanged(*p)) return im.fast_commit(end) ? Fast::DoneSignalWaiting : Fast::Done;
        FastPath::end_call();
    }
    return Fast::NotTaken;
}

[[gnu::noinline]] int release_held_then(int value) {
    release_held();
    return value;
}
}  // namespace

// Each pin call first tries the fast path (fast_path.h): when the calling thread
// holds the clock and nothing is due, a call that changes nothing only costs
// its time. Anything else takes the lock.

void Board::pin_mode(int pin, int mode) {
    switch (fast_if_unchanged(*impl_, pin, [&](const Impl::Pin& p) { return p.mode == mode; })) {
    case Fast::Done: return;
    case Fast::DoneSignalWaiting: return release_held();
    case Fast::NotTaken: return locked_pin_mode(*impl_, pin, mode);
    }
}

void Board::pull_control(int pin, int pud) {
    switch (fast_if_unchanged(*impl_, pin, [&](const Impl::Pin& p) { return p.internal == pull_of(pud); })) {
    case Fast::Done: return;
    case Fast::DoneSignalWaiting: return release_held();
    case Fast::NotTaken: return locked_pull_control(*impl_, pin, pud);
    }
}

void Board::write(int pin, int value) {
    switch (fast_if_unchanged(*impl_, pin, [&](const Impl::Pin& p) { return p.latch == level_of(value); })) {
    case Fast::Done: return;
    case Fast::DoneSignalWaiting: return release_held();
    case Fast::NotTaken: return locked_write(*impl_, pin, value);
    }
}

int Board::read(int pin) {
    Time end;
    if (Impl::Pin* p = impl_->fast_begin(pin, end)) {
        const int v = is_high(p->level) ? 1 : 0;
        if (impl_->fast_commit(end)) return release_held_then(v);
        return v;
    }
    return locked_read(*impl_, pin);
}

void Board::wait_until(Time when) { impl_->wait(when, false); }

void Board::wait_for(Time duration) { impl_->wait(duration, true); }

void Board::apply(const std::function<void()>& fn, bool pin_call) {
    CallScope c(*impl_);
    if (!c.live) return;
    if (pin_call) impl_->pin_call(c.lk);
    fn();
}

void Board::give_to_peripheral(int pin) {
    if (!is_header_pin(pin)) return;
    impl_->use_pin(pin);
    impl_->pins[pin].mode = kModeInput;
    impl_->resolve(pin);
}

void Board::delay_ms(unsigned ms) {
    impl_->wait(add_time(static_cast<Time>(ms) * 1_ms, options_.sleep_overrun), true, CallKind::DelayMs, static_cast<int>(ms));
}

void Board::delay_us(unsigned us) {
    if (us == 0) {  // returns at once, as wiringPi's does
        KitSection kit;
        std::lock_guard<std::mutex> g(impl_->m);
        impl_->record(CallKind::DelayUs, -1, 0);
        return;
    }
    impl_->wait(add_time(static_cast<Time>(us) * 1_us, us >= 100 ? options_.sleep_overrun : 0), true, CallKind::DelayUs,
                static_cast<int>(us));
}

int Board::isr(int pin, int mode, void (*handler)()) {
    CallScope c(*impl_);
    if (!c.live) return -1;
    impl_->record(CallKind::Isr, pin, mode);
    if (options_.isr_fails) {
        impl_->add_report(ReportKind::Fault, "board", "wiringPiISR(" + std::to_string(pin) + ") fails, as the scenario asks");
        return -1;
    }
    if (!impl_->check_pin(pin, "wiringPiISR") || !handler || mode < 0 || mode > 3) return -1;
    if (impl_->isr_of[pin]) {
        impl_->add_report(ReportKind::Error, "board", "a second wiringPiISR on " + pin_name(pin) + " refused");
        return -1;
    }
    impl_->use_pin(pin);
    auto isr = std::make_unique<Impl::Isr>();
    isr->pin = pin;
    isr->mode = mode;
    isr->handler = handler;
    isr->thread = impl_->add_thread("interrupt " + pin_name(pin));
    isr->thread->st = Impl::St::Waiting;
    isr->thread->wants_edge = true;
    Impl::Isr* raw = isr.get();
    impl_->isr_of[pin] = raw;
    impl_->isrs.push_back(std::move(isr));
    Impl* im = impl_.get();
    raw->worker = std::thread([im, raw] { im->isr_loop(raw); });
    return 0;
}

int Board::pwm_create(int pin, int value, int range) {
    CallScope c(*impl_);
    if (!c.live) return -1;
    if (!impl_->check_pin(pin, "softPwmCreate")) return -1;
    Impl::Pin& p = impl_->pins[pin];
    if (p.wave.kind == Waveform::Kind::Pwm || range <= 0) return -1;
    if (options_.pwm_fails >> pin & 1u) {
        // As when wiringPi cannot start the generator's thread: the pin has
        // been driven LOW and made an output, and no pulses follow.
        impl_->add_report(ReportKind::Fault, "board", "softPwmCreate(" + std::to_string(pin) + ") fails, as the scenario asks");
        impl_->master_output_low(pin, true);
        return EAGAIN;
    }
    impl_->start_wave(pin, Waveform{Waveform::Kind::Pwm, std::clamp(value, 0, range), range, 0, now()});
    return 0;
}

void Board::pwm_write(int pin, int value) {
    CallScope c(*impl_);
    if (!c.live || !impl_->check_pin(pin, "softPwmWrite")) return;
    Impl::Pin& p = impl_->pins[pin];
    impl_->record(CallKind::PwmWrite, pin, value);
    if (p.wave.kind != Waveform::Kind::Pwm) {
        // Harmless on a Pi (the value is kept for a thread that is not
        // there); reported once per pin, as a program may write in a loop.
        if (!p.wave_error_reported)
            impl_->add_report(ReportKind::Error, "board", "softPwmWrite on " + pin_name(pin) + ", which has no soft PWM");
        p.wave_error_reported = true;
        return;
    }
    p.wave.value = std::clamp(value, 0, p.wave.range);
    p.wave.since = now();
    impl_->waveform_changed(pin);
}

void Board::pwm_stop(int pin) {
    CallScope c(*impl_);
    if (!c.live || !impl_->check_pin(pin, "softPwmStop")) return;
    if (impl_->pins[pin].wave.kind == Waveform::Kind::Pwm) impl_->stop_wave(pin);
}

int Board::tone_create(int pin) {
    CallScope c(*impl_);
    if (!c.live) return -1;
    if (!impl_->check_pin(pin, "softToneCreate")) return -1;
    Impl::Pin& p = impl_->pins[pin];
    if (p.wave.kind == Waveform::Kind::Tone) return -1;
    if (options_.tone_fails >> pin & 1u) {
        impl_->add_report(ReportKind::Fault, "board", "softToneCreate(" + std::to_string(pin) + ") fails, as the scenario asks");
        impl_->master_output_low(pin, false);
        return EAGAIN;
    }
    impl_->start_wave(pin, Waveform{Waveform::Kind::Tone, 0, 0, 0, now()});
    return 0;
}

void Board::tone_write(int pin, int freq) {
    CallScope c(*impl_);
    if (!c.live || !impl_->check_pin(pin, "softToneWrite")) return;
    Impl::Pin& p = impl_->pins[pin];
    impl_->record(CallKind::ToneWrite, pin, freq);
    if (p.wave.kind != Waveform::Kind::Tone) {
        if (!p.wave_error_reported)
            impl_->add_report(ReportKind::Error, "board", "softToneWrite on " + pin_name(pin) + ", which has no soft tone");
        p.wave_error_reported = true;
        return;
    }
    p.wave.freq = std::clamp(freq, 0, 5000);
    p.wave.since = now();
    impl_->waveform_changed(pin);
}

void Board::tone_stop(int pin) {
    CallScope c(*impl_);
    if (!c.live || !impl_->check_pin(pin, "softToneStop")) return;
    if (impl_->pins[pin].wave.kind == Waveform::Kind::Tone) impl_->stop_wave(pin);
}

}  // namespace pikit::sim
