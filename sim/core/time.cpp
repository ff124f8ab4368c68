#include "time.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace pikit::sim {

namespace {

enum class Parsed { Ok, Bad, TooLong };

// Exact decimal arithmetic: a unit is 10^shift nanoseconds times a small
// factor, so the decimal point moves by `shift` and only the factor needs a
// multiplication. No floating point, so 1234567890123ns is 1234567890123ns.
Parsed parse(std::string_view text, Time& out) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    std::size_t i = 0;
    std::string whole, frac;
    bool dot = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') (dot ? frac : whole) += c;
        else if (c == '.' && !dot) dot = true;
        else break;
    }
    if (whole.empty() && frac.empty()) return Parsed::Bad;
    std::string_view unit = text.substr(i);
    while (!unit.empty() && unit.front() == ' ') unit.remove_prefix(1);
    int shift;
    Time factor = 1;
    if (unit == "ns") shift = 0;
    else if (unit == "us" || unit == "\xC2\xB5s" || unit == "\xCE\xBCs") shift = 3;
    else if (unit == "ms") shift = 6;
    else if (unit == "s") shift = 9;
    else if (unit == "min") shift = 10, factor = 6;
    else if (unit == "h") shift = 11, factor = 36;
    else if (unit.empty() && (whole + frac).find_first_not_of('0') == std::string::npos) shift = 0;  // bare 0
    else return Parsed::Bad;
    // Move the decimal point right by `shift`.
    while (shift-- > 0) {
        whole += frac.empty() ? '0' : frac[0];
        if (!frac.empty()) frac.erase(0, 1);
    }
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    if (whole.size() > 18) return Parsed::TooLong;
    Time n = whole.empty() ? 0 : std::stoll(whole);
    if (n > kMaxDuration / factor) return Parsed::TooLong;
    n *= factor;
    // The rest of a nanosecond, rounded half up, from its first 9 digits.
    frac.resize(9, '0');
    const Time rest = std::stoll(frac) * factor;
    n += (rest + 500000000) / 1000000000;
    if (n > kMaxDuration) return Parsed::TooLong;
    out = n;
    return Parsed::Ok;
}

}  // namespace

std::optional<Time> parse_duration(std::string_view text) {
    Time t = 0;
    if (parse(text, t) != Parsed::Ok) return std::nullopt;
    return t;
}

bool duration_too_long(std::string_view text) {
    Time t = 0;
    return parse(text, t) == Parsed::TooLong;
}

std::string format_time(Time t) {
    char buf[48];
    const char* sign = t < 0 ? "-" : "";
    unsigned long long a = t < 0 ? static_cast<unsigned long long>(-(t + 1)) + 1 : static_cast<unsigned long long>(t);
    std::snprintf(buf, sizeof buf, "%s%llu.%09llus", sign, a / 1000000000ULL, a % 1000000000ULL);
    return buf;
}

std::string format_duration(Time t) {
    struct Unit {
        Time scale;
        const char* name;
    };
    static const Unit units[] = {{60'000'000'000, "min"}, {1'000'000'000, "s"}, {1'000'000, "ms"}, {1'000, "us"}};
    for (const Unit& u : units) {
        if (t >= u.scale || t <= -u.scale) {
            char buf[48];
            std::snprintf(buf, sizeof buf, "%.9g%s", static_cast<double>(t) / static_cast<double>(u.scale), u.name);
            return buf;
        }
    }
    return std::to_string(t) + "ns";
}

}  // namespace pikit::sim
