#include "timers.h"

#include <algorithm>

namespace pikit::sim {

// ---------------------------------------------------------------- Timer

void Timer::bind(Board& board, std::function<void()> on_expiry) {
    cancel();
    board_ = &board;
    fn_ = std::move(on_expiry);
}

void Timer::at(Time when) {
    cancel();
    due_ = std::max(when, board_->now());
    id_ = board_->schedule(due_, [this] {
        id_ = 0;
        due_ = kNever;
        if (fn_) fn_();
    });
}

void Timer::cancel() {
    if (id_ != 0 && board_) board_->cancel(id_);
    id_ = 0;
    due_ = kNever;
}

// ---------------------------------------------------------------- LinePlayer

void LinePlayer::bind(Board& board, Device& device, int line) {
    board_ = &board;
    device_ = &device;
    line_ = line;
    timer_.bind(board, [this] { step(); });
}

void LinePlayer::play(std::vector<Segment> segments, Drive rest, std::function<void()> done) {
    timer_.cancel();
    segments_ = std::move(segments);
    next_ = 0;
    rest_ = rest;
    done_ = std::move(done);
    step();
}

void LinePlayer::stop(Drive rest) {
    timer_.cancel();
    segments_.clear();
    next_ = 0;
    board_->drive(*device_, line_, rest);
}

Time LinePlayer::length(const std::vector<Segment>& segments) {
    Time t = 0;
    for (const auto& s : segments) t += s.length;
    return t;
}

void LinePlayer::step() {
    // Segments of zero length are passed over without touching the line.
    while (next_ < segments_.size() && segments_[next_].length <= 0) ++next_;
    if (next_ < segments_.size()) {
        const Segment& s = segments_[next_++];
        board_->drive(*device_, line_, s.drive);
        timer_.in(s.length);
        return;
    }
    board_->drive(*device_, line_, rest_);
    segments_.clear();
    next_ = 0;
    if (done_) {
        auto done = std::move(done_);
        done_ = nullptr;
        done();
    }
}

// ---------------------------------------------------------------- LineMeter

void LineMeter::bind(Board& board, int line, std::function<void()> changed, Time steady_after) {
    board_ = &board;
    line_ = line;
    changed_ = std::move(changed);
    steady_after_ = steady_after;
    level_ = board.level(line);
    steady_ = true;
    duty_ = is_high(level_) ? 1.0 : 0.0;
    generated_ = board.waveform(line).kind != Waveform::Kind::None;
    settle_.bind(board, [this] { settle(); });
}

void LineMeter::waveform_changed() {
    const bool generated = board_->waveform(line_).kind != Waveform::Kind::None;
    if (generated_ && !generated) {
        // The generator has stopped and left the line where it drove it last.
        settle_.cancel();
        level_ = board_->level(line_);
        settle();
    }
    generated_ = generated;
}

void LineMeter::edge(Level level) {
    if (level == level_) return;
    const Time now = board_->now();
    level_ = level;
    const bool by_hand = board_->waveform(line_).kind == Waveform::Kind::None;
    if (steady_ && by_hand && (last_edge_ < 0 || now - last_edge_ >= steady_after_)) {
        // A steady line switched by hand: take the new level at once.
        duty_ = is_high(level) ? 1.0 : 0.0;
        if (changed_) changed_();
    }
    last_edge_ = now;
    if (is_high(level)) {
        // A reading spans whole periods, rising edge to rising edge: one
        // period of a line that pulses once per period, and at least one
        // whole pattern of the PWM controller's balanced mode, whose pulses
        // within a period differ.
        const Waveform& w = board_->waveform(line_);
        // (Less half a tick: tick times are whole nanoseconds.)
        const Time least = w.kind == Waveform::Kind::Hardware ? w.period - w.period / (2 * std::max(w.range, 1)) : 0;
        if (window_start_ >= 0 && high_in_window_ > 0 && now - window_start_ >= least) {
            period_ = now - window_start_;
            duty_ = static_cast<double>(high_in_window_) / static_cast<double>(period_);
            frequency_ = 1e9 / static_cast<double>(period_);
            steady_ = false;
            if (changed_) changed_();
            window_start_ = now;
            high_in_window_ = 0;
        } else if (window_start_ < 0) {
            window_start_ = now;
            high_in_window_ = 0;
        }
        last_rise_ = now;
    } else {
        if (window_start_ >= 0 && last_rise_ >= window_start_) high_in_window_ += now - last_rise_;
        last_fall_ = now;
    }
    // A soft PWM generator's line moves at least once in every period of
    // its own unless it is at 0 % or 100 %: held still for one whole period,
    // it is steady at its level (an LED driven at full duty is at full
    // brightness within a period, not only once the line has been still for
    // steady_after). The generator's period is exact; a line toggled by hand
    // may jitter, and waits for steady_after as any other.
    const Waveform& w = board_->waveform(line_);
    if (w.kind == Waveform::Kind::Pwm && w.range > 0) settle_.in(Time{w.range} * 100_us);  // steps of 100 us
    else settle_.in(std::max(steady_after_, 3 * period_));
}

void LineMeter::settle() {
    const bool was_steady = steady_;
    const double old_duty = duty_;
    steady_ = true;
    duty_ = is_high(level_) ? 1.0 : 0.0;
    frequency_ = 0;
    period_ = 0;
    last_rise_ = -1;
    last_fall_ = -1;
    window_start_ = -1;
    high_in_window_ = 0;
    if ((!was_steady || old_duty != duty_) && changed_) changed_();
}

}  // namespace pikit::sim
