#include "config.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace pikit::sim {

bool is_header_pin(int pin) { return (pin >= 0 && pin <= 16) || (pin >= 21 && pin <= 31); }

Config::Config(YAML::Node node, std::string file, std::string path)
    : node_(std::move(node)), file_(std::move(file)), path_(std::move(path)), seen_(std::make_shared<Seen>()) {}

void Config::note(const char* key) const {
    for (const auto& k : seen_->keys)
        if (k == key) return;
    seen_->keys.emplace_back(key);
}

void Config::refuse_unknown() const {
    if (!node_.IsMap()) fail_here("expected a mapping of settings");
    for (const auto& kv : node_) {
        if (!kv.first.IsScalar()) fail_here("setting names must be plain words");
        const std::string k = kv.first.Scalar();
        if (std::find(seen_->keys.begin(), seen_->keys.end(), k) != seen_->keys.end()) continue;
        std::string known;
        for (const auto& a : seen_->keys) known += (known.empty() ? "" : ", ") + a;
        throw ScenarioError(file_ + ": " + key_path(k.c_str()) + ": unknown setting (known: " + known + ")");
    }
    for (const auto& c : seen_->children) c.refuse_unknown();
}

Config Config::parse(const std::string& text, const std::string& file) {
    try {
        YAML::Node root = YAML::Load(text);
        if (root.IsNull()) root = YAML::Node(YAML::NodeType::Map);
        if (!root.IsMap()) throw ScenarioError(file + ": top level: expected a mapping of settings");
        return Config(root, file, "");
    } catch (const YAML::Exception& e) {
        throw ScenarioError(file + ": line " + std::to_string(e.mark.line + 1) + ": " + e.msg);
    }
}

std::string Config::key_path(const char* key) const {
    if (path_.empty()) return key;
    if (key[0] == '[') return path_ + key;
    return path_ + "." + key;
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

bool Config::has(const char* key) const {
    note(key);
    return node_.IsMap() && node_[key];
}

void Config::allow_only(std::initializer_list<const char*> keys) const {
    if (!node_.IsMap()) fail_here("expected a mapping of settings");
    for (const auto& kv : node_) {
        if (!kv.first.IsScalar()) fail_here("setting names must be plain words");
        std::string k = kv.first.Scalar();
        bool ok = std::any_of(keys.begin(), keys.end(), [&](const char* a) { return k == a; });
        if (!ok) {
            std::string known;
            for (const char* a : keys) known += (known.empty() ? "" : ", ") + std::string(a);
            throw ScenarioError(file_ + ": " + key_path(k.c_str()) + ": unknown setting (known: " + known + ")");
        }
    }
}

std::string Config::scalar(const char* key) const {
    note(key);
    YAML::Node v = node_[key];
    if (!v) fail_here(std::string("missing setting '") + key + "'");
    if (!v.IsScalar()) fail(key, "expected a single value");
    return v.Scalar();
}

static bool parse_long(const std::string& s, long& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return false;
    out = v;
    return true;
}

int Config::pin(const char* key) const {
    long v;
    if (!parse_long(scalar(key), v) || !is_header_pin(static_cast<int>(v)))
        fail(key, "bad pin (expected a wiringPi pin on the header: 0-16 or 21-31)");
    return static_cast<int>(v);
}

int Config::pin(const char* key, int fallback) const { return has(key) ? pin(key) : fallback; }

double Config::number(const char* key) const {
    std::string s = scalar(key);
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || !std::isfinite(v)) fail(key, "expected a number");
    return v;
}

double Config::number(const char* key, double fallback) const { return has(key) ? number(key) : fallback; }

double Config::number_in(const char* key, double fallback, double lo, double hi) const {
    double v = number(key, fallback);
    if (v < lo || v > hi) fail(key, "out of range " + std::to_string(lo) + " to " + std::to_string(hi));
    return v;
}

long Config::integer(const char* key, long fallback, long lo, long hi) const {
    if (!has(key)) return fallback;
    long v;
    if (!parse_long(scalar(key), v)) fail(key, "expected a whole number");
    if (v < lo || v > hi) fail(key, "out of range " + std::to_string(lo) + " to " + std::to_string(hi));
    return v;
}

Time Config::duration(const char* key) const {
    auto t = parse_duration(scalar(key));
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

std::string Config::text(const char* key, const std::string& fallback) const {
    return has(key) ? scalar(key) : fallback;
}

std::vector<std::uint8_t> Config::bytes(const char* key) const {
    note(key);
    YAML::Node v = node_[key];
    if (!v) fail_here(std::string("missing setting '") + key + "'");
    std::vector<std::uint8_t> out;
    if (v.IsSequence()) {
        for (const auto& e : v) {
            long b;
            if (!e.IsScalar() || !parse_long(e.Scalar(), b) || b < 0 || b > 255)
                fail(key, "expected bytes 0-255");
            out.push_back(static_cast<std::uint8_t>(b));
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

Config Config::child(const char* key) const {
    note(key);
    YAML::Node v = node_[key];
    if (!v || !v.IsMap()) fail(key, "expected a mapping of settings");
    Config c(v, file_, key_path(key));
    seen_->children.push_back(c);
    return c;
}

std::vector<Config> Config::list(const char* key) const {
    note(key);
    std::vector<Config> out;
    YAML::Node v = node_[key];
    if (!v || v.IsNull()) return out;
    if (!v.IsSequence()) fail(key, "expected a list");
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::string p = key_path(key) + "[" + std::to_string(i) + "]";
        if (!v[i].IsMap()) throw ScenarioError(file_ + ": " + p + ": expected a mapping of settings");
        out.emplace_back(v[i], file_, p);
        seen_->children.push_back(out.back());
    }
    return out;
}

std::vector<int> Config::pins(const char* key) const {
    note(key);
    std::vector<int> out;
    YAML::Node v = node_[key];
    if (!v) return out;
    if (!v.IsSequence()) fail(key, "expected a list of pins");
    for (const auto& e : v) {
        long p;
        if (!e.IsScalar() || !parse_long(e.Scalar(), p) || !is_header_pin(static_cast<int>(p)))
            fail(key, "bad pin (expected wiringPi pins on the header: 0-16 or 21-31)");
        out.push_back(static_cast<int>(p));
    }
    return out;
}

// A header pin number or a net name "<device>.<output>" (plain words without
// blanks); `why` is empty when the text is one, else what is wrong with it.
static LineRef parse_line(const std::string& s, std::string& why) {
    long v;
    if (parse_long(s, v)) {
        if (!is_header_pin(static_cast<int>(v)))
            why = "bad pin (expected a wiringPi pin on the header: 0-16 or 21-31, or a net like register.Q0)";
        return LineRef{static_cast<int>(v), {}};
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

std::vector<LineRef> Config::lines(const char* key) const {
    note(key);
    std::vector<LineRef> out;
    YAML::Node v = node_[key];
    if (!v) fail_here(std::string("missing setting '") + key + "'");
    if (!v.IsSequence() || v.size() == 0) fail(key, "expected a list of pins or nets");
    for (const auto& e : v) {
        std::string why = e.IsScalar() ? "" : "expected a pin or a net";
        LineRef ref = e.IsScalar() ? parse_line(e.Scalar(), why) : LineRef{};
        if (!why.empty()) {
            std::string value = e.IsScalar() ? e.Scalar() : YAML::Dump(e);
            std::replace(value.begin(), value.end(), '\n', ' ');
            throw ScenarioError(file_ + ": " + key_path(key) + "[" + std::to_string(out.size()) + "]: " + why + " '" +
                                value + "'");
        }
        out.push_back(ref);
    }
    return out;
}

}  // namespace pikit::sim
