// The slave side of a standard-speed 1-Wire bus, shared by every 1-Wire
// device model: reset and presence, write-slot sampling, read-slot answers,
// the ROM command layer (Read ROM, Match ROM, Skip ROM, Search ROM and the
// conditional search), the timing checks a strict slave can make of the
// master, and the faults a test may inject on the wire.
//
// The bus is one open-drain line with a pull-up resistor. The master starts
// every slot by pulling the line low; a device only ever pulls low or lets go,
// so any number of devices share the line as a wired-AND. A model sees the
// line through on_edge() and tells a master's falling edge from another
// device's (a presence pulse, a stuck device) by asking the board whether the
// master drives the pin low.
//
// A concrete device derives from OneWireSlave and implements the function
// layer (what follows a successful ROM command) through the hooks below.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/board.h"
#include "core/config.h"
#include "core/device.h"
#include "core/time.h"

namespace pikit::sim {

// 64-bit ROM id in bus order: [0] family code, [1..6] serial, [7] CRC-8.
using RomId = std::array<std::uint8_t, 8>;

// The 1-Wire CRC-8 (polynomial x^8 + x^5 + x^4 + 1, reflected, start 0).
std::uint8_t onewire_crc8(const std::uint8_t* data, std::size_t len);
// The 1-Wire CRC-16 (x^16 + x^15 + x^2 + 1, reflected) continued from `crc`.
// Devices send its complement, low byte first.
std::uint16_t onewire_crc16(std::uint16_t crc, const std::uint8_t* data, std::size_t len);

// 7 bytes: the CRC-8 is computed and appended; 8 bytes: taken as given (a
// wrong CRC byte is allowed on purpose). Anything else throws std::invalid_argument.
RomId make_rom(const std::vector<std::uint8_t>& bytes);
std::string rom_hex(const RomId& rom);  // "2D5A3C1900000012"

// The timing windows of the slave's side of the bus. Each has a range the
// part may fall in anywhere; fast() and slow() put every window at the end of
// its range, so a master can be tried against both corners.
struct OneWireTiming {
    Time presence_wait = 30_us;  // release of the reset pulse -> presence starts (15..60 us)
    Time presence_low = 120_us;  // length of the presence pulse (60..240 us)
    Time sample_at = 30_us;      // falling edge -> the device samples a write slot (15..60 us)
    Time hold_zero = 30_us;      // falling edge -> the device lets go after sending a 0 (15..60 us)

    static OneWireTiming typical() { return {}; }
    static OneWireTiming fast() { return {15_us, 60_us, 15_us, 15_us}; }
    static OneWireTiming slow() { return {60_us, 240_us, 60_us, 60_us}; }
};

// Limits the slave holds the master to (standard speed).
struct OneWireLimits {
    static constexpr Time reset_low_min = 480_us;   // reset pulse
    static constexpr Time reset_high_min = 480_us;  // release of the reset -> first slot
    static constexpr Time slot_min = 60_us;         // falling edge to falling edge
    static constexpr Time slot_low_min = 1_us;      // shortest low that starts a time slot
    static constexpr Time slot_low_max = 120_us;    // longest low that is still a time slot
    static constexpr Time recovery_min = 1_us;      // high time between two slots
    static constexpr Time write1_low_max = 15_us;   // a write-1 must end before the sample window
    static constexpr Time write0_low_min = 60_us;   // a write-0 must cover the whole sample window
    static constexpr Time read_low_max = 15_us;     // master's own low time in a read slot
};

// A bit flipped on the wire in one byte of one kind of transaction.
struct FlipRule {
    enum class Layer : unsigned char { Rom, Function };
    Layer layer = Layer::Function;
    std::uint8_t command = 0;  // the ROM or function command whose bytes are hit
    int byte = 0;              // index of the byte after the command byte (0 = first)
    int bit = 0;               // 0..7
    int after = 0;             // leave this many transactions with that command alone first
    int times = 1;             // then hit this many of them; 0 = every one from then on
};

// Independent random flips of single bits, from a seeded generator, so that
// a run is the same every time.
struct RandomFlips {
    double reply = 0.0;     // probability for each bit the device sends
    double received = 0.0;  // probability for each bit the device samples
    std::uint64_t seed = 1;
};

// Settings every 1-Wire device model has (scenario keys in parentheses).
struct OneWireSettings {
    int pin = 27;                        // (pin)
    RomId rom{};                         // (rom) 7 or 8 bytes
    OneWireTiming timing;                // (timing: typical|fast|slow, and per-window overrides)
    bool alarm = false;                  // (alarm) takes part in conditional searches
    bool stuck_low = false;              // (stuck_low) holds the line low from power-up
    std::vector<FlipRule> flip_reply;    // (flip_reply: [..])
    std::vector<FlipRule> flip_received; // (flip_received: [..])
    RandomFlips random;                  // (flip_random: {reply, received, seed})
    long leave_after_search_bits = -1;   // (leave_after_search_bits) -1: never
    Time leave_at = kNever;              // (leave_at)

    // Reads the keys above from a device entry (the scenario loader refuses
    // the keys that neither this nor the part's own settings asked for).
    static OneWireSettings from_config(const Config& c);
};

class OneWireSlave : public Device {
public:
    OneWireSlave(std::string type, std::string name, OneWireSettings settings);

    const RomId& rom() const { return s_.rom; }
    int pin() const { return s_.pin; }
    const OneWireTiming& timing() const { return s_.timing; }

    // Fault and condition controls. They act on the board as device code does,
    // so call them with the board lock held: in the settings before add(),
    // from a scenario stimulus, or from a scheduled event. A test thread may
    // call them between its own program calls only while no other thread uses
    // the board and no event of this device is pending.
    void set_alarm(bool on) { s_.alarm = on; }
    bool alarm() const { return s_.alarm; }
    void stick_low(bool on);       // hold the line low (true) or let it go again
    void leave_bus();              // unplugged: lets go of the line, answers nothing
    void rejoin_bus();             // plugged in again (answers from the next reset)
    bool on_bus() const { return !gone_; }
    void leave_after_search_bits(long n) { s_.leave_after_search_bits = n; }
    void add_reply_flip(const FlipRule& r);
    void add_received_flip(const FlipRule& r);
    void set_random_flips(const RandomFlips& r);

    // Counters for tests.
    long resets_seen() const { return resets_; }
    long search_bits_done() const { return search_bits_; }

    void attach(Board& board) override;
    void on_edge(int pin, Level level) final;
    std::function<void()> stimulus(const std::string& action, const Config& args) override;

protected:
    // ---- function layer, implemented by the concrete device ----
    // The device was selected (Match/Skip/Read ROM/Search) and the master sent
    // this function command. Call receive(), send() or stay idle.
    virtual void function_command(std::uint8_t cmd);
    // A byte the master wrote after the function command (faults applied).
    virtual void function_byte(std::uint8_t) {}
    // The byte given to send() has gone out; send another, receive() or idle().
    virtual void function_byte_sent() { idle(); }
    // A reset pulse ended whatever was going on.
    virtual void bus_reset() {}
    // A busy() period ended; `powered` is false when the master let the line
    // drop (or pulled it low) during it.
    virtual void busy_done(bool /*powered*/) {}

    // ---- what the function layer may do ----
    void receive();                    // the next slots are write slots: collect a byte
    void send(std::uint8_t byte);      // the next 8 slots are read slots answering this byte
    void idle();                       // answer nothing (the master reads 1s) until a reset
    // Start an internal operation (EEPROM programming) that needs the line held
    // high by the master for `duration`; any slot or low level meanwhile is a breach.
    void busy(Time duration);
    // A master that sent something it must not (an unknown command, a bad
    // address) is reported as a breach, unless an injected fault changed
    // what the part received in this transaction: then it is that fault's doing.
    void sequence_breach(const std::string& text);
    std::uint8_t command() const { return cmd_; }
    int bytes_received() const { return rx_count_; }  // after the command byte
    int bytes_sent() const { return tx_count_; }

private:
    enum class Phase : unsigned char { Idle, Presence, RomCommand, Receive, Send, Search, Busy };
    enum class Step : unsigned char { Id, Complement, Direction };
    enum class Slot : unsigned char { None, Write, Read };

    void leave(const std::string& why);
    void master_fall();
    void line_rise();
    void start_write_slot();
    void start_read_slot(bool bit);
    void sample_write_slot();
    void release_zero();
    void reset_pulse();
    void byte_received(std::uint8_t b);
    void start_command(FlipRule::Layer layer, std::uint8_t cmd);
    std::uint8_t flip(std::vector<FlipRule>& rules, std::vector<int>& seen, std::uint8_t b, int index,
                      const char* what);
    void select();  // ROM layer done: the next byte is a function command
    void end_busy(bool powered);
    void poll_power();
    void clear_events();
    void drive_low();
    void let_go();
    bool master_drives_low() const;
    void cancel(std::optional<Board::EventId>& id);

    OneWireSettings s_;
    std::mt19937_64 rng_;
    std::uniform_real_distribution<double> uni_{0.0, 1.0};
    std::vector<int> reply_seen_;     // per flip_reply rule: transactions with its command so far
    std::vector<int> received_seen_;  // per flip_received rule

    Phase phase_ = Phase::Idle;
    bool gone_ = false;
    bool stuck_ = false;
    bool driving_ = false;
    bool rx_fault_ = false;  // an injected flip altered a received bit since the last reset

    // the master's last low
    Time fall_at_ = -1;
    Time rise_at_ = -1;
    Time reset_rise_at_ = -1;  // end of the last reset pulse, until the first slot after it
    bool in_low_ = false;      // a master's low has begun and the line has not risen since
    bool last_low_was_slot_ = false;
    bool master_long_read_ = false;
    Slot slot_ = Slot::None;
    bool pending_byte_ = false;  // a byte whose last slot has not ended yet
    std::uint8_t pending_value_ = 0;

    // the bit engine
    std::uint8_t rx_byte_ = 0;
    int rx_bits_ = 0;
    std::uint8_t tx_byte_ = 0;
    int tx_bits_ = 0;
    int search_pos_ = 0;
    Step search_step_ = Step::Id;
    bool search_bit_ = false;

    // the transaction
    FlipRule::Layer layer_ = FlipRule::Layer::Rom;
    std::uint8_t cmd_ = 0;
    bool awaiting_function_cmd_ = false;
    int rx_count_ = 0;
    int tx_count_ = 0;

    // busy period
    Time busy_start_ = 0;
    bool busy_powered_ = true;

    long resets_ = 0;
    long search_bits_ = 0;

    std::optional<Board::EventId> ev_sample_, ev_release_, ev_presence_, ev_check_, ev_busy_, ev_poll_;
};

// Reads `key` as a byte value written in decimal or 0x-hex.
std::uint8_t config_byte(const Config& c, const char* key, std::uint8_t fallback);

}  // namespace pikit::sim
