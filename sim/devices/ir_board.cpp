// Infrared co-processor board. See ir_board.h for what it does; the bits,
// bus conditions and timing checks are the I2C slave engine's, this file is
// the register file and the keys.
#include "devices/ir_board.h"

#include <algorithm>
#include <cstdio>

#include "core/board.h"
#include "core/config.h"
#include "core/format.h"

namespace pikit::sim {

namespace {

constexpr std::size_t kFileSize = 6;  // registers 0, 2 and 4, two bytes each

}  // namespace

IrBoard::IrBoard(std::string name, Settings settings)
    : I2cSlave("ir-board", std::move(name), kAddress, I2cMode::Standard, settings), settings_(settings) {}

void IrBoard::attach(Board& board) {
    I2cSlave::attach(board);
    decode_.bind(board, [this] {
        ++decoded_;
        info("key " + hex(pending_code_, 4) + " decoded");
        set_code(pending_code_);
        if (settings_.clear == Clear::OnRelease) clear_.at(std::max(release_at_, this->board()->now() + kRepeatTimeout));
    });
    clear_.bind(board, [this] {
        info("key " + hex(code_, 4) + " released");
        set_code(0);
    });
    board.show(*this, "code", Shown(0).in_hex(4));
}


std::uint16_t IrBoard::register_value(std::uint8_t reg) const {
    switch (reg) {
        case 0: return settings_.register0;
        case 2: return settings_.register2;
        case 4: return code_;
        default: return 0xFFFF;
    }
}

void IrBoard::set_code(std::uint16_t code) {
    clear_.cancel();
    code_ = code;
    board()->show(*this, "code", Shown(static_cast<long>(code)).in_hex(4));
}

void IrBoard::press(std::uint16_t code, Time hold) {
    pending_code_ = code;
    release_at_ = board()->now() + hold;
    decode_.in(settings_.decode_time);
}

void IrBoard::set_register(std::uint8_t reg, std::uint16_t value) {
    if (reg == 0) settings_.register0 = value;
    else if (reg == 2) settings_.register2 = value;
    else if (reg == 4) set_code(value);
}

// ---------------------------------------------------------------- the bus side

bool IrBoard::addressed(bool read) {
    if (read) {
        // The whole file as it is now: a read never mixes two states.
        for (std::uint8_t r = 0; r < kFileSize; r += 2) {
            const std::uint16_t v = register_value(r);
            answer_[r] = static_cast<std::uint8_t>(v >> 8);
            answer_[r + 1u] = static_cast<std::uint8_t>(v & 0xFF);
        }
        answer_from_ = pointer_;
    }
    return true;
}

bool IrBoard::written(std::uint8_t byte) {
    if (transfer().bytes.size() > 1) {
        breach("the registers are read-only: byte " + hex(byte) + " after the register number not acknowledged");
        return false;
    }
    if (byte >= kFileSize) {
        breach("register " + hex(byte) + " does not exist (registers 0, 2 and 4 do): not acknowledged");
        return false;
    }
    pointer_ = byte;
    return true;
}

std::uint8_t IrBoard::next_byte(std::size_t index) {
    const std::size_t at = answer_from_ + index;
    return at < kFileSize ? answer_[at] : 0xFF;
}

void IrBoard::sending(std::size_t index, std::uint8_t /*wire*/) {
    const std::size_t at = answer_from_ + index;
    pointer_ = static_cast<std::uint8_t>(std::min(at + 1, kFileSize));
    if (at != 5) return;
    // Both bytes of register 4 are out: the code has been read.
    ++code_reads_;
    const std::uint16_t sent = static_cast<std::uint16_t>(answer_[4] << 8 | answer_[5]);
    if (settings_.clear == Clear::OnRead && sent != 0 && code_ == sent) {
        info("key " + hex(sent, 4) + " read, register 4 cleared");
        set_code(0);
    }
}

// ---------------------------------------------------------------- scenario

std::function<void()> IrBoard::stimulus(const std::string& action, const Config& args) {
    if (action == "press") {
        if (!args.has("code")) args.fail_here("'press' needs a code (1 to 0xFFFF)");
        const long code = args.integer("code", 0, 1, 0xFFFF);
        const Time hold = args.duration("hold", 0);
        return [this, code, hold] { press(static_cast<std::uint16_t>(code), hold); };
    }
    if (action == "set") {
        if (!args.has("register") || !args.has("value")) args.fail_here("'set' needs a register (0, 2 or 4) and a value");
        const long reg = args.integer("register", 0, 0, 4);
        if (reg % 2 != 0) args.fail("register", "the board's registers are 0, 2 and 4, not");
        const long value = args.integer("value", 0, 0, 0xFFFF);
        return [this, reg, value] {
            set_register(static_cast<std::uint8_t>(reg), static_cast<std::uint16_t>(value));
            info("register " + std::to_string(reg) + " set to " + hex(static_cast<std::uint16_t>(value), 4));
        };
    }
    args.fail("action", "ir-board knows the actions press and set, not");
}

void IrBoard::finish() {
    if (!board()) return;
    info("summary: " + std::to_string(bus_counters().transfers) + " transfer(s), " + std::to_string(decoded_) +
         " key(s) decoded, " + std::to_string(code_reads_) + " read(s) of register 4, " +
         std::to_string(bus_counters().breaches) + " breach(es)");
}

namespace {

std::unique_ptr<Device> make_ir_board(const std::string& name, const Config& c) {
    IrBoard::Settings s;
    read_i2c_settings(c, s);
    s.register0 = static_cast<std::uint16_t>(c.integer("register0", s.register0, 0, 0xFFFF));
    s.register2 = static_cast<std::uint16_t>(c.integer("register2", s.register2, 0, 0xFFFF));
    s.clear = c.choice("clear", {"on_read", "on_release"}) == 0 ? IrBoard::Clear::OnRead : IrBoard::Clear::OnRelease;
    s.decode_time = c.duration("decode_time", s.decode_time);
    return std::make_unique<IrBoard>(name, s);
}

const DeviceRegistrar registrar{"ir-board", make_ir_board};

}  // namespace

}  // namespace pikit::sim
