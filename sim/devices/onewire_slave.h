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
#include "core/model.h"
#include "core/time.h"
#include "core/timers.h"
#include "devices/bus_events.h"
#include "devices/onewire_crc.h"
#include "devices/onewire_settings.h"

namespace pikit::sim {

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
    void set_alarm_flag(bool on);  // the same, and says so in the log (the scenario's `alarm`)
    bool alarm() const { return s_.alarm; }
    void stick_low(bool on);  // hold the line low (true) or let it go again
    void leave_bus();         // unplugged: lets go of the line, answers nothing
    void rejoin_bus();        // plugged in again (answers from the next reset)
    bool on_bus() const { return !gone_; }
    void leave_after_search_bits(long n) { s_.leave_after_search_bits = n; }
    void add_reply_flip(const FlipRule& r);
    void add_received_flip(const FlipRule& r);
    void set_random_flips(const RandomFlips& r);

    // Counters for tests.
    long resets_seen() const { return resets_; }
    long search_bits_done() const { return search_bits_; }
    // Resets (at the rise that ends the pulse), the part's presence pulses
    // (as it pulls the line low), and the bytes of each transaction: a
    // written one at the end of its last slot, one the part sends at the
    // start of its last slot. Listen from attach() on (board lock held).
    BusEvents& bus_events() { return events_; }

    void attach(Board& board) override;
    void on_edge(int pin, Level level) final;

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
    void receive();                // the next slots are write slots: collect a byte
    void send(std::uint8_t byte);  // the next 8 slots are read slots answering this byte
    void idle();                   // answer nothing (the master reads 1s) until a reset
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
    void presence_start();
    void presence_end();
    void byte_received(std::uint8_t b);
    void start_command(FlipRule::Layer layer, std::uint8_t cmd);
    std::uint8_t flip(std::vector<FlipRule>& rules, std::vector<int>& seen, std::uint8_t b, int index, const char* what);
    void select();  // ROM layer done: the next byte is a function command
    void end_busy(bool powered);
    void poll_power();
    void clear_events();
    void drive_low();
    void let_go();
    bool master_drives_low() const;

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

    BusEvents events_;
    long resets_ = 0;
    long search_bits_ = 0;

    // What the part waits for: the sampling instant of a write slot, the end
    // of the 0 it sends in a read slot, the check that the master let go of
    // a read slot in time, the presence pulse's start and end, the end of a
    // busy period and the next look at the supply during it.
    Timer sample_, release_, check_, presence_, presence_end_, busy_, poll_;
};

// The actions every 1-Wire part takes, for its model's declaration:
// add_onewire_actions(ModelOf<Part, Part::Settings>(...)).
template <class Model>
Model& add_onewire_actions(Model& m) {
    using D = typename Model::DeviceType;
    struct Alarm {
        bool on = true;
    };
    return m.action("stuck-low", "the part holds the line low", [](D& d) { d.stick_low(true); })
        .action("release", "the part lets go of the line it held low", [](D& d) { d.stick_low(false); })
        .action("leave", "the part leaves the bus: unplugged", [](D& d) { d.leave_bus(); })
        .action("rejoin", "the part is back on the bus, answering from the next reset", [](D& d) { d.rejoin_bus(); })
        .template action<Alarm>("alarm", "set or clear the part's alarm flag (the conditional search)",
                                Fields<Alarm>().flag("on", &Alarm::on, "set (true) or clear (false)"),
                                [](D& d, const Alarm& a) { d.set_alarm_flag(a.on); });
}

}  // namespace pikit::sim
