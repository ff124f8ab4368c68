#include "config.h"

#include <yaml-cpp/eventhandler.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <utility>

namespace pikit::sim {

std::string flat_text(const YAML::Node& n) {
    std::string v = n.IsScalar() ? n.Scalar() : YAML::Dump(n);
    std::replace(v.begin(), v.end(), '\n', ' ');
    return v;
}

bool is_header_pin(int pin) { return (pin >= 0 && pin <= 16) || (pin >= 21 && pin <= 31); }

Config::Config(YAML::Node node, std::string file, std::string path)
    : node_(std::move(node)), file_(std::move(file)), path_(std::move(path)), outputs_(std::make_shared<OutputFiles>()) {}

std::string Config::key_path(const char* key) const {
    if (path_.empty()) return key;
    if (key[0] == '[') return path_ + key;
    return path_ + "." + key;
}

std::string Config::where() const { return file_ + ": " + (path_.empty() ? std::string("top level") : path_); }

std::string Config::at(const std::string& key) const { return file_ + ": " + key_path(key.c_str()); }

std::vector<std::string> Config::keys_other_than(const std::vector<std::string>& known) const {
    std::vector<std::string> out;
    if (!node_.IsMap()) return out;
    for (const auto& kv : node_) {
        const std::string k = kv.first.IsScalar() ? kv.first.Scalar() : flat_text(kv.first);
        if (std::find(known.begin(), known.end(), k) == known.end()) out.push_back(k);
    }
    return out;
}

void Config::fail(const char* key, const std::string& why) const {
    std::string value;
    YAML::Node v = node_[key];
    if (v && v.IsScalar()) value = v.Scalar();
    else if (v) value = YAML::Dump(v);
    std::replace(value.begin(), value.end(), '\n', ' ');
    throw ScenarioError(file_ + ": " + key_path(key) + ": " + why + " '" + value + "'");
}

void Config::fail_here(const std::string& why) const {
    throw ScenarioError(file_ + ": " + (path_.empty() ? std::string("top level") : path_) + ": " + why);
}

bool Config::has(const char* key) const { return node_.IsMap() && node_[key]; }

std::string Config::scalar(const char* key) const {
    YAML::Node v = node_[key];
    if (!v) fail_here(std::string("missing setting '") + key + "'");
    if (!v.IsScalar()) fail(key, "expected a single value");
    return v.Scalar();
}

std::optional<long long> parse_integer(std::string_view s) {
    bool negative = false;
    if (!s.empty() && s.front() == '-') {
        negative = true;
        s.remove_prefix(1);
    }
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return std::nullopt;
    const unsigned long long limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
    unsigned long long v = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
        else return std::nullopt;
        if (v > (limit - d) / base) return std::nullopt;  // would not fit 64 bits
        v = v * base + d;
    }
    if (!negative) return static_cast<long long>(v);
    return v == 9223372036854775808ULL ? INT64_MIN : -static_cast<long long>(v);
}

std::optional<double> parse_decimal(std::string_view s) {
    // [-]digits[.digits][e[+|-]digits]: no hex floats, inf, nan or blanks,
    // which strtod alone would take.
    std::size_t i = 0, digits = 0;
    if (i < s.size() && s[i] == '-') ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exp = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp;
        if (exp == 0) return std::nullopt;
    }
    if (i != s.size()) return std::nullopt;
    const std::string text(s);
    const double v = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<int> parse_pin(std::string_view s) {
    auto v = parse_integer(s);
    if (!v || *v < 0 || *v > 31 || !is_header_pin(static_cast<int>(*v))) return std::nullopt;
    return static_cast<int>(*v);
}

int Config::pin(const char* key) const {
    auto p = parse_pin(scalar(key));
    if (!p) fail(key, "bad pin (expected a wiringPi pin on the header: 0-16 or 21-31)");
    return *p;
}

int Config::pin(const char* key, int fallback) const { return has(key) ? pin(key) : fallback; }

double Config::number(const char* key) const {
    auto v = parse_decimal(scalar(key));
    if (!v) fail(key, "expected a number");
    return *v;
}

double Config::number(const char* key, double fallback) const { return has(key) ? number(key) : fallback; }

Time Config::duration(const char* key) const {
    const std::string s = scalar(key);
    auto t = parse_duration(s);
    if (!t && duration_too_long(s)) fail(key, "duration too long (at most 100000h)");
    if (!t) fail(key, "unparsable duration (expected e.g. 500ms, 2.5s, 2min, 80us, 100ns)");
    return *t;
}

Time Config::duration(const char* key, Time fallback) const { return has(key) ? duration(key) : fallback; }

bool Config::flag(const char* key, bool fallback) const {
    if (!has(key)) return fallback;
    std::string s = scalar(key);
    if (s == "true" || s == "yes" || s == "on") return true;
    if (s == "false" || s == "no" || s == "off") return false;
    fail(key, "expected true or false");
}

std::string Config::text(const char* key) const { return scalar(key); }

std::string Config::text(const char* key, const std::string& fallback) const { return has(key) ? scalar(key) : fallback; }

std::size_t Config::choice(const char* key, std::initializer_list<const char*> words, std::size_t fallback) const {
    if (!has(key)) return fallback;
    const std::string value = scalar(key);
    std::string expected = "expected ";
    std::size_t i = 0;
    for (const char* w : words) {
        if (value == w) return i;
        if (i > 0) expected += i + 1 == words.size() ? " or " : ", ";
        expected += w;
        ++i;
    }
    fail(key, expected);
}

std::vector<std::uint8_t> Config::bytes(const char* key) const {
    YAML::Node v = node_[key];
    if (!v) fail_here(std::string("missing setting '") + key + "'");
    std::vector<std::uint8_t> out;
    if (v.IsSequence()) {
        for (const auto& e : v) {
            auto b = e.IsScalar() ? parse_integer(e.Scalar()) : std::nullopt;
            if (!b || *b < 0 || *b > 255) fail(key, "expected bytes 0-255");
            out.push_back(static_cast<std::uint8_t>(*b));
        }
        return out;
    }
    std::string s = scalar(key), digits;
    for (char c : s) {
        if (c == ' ' || c == ':' || c == '-') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) fail(key, "expected hex bytes like \"2D 01 02\"");
        digits += c;
    }
    if (digits.size() % 2 != 0) fail(key, "odd number of hex digits");
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

namespace {
// A mapping of settings whose names are all plain scalars: a sequence or a
// mapping used as a name would otherwise fail deep inside yaml-cpp's
// conversions with a message that names nothing.
void plain_names(const YAML::Node& map, const std::string& file, const std::string& path) {
    for (const auto& kv : map)
        if (!kv.first.IsScalar())
            throw ScenarioError(file + ": " + path + ": setting names must be plain words '" + flat_text(kv.first) + "'");
}
}  // namespace

Config Config::child(const char* key) const {
    YAML::Node v = node_[key];
    if (!v || !v.IsMap()) fail(key, "expected a mapping of settings");
    plain_names(v, file_, key_path(key));
    Config c(v, file_, key_path(key));
    c.outputs_ = outputs_;
    return c;
}

std::vector<Config> Config::list(const char* key) const {
    std::vector<Config> out;
    YAML::Node v = node_[key];
    if (!v || v.IsNull()) return out;
    if (!v.IsSequence()) fail(key, "expected a list");
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::string p = key_path(key) + "[" + std::to_string(i) + "]";
        if (!v[i].IsMap()) throw ScenarioError(file_ + ": " + p + ": expected a mapping of settings");
        plain_names(v[i], file_, p);
        out.emplace_back(v[i], file_, p);
        out.back().outputs_ = outputs_;
    }
    return out;
}

std::vector<int> Config::pins(const char* key) const {
    std::vector<int> out;
    YAML::Node v = node_[key];
    if (!v) return out;
    if (!v.IsSequence()) fail(key, "expected a list of pins");
    for (const auto& e : v) {
        auto p = e.IsScalar() ? parse_pin(e.Scalar()) : std::nullopt;
        if (!p) fail(key, "bad pin (expected wiringPi pins on the header: 0-16 or 21-31)");
        out.push_back(*p);
    }
    return out;
}

// A header pin number or a net name "<device>.<output>" (plain words without
// blanks); `why` is empty when the text is one, else what is wrong with it.
static LineRef parse_line(const std::string& s, std::string& why) {
    if (auto v = parse_integer(s)) {
        const auto p = parse_pin(s);
        if (!p) why = "bad pin (expected a wiringPi pin on the header: 0-16 or 21-31, or a net like register.Q0)";
        return LineRef{p ? *p : -1, {}};
    }
    const auto dot = s.find('.');
    const bool plain = std::none_of(s.begin(), s.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
    if (dot == std::string::npos || dot == 0 || dot + 1 == s.size() || !plain)
        why = "expected a wiringPi pin on the header (0-16 or 21-31) or a net like register.Q0";
    return LineRef{-1, s};
}

LineRef Config::line(const char* key, LineRef fallback) const {
    if (!has(key)) return fallback;
    std::string why;
    LineRef ref = parse_line(scalar(key), why);
    if (!why.empty()) fail(key, why);
    return ref;
}

std::string Config::output_file(const char* key, const std::string& what) const {
    const std::string path = scalar(key);
    if (path.empty()) return path;
    OutputFile f{key_path(key), path, what, true};
    const std::string why = outputs_->conflict(f);
    if (!why.empty()) fail(key, why);
    outputs_->claim(std::move(f));
    return path;
}

void Config::distinct_lines(std::initializer_list<std::pair<const char*, LineRef>> lines) const {
    const auto same = [](const LineRef& a, const LineRef& b) { return a.pin == b.pin && (a.pin >= 0 || a.net == b.net); };
    for (auto i = lines.begin(); i != lines.end(); ++i)
        for (auto j = lines.begin(); j != i; ++j)
            if (same(i->second, j->second)) {
                // A default clashing with a line the scenario wrote: the written one is the mistake.
                const bool later_written = has(i->first);
                fail(later_written ? i->first : j->first, std::string("same line as ") + (later_written ? j->first : i->first));
            }
}

std::vector<LineRef> Config::lines(const char* key) const {
    std::vector<LineRef> out;
    YAML::Node v = node_[key];
    if (!v) fail_here(std::string("missing setting '") + key + "'");
    if (!v.IsSequence() || v.size() == 0) fail(key, "expected a list of pins or nets");
    for (const auto& e : v) {
        std::string why = e.IsScalar() ? "" : "expected a pin or a net";
        LineRef ref = e.IsScalar() ? parse_line(e.Scalar(), why) : LineRef{};
        if (!why.empty()) {
            throw ScenarioError(file_ + ": " + key_path(key) + "[" + std::to_string(out.size()) + "]: " + why + " '" +
                                flat_text(e) + "'");
        }
        out.push_back(ref);
    }
    return out;
}

}  // namespace pikit::sim
