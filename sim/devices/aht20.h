// AHT20 humidity and temperature sensor, modelled at the wire: an I2C slave at
// 7-bit address 0x38 on two open-drain lines (SDA, SCL) with pull-ups.
//
// What the part does on the bus:
//  - START / STOP detection, address match (0x70 write, 0x71 read), and an
//    acknowledge pulled low for the whole ninth clock, taken up at once on the
//    falling edge that ends the eighth bit.
//  - Read data is put on SDA on each falling SCL edge and held while SCL is
//    high; a master acknowledge asks for the next byte, a not-acknowledge
//    ends the transfer.
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
// Strictness: the model checks the master against the fast-mode I2C limits
// (which the part meets at 100 and 400 kHz): SCL low >= 1.3 us, SCL high
// >= 0.6 us in clocks where the part samples SDA (address, data written to
// it, the master's acknowledge), data set-up >= 100 ns, start hold and set-up
// >= 0.6 us, stop set-up >= 0.6 us, bus free between STOP and START >= 1.3 us.
// In clocks where the master samples (the part's acknowledge and data bits)
// the high time is the master's own affair; the part only has to see the
// pulse, so there the limit is its 50 ns input spike filter. It also
// reports a byte cut short by START/STOP, clocks after a not-acknowledge, an
// address byte sent before the part is ready after power-up, and commands it
// does not know or that have the wrong length or arguments. Contention on SDA
// (a master still driving HIGH while the part acknowledges) is seen and
// reported by the board, not by the model.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/device.h"
#include "core/time.h"

namespace pikit::sim {

class Aht20 final : public Device {
public:
    static constexpr std::uint8_t kAddress = 0x38;
    static constexpr std::uint8_t kCalibrationMask = 0x18;

    struct Settings {
        int sda = 8;
        int scl = 9;
        double humidity = 50.0;      // %RH, 0..100
        double temperature = 25.0;   // degrees C, -50..150
        // Status bits of mask 0x18 at power-up: 0x18 is a calibrated part;
        // anything else asks the master to set up the calibration registers.
        std::uint8_t calibration_bits = kCalibrationMask;
        Time measurement_time = 80_ms;  // busy time after a trigger
        Time startup_time = 40_ms;      // no answer before this after power-up
        // Faults.
        bool absent = false;         // never answers: no acknowledge, lines stay high
        bool never_ready = false;    // a measurement never ends: busy forever
        bool corrupt_crc = false;    // the CRC byte of the frame is sent inverted
        int flip_byte = -1;          // byte index within every read transfer (0 = status)
        int flip_bit = 0;            // whose bit (0..7) is inverted on the wire; flip_byte -1: none
        // Withhold the acknowledge of this byte (1 = the first byte sent to the
        // part since power-up, address bytes included); 0: none. A withheld
        // address means the part sits that transfer out; a withheld data byte
        // is lost and its command not run.
        long nack_byte = 0;
    };

    // One transfer addressed to the part, from START to STOP or repeated START.
    struct Transfer {
        Time start = 0;
        bool read = false;
        bool acked = false;                // the address byte was acknowledged
        std::vector<std::uint8_t> bytes;   // written by the master, or sent by the part (as on the wire)
        bool master_nack = false;          // read: the master ended with a not-acknowledge
        bool stopped = false;              // ended by a STOP (not a repeated START / still open)
        bool dropped = false;              // write: a byte was not acknowledged, the command is not run
    };

    struct Counters {
        unsigned starts = 0;            // START and repeated START conditions seen
        unsigned stops = 0;
        unsigned transfers = 0;         // transfers addressed to the sensor
        unsigned acks = 0;              // acknowledges given (address and data bytes)
        unsigned acks_withheld = 0;     // by the nack_byte fault
        unsigned status_reads = 0;      // read transfers (each begins with the status)
        unsigned triggers = 0;          // measurement triggers accepted
        unsigned measurements = 0;      // measurements finished
        unsigned register_reads = 0;    // calibration registers selected
        unsigned write_backs = 0;       // calibration registers written back
        unsigned breaches = 0;
    };

    Aht20(std::string name, Settings settings);

    void attach(Board& board) override;
    void on_edge(int pin, Level level) override;
    std::function<void()> stimulus(const std::string& action, const Config& args) override;
    void finish() override;

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    const Counters& counters() const { return counters_; }
    const std::vector<Transfer>& transfers() const { return transfers_; }
    std::uint8_t status() const;
    bool busy() const { return busy_; }
    bool calibrated() const { return (cal_bits_ & kCalibrationMask) == kCalibrationMask; }
    // The result of the last finished measurement: status byte as it was then,
    // the five data bytes and the CRC over those six.
    const std::array<std::uint8_t, 7>& frame() const { return frame_; }
    std::array<std::uint8_t, 2> register_value(std::uint8_t reg) const;
    // New values for the next measurement (also the scenario's `set` stimulus).
    void set_values(double humidity, double temperature);

    // The part's conversions and checksum, as its datasheet formulas give them.
    static std::uint32_t humidity_raw(double percent);
    static std::uint32_t temperature_raw(double celsius);
    static std::uint8_t crc8(const std::uint8_t* data, std::size_t n);

private:
    enum class Phase : unsigned char {
        Idle,       // no transfer on the bus
        Ignore,     // transfer not for the part (or abandoned): wait for START/STOP
        Address,    // receiving the address byte
        AddrAck,    // acknowledging it
        WriteData,  // receiving a data byte
        WriteAck,   // acknowledging it
        ReadData,   // sending a byte
        ReadAck,    // the master's acknowledge bit
        AfterNack,  // master said not-acknowledge: only STOP/START expected
    };

    void on_scl(Level level);
    void on_sda(Level level);
    void start_condition();
    void stop_condition();
    void end_transfer();
    void byte_received();
    void ack_received_byte(bool is_address);
    void load_read_byte();
    void put_bit();
    void execute_command(const std::vector<std::uint8_t>& cmd);
    void start_measurement();
    void power_up_state();
    void check(Time measured, Time minimum, const char* what);
    void breach(const std::string& text);
    void fault(const std::string& text);
    void info(const std::string& text);

    Settings settings_;
    Counters counters_;
    std::vector<Transfer> transfers_;

    // Part state.
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
    std::uint64_t measurement_event_ = 0;
    bool measurement_pending_ = false;

    // Bus state.
    Level scl_ = Level::High;
    Level sda_ = Level::High;
    Phase phase_ = Phase::Idle;
    bool in_transfer_ = false;    // between START and STOP (whoever it is for)
    int bits_ = 0;                // rising SCL edges in the current byte
    std::uint8_t shift_ = 0;      // byte being received
    std::uint8_t out_ = 0;        // byte being sent
    bool driving_low_ = false;
    long bytes_to_part_ = 0;      // bytes addressed to the part, for nack_byte
    std::vector<std::uint8_t> read_buffer_;
    std::size_t read_index_ = 0;  // index of the byte being sent in the read transfer
    bool clocked_after_nack_ = false;
    bool early_reported_ = false;

    // Times for the timing checks.
    Time scl_rise_ = 0;
    Time scl_fall_ = 0;
    Time sda_change_ = 0;
    Time start_at_ = 0;
    Time stop_at_ = kNever;
    bool first_fall_after_start_ = false;
    std::vector<const char*> timing_reported_;  // timing breaches already reported in this transfer
};

}  // namespace pikit::sim
