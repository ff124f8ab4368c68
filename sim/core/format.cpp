#include "format.h"

#include <cstdio>

namespace pikit::sim {

std::string hex(unsigned value, int digits) {
    if (digits < 1) digits = 1;
    if (digits < 8) value &= (1u << (4 * digits)) - 1;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
    return buf;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ' ';
        s += hex(bytes[i]);
    }
    return s;
}

std::string hex_digits(const std::uint8_t* bytes, std::size_t n, const char* separator) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        if (i) s += separator;
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

std::string binary_groups(std::uint32_t word, int n) {
    std::string s;
    for (int i = n - 1; i >= 0; --i) {
        s += ((word >> i) & 1) ? '1' : '0';
        if (i > 0 && (n - i) % 4 == 0) s += ' ';
    }
    return s;
}

}  // namespace pikit::sim
