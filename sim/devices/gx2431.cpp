#include "gx2431.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <system_error>

namespace pikit::sim {

namespace {

constexpr std::uint8_t kWriteScratchpad = 0x0F;
constexpr std::uint8_t kReadScratchpad = 0xAA;
constexpr std::uint8_t kCopyScratchpad = 0x55;
constexpr std::uint8_t kReadMemory = 0xF0;
constexpr std::uint8_t kCopyDone = 0xAA;  // answered, over and over, once a copy has been programmed

std::string hex2(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
    return b;
}

std::string hex4(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%04X", v & 0xFFFF);
    return b;
}

std::string bytes_text(const std::uint8_t* p, int n) {
    std::string s;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

Time corner_program_time(const std::string& corner) {
    if (corner == "fast") return 2_ms;
    if (corner == "slow") return 10_ms;
    return 7_ms;
}

}  // namespace

Gx2431Settings::Gx2431Settings() { rom = make_rom({Gx2431::kFamily, 0x5A, 0x3C, 0x19, 0x00, 0x00, 0x00}); }

Gx2431Settings Gx2431Settings::at_corner(const std::string& corner) {
    Gx2431Settings g;
    if (corner == "fast") g.timing = OneWireTiming::fast();
    else if (corner == "slow") g.timing = OneWireTiming::slow();
    else g.timing = OneWireTiming::typical();
    g.program_time = corner_program_time(corner);
    return g;
}

Gx2431Settings Gx2431Settings::from_config(const Config& c) {
    Gx2431Settings g;
    const RomId default_rom = g.rom;
    static_cast<OneWireSettings&>(g) = OneWireSettings::from_config(c);
    if (!c.has("rom")) g.rom = default_rom;
    g.program_time = c.duration("program_time", corner_program_time(c.text("timing", "typical")));
    if (g.program_time < 100_us || g.program_time > 10_ms)
        c.fail("program_time", "must lie between 100us and 10ms");
    g.persist = c.flag("persist", true);
    g.fill = config_byte(c, "fill", 0xFF);
    if (c.has("copy_fails")) {
        if (c.text("copy_fails") == "always") g.copy_fails = -1;
        else g.copy_fails = c.integer("copy_fails", 0, 0, 1000000000L);
    }
    return g;
}

Gx2431::Gx2431(std::string name, Gx2431Settings settings)
    : OneWireSlave("gx2431", std::move(name), settings), g_(std::move(settings)) {
    mem_.fill(g_.fill);
    scratch_.fill(0xFF);
}

void Gx2431::attach(Board& board) {
    OneWireSlave::attach(board);
    if (!g_.persist) return;
    file_ = board.state_dir() / ("gx2431-" + rom_hex(rom()) + ".mem");
    if (preset_) save();
    else load();
}

void Gx2431::set_memory(const std::array<std::uint8_t, kMemorySize>& m) {
    mem_ = m;
    preset_ = true;
    if (!file_.empty()) save();
}

void Gx2431::load() {
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec)) return;  // a blank part
    std::ifstream in(file_, std::ios::binary);
    std::array<std::uint8_t, kMemorySize> m{};
    in.read(reinterpret_cast<char*>(m.data()), kMemorySize);
    const bool whole = in.gcount() == kMemorySize && in.peek() == std::char_traits<char>::eof();
    if (!whole) {
        board()->report(*this, ReportKind::Error,
                        "state file " + file_.string() + " is not 128 bytes of memory; starting blank");
        return;
    }
    mem_ = m;
    board()->info(*this, "memory loaded from " + file_.string());
}

void Gx2431::save() {
    if (file_.empty()) return;
    // Write a new file and rename it over the old one, so that a run killed
    // half-way never leaves a torn memory image behind.
    const std::filesystem::path tmp = file_.string() + ".new";
    bool ok = false;
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(mem_.data()), kMemorySize);
        ok = static_cast<bool>(out.flush());
    }
    std::error_code ec;
    if (ok) std::filesystem::rename(tmp, file_, ec);
    if (!ok || ec)
        board()->report(*this, ReportKind::Error, "cannot save the memory to " + file_.string());
}

void Gx2431::finish() {
    if (op_ == Op::ReadMemory)
        board()->info(*this, "Read Memory from " + hex4(read_start_) + ": " +
                                 std::to_string(bytes_sent()) + " bytes");
    op_ = Op::None;
}

void Gx2431::function_command(std::uint8_t cmd) {
    crc_ = onewire_crc16(0, &cmd, 1);
    switch (cmd) {
    case kWriteScratchpad:
        op_ = Op::WriteScratch;
        es_ = kPF;  // a new write: no copy authorised, nothing complete yet
        receive();
        break;
    case kReadScratchpad: {
        op_ = Op::ReadScratch;
        reply_[0] = static_cast<std::uint8_t>(ta_ & 0xFF);
        reply_[1] = static_cast<std::uint8_t>(ta_ >> 8);
        reply_[2] = es_;
        int n = 3;
        for (int i = ta_ & 7; i <= (es_ & 7); ++i) reply_[n++] = scratch_[i];
        crc_ = onewire_crc16(crc_, reply_.data(), n);
        const std::uint16_t inv = static_cast<std::uint16_t>(~crc_);
        reply_[n++] = static_cast<std::uint8_t>(inv & 0xFF);
        reply_[n++] = static_cast<std::uint8_t>(inv >> 8);
        board()->info(*this, "Read Scratchpad: TA " + hex4(ta_) + ", E/S " + hex2(es_) + ", data " +
                                 bytes_text(reply_.data() + 3, n - 5));
        send_reply(n);
        break;
    }
    case kCopyScratchpad:
        op_ = Op::Copy;
        receive();
        break;
    case kReadMemory:
        op_ = Op::ReadMemory;
        receive();
        break;
    default:
        op_ = Op::None;
        sequence_breach("unknown function command " + hex2(cmd));
        idle();
    }
}

void Gx2431::send_reply(int len) {
    reply_len_ = len;
    reply_index_ = 0;
    send(reply_[reply_index_++]);
}

void Gx2431::function_byte(std::uint8_t b) {
    const int index = bytes_received() - 1;  // 0: TA1, 1: TA2, then data or E/S
    if (index < 2) args_[index] = b;
    switch (op_) {
    case Op::WriteScratch:
        crc_ = onewire_crc16(crc_, &b, 1);
        if (index == 1) {
            const std::uint16_t ta = static_cast<std::uint16_t>(args_[1] << 8 | args_[0]);
            if (ta >= kMemorySize) {
                sequence_breach("Write Scratchpad to " + hex4(ta) + ", outside the data memory 0x0000-0x007F");
                op_ = Op::None;
                idle();
                return;
            }
            ta_ = ta;
            offset_ = ta_ & 7;
            es_ = static_cast<std::uint8_t>(kPF | offset_);
        } else if (index >= 2) {
            scratch_[offset_] = b;
            es_ = static_cast<std::uint8_t>(kPF | offset_);
            if (++offset_ == 8) {  // the end of the scratchpad: complete, answer the CRC
                es_ = static_cast<std::uint8_t>(es_ & ~kPF);
                board()->info(*this, "Write Scratchpad: TA " + hex4(ta_) + ", data " +
                                         bytes_text(scratch_.data() + (ta_ & 7), 8 - (ta_ & 7)) + ", E/S " +
                                         hex2(es_));
                const std::uint16_t inv = static_cast<std::uint16_t>(~crc_);
                reply_[0] = static_cast<std::uint8_t>(inv & 0xFF);
                reply_[1] = static_cast<std::uint8_t>(inv >> 8);
                send_reply(2);
            }
        }
        break;
    case Op::Copy:
        if (index == 2) {
            args_[2] = b;
            copy_request();
        }
        break;
    case Op::ReadMemory:
        if (index == 1) {
            read_start_ = static_cast<std::uint16_t>(args_[1] << 8 | args_[0]);
            read_addr_ = read_start_;
            function_byte_sent();  // the first byte of the answer
        }
        break;
    default:
        idle();
    }
}

void Gx2431::copy_request() {
    ++copy_requests_;
    const std::uint16_t ta = static_cast<std::uint16_t>(args_[1] << 8 | args_[0]);
    const std::string auth = "TA1 " + hex2(args_[0]) + " TA2 " + hex2(args_[1]) + " E/S " + hex2(args_[2]);
    if (ta != ta_ || args_[2] != es_) {
        board()->info(*this, "Copy Scratchpad refused: authorisation " + auth + " does not match TA " + hex4(ta_) +
                                 " E/S " + hex2(es_));
        op_ = Op::None;
        idle();
        return;
    }
    if (es_ & kPF) {
        board()->info(*this, "Copy Scratchpad refused: the scratchpad was not completely written (E/S " +
                                 hex2(es_) + ")");
        op_ = Op::None;
        idle();
        return;
    }
    if (g_.copy_fails != 0) {
        if (g_.copy_fails > 0) --g_.copy_fails;
        board()->report(*this, ReportKind::Fault,
                        "Copy Scratchpad fails: row " + std::to_string(ta_ >> 3) + " not programmed, no AA answer");
        op_ = Op::None;
        idle();
        return;
    }
    board()->info(*this, "Copy Scratchpad: " + auth + ", programming row " + std::to_string(ta_ >> 3));
    op_ = Op::Copy;
    busy(g_.program_time);
}

void Gx2431::busy_done(bool powered) {
    if (!powered) {
        board()->info(*this, "programming of row " + std::to_string(ta_ >> 3) +
                                 " aborted by the loss of power; the row keeps its content");
        op_ = Op::None;
        return;  // stays idle: the master reads 1s
    }
    const int row = ta_ & 0x78;
    for (int i = 0; i < 8; ++i) mem_[row + i] = scratch_[i];
    es_ = static_cast<std::uint8_t>(es_ | kAA);
    ++copies_;
    save();
    board()->info(*this, "row " + std::to_string(row >> 3) + " (" + hex4(row) + "-" + hex4(row + 7) +
                             ") programmed: " + bytes_text(mem_.data() + row, 8));
    op_ = Op::Programmed;
    send(kCopyDone);
}

void Gx2431::function_byte_sent() {
    switch (op_) {
    case Op::WriteScratch:
    case Op::ReadScratch:
        if (reply_index_ < reply_len_) send(reply_[reply_index_++]);
        else idle();
        break;
    case Op::ReadMemory:
        send(read_addr_ < kMemorySize ? mem_[read_addr_] : 0xFF);
        if (read_addr_ < 0xFFFF) ++read_addr_;
        break;
    case Op::Programmed:
        send(kCopyDone);
        break;
    default:
        idle();
    }
}

void Gx2431::bus_reset() {
    if (op_ == Op::WriteScratch && (es_ & kPF))
        board()->info(*this, "Write Scratchpad cut off by a reset after " + std::to_string(bytes_received()) +
                                 " bytes: E/S " + hex2(es_) + " (partial)");
    if (op_ == Op::ReadMemory && bytes_received() >= 2)
        board()->info(*this, "Read Memory from " + hex4(read_start_) + ": " +
                                 std::to_string(bytes_sent()) + " bytes");
    op_ = Op::None;
}

namespace {
const DeviceRegistrar registrar{"gx2431", [](const std::string& name, const Config& c) -> std::unique_ptr<Device> {
    return std::make_unique<Gx2431>(name, Gx2431Settings::from_config(c));
}};
}  // namespace

}  // namespace pikit::sim
