#include "setting.h"

#include <cmath>
#include <cstdio>

#include "format.h"
#include "shown.h"

namespace pikit::sim {

const char* to_string(Kind k) {
    switch (k) {
    case Kind::Flag: return "flag";
    case Kind::Integer: return "integer";
    case Kind::Number: return "number";
    case Kind::Duration: return "duration";
    case Kind::Pin: return "pin";
    case Kind::Line: return "line";
    case Kind::Lines: return "lines";
    case Kind::Pins: return "pins";
    case Kind::Text: return "text";
    case Kind::Word: return "word";
    case Kind::Bytes: return "bytes";
    case Kind::File: return "file";
    case Kind::Date: return "date";
    case Kind::Group: return "group";
    case Kind::List: return "list";
    case Kind::Pulls: return "pulls";
    }
    return "?";
}

std::string number_text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

namespace {

// In hex with as many digits as the range's top needs (0x00, 0x0000).
std::string integer_text(double v, bool hex_form, double top) {
    if (hex_form && v >= 0) return hex(static_cast<unsigned>(v), top > 0xFF ? 4 : 2);
    return number_text(v);
}

// "a, b or c"
std::string either(const std::vector<std::string>& words) {
    std::string s;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) s += i + 1 == words.size() ? " or " : ", ";
        s += words[i];
    }
    return s;
}

[[noreturn]] void out_of_range(const Config& c, const Setting& s) {
    c.fail(s.key.c_str(), "out of range (" + s.range_text() + ")");
}

}  // namespace

std::string Setting::range_text() const {
    switch (kind) {
    case Kind::Integer:
    case Kind::Number:
        if (!ranged) return "";
        return (kind == Kind::Integer ? integer_text(lo, hex, hi) : number_text(lo)) + " to " +
               (kind == Kind::Integer ? integer_text(hi, hex, hi) : number_text(hi)) + (unit.empty() ? "" : " " + unit);
    case Kind::Duration:
        return (lo_time == 0 ? std::string("0") : format_duration(lo_time)) + " to " +
               (hi_time >= kMaxDuration ? std::string("100000h") : format_duration(hi_time));
    case Kind::Bytes:
        if (!ranged) return "";
        if (lo == hi) return number_text(lo) + " bytes";
        if (hi == lo + 1) return number_text(lo) + " or " + number_text(hi) + " bytes";
        return number_text(lo) + " to " + number_text(hi) + " bytes";
    default: return "";
    }
}

std::string Setting::takes() const {
    const std::string range = range_text();
    const std::string in = range.empty() ? "" : ", " + range;
    switch (kind) {
    case Kind::Flag: return "true or false";
    case Kind::Integer: return "a whole number" + in + (words.empty() ? "" : ", or " + either(words));
    case Kind::Number: return "a number" + in;
    case Kind::Duration: return "a duration" + in;
    case Kind::Pin: return "a wiringPi pin on the header (0-16 or 21-31)";
    case Kind::Line: return "a header pin or a net like register.Q0";
    case Kind::Lines: return "a list of header pins or nets";
    case Kind::Pins: return "true, false or a list of pins";
    case Kind::Text: return "text";
    case Kind::Word: return either(words);
    case Kind::Bytes: return "bytes" + in;
    case Kind::File: return "a file name";
    case Kind::Date: return "a UTC date or seconds since 1970";
    case Kind::Group: return "a mapping of settings";
    case Kind::List: return "a list of mappings";
    case Kind::Pulls: return "a mapping of pin: up, down or none";
    }
    return "";
}

bool read_flag(const Config& c, const Setting& s) { return c.flag(s.key.c_str(), false); }

long long read_integer(const Config& c, const Setting& s) {
    const std::string text = c.text(s.key.c_str());
    for (std::size_t i = 0; i < s.words.size(); ++i)
        if (text == s.words[i]) return -1 - static_cast<long long>(i);
    const auto v = parse_integer(text);
    if (!v)
        c.fail(s.key.c_str(), "expected a whole number (decimal, or hex with 0x)" +
                                  (s.words.empty() ? std::string() : " or " + either(s.words)));
    if (s.ranged && (static_cast<double>(*v) < s.lo || static_cast<double>(*v) > s.hi)) out_of_range(c, s);
    return *v;
}

double read_number(const Config& c, const Setting& s) {
    const double v = c.number(s.key.c_str());
    if (s.ranged && (v < s.lo || v > s.hi)) out_of_range(c, s);
    return v;
}

Time read_duration(const Config& c, const Setting& s) {
    const Time t = c.duration(s.key.c_str());
    if (t < s.lo_time || t > s.hi_time) out_of_range(c, s);
    return t;
}

int read_pin(const Config& c, const Setting& s) { return c.pin(s.key.c_str()); }

LineRef read_line(const Config& c, const Setting& s) { return c.line(s.key.c_str(), LineRef{}); }

std::vector<LineRef> read_lines(const Config& c, const Setting& s) {
    std::vector<LineRef> v = c.lines(s.key.c_str());
    if (s.ranged && static_cast<double>(v.size()) > s.hi) c.fail(s.key.c_str(), "at most " + number_text(s.hi) + " lines");
    return v;
}

std::uint32_t read_pins(const Config& c, const Setting& s) {
    const char* key = s.key.c_str();
    if (c.node()[key].IsSequence()) {
        std::uint32_t mask = 0;
        for (int pin : c.pins(key)) mask |= 1u << pin;
        return mask;
    }
    const std::string v = c.node()[key].IsScalar() ? c.text(key) : "";
    if (v == "true") return 0xFFFFFFFFu;
    if (v == "false") return 0;
    c.fail(key, "expected true, false or a list of pins");
}

std::string read_text(const Config& c, const Setting& s) { return c.text(s.key.c_str()); }

std::size_t read_word(const Config& c, const Setting& s) {
    const std::string v = c.text(s.key.c_str());
    for (std::size_t i = 0; i < s.words.size(); ++i)
        if (v == s.words[i]) return i;
    c.fail(s.key.c_str(), "expected " + either(s.words));
}

std::vector<std::uint8_t> read_bytes(const Config& c, const Setting& s) {
    std::vector<std::uint8_t> b = c.bytes(s.key.c_str());
    if (s.ranged && (static_cast<double>(b.size()) < s.lo || static_cast<double>(b.size()) > s.hi))
        c.fail(s.key.c_str(), "expected " + s.range_text() + ", not " + std::to_string(b.size()));
    return b;
}

Written written_flag(bool v) { return {v ? "true" : "false", v ? "true" : "false"}; }

Written written_integer(long long v, bool hex_form, double top) {
    return {integer_text(static_cast<double>(v), hex_form, top), std::to_string(v)};
}

Written written_number(double v) {
    const std::string t = number_text(v);
    return {t, std::isfinite(v) ? t : "null"};
}

Written written_duration(Time v) {
    const std::string t = v == 0 ? "0" : format_duration(v);
    return {t, json_string(t)};
}

Written written_line(const LineRef& v) {
    if (v.pin >= 0) return {std::to_string(v.pin), std::to_string(v.pin)};
    return {v.net, json_string(v.net)};
}

Written written_lines(const std::vector<LineRef>& v) {
    Written w{"[", "["};
    for (std::size_t i = 0; i < v.size(); ++i) {
        const Written one = written_line(v[i]);
        w.text += (i ? ", " : "") + one.text;
        w.json += (i ? "," : "") + one.json;
    }
    w.text += "]";
    w.json += "]";
    return w;
}

Written written_text(const std::string& v) { return {v.empty() ? "\"\"" : v, json_string(v)}; }

Written written_bytes(const std::vector<std::uint8_t>& v) {
    const std::string t = hex_digits(v.data(), v.size(), " ");
    return {"\"" + t + "\"", json_string(t)};
}

Written written_none(const std::string& text) { return {text, "null"}; }

}  // namespace pikit::sim
