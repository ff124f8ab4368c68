// The slot layer of the 1-Wire slave (OneWireSlave): the line's edges
// become reset pulses, presence pulses and time slots, checked against the
// standard-speed timing, and bits gather into bytes; the injected faults on
// the wire (a stuck line, a part that leaves the bus) act here. What the
// bytes mean is the byte layer's, in onewire_commands.cpp.
#include "onewire_slave.h"

#include "core/format.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace pikit::sim {

namespace {

std::string us(Time t) { return format_duration(t); }

}  // namespace

// ---------------------------------------------------------------- the engine

OneWireSlave::OneWireSlave(std::string type, std::string name, OneWireSettings settings)
    : Device(std::move(type), std::move(name)),
      s_(std::move(settings)),
      rng_(s_.random.seed),
      reply_seen_(s_.flip_reply.size(), 0),
      received_seen_(s_.flip_received.size(), 0) {}

void OneWireSlave::add_reply_flip(const FlipRule& r) {
    s_.flip_reply.push_back(r);
    reply_seen_.push_back(0);
}

void OneWireSlave::add_received_flip(const FlipRule& r) {
    s_.flip_received.push_back(r);
    received_seen_.push_back(0);
}

void OneWireSlave::set_random_flips(const RandomFlips& r) {
    s_.random = r;
    rng_.seed(r.seed);
}

void OneWireSlave::attach(Board& board) {
    board.attach(*this, s_.pin, PinRole::OpenDrain);
    sample_.bind(board, [this] { sample_write_slot(); });
    release_.bind(board, [this] { release_zero(); });
    // The master must let go well before a read slot's bit stops being valid.
    check_.bind(board, [this] {
        if (master_drives_low()) master_long_read_ = true;
    });
    presence_.bind(board, [this] { presence_start(); });
    presence_end_.bind(board, [this] { presence_end(); });
    busy_.bind(board, [this] { end_busy(busy_powered_); });
    poll_.bind(board, [this] { poll_power(); });
    if (s_.stuck_low) stick_low(true);
    if (s_.leave_at != kNever) board.schedule(s_.leave_at, [this] { leave_bus(); });
}

void OneWireSlave::set_alarm_flag(bool on) {
    s_.alarm = on;
    board()->info(*this, std::string("alarm flag ") + (on ? "set" : "cleared"));
}

bool OneWireSlave::master_drives_low() const {
    return board()->master_output(s_.pin) && board()->master_latch(s_.pin) == Level::Low;
}

void OneWireSlave::drive_low() {
    driving_ = true;
    board()->drive(*this, s_.pin, Drive::Low);
}

void OneWireSlave::let_go() {
    if (!driving_) return;
    driving_ = false;
    board()->drive(*this, s_.pin, Drive::Release);
}

void OneWireSlave::clear_events() {
    for (Timer* t : {&sample_, &release_, &presence_, &presence_end_, &check_, &busy_, &poll_}) t->cancel();
    pending_byte_ = false;
}

void OneWireSlave::stick_low(bool on) {
    s_.stuck_low = on;
    if (!board()) return;  // takes effect at attach
    if (on && !stuck_) {
        clear_events();
        stuck_ = true;
        phase_ = Phase::Idle;
        drive_low();
        board()->report(*this, ReportKind::Fault, "holds the line low (stuck)");
    } else if (!on && stuck_) {
        stuck_ = false;
        in_low_ = false;  // the rise our letting go may cause ends no slot
        phase_ = Phase::Idle;
        let_go();
        board()->info(*this, "lets go of the line (no longer stuck)");
    }
}

void OneWireSlave::leave_bus() { leave("left the bus"); }

void OneWireSlave::leave(const std::string& why) {
    if (gone_ || !board()) return;
    clear_events();
    gone_ = true;  // first, so the edge of letting go is not ours to handle
    phase_ = Phase::Idle;
    let_go();
    board()->report(*this, ReportKind::Fault, why);
}

void OneWireSlave::rejoin_bus() {
    if (!gone_ || !board()) return;
    gone_ = false;
    in_low_ = false;
    phase_ = Phase::Idle;
    board()->info(*this, "back on the bus (answers from the next reset)");
}

void OneWireSlave::on_edge(int pin, Level level) {
    if (pin != s_.pin || gone_ || stuck_) return;
    if (level == Level::Low) {
        if (master_drives_low()) master_fall();  // falls made by devices are not slots
    } else {
        line_rise();
    }
}

void OneWireSlave::master_fall() {
    const Time now = board()->now();
    if (reset_rise_at_ >= 0) {
        if (now - reset_rise_at_ < OneWireLimits::reset_high_min)
            board()->breach(*this,
                            "first slot " + us(now - reset_rise_at_) + " after the reset pulse; the presence phase needs 480us");
        reset_rise_at_ = -1;
    } else if (last_low_was_slot_) {
        if (now - fall_at_ < OneWireLimits::slot_min)
            board()->breach(*this,
                            "time slot too short: " + us(now - fall_at_) + " from falling edge to falling edge, at least 60us");
        if (now - rise_at_ < OneWireLimits::recovery_min)
            board()->breach(*this, "recovery between slots too short: " + us(now - rise_at_) + ", at least 1us");
    }
    fall_at_ = now;
    in_low_ = true;
    master_long_read_ = false;
    slot_ = Slot::None;

    switch (phase_) {
    case Phase::Idle: break;
    case Phase::Presence:
        presence_.cancel();
        presence_end_.cancel();
        let_go();
        phase_ = Phase::Idle;
        break;
    case Phase::Busy:
        board()->breach(*this, "line pulled low " + us(now - busy_start_) +
                                   " into the programming time; the line must stay high until it ends");
        end_busy(false);
        break;
    case Phase::RomCommand:
    case Phase::Receive: start_write_slot(); break;
    case Phase::Send:
        start_read_slot(((tx_byte_ >> tx_bits_) & 1) != 0);
        if (++tx_bits_ == 8) {
            events_.publish(BusEvent::Kind::Data, now, tx_byte_, true);
            tx_bits_ = 0;
            ++tx_count_;
            if (layer_ == FlipRule::Layer::Rom) {  // Read ROM: the id, then selected
                if (tx_count_ < 8) send(s_.rom[tx_count_]);
                else select();
            } else {
                function_byte_sent();
            }
        }
        break;
    case Phase::Search:
        if (search_step_ == Step::Id) {
            if (s_.leave_after_search_bits >= 0 && search_bits_ >= s_.leave_after_search_bits) {
                leave("left the bus at search bit position " + std::to_string(search_pos_ + 1) + ", after " +
                      std::to_string(search_bits_) + " positions answered");
                return;
            }
            search_bit_ = ((s_.rom[search_pos_ / 8] >> (search_pos_ % 8)) & 1) != 0;
            start_read_slot(search_bit_);
            search_step_ = Step::Complement;
        } else if (search_step_ == Step::Complement) {
            start_read_slot(!search_bit_);
            search_step_ = Step::Direction;
        } else {
            start_write_slot();
        }
        break;
    }
}

void OneWireSlave::start_write_slot() {
    slot_ = Slot::Write;
    sample_.at(fall_at_ + s_.timing.sample_at);
}

void OneWireSlave::start_read_slot(bool bit) {
    slot_ = Slot::Read;
    if (s_.random.reply > 0.0 && uni_(rng_) < s_.random.reply) {
        bit = !bit;
        board()->report(*this, ReportKind::Fault,
                        std::string("random flip: sends a ") + (bit ? "1" : "0") + " for a " + (bit ? "0" : "1"));
    }
    if (!bit) {
        drive_low();
        release_.at(fall_at_ + s_.timing.hold_zero);
    }
    check_.at(fall_at_ + OneWireLimits::read_low_max);
}

void OneWireSlave::release_zero() { let_go(); }

void OneWireSlave::sample_write_slot() {
    bool bit = is_high(board()->level(s_.pin));
    if (s_.random.received > 0.0 && uni_(rng_) < s_.random.received) {
        bit = !bit;
        rx_fault_ = true;
        board()->report(*this, ReportKind::Fault,
                        std::string("random flip: takes a written ") + (bit ? "0" : "1") + " for a " + (bit ? "1" : "0"));
    }
    if (phase_ == Phase::Search) {
        if (bit != search_bit_) {
            phase_ = Phase::Idle;  // the master took the other branch
            return;
        }
        ++search_bits_;
        search_step_ = Step::Id;
        if (++search_pos_ == 64) {
            board()->info(*this, "found by the search");
            select();
        }
        return;
    }
    if (phase_ != Phase::RomCommand && phase_ != Phase::Receive) return;
    if (bit) rx_byte_ |= static_cast<std::uint8_t>(1u << rx_bits_);
    if (++rx_bits_ < 8) return;
    const std::uint8_t b = rx_byte_;
    rx_byte_ = 0;
    rx_bits_ = 0;
    // A byte counts once its last slot has ended as a slot: a long low that
    // turns out to be a reset pulse must not complete a command.
    if (is_high(board()->level(s_.pin))) {
        byte_received(b);
    } else {
        pending_byte_ = true;
        pending_value_ = b;
    }
}

void OneWireSlave::line_rise() {
    const Time now = board()->now();
    rise_at_ = now;
    if (!in_low_) return;  // end of a presence pulse, not of a master's low
    in_low_ = false;
    const Time d = now - fall_at_;
    if (d > OneWireLimits::slot_low_max) {
        if (d < OneWireLimits::reset_low_min)
            board()->breach(*this,
                            "line held low " + us(d) + ": too long for a time slot (120us), too short for a reset (480us)");
        reset_pulse();
        return;
    }
    last_low_was_slot_ = true;
    check_.cancel();
    if (d < OneWireLimits::slot_low_min)
        board()->breach(*this, "low pulse of only " + us(d) + ": a time slot starts with at least 1us low");
    if (slot_ == Slot::Write && d > OneWireLimits::write1_low_max && d < OneWireLimits::write0_low_min)
        board()->breach(*this, "write slot low for " + us(d) + ": neither a 1 (at most 15us) nor a 0 (at least 60us)");
    if (slot_ == Slot::Read && master_long_read_)
        board()->breach(*this, "read slot: the master held the line low past 15us, where the bit is no longer valid");
    if (pending_byte_) {
        pending_byte_ = false;
        byte_received(pending_value_);
    }
}

void OneWireSlave::reset_pulse() {
    clear_events();
    let_go();
    if (phase_ == Phase::Busy) end_busy(false);
    ++resets_;
    events_.publish(BusEvent::Kind::Reset, board()->now());
    bus_reset();  // still sees the counts of the transaction it ends
    rx_fault_ = false;
    rx_byte_ = 0;
    rx_bits_ = 0;
    tx_bits_ = 0;
    rx_count_ = tx_count_ = 0;
    awaiting_function_cmd_ = false;
    last_low_was_slot_ = false;
    phase_ = Phase::Presence;
    reset_rise_at_ = board()->now();
    presence_.in(s_.timing.presence_wait);
}

void OneWireSlave::presence_start() {
    events_.publish(BusEvent::Kind::Presence, board()->now());
    drive_low();
    presence_end_.in(s_.timing.presence_low);
}

void OneWireSlave::presence_end() {
    let_go();
    phase_ = Phase::RomCommand;
    rx_byte_ = 0;
    rx_bits_ = 0;
    if (master_drives_low()) {
        // The master started something while the presence pulse hid its edge.
        board()->breach(*this, "master pulled the line low during the presence pulse");
        fall_at_ = board()->now();
        in_low_ = true;
        slot_ = Slot::None;
        phase_ = Phase::Idle;
    }
}

}  // namespace pikit::sim
