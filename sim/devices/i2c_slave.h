// The slave side of an I2C bus, shared by every I2C device model: START,
// repeated START and STOP, 7-bit address matching, acknowledge, data out while
// SCL is low and held while it is high, the master's acknowledge and
// not-acknowledge, clock stretching for parts that need it, the timing checks a
// strict part makes of the master (standard mode or fast mode), and the faults
// a test may inject on the wire.
//
// The bus is two open-drain lines with pull-ups. Everybody only ever pulls a
// line low or lets it go, so the master, the Pi's own I2C controller and any
// number of parts share the lines as a wired-AND. The engine follows the bus
// edge by edge through on_edge(): SDA changing while SCL is high is a START
// (falling) or a STOP (rising); otherwise SCL's rising edges are where bits are
// sampled and its falling edges where the part changes SDA (acknowledge, next
// data bit, let go). Both masters of the kit, the bit-banged one and the
// bcm2835 controller, look the same from here.
//
// A concrete part derives from I2cSlave and implements what its bytes mean
// through the hooks below; everything about bits, conditions and timing is
// the engine's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/board.h"
#include "core/config.h"
#include "core/fields.h"
#include "core/device.h"
#include "core/format.h"
#include "core/time.h"
#include "core/timers.h"
#include "devices/bus_events.h"

namespace pikit::sim {

// The limits a part holds the master to. A part rated for fast mode (400 kHz)
// also runs at 100 kHz and only needs the looser fast-mode limits met; a
// standard-mode part needs the standard-mode ones.
struct I2cLimits {
    Time low_min;          // SCL low
    Time high_min;         // SCL high, in clocks where the part samples SDA
    Time data_setup_min;   // SDA stable before SCL rises
    Time start_hold_min;   // START (or repeated START) to the first falling SCL edge
    Time start_setup_min;  // SCL high before a repeated START
    Time stop_setup_min;   // SCL high before a STOP
    Time bus_free_min;     // STOP to the next START
    // Input spike filter: a clock pulse shorter than this is not seen at all.
    // In clocks where the master samples (the part's acknowledge and data)
    // the high time is the master's own business; the part only has to see
    // the pulse.
    Time spike_max;

    static constexpr I2cLimits standard() { return {4700_ns, 4000_ns, 250_ns, 4000_ns, 4700_ns, 4000_ns, 4700_ns, 50_ns}; }
    static constexpr I2cLimits fast() { return {1300_ns, 600_ns, 100_ns, 600_ns, 600_ns, 600_ns, 1300_ns, 50_ns}; }
};

enum class I2cMode : unsigned char { Standard, Fast };

// Settings every I2C part has (scenario keys in parentheses). A part derives
// its own settings from this and adds what is its own.
struct I2cSlaveSettings {
    int sda = 8;  // (sda) wiringPi pin
    int scl = 9;  // (scl)
    // The part does not answer before this after power-up; a master that
    // addresses it earlier gets no acknowledge and one breach report.
    Time startup_time = 0;  // (startup_time)
    // Faults.
    bool absent = false;  // (absent) never answers: no acknowledge, lines stay high
    // Bit `flip_bit` (0..7) of byte `flip_byte` of every read transfer (0 =
    // the first byte the part sends) is inverted on the wire; -1: none.
    int flip_byte = -1;  // (flip_bit: {byte, bit})
    int flip_bit = 0;
    // Withhold the acknowledge of this byte (1 = the first byte sent to the
    // part since power-up, address bytes included); 0: none. A withheld
    // address means the part sits that transfer out; a withheld data byte is
    // lost (the part never sees it) but later bytes are acknowledged.
    long nack_byte = 0;  // (nack_byte)
};

// The keys above as declared settings, for a part to include in its own:
// Fields<Part::Settings>().include(i2c_fields()).integer(...)
const Fields<I2cSlaveSettings>& i2c_fields();

// One transfer addressed to the part, from START to STOP or repeated START.
struct I2cTransfer {
    Time start = 0;
    bool read = false;
    bool acked = false;               // the address byte was acknowledged
    std::vector<std::uint8_t> bytes;  // written by the master, or sent by the part (as on the wire)
    bool master_nack = false;         // read: the master ended with a not-acknowledge
    bool stopped = false;             // ended by a STOP (not a repeated START / still open)
    bool dropped = false;             // write: a byte was not acknowledged (lost to the part)
};

class I2cSlave : public Device {
public:
    struct Counters {
        unsigned starts = 0;  // START and repeated START conditions seen
        unsigned stops = 0;
        unsigned transfers = 0;      // transfers addressed to the part (after its start-up time)
        unsigned acks = 0;           // acknowledges given (address and data bytes)
        unsigned acks_withheld = 0;  // by the nack_byte fault
        unsigned breaches = 0;       // every breach the part reported, the bus's and its own
    };

    // `address` is the part's 7-bit address. A part that holds SCL low to
    // gain time (stretch_clock) must say so here: its SCL pin is then
    // attached open-drain instead of as an input.
    I2cSlave(std::string type, std::string name, std::uint8_t address, I2cMode mode, I2cSlaveSettings settings,
             bool stretches_clock = false);

    std::uint8_t address() const { return address_; }
    const I2cSlaveSettings& bus_settings() const { return bus_; }
    const Counters& bus_counters() const { return counters_; }
    // Every transfer addressed to the part, oldest first. A program's run
    // (no history kept) keeps only the one in progress, so memory stays flat.
    const std::vector<I2cTransfer>& transfers() const { return transfers_; }
    bool in_transfer() const { return in_transfer_; }
    // START, addresses (every one on the bus), data, acknowledges and STOP,
    // as the part sees them; listen from attach() on (board lock held).
    BusEvents& bus_events() { return events_; }
    bool holding_clock() const { return holding_scl_; }

    // Fault controls. They act on the board as device code does, so call them
    // with the board lock held: in the settings before add(), from a scenario
    // stimulus, or from a scheduled event.
    void set_absent(bool absent);  // off the bus (lets go of both lines) or back on it
    void withhold_ack(long nth_byte) { bus_.nack_byte = nth_byte; }
    void flip_sent(int byte, int bit) {
        bus_.flip_byte = byte;
        bus_.flip_bit = bit;
    }

    void attach(Board& board) override;
    void on_edge(int pin, Level level) final;

protected:
    // ---- hooks for the part on top ----
    // Its address came with a read (true) or write bit, at the falling SCL
    // edge that ends the address byte. Return false to not acknowledge: the
    // part then sits the transfer out.
    virtual bool addressed(bool /*read*/) { return true; }
    // A data byte the master wrote, at the falling edge that ends it. Return
    // false to not acknowledge it (transfer().dropped is then set).
    virtual bool written(std::uint8_t /*byte*/) { return true; }
    // The master reads: byte `index` (0 = the first) of this read transfer,
    // asked for at the falling edge where its first bit goes out. Not asked
    // again after the master's not-acknowledge.
    virtual std::uint8_t next_byte(std::size_t /*index*/) { return 0xFF; }
    // That byte goes out now, as it is on the wire (after injected faults).
    virtual void sending(std::size_t /*index*/, std::uint8_t /*wire*/) {}
    // A STOP or repeated START ended a transfer the part acknowledged.
    virtual void ended(const I2cTransfer& /*t*/) {}

    // ---- what the part may do ----
    // The transfer in progress (only valid from the hooks).
    I2cTransfer& transfer() { return transfers_.back(); }
    // Hold SCL low for `duration` from now, from a hook called at a falling
    // SCL edge (addressed, written, next_byte): the master waits for it.
    void stretch_clock(Time duration);
    // Reports, through the board. breach() counts into the counters.
    void breach(const std::string& text);
    void fault(const std::string& text);
    void info(const std::string& text);

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
    // Kinds of timing breach, each reported at most once per transfer.
    enum Check : unsigned {
        kSclLow,
        kSclHigh,
        kSclPulse,
        kDataSetup,
        kAckSetup,
        kStartHold,
        kStartSetup,
        kStopSetup,
        kBusFree,
        kChecks
    };

    void on_scl(Level level);
    void scl_rose(Time now);
    void scl_fell(Time now);
    void on_sda(Level level);
    void start_condition();
    void stop_condition();
    void end_transfer();
    void byte_received();
    void acknowledge(bool is_address);
    void load_read_byte();
    void put_bit();
    void set_sda_low(bool low);
    void release_clock();
    void check(Time measured, Check kind);

    std::uint8_t address_;
    I2cLimits limits_;
    I2cSlaveSettings bus_;
    bool stretches_;
    Counters counters_;
    BusEvents events_;
    std::vector<I2cTransfer> transfers_;

    Level scl_ = Level::High;
    Level sda_ = Level::High;
    Phase phase_ = Phase::Idle;
    bool in_transfer_ = false;    // between START and STOP (whoever it is for)
    int bits_ = 0;                // rising SCL edges in the current byte
    std::uint8_t shift_ = 0;      // byte being received
    std::uint8_t out_ = 0;        // byte being sent
    bool driving_low_ = false;    // the part pulls SDA low
    long bytes_to_part_ = 0;      // bytes addressed to the part, for nack_byte
    std::size_t read_index_ = 0;  // index of the byte being sent in the read transfer
    bool clocked_after_nack_ = false;
    bool early_reported_ = false;
    bool holding_scl_ = false;
    Timer clock_release_;  // ends a stretch

    // Times for the timing checks.
    Time scl_rise_ = 0;
    Time scl_fall_ = 0;
    Time sda_change_ = 0;
    Time start_at_ = 0;
    Time stop_at_ = kNever;
    bool first_fall_after_start_ = false;
    unsigned reported_ = 0;  // bit per Check already reported in this transfer
};

}  // namespace pikit::sim
