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

bool is_header_pin(int pin) { return (pin >= 0 && pin <= 16) || (pin >= 21 && pin <= 31); }

Config::Config(YAML::Node node, std::string file, std::string path)
    : node_(std::move(node)),
      file_(std::move(file)),
      path_(std::move(path)),
      seen_(std::make_shared<Seen>()),
      outputs_(std::make_shared<OutputFiles>()) {}

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

namespace {

// yaml-cpp reads a quoted scalar that is never closed up to the end of the
// input and takes it as complete. Its mark points at the scalar (or at an
// anchor or tag before it); find the opening quote and check that it closes.
bool quote_closes(const std::string& text, std::size_t pos) {
    while (pos < text.size() && (text[pos] == '&' || text[pos] == '!')) {
        while (pos < text.size() && text[pos] != ' ' && text[pos] != '\t' && text[pos] != '\n') ++pos;
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n')) ++pos;
    }
    if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\'')) return true;  // plain or block scalar
    const char q = text[pos];
    for (std::size_t i = pos + 1; i < text.size(); ++i) {
        if (q == '"' && text[i] == '\\') {
            ++i;
        } else if (text[i] == q) {
            if (q == '\'' && i + 1 < text.size() && text[i + 1] == '\'') ++i;  // '' is a quote inside
            else return true;
        }
    }
    return false;
}

std::string flat(const YAML::Node& n) {
    std::string v = n.IsScalar() ? n.Scalar() : YAML::Dump(n);
    std::replace(v.begin(), v.end(), '\n', ' ');
    return v;
}

// Everything yaml-cpp takes without a word but a scenario must not contain:
// a key given twice in one mapping (yaml-cpp keeps both, and a lookup sees
// only the first) and an unterminated quoted value.
void check_tree(const YAML::Node& n, const std::string& text, const std::string& file, const std::string& path) {
    const std::string here = path.empty() ? "top level" : path;
    if (n.IsScalar()) {
        if (n.Tag() == "!" && !quote_closes(text, static_cast<std::size_t>(std::max(0, n.Mark().pos))))
            throw ScenarioError(file + ": line " + std::to_string(n.Mark().line + 1) + ": " + here +
                                ": quoted value without its closing quote '" + flat(n) + "'");
    } else if (n.IsSequence()) {
        for (std::size_t i = 0; i < n.size(); ++i)
            check_tree(n[i], text, file, path + "[" + std::to_string(i) + "]");
    } else if (n.IsMap()) {
        std::vector<std::pair<std::string, int>> seen;  // key, line
        for (const auto& kv : n) {
            std::string key = kv.first.IsScalar() ? kv.first.Scalar() : flat(kv.first);
            std::string sub = path.empty() ? key : path + "." + key;
            for (const auto& s : seen)
                if (kv.first.IsScalar() && s.first == key)
                    throw ScenarioError(file + ": " + sub + ": given twice (lines " + std::to_string(s.second) +
                                        " and " + std::to_string(kv.first.Mark().line + 1) + ") '" +
                                        flat(kv.second) + "'");
            if (kv.first.IsScalar()) seen.emplace_back(key, kv.first.Mark().line + 1);
            check_tree(kv.first, text, file, sub);
            check_tree(kv.second, text, file, sub);
        }
    }
}

// One pass over the stream's events, before anything builds a tree from it:
// where each document starts, and the first anchor or alias. A scenario
// needs neither, and an alias is where YAML hides its size: a few lines of
// nested anchors, each alias list ten deep, stand for billions of values
// that every later walk of the tree would visit.
class StreamCheck final : public YAML::EventHandler {
public:
    std::vector<YAML::Mark> starts;
    std::optional<YAML::Mark> reference;  // the first anchor or alias
    void OnDocumentStart(const YAML::Mark& mark) override { starts.push_back(mark); }
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override { anchored(mark, anchor); }
    void OnAlias(const YAML::Mark& mark, YAML::anchor_t) override { anchored(mark, 1); }
    void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor, const std::string&) override {
        anchored(mark, anchor);
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                         YAML::EmitterStyle::value) override {
        anchored(mark, anchor);
    }
    void OnSequenceEnd() override {}
    void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor, YAML::EmitterStyle::value) override {
        anchored(mark, anchor);
    }
    void OnMapEnd() override {}

private:
    void anchored(const YAML::Mark& mark, YAML::anchor_t anchor) {
        if (anchor != YAML::NullAnchor && !reference) reference = mark;
    }
};

// The anchor (&name) or alias (*name) that a node's mark points at; a tag
// may come before an anchor ("!!str &a 5").
std::string reference_at(const std::string& text, std::size_t pos) {
    const auto blank = [&](std::size_t i) { return std::isspace(static_cast<unsigned char>(text[i])) != 0; };
    while (pos < text.size() && text[pos] == '!') {
        while (pos < text.size() && !blank(pos)) ++pos;
        while (pos < text.size() && blank(pos)) ++pos;
    }
    std::size_t end = pos;
    while (end < text.size() && !blank(end) && text[end] != ',' && text[end] != ']' && text[end] != '}') ++end;
    return text.substr(pos, end - pos);
}

// yaml-cpp's Load() reads the first document and ignores the rest, and its
// LoadAll() never returns for some malformed streams (", x"), finding empty
// documents without end. So count the documents ourselves, stopping at two;
// and refuse anchors and aliases before Load() resolves them.
void check_stream(const std::string& text, const std::string& file) {
    std::istringstream in(text);
    YAML::Parser parser(in);
    StreamCheck events;
    while (events.starts.size() < 2 && !events.reference && parser.HandleNextDocument(events)) {
    }
    if (events.reference)
        throw ScenarioError(file + ": line " + std::to_string(events.reference->line + 1) +
                            ": YAML anchors and aliases are refused; a scenario writes every value out '" +
                            reference_at(text, static_cast<std::size_t>(std::max(0, events.reference->pos))) + "'");
    if (events.starts.size() > 1)
        throw ScenarioError(file + ": line " + std::to_string(events.starts[1].line + 1) +
                            ": a second YAML document, or text after the first that belongs to none; a scenario "
                            "is one document");
}

}  // namespace

Config Config::parse(const std::string& text, const std::string& file) {
    try {
        check_stream(text, file);
        YAML::Node root = YAML::Load(text);
        if (root.IsNull()) root = YAML::Node(YAML::NodeType::Map);
        if (!root.IsMap()) throw ScenarioError(file + ": top level: expected a mapping of settings");
        check_tree(root, text, file, "");
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

double Config::number_in(const char* key, double fallback, double lo, double hi) const {
    double v = number(key, fallback);
    if (v < lo || v > hi) fail(key, "out of range " + std::to_string(lo) + " to " + std::to_string(hi));
    return v;
}

long Config::integer(const char* key, long fallback, long lo, long hi) const {
    if (!has(key)) return fallback;
    auto v = parse_integer(scalar(key));
    if (!v) fail(key, "expected a whole number (decimal, or hex with 0x)");
    if (*v < lo || *v > hi) fail(key, "out of range " + std::to_string(lo) + " to " + std::to_string(hi));
    return static_cast<long>(*v);
}

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

std::string Config::text(const char* key, const std::string& fallback) const {
    return has(key) ? scalar(key) : fallback;
}

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
    note(key);
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
            throw ScenarioError(file + ": " + path + ": setting names must be plain words '" + flat(kv.first) + "'");
}
}  // namespace

Config Config::child(const char* key) const {
    note(key);
    YAML::Node v = node_[key];
    if (!v || !v.IsMap()) fail(key, "expected a mapping of settings");
    plain_names(v, file_, key_path(key));
    Config c(v, file_, key_path(key));
    c.outputs_ = outputs_;
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
        plain_names(v[i], file_, p);
        out.emplace_back(v[i], file_, p);
        out.back().outputs_ = outputs_;
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
    note(key);
    std::vector<LineRef> out;
    YAML::Node v = node_[key];
    if (!v) fail_here(std::string("missing setting '") + key + "'");
    if (!v.IsSequence() || v.size() == 0) fail(key, "expected a list of pins or nets");
    for (const auto& e : v) {
        std::string why = e.IsScalar() ? "" : "expected a pin or a net";
        LineRef ref = e.IsScalar() ? parse_line(e.Scalar(), why) : LineRef{};
        if (!why.empty()) {
            throw ScenarioError(file_ + ": " + key_path(key) + "[" + std::to_string(out.size()) + "]: " + why + " '" +
                                flat(e) + "'");
        }
        out.push_back(ref);
    }
    return out;
}

}  // namespace pikit::sim
