// Small timing tools for device models, so that each model need not invent
// its own: a re-armable timer, a player of timed level changes on a line, and
// a meter of a line's duty cycle and frequency.
//
// All of them are used from the device side (board lock held: inside
// Device::attach, on_edge, on_waveform, stimuli and scheduled events), and
// are bound to their board in the device's attach().
#pragma once

#include <functional>
#include <vector>

#include "board.h"

namespace pikit::sim {

// A timer that is armed, re-armed or cancelled without the model keeping
// event ids: arming it again replaces the pending expiry, and a timer that
// goes away cancels its own.
class Timer {
public:
    Timer() = default;
    ~Timer() { cancel(); }
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void bind(Board& board, std::function<void()> on_expiry);
    void at(Time when);  // expire at virtual time `when` (not before now)
    void in(Time after) { at(board_->now() + after); }
    void cancel();
    bool armed() const { return id_ != 0; }
    Time due() const { return id_ != 0 ? due_ : kNever; }

private:
    Board* board_ = nullptr;
    std::function<void()> fn_;
    Board::EventId id_ = 0;
    Time due_ = kNever;
};

// Plays a list of timed level changes on a line the device is attached to:
// an infrared remote's frame on a receiver's output, a contact bouncing.
// Each segment drives the line for its length; after the last one the line
// is left at `rest`.
class LinePlayer {
public:
    struct Segment {
        Drive drive;
        Time length;
    };

    void bind(Board& board, Device& device, int line);
    // Starts at once (now), replacing anything still playing; `done` runs
    // after the last segment, when the line has gone to `rest`.
    void play(std::vector<Segment> segments, Drive rest = Drive::Release, std::function<void()> done = {});
    // Ends what is playing now, leaving the line at `rest`.
    void stop(Drive rest = Drive::Release);
    bool playing() const { return timer_.armed(); }
    // Total length of a list of segments.
    static Time length(const std::vector<Segment>& segments);

private:
    void step();

    Board* board_ = nullptr;
    Device* device_ = nullptr;
    int line_ = -1;
    std::vector<Segment> segments_;
    std::size_t next_ = 0;
    Drive rest_ = Drive::Release;
    std::function<void()> done_;
    Timer timer_;
};

// Duty cycle and frequency of a line, measured from its edges, the way a
// person's eye or a multimeter integrates them: for a pin driven by soft PWM
// or toggled by hand alike. A line that has not moved for `steady_after` (or
// three of its last periods, whichever is longer) is steady, with a duty of
// 1 or 0 and no frequency. A steady line that a program switches by hand is
// read at once at its new level (an LED switched on, a slow blink); once it
// moves again within `steady_after` it is toggling, and is read at every
// full period (rising edge to rising edge). A line driven by a soft PWM or
// tone generator is only ever read by whole periods, so the first pulse of a
// dim PWM does not read as a flash; a soft PWM line held still for one whole
// period of its generator is at 0 % or 100 % and steady from then on (an LED
// at full duty is at full brightness within a period); one the Pi's PWM
// controller drives is read over at least one of its periods, which in
// balanced mode holds many pulses of differing spacing; a generator that
// stops leaves the line still at its level, which is read at once.
// `changed` runs whenever the reading changes.
class LineMeter {
public:
    void bind(Board& board, int line, std::function<void()> changed, Time steady_after = 50_ms);
    // Feed every edge of the line (from Device::on_edge)...
    void edge(Level level);
    // ...and every change of its soft PWM or tone generator (from
    // Device::on_waveform).
    void waveform_changed();

    bool steady() const { return steady_; }
    Level level() const { return level_; }
    double duty() const { return duty_; }            // share of the period spent HIGH, 0..1
    double frequency() const { return frequency_; }  // Hz; 0 when steady
    Time period() const { return period_; }          // 0 when steady

private:
    void settle();

    Board* board_ = nullptr;
    int line_ = -1;
    std::function<void()> changed_;
    Time steady_after_ = 50_ms;
    Level level_ = Level::Low;
    bool steady_ = true;
    double duty_ = 0;
    double frequency_ = 0;
    Time period_ = 0;
    Time last_rise_ = -1;
    Time last_fall_ = -1;
    Time last_edge_ = -1;
    Time window_start_ = -1;   // the rising edge the reading under way began at
    Time high_in_window_ = 0;  // HIGH time since then
    bool generated_ = false;   // a generator drives the line
    Timer settle_;
};

}  // namespace pikit::sim
