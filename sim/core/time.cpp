#include "time.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace pikit::sim {

std::optional<Time> parse_duration(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    std::size_t i = 0;
    bool digits = false, dot = false;
    while (i < text.size()) {
        char c = text[i];
        if (c >= '0' && c <= '9') {
            digits = true;
        } else if (c == '.' && !dot) {
            dot = true;
        } else {
            break;
        }
        ++i;
    }
    if (!digits) return std::nullopt;
    std::string number(text.substr(0, i));
    std::string_view unit = text.substr(i);
    while (!unit.empty() && unit.front() == ' ') unit.remove_prefix(1);
    double scale;
    if (unit == "ns") scale = 1;
    else if (unit == "us" || unit == "\xC2\xB5s" || unit == "\xCE\xBCs") scale = 1e3;
    else if (unit == "ms") scale = 1e6;
    else if (unit == "s") scale = 1e9;
    else if (unit == "min") scale = 60e9;
    else if (unit == "h") scale = 3600e9;
    else return std::nullopt;
    double v = std::strtod(number.c_str(), nullptr) * scale;
    if (!std::isfinite(v) || v > 9.2e18) return std::nullopt;
    return static_cast<Time>(std::llround(v));
}

std::string format_time(Time t) {
    char buf[48];
    const char* sign = t < 0 ? "-" : "";
    unsigned long long a = t < 0 ? static_cast<unsigned long long>(-(t + 1)) + 1 : static_cast<unsigned long long>(t);
    std::snprintf(buf, sizeof buf, "%s%llu.%09llus", sign, a / 1000000000ULL, a % 1000000000ULL);
    return buf;
}

std::string format_duration(Time t) {
    struct Unit { Time scale; const char* name; };
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
