#include "devices/spi_registers.h"

#include "core/board.h"
#include "core/config.h"
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
        breach_once("clock phase of " + format_duration(now - last_clock_) + ", shorter than the " +
                    format_duration(least) + " of its " + Shown(settings_.max_clock / 1e6).text() + " MHz");
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

void SpiRegisters::show_registers() {
    board()->show(*this, "registers", hex_digits(regs_.data(), regs_.size(), " "));
}

std::function<void()> SpiRegisters::stimulus(const std::string& action, const Config& args) {
    if (action != "set") args.fail("action", "spi-registers knows the action set, not");
    if (!args.has("register") || !args.has("value")) args.fail_here("'set' needs a register and a value");
    const long reg = args.integer("register", 0, 0, static_cast<long>(regs_.size()) - 1);
    const long value = args.integer("value", 0, 0, 0xFF);
    return [this, reg, value] {
        regs_[static_cast<std::size_t>(reg)] = static_cast<std::uint8_t>(value);
        show_registers();
    };
}

namespace {

std::unique_ptr<Device> make_spi_registers(const std::string& name, const Config& c) {
    SpiRegisters::Settings s;
    s.mosi = c.pin("mosi", s.mosi);
    s.miso = c.pin("miso", s.miso);
    s.sclk = c.pin("sclk", s.sclk);
    s.cs = c.integer("cs", 0, 0, 1) == 0 ? 10 : 11;
    s.mode = static_cast<int>(c.integer("mode", s.mode, 0, 3));
    s.max_clock = c.number_in("max_clock", s.max_clock, 1, 125e6);
    if (c.has("registers")) {
        s.registers = c.bytes("registers");
        if (s.registers.empty() || s.registers.size() > 128) c.fail("registers", "expected 1 to 128 bytes");
    }
    c.distinct_lines({{"mosi", LineRef{s.mosi, {}}}, {"miso", LineRef{s.miso, {}}}, {"sclk", LineRef{s.sclk, {}}},
                      {"cs", LineRef{s.cs, {}}}});
    return std::make_unique<SpiRegisters>(name, s);
}

const DeviceRegistrar registrar{"spi-registers", make_spi_registers};

}  // namespace

}  // namespace pikit::sim
