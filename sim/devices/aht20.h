// AHT20 humidity and temperature sensor, modelled at the wire: an I2C slave at
// 7-bit address 0x38 (0x70 write, 0x71 read) on two open-drain lines (SDA,
// SCL) with pull-ups. The bus side (START/STOP, address, acknowledge, data
// bits, timing checks, the wire faults absent / flip_bit / nack_byte) is the
// shared I2C slave engine's (i2c_slave.h); this file is the part's commands
// and state:
//
//  - Commands (write transfers, executed at STOP or repeated START):
//      0xAC 0x33 0x00   start a measurement; status bit 7 reads 1 for the
//                       measurement time, then the frame holds the result
//      0x1B/0x1C/0x1E 0x00 0x00
//                       select a calibration register; the next read returns
//                       status and the register's two bytes
//      0xBB/0xBC/0xBE b1 b2
//                       write the two bytes back to register 0x1B/0x1C/0x1E;
//                       once all three are written back the calibration bits
//                       (status mask 0x18) read 1
//      0xBA             soft reset: back to the power-up state
//  - Any read starts with the status byte: bit 7 busy, bits 4 and 3 the
//    calibration bits, bit 2 always 1 (0x1C when idle and calibrated). After a
//    measurement a read gives status, 20 bits of humidity, 20 bits of
//    temperature and a CRC-8 (poly 0x31, init 0xFF) over those six bytes;
//    bytes beyond what the part has to say read 0xFF.
//
// Shows `humidity` (%RH) and `temperature` (degrees C): the air around the
// part, which its next measurement reads (from the settings, then each `set`).
//
// Strictness: the part meets the fast-mode I2C limits, so the master is held
// to those (see I2cLimits::fast()), and it does not answer before 40 ms after
// power-up. Besides the engine's reports (timing, a byte cut short, clocks
// after a not-acknowledge, an address sent too early) it reports commands it
// does not know or that have the wrong length or arguments. Contention on SDA
// (a master still driving HIGH while the part acknowledges) is seen and
// reported by the board, not by the model.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/device.h"
#include "core/time.h"
#include "core/timers.h"
#include "devices/i2c_slave.h"

namespace pikit::sim {

class Aht20 final : public I2cSlave {
public:
    static constexpr std::uint8_t kAddress = 0x38;
    static constexpr std::uint8_t kCalibrationMask = 0x18;

    // The bus settings and wire faults (sda, scl, startup_time, absent,
    // flip_byte / flip_bit, nack_byte) are the engine's, see I2cSlaveSettings.
    struct Settings : I2cSlaveSettings {
        Settings() { startup_time = 40_ms; }  // no answer before this after power-up
        double humidity = 50.0;               // %RH, 0..100
        double temperature = 25.0;            // degrees C, -50..150
        // Status bits of mask 0x18 at power-up: 0x18 is a calibrated part;
        // anything else asks the master to set up the calibration registers.
        std::uint8_t calibration_bits = kCalibrationMask;
        Time measurement_time = 80_ms;  // busy time after a trigger
        // Faults of the part itself.
        bool never_ready = false;  // a measurement never ends: busy forever
        bool corrupt_crc = false;  // the CRC byte of the frame is sent inverted
    };

    // One transfer addressed to the part, from START to STOP or repeated
    // START; `dropped`: a withheld acknowledge lost a byte, the command is
    // not run.
    using Transfer = I2cTransfer;

    struct Counters : I2cSlave::Counters {
        unsigned status_reads = 0;    // read transfers (each begins with the status)
        unsigned triggers = 0;        // measurement triggers accepted
        unsigned measurements = 0;    // measurements finished
        unsigned register_reads = 0;  // calibration registers selected
        unsigned write_backs = 0;     // calibration registers written back
    };

    Aht20(std::string name, Settings settings);

    void attach(Board& board) override;
    void finish() override;

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    Counters counters() const;
    std::uint8_t status() const;
    bool busy() const { return busy_; }
    bool calibrated() const { return (cal_bits_ & kCalibrationMask) == kCalibrationMask; }
    // The result of the last finished measurement: status byte as it was then,
    // the five data bytes and the CRC over those six.
    const std::array<std::uint8_t, 7>& frame() const { return frame_; }
    std::array<std::uint8_t, 2> register_value(std::uint8_t reg) const;
    // New values for the next measurement.
    void set_values(double humidity, double temperature);
    // Either or both, and says so in the log (the scenario's `set`).
    void set(std::optional<double> humidity, std::optional<double> temperature);

    // The part's conversions and checksum, as its datasheet formulas give them.
    static std::uint32_t humidity_raw(double percent);
    static std::uint32_t temperature_raw(double celsius);
    static std::uint8_t crc8(const std::uint8_t* data, std::size_t n);

private:
    void show_values();
    bool addressed(bool read) override;
    std::uint8_t next_byte(std::size_t index) override;
    void sending(std::size_t index, std::uint8_t wire) override;
    void ended(const I2cTransfer& t) override;

    void execute_command(const std::vector<std::uint8_t>& cmd);
    void start_measurement();
    void measurement_done();
    void power_up_state();

    Settings settings_;
    Counters part_;  // the part's own counters (the bus ones are the engine's)

    std::uint8_t cal_bits_ = 0;
    bool busy_ = false;
    std::array<std::uint8_t, 7> frame_{};
    struct Register {
        std::uint8_t reg;
        std::array<std::uint8_t, 2> value;
        bool written_back;
    };
    std::array<Register, 3> registers_{};
    int selected_register_ = -1;  // index into registers_ after a register select, else -1
    Timer measurement_;           // the end of the measurement under way
    // The answer of the read in progress, fixed when it is addressed.
    std::vector<std::uint8_t> read_buffer_;
};

}  // namespace pikit::sim
