#include "shown.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace pikit::sim {

namespace {

std::string number_text(double v) {
    if (!std::isfinite(v)) return "null";  // JSON has no NaN or infinity
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

std::string scalar_json(const Shown::Scalar& s) {
    struct V {
        std::string operator()(bool b) const { return b ? "true" : "false"; }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(double d) const { return number_text(d); }
        std::string operator()(const std::string& t) const { return json_string(t); }
    };
    return std::visit(V{}, s);
}

std::string scalar_text(const Shown::Scalar& s, int hex_digits) {
    struct V {
        int hex_digits;
        std::string operator()(bool b) const { return b ? "on" : "off"; }
        std::string operator()(std::int64_t i) const {
            if (hex_digits <= 0 || i < 0) return std::to_string(i);
            char buf[32];
            std::snprintf(buf, sizeof buf, "0x%0*llx", std::min(hex_digits, 16), static_cast<unsigned long long>(i));
            return buf;
        }
        std::string operator()(double d) const { return number_text(d); }
        std::string operator()(const std::string& t) const { return "\"" + t + "\""; }
    };
    return std::visit(V{hex_digits}, s);
}

double scalar_number(const Shown::Scalar& s) {
    if (auto d = std::get_if<double>(&s)) return *d;
    if (auto i = std::get_if<std::int64_t>(&s)) return static_cast<double>(*i);
    if (auto b = std::get_if<bool>(&s)) return *b ? 1.0 : 0.0;
    throw std::bad_variant_access();
}

}  // namespace

Shown Shown::record(std::vector<Field> fields) {
    Shown s;
    s.record_ = true;
    s.fields_ = std::move(fields);
    return s;
}

Shown Shown::in_hex(int digits) const {
    Shown s = *this;
    s.hex_digits_ = digits < 1 ? 1 : digits;
    return s;
}

const Shown::Scalar* Shown::field(const std::string& name) const {
    for (const auto& f : fields_)
        if (f.first == name) return &f.second;
    return nullptr;
}

double Shown::as_double() const { return scalar_number(value_); }

double Shown::number(const std::string& field_name) const {
    const Scalar* f = field(field_name);
    if (!f) throw std::out_of_range("no field '" + field_name + "'");
    return scalar_number(*f);
}

std::string Shown::text() const {
    if (!record_) return scalar_text(value_, hex_digits_);
    std::string s;
    for (const auto& f : fields_) s += (s.empty() ? "" : " ") + f.first + "=" + scalar_text(f.second, hex_digits_);
    return s;
}

std::string Shown::json() const {
    if (!record_) return scalar_json(value_);
    std::string s = "{";
    for (std::size_t i = 0; i < fields_.size(); ++i)
        s += (i ? "," : "") + json_string(fields_[i].first) + ":" + scalar_json(fields_[i].second);
    return s + "}";
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

}  // namespace pikit::sim
