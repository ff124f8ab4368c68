// The infrared co-processor board: a small board with its own infrared
// receiver and microcontroller that decodes remote-control frames itself and
// offers what it found as 16-bit registers on the I2C bus, at 7-bit address
// 0x2D. Its bus side is the shared I2C slave engine, held to standard-mode
// timing (the Pi's controller runs it at 100 kHz).
//
// Registers: a byte-wide register file of six bytes, each 16-bit register
// high byte first:
//   0-1  register 0 (another sensor of the board; settable, 0 by default)
//   2-3  register 2 (likewise)
//   4-5  register 4: the code of the last remote key decoded, 0 for none
// A write of one byte sets the register pointer; a read sends from the
// pointer on, one byte after the other, and 0xFF past the last. What a read
// sends is taken when its address is acknowledged, so a code that changes in
// the middle of a read never comes out half old, half new. The registers are
// read-only: a second byte in a write, or a register number past 5, is not
// acknowledged and is reported as a breach.
//
// When register 4 is cleared (scenario `clear`):
//   on_read     (default) once both of its bytes have been read; a key that
//               comes before the last one was read replaces it
//   on_release  when the key is let go, `hold` after the press, but never
//               sooner than the board's repeat timeout (108 ms, one NEC frame
//               period) after the key was decoded: a tap shows that long
// A key is decoded `decode_time` after it is pressed (67.5 ms: an NEC frame
// has to arrive in full).
//
// Actions: `press` (a key held for `hold`), `down` / `up` (held until let
// go), `set` (register 0 or 2). Settings, actions and what it shows, with
// defaults and ranges: docs/devices.md; the engine's faults: docs/i2c-slave.md.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/timers.h"
#include "devices/i2c_slave.h"

namespace pikit::sim {

class IrBoard final : public I2cSlave {
public:
    static constexpr std::uint8_t kAddress = 0x2D;
    static constexpr Time kRepeatTimeout = 108_ms;

    enum class Clear : unsigned char { OnRead, OnRelease };

    struct Settings : I2cSlaveSettings {
        std::uint16_t register0 = 0;
        std::uint16_t register2 = 0;
        Clear clear = Clear::OnRead;
        Time decode_time = 67500_us;
    };

    IrBoard(std::string name, Settings settings);

    void attach(Board& board) override;
    void finish() override;

    // ---- what the board can be made to do (device side: board lock held) ----
    // A remote key pressed now and held for `hold` (kNever: until let_go()).
    void press(std::uint16_t code, Time hold);
    void let_go();
    void set_register(std::uint8_t reg, std::uint16_t value);
    // The same, and says so in the log (the scenario's `set`).
    void set(std::uint8_t reg, std::uint16_t value);

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    std::uint16_t code() const { return code_; }
    std::uint16_t register_value(std::uint8_t reg) const;
    unsigned keys_decoded() const { return decoded_; }
    unsigned code_reads() const { return code_reads_; }  // reads that sent both bytes of register 4

private:
    bool addressed(bool read) override;
    bool written(std::uint8_t byte) override;
    std::uint8_t next_byte(std::size_t index) override;
    void sending(std::size_t index, std::uint8_t wire) override;

    void set_code(std::uint16_t code);

    Settings settings_;
    std::uint16_t code_ = 0;
    std::uint8_t pointer_ = 0;              // register pointer
    std::array<std::uint8_t, 6> answer_{};  // the register file as a read found it
    std::uint8_t answer_from_ = 0;          // pointer at the start of that read
    unsigned decoded_ = 0;
    unsigned code_reads_ = 0;
    // The key pressed: decoded after decode_time, let go at the release.
    std::uint16_t pending_code_ = 0;
    Time release_at_ = 0;
    Time decoded_at_ = 0;
    Timer decode_;
    Timer clear_;
};

}  // namespace pikit::sim
