// Infrared co-processor board. See ir_board.h for what it does; the bits,
// bus conditions and timing checks are the I2C slave engine's, this file is
// the register file and the keys.
#include "devices/ir_board.h"

#include <algorithm>
#include <cstdio>

#include "core/board.h"
#include "core/model.h"
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
        decoded_at_ = this->board()->now();
        // A key held until let go is cleared from its release on.
        if (settings_.clear == Clear::OnRelease && release_at_ != kNever)
            clear_.at(std::max(release_at_, decoded_at_ + kRepeatTimeout));
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
    release_at_ = hold == kNever ? kNever : board()->now() + hold;
    decode_.in(settings_.decode_time);
}

void IrBoard::set(std::uint8_t reg, std::uint16_t value) {
    set_register(reg, value);
    info("register " + std::to_string(reg) + " set to " + hex(value, 4));
}

void IrBoard::let_go() {
    if (release_at_ != kNever) {
        info("key up while none is held: nothing changes");
        return;
    }
    release_at_ = board()->now();
    // Decoded already: cleared now, or once the repeat timeout has passed.
    if (!decode_.armed() && settings_.clear == Clear::OnRelease && code_ == pending_code_)
        clear_.at(std::max(release_at_, decoded_at_ + kRepeatTimeout));
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

void IrBoard::finish() {
    if (!board()) return;
    info("summary: " + std::to_string(bus_counters().transfers) + " transfer(s), " + std::to_string(decoded_) +
         " key(s) decoded, " + std::to_string(code_reads_) + " read(s) of register 4, " +
         std::to_string(bus_counters().breaches) + " breach(es)");
}

namespace {

using S = IrBoard::Settings;

struct Key {
    long code = 0;
    Time hold = 0;
};
struct Register {
    long reg = 0;
    long value = 0;
};

Fields<Key> key(bool with_hold) {
    Fields<Key> f;
    f.integer("code", &Key::code, 1, 0xFFFF, "the code the board decodes for the key").hex().required();
    if (with_hold) f.duration("hold", &Key::hold, 0, 10 * 60_s, "how long the key is held");
    return f;
}

const DeviceRegistrar registrar{
    ModelOf<IrBoard, S>(
        "ir-board", "infrared co-processor board on I2C at 0x2D: decodes remote keys itself, offers them as registers",
        Fields<S>()
            .include(i2c_fields())
            .integer("register0", &S::register0, 0, 0xFFFF, "register 0 (another sensor of the board)")
            .hex()
            .integer("register2", &S::register2, 0, 0xFFFF, "register 2 (likewise)")
            .hex()
            .word("clear", &S::clear, {{"on_read", IrBoard::Clear::OnRead}, {"on_release", IrBoard::Clear::OnRelease}},
                  "when register 4 goes back to 0: once it was read, or when the key is let go")
            .duration("decode_time", &S::decode_time, 1_ms, 1_s, "from a key's press to its code in register 4"))
        .action<Key>("press", "a remote key pressed and held for `hold`", key(true),
                     [](IrBoard& b, const Key& k) { b.press(static_cast<std::uint16_t>(k.code), k.hold); })
        .action<Key>("down", "a remote key pressed and held until `up`", key(false),
                     [](IrBoard& b, const Key& k) { b.press(static_cast<std::uint16_t>(k.code), kNever); })
        .action("up", "the key held is let go", [](IrBoard& b) { b.let_go(); })
        .action<Register>(
            "set", "a register's value",
            Fields<Register>()
                .integer("register", &Register::reg, 0, 4, "0, 2 or 4")
                .required()
                .integer("value", &Register::value, 0, 0xFFFF, "its value")
                .hex()
                .required()
                .rule([](const Register& r, const Config& c) {
                    if (r.reg % 2 != 0) c.fail("register", "the board's registers are 0, 2 and 4");
                }),
            [](IrBoard& b, const Register& r) { b.set(static_cast<std::uint8_t>(r.reg), static_cast<std::uint16_t>(r.value)); })
        .shows("code", ShownType::Integer, "register 4 as it is now: the last key's code, 0 for none")};

}  // namespace

}  // namespace pikit::sim
