#include "devices/spi_registers.h"

#include "core/board.h"
#include "core/model.h"
#include "core/format.h"
#include "core/shown.h"

namespace pikit::sim {

SpiRegisters::SpiRegisters(std::string name, Settings settings)
    : Device("spi-registers", std::move(name)), settings_(std::move(settings)), regs_(settings_.registers) {
    idle_high_ = settings_.mode & 2;
    sample_on_leading_ = (settings_.mode & 1) == 0;
}

void SpiRegisters::attach(Board& board) {
    board.attach(*this, settings_.mosi, PinRole::Input);
    board.attach(*this, settings_.sclk, PinRole::Input);
    board.attach(*this, settings_.cs, PinRole::Input);
    board.attach(*this, settings_.miso, PinRole::PushPull);
    show_registers();
    // Selected from the start if its select is already LOW.
    if (!is_high(board.level(settings_.cs))) select();
}

void SpiRegisters::on_edge(int pin, Level level) {
    if (pin == settings_.cs) {
        if (is_high(level)) deselect();
        else select();
    } else if (pin == settings_.sclk && selected_) {
        clock_edge(level);
    }
}

void SpiRegisters::select() {
    selected_ = true;
    in_bits_ = 0;
    in_byte_ = 0;
    out_bits_ = 8;
    index_ = 0;
    reading_ = false;
    wrote_ = false;
    told_ = false;
    last_clock_ = -1;
    if (is_high(board()->level(settings_.sclk)) != idle_high_)
        breach_once("selected with the clock " + std::string(idle_high_ ? "LOW" : "HIGH") + ", not at mode " +
                    std::to_string(settings_.mode) + "'s idle level");
    if (sample_on_leading_) shift_out();  // the first bit is out before the first edge
    else board()->drive(*this, settings_.miso, Drive::Low);
}

void SpiRegisters::deselect() {
    if (!selected_) return;
    selected_ = false;
    ++transfers_;
    if (in_bits_ != 0)
        breach_once("transfer ended after " + std::to_string(in_bits_) + " bit(s) of byte " + std::to_string(index_ + 1) +
                    "; the byte is lost");
    board()->drive(*this, settings_.miso, Drive::Release);
    if (wrote_) show_registers();
}

void SpiRegisters::clock_edge(Level level) {
    const Time now = board()->now();
    const Time least = static_cast<Time>(5e8 / settings_.max_clock);
    if (last_clock_ >= 0 && now - last_clock_ < least)
        breach_once("clock phase of " + format_duration(now - last_clock_) + ", shorter than the " + format_duration(least) +
                    " of its " + Shown(settings_.max_clock / 1e6).text() + " MHz");
    last_clock_ = now;
    const bool leading = is_high(level) != idle_high_;
    if (leading == sample_on_leading_) sample();
    else shift_out();
}

void SpiRegisters::sample() {
    in_byte_ = static_cast<std::uint8_t>(in_byte_ << 1 | (is_high(board()->level(settings_.mosi)) ? 1 : 0));
    if (++in_bits_ == 8) {
        const std::uint8_t b = in_byte_;
        in_bits_ = 0;
        in_byte_ = 0;
        byte_done(b);
    }
}

void SpiRegisters::shift_out() {
    if (out_bits_ == 8) {
        out_byte_ = next_out();
        out_bits_ = 0;
    }
    const bool bit = (out_byte_ >> (7 - out_bits_)) & 1;
    ++out_bits_;
    board()->drive(*this, settings_.miso, bit ? Drive::High : Drive::Low);
}

void SpiRegisters::byte_done(std::uint8_t b) {
    const std::size_t n = regs_.size();
    if (index_ == 0) {
        reading_ = b & 0x80;
        first_ = b & 0x7F;
    } else if (!reading_) {
        regs_[(first_ + index_ - 1) % n] = b;
        wrote_ = true;
    }
    ++index_;
}

std::uint8_t SpiRegisters::next_out() const {
    if (index_ == 0 || !reading_) return 0x00;
    return regs_[(first_ + index_ - 1) % regs_.size()];
}

void SpiRegisters::breach_once(const std::string& text) {
    if (told_) return;
    told_ = true;
    board()->breach(*this, text);
}

void SpiRegisters::show_registers() { board()->show(*this, "registers", hex_digits(regs_.data(), regs_.size(), " ")); }

void SpiRegisters::set(std::size_t reg, std::uint8_t value) {
    regs_[reg] = value;
    show_registers();
}

namespace {

using S = SpiRegisters::Settings;

struct Set {
    long reg = 0;
    long value = 0;
};

Setting chip_select() {
    Setting cs("cs", Kind::Integer, "which select the part is on: 0 for CE0 (wiringPi 10), 1 for CE1 (11)");
    cs.ranged = true;
    cs.hi = 1;
    return cs;
}

const DeviceRegistrar registrar{
    ModelOf<SpiRegisters, S>(
        "spi-registers", "a file of 8-bit registers behind a one-byte command on SPI, to try SPI programs against",
        Fields<S>()
            .pin("mosi", &S::mosi, "data from the Pi")
            .pin("miso", &S::miso, "data to the Pi, driven only while the part is selected")
            .pin("sclk", &S::sclk, "the clock")
            .custom(
                chip_select(), [](const Config& c, S& s) { s.cs = read_integer(c, chip_select()) == 0 ? 10 : 11; },
                [](const S& s) { return written_integer(s.cs == 10 ? 0 : 1); })
            .integer("mode", &S::mode, 0, 3, "the SPI mode: clock polarity and phase")
            .number("max_clock", &S::max_clock, 10e3, 125e6, "the fastest clock the part takes")
            .unit("Hz")
            .bytes("registers", &S::registers, 1, 128, "the register file at power-up")
            .rule([](const S& s, const Config& c) {
                c.distinct_lines({{"mosi", LineRef{s.mosi, {}}},
                                  {"miso", LineRef{s.miso, {}}},
                                  {"sclk", LineRef{s.sclk, {}}},
                                  {"cs", LineRef{s.cs, {}}}});
            }))
        .action<Set>(
            "set", "a register's value",
            Fields<Set>()
                .integer("register", &Set::reg, 0, 127, "which register (within the file)")
                .required()
                .integer("value", &Set::value, 0, 0xFF, "its value")
                .hex()
                .required(),
            [](SpiRegisters& d, const Set& v) { d.set(static_cast<std::size_t>(v.reg), static_cast<std::uint8_t>(v.value)); }, {},
            [](const S& s, const Set& v, const Config& c) {
                if (v.reg >= static_cast<long>(s.registers.size()))
                    c.fail("register", "out of range (0 to " + std::to_string(s.registers.size() - 1) + ")");
            })
        .shows("registers", ShownType::Text, "the register file in hex (\"00 11 22 ...\"), after each transfer that wrote")};

}  // namespace

}  // namespace pikit::sim
