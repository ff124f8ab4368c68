// The I2C slave engine's state machine. See i2c_slave.h for what it does and
// what a part on top of it provides.
#include "devices/i2c_slave.h"

#include <cstdio>
#include <stdexcept>

namespace pikit::sim {

namespace {

const char* check_name(unsigned kind) {
    static const char* const names[] = {
        "SCL low",
        "SCL high",
        "SCL high pulse (part's bit or acknowledge)",
        "data set-up",
        "acknowledge set-up",
        "START hold",
        "repeated START set-up",
        "STOP set-up",
        "bus free time between STOP and START",
    };
    return names[kind];
}

}  // namespace

const Fields<I2cSlaveSettings>& i2c_fields() {
    using S = I2cSlaveSettings;
    static const Fields<S> f =
        Fields<S>()
            .pin("sda", &S::sda, "the bus's data line")
            .pin("scl", &S::scl, "the bus's clock line")
            .duration("startup_time", &S::startup_time, 0, 1_s, "the part does not answer before this after power-up")
            .flag("absent", &S::absent, "fault: the part never answers; no acknowledge, the lines stay high")
            .group("flip_bit",
                   Fields<S>()
                       .integer("byte", &S::flip_byte, 0, 255, "which byte of every read (0: the first the part sends)")
                       .defaults("0")
                       .integer("bit", &S::flip_bit, 0, 7, "which bit of it"),
                   "fault: a bit of every read inverted on the wire", [](S& s) { s.flip_byte = 0; })
            .integer("nack_byte", &S::nack_byte, 0, 1000000000,
                     "fault: the acknowledge of this byte is withheld (1: the first sent to the part); 0: none")
            .rule([](const S& s, const Config& c) {
                c.distinct_lines({{"sda", {s.sda, {}}}, {"scl", {s.scl, {}}}});
            });
    return f;
}

I2cSlave::I2cSlave(std::string type, std::string name, std::uint8_t address, I2cMode mode, I2cSlaveSettings settings,
                   bool stretches_clock)
    : Device(std::move(type), std::move(name)),
      address_(address),
      limits_(mode == I2cMode::Fast ? I2cLimits::fast() : I2cLimits::standard()),
      bus_(settings),
      stretches_(stretches_clock) {
    if (address_ > 0x7F) throw std::invalid_argument(label() + ": I2C address " + hex(address_) + " is not 7-bit");
}

void I2cSlave::attach(Board& board) {
    board.attach(*this, bus_.sda, PinRole::OpenDrain);
    board.attach(*this, bus_.scl, stretches_ ? PinRole::OpenDrain : PinRole::Input);
    scl_ = board.level(bus_.scl);
    sda_ = board.level(bus_.sda);
    clock_release_.bind(board, [this] { release_clock(); });
    if (bus_.absent) info("absent: does not answer on the bus");
}

// ---------------------------------------------------------------- reports

void I2cSlave::breach(const std::string& text) {
    ++counters_.breaches;
    board()->breach(*this, text);
}

void I2cSlave::fault(const std::string& text) { board()->report(*this, ReportKind::Fault, text); }

void I2cSlave::info(const std::string& text) { board()->info(*this, text); }

// A master that gets one phase wrong usually gets it wrong on every bit: each
// kind of timing breach is reported once per transfer.
void I2cSlave::check(Time measured, Check kind) {
    static constexpr Time I2cLimits::*limit[kChecks] = {
        &I2cLimits::low_min,         &I2cLimits::high_min,       &I2cLimits::spike_max,
        &I2cLimits::data_setup_min,  &I2cLimits::data_setup_min, &I2cLimits::start_hold_min,
        &I2cLimits::start_setup_min, &I2cLimits::stop_setup_min, &I2cLimits::bus_free_min,
    };
    const Time minimum = limits_.*limit[kind];
    if (measured >= minimum) return;
    if (reported_ & (1u << kind)) return;
    reported_ |= 1u << kind;
    breach(std::string(check_name(kind)) + " " + format_duration(measured) + ", shorter than the " + format_duration(minimum) +
           " the part needs");
}

// ---------------------------------------------------------------- faults

void I2cSlave::set_absent(bool absent) {
    if (absent == bus_.absent) return;
    bus_.absent = absent;
    if (!board()) return;
    if (absent) {
        set_sda_low(false);
        release_clock();
        phase_ = Phase::Idle;
        in_transfer_ = false;
        info("left the bus");
    } else {
        // Back on the bus: it takes up whatever comes from the next START.
        scl_ = board()->level(bus_.scl);
        sda_ = board()->level(bus_.sda);
        stop_at_ = kNever;
        info("back on the bus");
    }
}

// ---------------------------------------------------------------- lines

void I2cSlave::set_sda_low(bool low) {
    if (low == driving_low_) return;
    board()->drive(*this, bus_.sda, low ? Drive::Low : Drive::Release);
    driving_low_ = low;
}

void I2cSlave::stretch_clock(Time duration) {
    if (!stretches_) throw std::logic_error(label() + " stretches the clock but was not made to (stretches_clock)");
    if (is_high(scl_) || duration <= 0) return;  // only while the master has the clock low
    if (!holding_scl_) board()->drive(*this, bus_.scl, Drive::Low);
    holding_scl_ = true;
    clock_release_.in(duration);
}

void I2cSlave::release_clock() {
    clock_release_.cancel();
    if (!holding_scl_) return;
    holding_scl_ = false;
    board()->drive(*this, bus_.scl, Drive::Release);
}

// ---------------------------------------------------------------- bus edges

void I2cSlave::on_edge(int pin, Level level) {
    if (bus_.absent) return;
    if (pin == bus_.scl) {
        if (level != scl_) on_scl(level);
    } else if (pin == bus_.sda) {
        if (level != sda_) on_sda(level);
    }
}

void I2cSlave::on_sda(Level level) {
    const Time now = board()->now();
    sda_ = level;
    if (!is_high(scl_)) {
        sda_change_ = now;  // data changing while the clock is low: normal
        return;
    }
    // SDA changed while SCL is high: a bus condition.
    if (level == Level::Low) start_condition();
    else stop_condition();
    sda_change_ = now;
}

void I2cSlave::start_condition() {
    const Time now = board()->now();
    ++counters_.starts;
    reported_ = 0;
    events_.publish(in_transfer_ ? BusEvent::Kind::RepeatedStart : BusEvent::Kind::Start, now);
    if (in_transfer_) {
        // Repeated START: the clock must have been high long enough before it.
        check(now - scl_rise_, kStartSetup);
        end_transfer();
    } else if (stop_at_ != kNever) {
        check(now - stop_at_, kBusFree);
    }
    in_transfer_ = true;
    start_at_ = now;
    first_fall_after_start_ = true;
    phase_ = Phase::Address;
    bits_ = 0;
    shift_ = 0;
}

void I2cSlave::stop_condition() {
    const Time now = board()->now();
    if (!in_transfer_) {
        // A STOP on an idle bus (a master making sure the bus is free) ends nothing.
        stop_at_ = now;
        return;
    }
    ++counters_.stops;
    events_.publish(BusEvent::Kind::Stop, now);
    check(now - scl_rise_, kStopSetup);
    if (phase_ != Phase::Ignore && phase_ != Phase::Address) transfers_.back().stopped = true;
    end_transfer();
    in_transfer_ = false;
    phase_ = Phase::Idle;
    stop_at_ = now;
}

// Ends the transfer in progress at a STOP or repeated START: checks that no
// byte was cut short and hands a transfer the part took part in to the part.
void I2cSlave::end_transfer() {
    // bits_ counts rising clock edges in the byte. One rising edge is the
    // clock going up for the STOP/START itself; more mean data bits were sent.
    if ((phase_ == Phase::Address || phase_ == Phase::WriteData || phase_ == Phase::ReadData) && bits_ >= 2)
        breach("byte cut short by " + std::string(is_high(sda_) ? "STOP" : "START") + " after " + std::to_string(bits_ - 1) +
               " bit(s)");
    set_sda_low(false);
    // In any other phase the address was this part's and it acknowledged it.
    if (phase_ != Phase::Ignore && phase_ != Phase::Address) ended(transfers_.back());
    phase_ = Phase::Ignore;
}

void I2cSlave::on_scl(Level level) {
    const Time now = board()->now();
    scl_ = level;
    if (!in_transfer_) {
        (level == Level::High ? scl_rise_ : scl_fall_) = now;
        return;
    }

    if (level == Level::High) {
        scl_rose(now);
    } else {
        scl_fell(now);
    }
}

// SCL up: where the master's bits (address, data, its acknowledge) are sampled.
void I2cSlave::scl_rose(Time now) {
    if (!first_fall_after_start_) check(now - scl_fall_, kSclLow);
    scl_rise_ = now;
    switch (phase_) {
    case Phase::Address:
    case Phase::WriteData:
        check(now - sda_change_, kDataSetup);
        shift_ = static_cast<std::uint8_t>((shift_ << 1) | (is_high(sda_) ? 1 : 0));
        ++bits_;
        break;
    case Phase::ReadAck:
        check(now - sda_change_, kAckSetup);
        transfers_.back().master_nack = is_high(sda_);
        events_.publish(is_high(sda_) ? BusEvent::Kind::Nack : BusEvent::Kind::Ack, now, 0, true);
        break;
    case Phase::ReadData: ++bits_; break;
    default: break;
    }
}

// SCL down: the low time's checks, then the part's next move on SDA (its
// acknowledge, its next data bit, letting go).
void I2cSlave::scl_fell(Time now) {
    if (first_fall_after_start_) {
        check(now - start_at_, kStartHold);
        first_fall_after_start_ = false;
    } else if (phase_ == Phase::Address || phase_ == Phase::WriteData || phase_ == Phase::ReadAck) {
        // The part samples SDA in this clock: the full high time applies.
        check(now - scl_rise_, kSclHigh);
    } else {
        // The master samples (the part's acknowledge or data): the part only
        // has to see the pulse, which its input filter would swallow.
        check(now - scl_rise_, kSclPulse);
    }
    scl_fall_ = now;

    switch (phase_) {
    case Phase::Address:
    case Phase::WriteData:
        if (bits_ == 8) byte_received();
        break;
    case Phase::AddrAck:
    case Phase::WriteAck: {
        set_sda_low(false);
        const bool reading = phase_ == Phase::AddrAck && transfers_.back().read;
        bits_ = 0;
        shift_ = 0;
        if (reading) {
            phase_ = Phase::ReadData;
            read_index_ = 0;
            load_read_byte();
            put_bit();
        } else {
            phase_ = Phase::WriteData;
        }
        break;
    }
    case Phase::ReadData:
        if (bits_ < 8) {
            put_bit();
        } else {
            set_sda_low(false);
            phase_ = Phase::ReadAck;
            events_.publish(BusEvent::Kind::Data, now, out_, true);
        }
        break;
    case Phase::ReadAck:
        if (transfers_.back().master_nack) {
            phase_ = Phase::AfterNack;
            clocked_after_nack_ = false;
        } else {
            bits_ = 0;
            ++read_index_;
            phase_ = Phase::ReadData;
            load_read_byte();
            put_bit();
        }
        break;
    case Phase::AfterNack:
        // The clock may go up once more for the STOP; a whole pulse is a clock.
        if (!clocked_after_nack_) {
            clocked_after_nack_ = true;
            breach("clock pulse after a not-acknowledge instead of STOP or repeated START");
        }
        break;
    default: break;
    }
}

// The eighth bit of an address or data byte has been clocked in and SCL has
// just fallen: acknowledge it (or not) right away.
void I2cSlave::byte_received() {
    const std::uint8_t byte = shift_;
    bits_ = 0;
    shift_ = 0;
    if (phase_ == Phase::Address) {
        events_.publish(BusEvent::Kind::Address, board()->now(), static_cast<std::uint8_t>(byte >> 1), (byte & 1) != 0);
        if ((byte >> 1) != address_) {
            phase_ = Phase::Ignore;
            return;
        }
        if (board()->now() < bus_.startup_time) {
            if (!early_reported_)
                breach("addressed " + format_duration(board()->now()) + " after power-up, before the " +
                       format_duration(bus_.startup_time) + " the part needs to start");
            early_reported_ = true;
            phase_ = Phase::Ignore;
            return;
        }
        I2cTransfer t;
        t.start = start_at_;
        t.read = (byte & 1) != 0;
        if (!board()->options().record_history) transfers_.clear();
        transfers_.push_back(std::move(t));
        ++counters_.transfers;
        acknowledge(true);
        return;
    }
    events_.publish(BusEvent::Kind::Data, board()->now(), byte);
    transfers_.back().bytes.push_back(byte);
    acknowledge(false);
}

void I2cSlave::acknowledge(bool is_address) {
    I2cTransfer& t = transfers_.back();
    ++bytes_to_part_;
    bool ack = true;
    if (bus_.nack_byte > 0 && bytes_to_part_ == bus_.nack_byte) {
        ++counters_.acks_withheld;
        const std::uint8_t byte = is_address ? static_cast<std::uint8_t>(address_ << 1 | (t.read ? 1 : 0)) : t.bytes.back();
        fault("acknowledge withheld on byte " + std::to_string(bytes_to_part_) + " (" + hex(byte) + ")");
        ack = false;
    } else {
        ack = is_address ? addressed(t.read) : written(t.bytes.back());
    }
    events_.publish(ack ? BusEvent::Kind::Ack : BusEvent::Kind::Nack, board()->now());
    if (!ack) {
        if (is_address) {
            // Not answering the address: the part sits the transfer out.
            transfers_.pop_back();
            phase_ = Phase::Ignore;
        } else {
            // One missing acknowledge: the byte is lost to the part, but the
            // following bytes are acknowledged as usual.
            transfers_.back().dropped = true;
            phase_ = Phase::WriteAck;
        }
        return;
    }
    ++counters_.acks;
    if (is_address) transfers_.back().acked = true;
    set_sda_low(true);
    phase_ = is_address ? Phase::AddrAck : Phase::WriteAck;
}

void I2cSlave::load_read_byte() {
    std::uint8_t b = next_byte(read_index_);
    if (bus_.flip_bit >= 0 && bus_.flip_byte >= 0 && read_index_ == static_cast<std::size_t>(bus_.flip_byte)) {
        const std::uint8_t flipped = static_cast<std::uint8_t>(b ^ (1u << bus_.flip_bit));
        fault("bit " + std::to_string(bus_.flip_bit) + " of byte " + std::to_string(read_index_) +
              " flipped in transit: " + hex(b) + " sent as " + hex(flipped));
        b = flipped;
    }
    sending(read_index_, b);
    out_ = b;
    transfers_.back().bytes.push_back(b);
}

// Puts the next bit of out_ on SDA (most significant first), bits_ being the
// number already clocked out.
void I2cSlave::put_bit() { set_sda_low(((out_ >> (7 - bits_)) & 1) == 0); }

}  // namespace pikit::sim
