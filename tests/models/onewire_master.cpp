#include "onewire_master.h"

#include <wiringPi.h>

#include <cstdio>

namespace owtest {

Master::Master(int pin, MasterTiming timing) : t(timing), pin_(pin) {}

void Master::release() { pinMode(pin_, INPUT); }

bool Master::reset() {
    pinMode(pin_, INPUT);
    delayMicroseconds(5);
    pinMode(pin_, OUTPUT);
    digitalWrite(pin_, LOW);
    delayMicroseconds(t.reset_low);
    pinMode(pin_, INPUT);
    delayMicroseconds(t.presence_sample);
    const bool presence = digitalRead(pin_) == 0;
    delayMicroseconds(t.reset_rest);
    return presence;
}

void Master::write_bit(bool b) {
    pinMode(pin_, OUTPUT);
    digitalWrite(pin_, LOW);
    delayMicroseconds(b ? t.w1_low : t.w0_low);
    digitalWrite(pin_, HIGH);
    delayMicroseconds(b ? t.w1_rest : t.w0_rest);
}

bool Master::read_bit() {
    pinMode(pin_, OUTPUT);
    digitalWrite(pin_, LOW);
    delayMicroseconds(t.r_low);
    pinMode(pin_, INPUT);
    delayMicroseconds(t.r_sample);
    const bool v = digitalRead(pin_) != 0;
    delayMicroseconds(t.r_rest);
    return v;
}

void Master::write(std::uint8_t b) {
    for (int i = 0; i < 8; ++i) write_bit(((b >> i) & 1) != 0);
}

void Master::write(const std::vector<std::uint8_t>& bytes) {
    for (auto b : bytes) write(b);
}

std::uint8_t Master::read() {
    std::uint8_t b = 0;
    for (int i = 0; i < 8; ++i)
        if (read_bit()) b = static_cast<std::uint8_t>(b | (1u << i));
    return b;
}

std::vector<std::uint8_t> Master::read(int n) {
    std::vector<std::uint8_t> v;
    for (int i = 0; i < n; ++i) v.push_back(read());
    return v;
}

void Master::match(const RomId& rom) {
    write(0x55);
    for (auto b : rom) write(b);
}

RomId Master::read_rom() {
    write(0x33);
    RomId r{};
    for (auto& b : r) b = read();
    return r;
}

// Depth-first walk of the id tree: each pass follows the path chosen so far,
// takes 0 at new branch points and remembers the deepest one still to try with 1.
std::vector<RomId> Master::search_all(std::uint8_t cmd, int limit) {
    std::vector<RomId> found;
    RomId path{};
    int last_branch = -1;  // position whose 1 side is next, -1: none left
    bool first = true;
    while ((first || last_branch >= 0) && static_cast<int>(found.size()) < limit) {
        first = false;
        if (!reset()) break;
        write(cmd);
        int deepest_zero = -1;
        bool ok = true;
        for (int pos = 0; pos < 64; ++pos) {
            const bool id = read_bit();
            const bool cmp = read_bit();
            bool dir;
            if (id && cmp) {
                ok = false;
                break;
            } else if (id != cmp) {
                dir = id;
            } else if (pos < last_branch) {
                dir = ((path[pos / 8] >> (pos % 8)) & 1) != 0;
                if (!dir) deepest_zero = pos;
            } else {
                dir = pos == last_branch;
                if (!dir) deepest_zero = pos;
            }
            if (dir) path[pos / 8] = static_cast<std::uint8_t>(path[pos / 8] | (1u << (pos % 8)));
            else path[pos / 8] = static_cast<std::uint8_t>(path[pos / 8] & ~(1u << (pos % 8)));
            write_bit(dir);
        }
        if (!ok) break;
        found.push_back(path);
        last_branch = deepest_zero;
    }
    return found;
}

std::vector<std::uint8_t> write_scratchpad(Master& m, unsigned addr, const std::vector<std::uint8_t>& data, int crc_bytes) {
    m.reset();
    m.skip();
    m.write(0x0F);
    m.write(static_cast<std::uint8_t>(addr & 0xFF));
    m.write(static_cast<std::uint8_t>(addr >> 8));
    m.write(data);
    return m.read(crc_bytes);
}

std::vector<std::uint8_t> read_scratchpad(Master& m, int n) {
    m.reset();
    m.skip();
    m.write(0xAA);
    return m.read(n);
}

std::uint8_t copy_scratchpad(Master& m, std::uint8_t ta1, std::uint8_t ta2, std::uint8_t es, unsigned hold_ms) {
    m.reset();
    m.skip();
    m.write({0x55, ta1, ta2, es});
    delay(hold_ms);  // the last write slot left the line driven high
    return m.read();
}

std::vector<std::uint8_t> read_memory(Master& m, unsigned addr, int n) {
    m.reset();
    m.skip();
    m.write({0xF0, static_cast<std::uint8_t>(addr & 0xFF), static_cast<std::uint8_t>(addr >> 8)});
    return m.read(n);
}

std::uint16_t crc16(const std::vector<std::uint8_t>& bytes) {
    std::uint16_t crc = 0;
    for (auto b : bytes) {
        for (int i = 0; i < 8; ++i) {
            const bool mix = ((crc ^ (b >> i)) & 1) != 0;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (mix) crc ^= 0xA001;
        }
    }
    return crc;
}

bool crc16_ok(const std::vector<std::uint8_t>& bytes, std::uint8_t lo, std::uint8_t hi) {
    const std::uint16_t inv = static_cast<std::uint16_t>(~crc16(bytes));
    return lo == (inv & 0xFF) && hi == (inv >> 8);
}

std::string hex(const std::vector<std::uint8_t>& b) {
    std::string s;
    char buf[4];
    for (auto v : b) {
        std::snprintf(buf, sizeof buf, "%02X ", v);
        s += buf;
    }
    return s;
}

}  // namespace owtest
