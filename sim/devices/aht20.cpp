// AHT20 humidity and temperature sensor on a bit-level I2C bus. See aht20.h
// for what the part does; this file is its state machine.
//
// The bus is followed edge by edge. SDA changing while SCL is high is a START
// (falling) or a STOP (rising). Otherwise SCL's rising edges sample bits and
// its falling edges are where the part changes SDA: pulling it low for an
// acknowledge, putting out the next data bit, or letting it go.
#include "devices/aht20.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/board.h"
#include "core/config.h"

namespace pikit::sim {

namespace {

// Fast-mode I2C limits.
constexpr Time kLowMin = 1300_ns;
constexpr Time kHighMin = 600_ns;
constexpr Time kDataSetupMin = 100_ns;
constexpr Time kStartHoldMin = 600_ns;
constexpr Time kStartSetupMin = 600_ns;
constexpr Time kStopSetupMin = 600_ns;
constexpr Time kBusFreeMin = 1300_ns;
constexpr Time kSpikeMax = 50_ns;  // input spike filter: shorter pulses are not seen

constexpr std::uint8_t kStatusBusy = 0x80;
constexpr std::uint8_t kStatusAlwaysSet = 0x04;

// Power-up contents of the calibration registers. The program only copies
// them back; any values would do, these are not all alike so that a master
// that mixes them up is seen.
constexpr std::uint8_t kRegisterPowerUp[3][3] = {
    {0x1B, 0x4A, 0x13},
    {0x1C, 0x27, 0x80},
    {0x1E, 0x61, 0x0D},
};

std::string hex(std::uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b);
    return buf;
}

std::string hex_list(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ' ';
        s += hex(bytes[i]);
    }
    return s;
}

}  // namespace

Aht20::Aht20(std::string name, Settings settings)
    : Device("aht20", std::move(name)), settings_(settings) {
    power_up_state();
}

void Aht20::power_up_state() {
    cal_bits_ = settings_.calibration_bits & kCalibrationMask;
    busy_ = false;
    frame_ = {};
    for (std::size_t i = 0; i < registers_.size(); ++i) {
        registers_[i] = {kRegisterPowerUp[i][0], {kRegisterPowerUp[i][1], kRegisterPowerUp[i][2]}, false};
    }
    selected_register_ = -1;
}

void Aht20::attach(Board& board) {
    board.attach(*this, settings_.sda, PinRole::OpenDrain);
    board.attach(*this, settings_.scl, PinRole::Input);
    scl_ = board.level(settings_.scl);
    sda_ = board.level(settings_.sda);
    if (settings_.absent) info("absent: does not answer on the bus");
}

// ---------------------------------------------------------------- values

std::uint32_t Aht20::humidity_raw(double percent) {
    const double raw = std::round(percent / 100.0 * 1048576.0);
    return static_cast<std::uint32_t>(std::clamp(raw, 0.0, 1048575.0));
}

std::uint32_t Aht20::temperature_raw(double celsius) {
    const double raw = std::round((celsius + 50.0) / 200.0 * 1048576.0);
    return static_cast<std::uint32_t>(std::clamp(raw, 0.0, 1048575.0));
}

std::uint8_t Aht20::crc8(const std::uint8_t* data, std::size_t n) {
    std::uint8_t crc = 0xFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 0x80) ? static_cast<std::uint8_t>((crc << 1) ^ 0x31)
                                                       : static_cast<std::uint8_t>(crc << 1);
    }
    return crc;
}

std::uint8_t Aht20::status() const {
    return static_cast<std::uint8_t>((busy_ ? kStatusBusy : 0) | cal_bits_ | kStatusAlwaysSet);
}

std::array<std::uint8_t, 2> Aht20::register_value(std::uint8_t reg) const {
    for (const auto& r : registers_)
        if (r.reg == reg) return r.value;
    return {0xFF, 0xFF};
}

void Aht20::set_values(double humidity, double temperature) {
    settings_.humidity = humidity;
    settings_.temperature = temperature;
}

// ---------------------------------------------------------------- reports

void Aht20::breach(const std::string& text) {
    ++counters_.breaches;
    board()->breach(*this, text);
}

void Aht20::fault(const std::string& text) { board()->report(*this, ReportKind::Fault, text); }

void Aht20::info(const std::string& text) { board()->info(*this, text); }

// A master that gets one phase wrong usually gets it wrong on every bit: each
// kind of timing breach is reported once per transfer.
void Aht20::check(Time measured, Time minimum, const char* what) {
    if (measured >= minimum) return;
    if (std::find(timing_reported_.begin(), timing_reported_.end(), what) != timing_reported_.end()) return;
    timing_reported_.push_back(what);
    breach(std::string(what) + " " + format_duration(measured) + ", shorter than the " +
               format_duration(minimum) + " the part needs");
}

// ---------------------------------------------------------------- bus edges

void Aht20::on_edge(int pin, Level level) {
    if (settings_.absent) return;
    if (pin == settings_.scl) {
        if (level != scl_) on_scl(level);
    } else if (pin == settings_.sda) {
        if (level != sda_) on_sda(level);
    }
}

void Aht20::on_sda(Level level) {
    const Time now = board()->now();
    sda_ = level;
    if (!is_high(scl_)) {
        sda_change_ = now;  // data changing while the clock is low: normal
        return;
    }
    // SDA changed while SCL is high: a bus condition.
    if (level == Level::Low)
        start_condition();
    else
        stop_condition();
    sda_change_ = now;
}

void Aht20::start_condition() {
    const Time now = board()->now();
    ++counters_.starts;
    timing_reported_.clear();
    if (in_transfer_) {
        // Repeated START: the clock must have been high long enough before it.
        check(now - scl_rise_, kStartSetupMin, "repeated START set-up");
        end_transfer();
    } else if (stop_at_ != kNever) {
        check(now - stop_at_, kBusFreeMin, "bus free time between STOP and START");
    }
    in_transfer_ = true;
    start_at_ = now;
    first_fall_after_start_ = true;
    phase_ = Phase::Address;
    bits_ = 0;
    shift_ = 0;
}

void Aht20::stop_condition() {
    const Time now = board()->now();
    if (!in_transfer_) {
        // A STOP on an idle bus (a master making sure the bus is free) ends nothing.
        stop_at_ = now;
        return;
    }
    ++counters_.stops;
    check(now - scl_rise_, kStopSetupMin, "STOP set-up");
    if (!transfers_.empty() && phase_ != Phase::Ignore) transfers_.back().stopped = true;
    end_transfer();
    in_transfer_ = false;
    phase_ = Phase::Idle;
    stop_at_ = now;
}

// Ends the transfer in progress at a STOP or repeated START: checks that no
// byte was cut short and runs a written command.
void Aht20::end_transfer() {
    // bits_ counts rising clock edges in the byte. One rising edge is the
    // clock going up for the STOP/START itself; more mean data bits were sent.
    if ((phase_ == Phase::Address || phase_ == Phase::WriteData || phase_ == Phase::ReadData) && bits_ >= 2)
        breach("byte cut short by " + std::string(is_high(sda_) ? "STOP" : "START") + " after " +
               std::to_string(bits_ - 1) + " bit(s)");
    if (driving_low_) {
        board()->drive(*this, settings_.sda, Drive::Release);
        driving_low_ = false;
    }
    if (phase_ != Phase::Ignore && phase_ != Phase::Address && !transfers_.empty()) {
        Transfer& t = transfers_.back();
        if (!t.read && t.acked && !t.dropped && !t.bytes.empty()) execute_command(t.bytes);
    }
    phase_ = Phase::Ignore;
}

void Aht20::on_scl(Level level) {
    const Time now = board()->now();
    scl_ = level;
    if (!in_transfer_) {
        (level == Level::High ? scl_rise_ : scl_fall_) = now;
        return;
    }

    if (level == Level::High) {
        if (!first_fall_after_start_) check(now - scl_fall_, kLowMin, "SCL low");
        scl_rise_ = now;
        switch (phase_) {
        case Phase::Address:
        case Phase::WriteData:
            check(now - sda_change_, kDataSetupMin, "data set-up");
            shift_ = static_cast<std::uint8_t>((shift_ << 1) | (is_high(sda_) ? 1 : 0));
            ++bits_;
            break;
        case Phase::ReadAck:
            check(now - sda_change_, kDataSetupMin, "acknowledge set-up");
            if (!transfers_.empty()) transfers_.back().master_nack = is_high(sda_);
            break;
        case Phase::ReadData:
            ++bits_;
            break;
        default:
            break;
        }
        return;
    }

    // Falling edge.
    if (first_fall_after_start_) {
        check(now - start_at_, kStartHoldMin, "START hold");
        first_fall_after_start_ = false;
    } else if (phase_ == Phase::Address || phase_ == Phase::WriteData || phase_ == Phase::ReadAck) {
        // The part samples SDA in this clock: the full high time applies.
        check(now - scl_rise_, kHighMin, "SCL high");
    } else {
        // The master samples (the part's acknowledge or data): the part only
        // has to see the pulse, which its input filter would swallow below 50 ns.
        check(now - scl_rise_, kSpikeMax, "SCL high pulse (part's bit or acknowledge)");
    }
    scl_fall_ = now;

    switch (phase_) {
    case Phase::Address:
    case Phase::WriteData:
        if (bits_ == 8) byte_received();
        break;
    case Phase::AddrAck:
    case Phase::WriteAck: {
        board()->drive(*this, settings_.sda, Drive::Release);
        driving_low_ = false;
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
            if (driving_low_) board()->drive(*this, settings_.sda, Drive::Release);
            driving_low_ = false;
            phase_ = Phase::ReadAck;
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
    default:
        break;
    }
}

// The eighth bit of an address or data byte has been clocked in and SCL has
// just fallen: acknowledge it (or not) right away.
void Aht20::byte_received() {
    const std::uint8_t byte = shift_;
    bits_ = 0;
    shift_ = 0;
    if (phase_ == Phase::Address) {
        if ((byte >> 1) != kAddress) {
            phase_ = Phase::Ignore;
            return;
        }
        if (board()->now() < settings_.startup_time) {
            if (!early_reported_)
                breach("addressed " + format_duration(board()->now()) + " after power-up, before the " +
                       format_duration(settings_.startup_time) + " the part needs to start");
            early_reported_ = true;
            phase_ = Phase::Ignore;
            return;
        }
        Transfer t;
        t.start = start_at_;
        t.read = (byte & 1) != 0;
        // A program's run keeps only the transfer in progress (memory stays
        // flat); tests keep them all.
        if (!board()->options().record_history) transfers_.clear();
        transfers_.push_back(t);
        ++counters_.transfers;
        ack_received_byte(true);
        return;
    }
    transfers_.back().bytes.push_back(byte);
    ack_received_byte(false);
}

void Aht20::ack_received_byte(bool is_address) {
    ++bytes_to_part_;
    if (settings_.nack_byte > 0 && bytes_to_part_ == settings_.nack_byte) {
        ++counters_.acks_withheld;
        const std::uint8_t byte = is_address ? (kAddress << 1 | (transfers_.back().read ? 1 : 0))
                                             : transfers_.back().bytes.back();
        fault("acknowledge withheld on byte " + std::to_string(bytes_to_part_) + " (" + hex(byte) + ")");
        if (is_address) {
            // Not answering the address: the part sits the transfer out.
            transfers_.pop_back();
            phase_ = Phase::Ignore;
        } else {
            // One missing acknowledge: the byte is lost, so the command is not
            // run, but the following bytes are acknowledged as usual.
            transfers_.back().dropped = true;
            phase_ = Phase::WriteAck;
        }
        return;
    }
    ++counters_.acks;
    if (is_address) {
        Transfer& t = transfers_.back();
        t.acked = true;
        if (t.read) {
            ++counters_.status_reads;
            // The answer is fixed when the read is addressed, status first.
            read_buffer_.clear();
            read_buffer_.push_back(status());
            if (selected_register_ >= 0) {
                const auto& r = registers_[static_cast<std::size_t>(selected_register_)];
                read_buffer_.push_back(r.value[0]);
                read_buffer_.push_back(r.value[1]);
            } else {
                for (std::size_t i = 1; i < 6; ++i) read_buffer_.push_back(frame_[i]);
                std::uint8_t crc = crc8(read_buffer_.data(), 6);
                if (settings_.corrupt_crc) crc = static_cast<std::uint8_t>(~crc);
                read_buffer_.push_back(crc);
            }
        }
    }
    board()->drive(*this, settings_.sda, Drive::Low);
    driving_low_ = true;
    phase_ = is_address ? Phase::AddrAck : Phase::WriteAck;
}

void Aht20::load_read_byte() {
    std::uint8_t b = read_index_ < read_buffer_.size() ? read_buffer_[read_index_] : 0xFF;
    if (read_index_ == 6 && settings_.corrupt_crc && selected_register_ < 0)
        fault("CRC byte sent inverted (" + hex(b) + ")");
    if (settings_.flip_bit >= 0 && settings_.flip_byte >= 0 &&
        read_index_ == static_cast<std::size_t>(settings_.flip_byte)) {
        const std::uint8_t flipped = static_cast<std::uint8_t>(b ^ (1u << settings_.flip_bit));
        fault("bit " + std::to_string(settings_.flip_bit) + " of byte " + std::to_string(read_index_) +
              " flipped in transit: " + hex(b) + " sent as " + hex(flipped));
        b = flipped;
    }
    if (read_index_ == 0) info("status read: " + hex(b));
    out_ = b;
    transfers_.back().bytes.push_back(b);
}

// Puts the next bit of out_ on SDA (most significant first), bits_ being the
// number already clocked out.
void Aht20::put_bit() {
    const bool one = (out_ >> (7 - bits_)) & 1;
    if (one && driving_low_) {
        board()->drive(*this, settings_.sda, Drive::Release);
        driving_low_ = false;
    } else if (!one && !driving_low_) {
        board()->drive(*this, settings_.sda, Drive::Low);
        driving_low_ = true;
    }
}

// ---------------------------------------------------------------- commands

void Aht20::execute_command(const std::vector<std::uint8_t>& cmd) {
    const std::uint8_t op = cmd[0];
    auto wrong_length = [&](std::size_t want) {
        breach("command " + hex(op) + " with " + std::to_string(cmd.size()) + " byte(s), expected " +
               std::to_string(want) + ": " + hex_list(cmd));
    };

    if (op == 0xAC) {
        if (cmd.size() != 3) return wrong_length(3);
        if (cmd[1] != 0x33 || cmd[2] != 0x00)
            return breach("measurement trigger with arguments " + hex(cmd[1]) + " " + hex(cmd[2]) +
                          ", expected 0x33 0x00");
        if (busy_) {
            info("measurement trigger while measuring: ignored");
            return;
        }
        start_measurement();
        return;
    }
    if (op == 0xBA) {
        if (cmd.size() != 1) return wrong_length(1);
        if (measurement_pending_) board()->cancel(measurement_event_);
        measurement_pending_ = false;
        power_up_state();
        info("soft reset");
        return;
    }
    for (std::size_t i = 0; i < registers_.size(); ++i) {
        Register& r = registers_[i];
        if (op == r.reg) {
            if (cmd.size() != 3) return wrong_length(3);
            if (cmd[1] != 0x00 || cmd[2] != 0x00)
                return breach("register " + hex(op) + " selected with " + hex(cmd[1]) + " " + hex(cmd[2]) +
                              ", expected 0x00 0x00");
            selected_register_ = static_cast<int>(i);
            ++counters_.register_reads;
            info("register " + hex(op) + " selected: holds " + hex(r.value[0]) + " " + hex(r.value[1]));
            return;
        }
        if (op == (0xB0 | r.reg)) {
            if (cmd.size() != 3) return wrong_length(3);
            r.value = {cmd[1], cmd[2]};
            r.written_back = true;
            ++counters_.write_backs;
            selected_register_ = -1;
            info("register " + hex(r.reg) + " written back: " + hex(cmd[1]) + " " + hex(cmd[2]));
            if (std::all_of(registers_.begin(), registers_.end(), [](const Register& x) { return x.written_back; }) &&
                !calibrated()) {
                cal_bits_ = kCalibrationMask;
                info("calibration registers set up: status bits 0x18 set");
            }
            return;
        }
    }
    breach("unknown command " + hex_list(cmd));
}

void Aht20::start_measurement() {
    ++counters_.triggers;
    busy_ = true;
    selected_register_ = -1;
    if (settings_.never_ready) {
        fault("measurement started and never ends");
        return;
    }
    info("measurement started");
    measurement_pending_ = true;
    measurement_event_ = board()->schedule(board()->now() + settings_.measurement_time, [this] {
        measurement_pending_ = false;
        busy_ = false;
        ++counters_.measurements;
        const std::uint32_t h = humidity_raw(settings_.humidity);
        const std::uint32_t t = temperature_raw(settings_.temperature);
        frame_[0] = status();
        frame_[1] = static_cast<std::uint8_t>(h >> 12);
        frame_[2] = static_cast<std::uint8_t>(h >> 4);
        frame_[3] = static_cast<std::uint8_t>(((h & 0x0F) << 4) | ((t >> 16) & 0x0F));
        frame_[4] = static_cast<std::uint8_t>(t >> 8);
        frame_[5] = static_cast<std::uint8_t>(t);
        frame_[6] = crc8(frame_.data(), 6);
        char buf[128];
        std::snprintf(buf, sizeof buf, "measurement done: %.3f %%RH (raw 0x%05X), %.3f C (raw 0x%05X)",
                      settings_.humidity, static_cast<unsigned>(h), settings_.temperature,
                      static_cast<unsigned>(t));
        info(buf);
    });
}

// ---------------------------------------------------------------- scenario

std::function<void()> Aht20::stimulus(const std::string& action, const Config& args) {
    if (action != "set") args.fail("action", "aht20 knows the action 'set', not");
    args.allow_only({"at", "device", "action", "humidity", "temperature"});
    if (!args.has("humidity") && !args.has("temperature")) args.fail_here("'set' needs humidity or temperature");
    const bool has_h = args.has("humidity");
    const bool has_t = args.has("temperature");
    const double h = has_h ? args.number_in("humidity", 0, 0, 100) : 0;
    const double t = has_t ? args.number_in("temperature", 0, -50, 150) : 0;
    return [this, has_h, has_t, h, t] {
        set_values(has_h ? h : settings_.humidity, has_t ? t : settings_.temperature);
        char buf[96];
        std::snprintf(buf, sizeof buf, "values set: %.3f %%RH, %.3f C", settings_.humidity, settings_.temperature);
        info(buf);
    };
}

void Aht20::finish() {
    if (!board()) return;
    info("summary: " + std::to_string(counters_.transfers) + " transfer(s), " + std::to_string(counters_.triggers) +
         " trigger(s), " + std::to_string(counters_.measurements) + " measurement(s), " +
         std::to_string(counters_.write_backs) + " register write-back(s), " + std::to_string(counters_.breaches) +
         " breach(es)");
}

namespace {

std::unique_ptr<Device> make_aht20(const std::string& name, const Config& c) {
    c.allow_only({"type", "name", "sda", "scl", "humidity", "temperature", "calibration_bits", "measurement_time",
                  "startup_time", "absent", "never_ready", "corrupt_crc", "flip_bit", "nack_byte"});
    Aht20::Settings s;
    s.sda = c.pin("sda", s.sda);
    s.scl = c.pin("scl", s.scl);
    if (s.sda == s.scl) c.fail(c.has("scl") ? "scl" : "sda", "SDA and SCL must be different pins, not both");
    s.humidity = c.number_in("humidity", s.humidity, 0, 100);
    s.temperature = c.number_in("temperature", s.temperature, -50, 150);
    const long cal = c.integer("calibration_bits", s.calibration_bits, 0, 0xFF);
    if (cal & ~long{Aht20::kCalibrationMask}) c.fail("calibration_bits", "only bits of mask 0x18 may be given, not");
    s.calibration_bits = static_cast<std::uint8_t>(cal);
    s.measurement_time = c.duration("measurement_time", s.measurement_time);
    s.startup_time = c.duration("startup_time", s.startup_time);
    s.absent = c.flag("absent", s.absent);
    s.never_ready = c.flag("never_ready", s.never_ready);
    s.corrupt_crc = c.flag("corrupt_crc", s.corrupt_crc);
    if (c.has("flip_bit")) {
        const Config f = c.child("flip_bit");
        f.allow_only({"byte", "bit"});
        s.flip_byte = static_cast<int>(f.integer("byte", 0, 0, 255));
        s.flip_bit = static_cast<int>(f.integer("bit", 0, 0, 7));
    }
    s.nack_byte = c.integer("nack_byte", 0, 0, 1000000000);
    return std::make_unique<Aht20>(name, s);
}

const DeviceRegistrar registrar{"aht20", make_aht20};

}  // namespace

}  // namespace pikit::sim
