// AHT20 humidity and temperature sensor: its commands, state and faults on
// top of the I2C slave engine. See aht20.h for what the part does.
#include "devices/aht20.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "core/board.h"
#include "core/model.h"

namespace pikit::sim {

namespace {

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

}  // namespace

Aht20::Aht20(std::string name, Settings settings)
    : I2cSlave("aht20", std::move(name), kAddress, I2cMode::Fast, settings), settings_(settings) {
    power_up_state();
}

void Aht20::attach(Board& board) {
    I2cSlave::attach(board);
    measurement_.bind(board, [this] { measurement_done(); });
    show_values();
}

void Aht20::show_values() {
    // The air the sensor is in, which its next measurement reads.
    if (!board()) return;
    board()->show(*this, "humidity", settings_.humidity);
    board()->show(*this, "temperature", settings_.temperature);
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
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x80) ? static_cast<std::uint8_t>((crc << 1) ^ 0x31) : static_cast<std::uint8_t>(crc << 1);
    }
    return crc;
}

std::uint8_t Aht20::status() const { return static_cast<std::uint8_t>((busy_ ? kStatusBusy : 0) | cal_bits_ | kStatusAlwaysSet); }

std::array<std::uint8_t, 2> Aht20::register_value(std::uint8_t reg) const {
    for (const auto& r : registers_)
        if (r.reg == reg) return r.value;
    return {0xFF, 0xFF};
}

void Aht20::set_values(double humidity, double temperature) {
    settings_.humidity = humidity;
    settings_.temperature = temperature;
    show_values();
}

Aht20::Counters Aht20::counters() const {
    Counters c = part_;
    static_cast<I2cSlave::Counters&>(c) = bus_counters();
    return c;
}

// ---------------------------------------------------------------- bus hooks

bool Aht20::addressed(bool read) {
    if (read) {
        ++part_.status_reads;
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
    return true;
}

std::uint8_t Aht20::next_byte(std::size_t index) {
    const std::uint8_t b = index < read_buffer_.size() ? read_buffer_[index] : 0xFF;
    if (index == 6 && settings_.corrupt_crc && selected_register_ < 0) fault("CRC byte sent inverted (" + hex(b) + ")");
    return b;
}

void Aht20::sending(std::size_t index, std::uint8_t wire) {
    if (index == 0) info("status read: " + hex(wire));
}

// A write transfer is a command, run when it ends, unless a byte of it was
// lost to a withheld acknowledge.
void Aht20::ended(const I2cTransfer& t) {
    if (!t.read && !t.dropped && !t.bytes.empty()) execute_command(t.bytes);
}

// ---------------------------------------------------------------- commands

void Aht20::execute_command(const std::vector<std::uint8_t>& cmd) {
    const std::uint8_t op = cmd[0];
    auto wrong_length = [&](std::size_t want) {
        breach("command " + hex(op) + " with " + std::to_string(cmd.size()) + " byte(s), expected " + std::to_string(want) +
               ": " + hex(cmd));
    };

    if (op == 0xAC) {
        if (cmd.size() != 3) return wrong_length(3);
        if (cmd[1] != 0x33 || cmd[2] != 0x00)
            return breach("measurement trigger with arguments " + hex(cmd[1]) + " " + hex(cmd[2]) + ", expected 0x33 0x00");
        if (busy_) {
            info("measurement trigger while measuring: ignored");
            return;
        }
        start_measurement();
        return;
    }
    if (op == 0xBA) {
        if (cmd.size() != 1) return wrong_length(1);
        measurement_.cancel();
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
            ++part_.register_reads;
            info("register " + hex(op) + " selected: holds " + hex(r.value[0]) + " " + hex(r.value[1]));
            return;
        }
        if (op == (0xB0 | r.reg)) {
            if (cmd.size() != 3) return wrong_length(3);
            r.value = {cmd[1], cmd[2]};
            r.written_back = true;
            ++part_.write_backs;
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
    breach("unknown command " + hex(cmd));
}

void Aht20::start_measurement() {
    ++part_.triggers;
    busy_ = true;
    selected_register_ = -1;
    if (settings_.never_ready) {
        fault("measurement started and never ends");
        return;
    }
    info("measurement started");
    measurement_.in(settings_.measurement_time);
}

void Aht20::measurement_done() {
    busy_ = false;
    ++part_.measurements;
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
    std::snprintf(buf, sizeof buf, "measurement done: %.3f %%RH (raw 0x%05X), %.3f C (raw 0x%05X)", settings_.humidity,
                  static_cast<unsigned>(h), settings_.temperature, static_cast<unsigned>(t));
    info(buf);
}

// ---------------------------------------------------------------- scenario

void Aht20::finish() {
    if (!board()) return;
    const Counters c = counters();
    info("summary: " + std::to_string(c.transfers) + " transfer(s), " + std::to_string(c.triggers) + " trigger(s), " +
         std::to_string(c.measurements) + " measurement(s), " + std::to_string(c.write_backs) + " register write-back(s), " +
         std::to_string(c.breaches) + " breach(es)");
}

void Aht20::set(std::optional<double> humidity, std::optional<double> temperature) {
    set_values(humidity.value_or(settings_.humidity), temperature.value_or(settings_.temperature));
    char buf[96];
    std::snprintf(buf, sizeof buf, "values set: %.3f %%RH, %.3f C", settings_.humidity, settings_.temperature);
    info(buf);
}

namespace {

using S = Aht20::Settings;

struct Values {
    std::optional<double> humidity;
    std::optional<double> temperature;
};

const DeviceRegistrar registrar{
    ModelOf<Aht20, S>(
        "aht20", "AHT20 humidity and temperature sensor on I2C at 0x38",
        Fields<S>()
            .include(i2c_fields())
            .number("humidity", &S::humidity, 0, 100, "relative humidity the next measurement finds")
            .unit("%RH")
            .number("temperature", &S::temperature, -50, 150, "temperature the next measurement finds")
            .unit("C")
            .integer("calibration_bits", &S::calibration_bits, 0, 0xFF,
                     "status bits 4 and 3 at power-up: 0x18 is a calibrated part, anything else asks for set-up")
            .hex()
            .when("only bits of mask 0x18")
            .duration("measurement_time", &S::measurement_time, 1_ms, 1_s, "busy time after a measurement is triggered")
            .flag("never_ready", &S::never_ready, "fault: a measurement never ends")
            .flag("corrupt_crc", &S::corrupt_crc, "fault: the frame's CRC byte is sent inverted")
            .rule([](const S& s, const Config& c) {
                if (s.calibration_bits & ~Aht20::kCalibrationMask)
                    c.fail("calibration_bits", "only bits of mask 0x18 may be given");
            }))
        .action<Values>(
            "set", "new values for the next measurement: humidity, temperature or both",
            Fields<Values>()
                .number("humidity", &Values::humidity, 0, 100, "relative humidity")
                .unit("%RH")
                .defaults("unchanged")
                .number("temperature", &Values::temperature, -50, 150, "temperature")
                .unit("C")
                .defaults("unchanged"),
            [](Aht20& a, const Values& v) { a.set(v.humidity, v.temperature); }, {},
            [](const S&, const Values& v, const Config& c) {
                if (!v.humidity && !v.temperature) c.fail_here("'set' needs humidity or temperature");
            })
        .shows("humidity", ShownType::Number, "the air's relative humidity (%RH), which the next measurement reads")
        .shows("temperature", ShownType::Number, "the air's temperature (C), which the next measurement reads")};

}  // namespace

}  // namespace pikit::sim
