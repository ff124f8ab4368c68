// The byte layer of the 1-Wire slave (OneWireSlave): what the bytes the
// master writes mean. A transaction starts with a ROM command (Read ROM,
// Match ROM, Skip ROM, or a search, whose bit triplets the slot layer in
// onewire_slave.cpp answers); once the part is selected, the concrete device
// takes the function command and what follows through its hooks, receiving,
// sending, or busy programming its memory on the line's power. The faults a
// test injects into bytes (flipped bits of a given command's bytes) are
// applied here, and a master's breach that such a fault caused is reported
// as the fault's doing.
#include "onewire_slave.h"

#include "core/format.h"

namespace pikit::sim {

namespace {

// How often the part checks its supply while it is busy programming.
constexpr Time kPowerPoll = 100_us;

}  // namespace

void OneWireSlave::byte_received(std::uint8_t b) {
    events_.publish(BusEvent::Kind::Data, board()->now(), b);
    if (phase_ == Phase::RomCommand) {
        start_command(FlipRule::Layer::Rom, b);
        switch (b) {
        case kReadRom: send(s_.rom[0]); break;
        case kMatchRom: receive(); break;
        case kSkipRom: select(); break;
        case kAlarmSearch:
            if (!s_.alarm) {
                idle();
                break;
            }
            [[fallthrough]];
        case kSearchRom:
            phase_ = Phase::Search;
            search_pos_ = 0;
            search_step_ = Step::Id;
            break;
        default: sequence_breach("unknown ROM command " + hex(b)); idle();
        }
        return;
    }
    if (awaiting_function_cmd_) {
        awaiting_function_cmd_ = false;
        start_command(FlipRule::Layer::Function, b);
        function_command(b);
        return;
    }
    b = flip(s_.flip_received, received_seen_, b, rx_count_, "received");
    const int index = rx_count_++;
    if (layer_ == FlipRule::Layer::Rom) {  // Match ROM: the id, byte by byte
        if (b != s_.rom[index]) idle();
        else if (index == 7) select();
        return;
    }
    function_byte(b);
}

void OneWireSlave::start_command(FlipRule::Layer layer, std::uint8_t cmd) {
    layer_ = layer;
    cmd_ = cmd;
    rx_count_ = 0;
    tx_count_ = 0;
    for (std::size_t i = 0; i < s_.flip_reply.size(); ++i)
        if (s_.flip_reply[i].layer == layer && s_.flip_reply[i].command == cmd) ++reply_seen_[i];
    for (std::size_t i = 0; i < s_.flip_received.size(); ++i)
        if (s_.flip_received[i].layer == layer && s_.flip_received[i].command == cmd) ++received_seen_[i];
}

std::uint8_t OneWireSlave::flip(std::vector<FlipRule>& rules, std::vector<int>& seen, std::uint8_t b, int index,
                                const char* what) {
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const FlipRule& r = rules[i];
        if (r.layer != layer_ || r.command != cmd_ || r.byte != index) continue;
        const int n = seen[i];  // this transaction is the n-th with that command
        if (n <= r.after || (r.times != 0 && n > r.after + r.times)) continue;
        const std::uint8_t was = b;
        b = static_cast<std::uint8_t>(b ^ (1u << r.bit));
        if (&rules == &s_.flip_received) rx_fault_ = true;
        board()->report(*this, ReportKind::Fault,
                        std::string("flips bit ") + std::to_string(r.bit) + " of " + what + " byte " + std::to_string(index) +
                            " of command " + hex(cmd_) + ": " + hex(was) + " -> " + hex(b));
    }
    return b;
}

void OneWireSlave::sequence_breach(const std::string& text) {
    // A command the master never sent is no fault of the master's.
    if (rx_fault_) board()->report(*this, ReportKind::Fault, text + " (made by an injected flip of a received bit)");
    else board()->breach(*this, text);
}

void OneWireSlave::select() {
    phase_ = Phase::Receive;
    awaiting_function_cmd_ = true;
    rx_byte_ = 0;
    rx_bits_ = 0;
}

void OneWireSlave::function_command(std::uint8_t cmd) {
    board()->info(*this, "ignores function command " + hex(cmd) + " (this part only answers ROM commands)");
    idle();
}

void OneWireSlave::receive() {
    phase_ = Phase::Receive;
    rx_byte_ = 0;
    rx_bits_ = 0;
}

void OneWireSlave::send(std::uint8_t byte) {
    phase_ = Phase::Send;
    tx_byte_ = flip(s_.flip_reply, reply_seen_, byte, tx_count_, "reply");
    tx_bits_ = 0;
}

void OneWireSlave::idle() { phase_ = Phase::Idle; }

void OneWireSlave::busy(Time duration) {
    phase_ = Phase::Busy;
    busy_powered_ = true;
    busy_start_ = board()->now();
    busy_.at(busy_start_ + duration);
    poll_power();
}

void OneWireSlave::poll_power() {
    const bool powered = board()->master_output(s_.pin) && board()->master_latch(s_.pin) == Level::High;
    if (!powered && busy_powered_) {
        busy_powered_ = false;
        board()->breach(*this, "master stopped driving the line high " + format_duration(board()->now() - busy_start_) +
                                   " into the programming time; the part programs on the line's power");
    }
    poll_.in(kPowerPoll);
}

void OneWireSlave::end_busy(bool powered) {
    busy_.cancel();
    poll_.cancel();
    phase_ = Phase::Idle;
    busy_done(powered);
}

}  // namespace pikit::sim
