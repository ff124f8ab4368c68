#include "support/json.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace pikit::test {

namespace {

struct Parser {
    const std::string& s;
    std::size_t i = 0;

    [[noreturn]] void fail(const char* what) const {
        throw std::runtime_error(std::string("bad JSON at offset ") + std::to_string(i) + ": " + what);
    }
    void blanks() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    }
    bool eat(char c) {
        blanks();
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!eat(c)) fail("unexpected character");
    }
    void word(const char* w) {
        for (const char* p = w; *p; ++p, ++i)
            if (i >= s.size() || s[i] != *p) fail("bad literal");
    }
    std::string string() {
        expect('"');
        std::string out;
        while (true) {
            if (i >= s.size()) fail("unterminated string");
            const char c = s[i++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) fail("control character in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i >= s.size()) fail("unterminated escape");
            const char e = s[i++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    if (i + 4 > s.size()) fail("short \\u escape");
                    for (int k = 0; k < 4; ++k)
                        if (!std::isxdigit(static_cast<unsigned char>(s[i + k]))) fail("bad \\u escape");
                    const long cp = std::strtol(s.substr(i, 4).c_str(), nullptr, 16);
                    i += 4;
                    if (cp < 0x80) out += static_cast<char>(cp);
                    else out += '?';  // the kit only escapes control characters
                    break;
                }
                default: fail("bad escape");
            }
        }
    }
    Json value() {
        blanks();
        if (i >= s.size()) fail("missing value");
        Json v;
        const char c = s[i];
        if (c == '{') {
            ++i;
            v.kind = Json::Kind::Object;
            if (eat('}')) return v;
            do {
                blanks();
                std::string k = string();
                expect(':');
                v.members.emplace_back(std::move(k), value());
            } while (eat(','));
            expect('}');
        } else if (c == '[') {
            ++i;
            v.kind = Json::Kind::Array;
            if (eat(']')) return v;
            do v.items.push_back(value());
            while (eat(','));
            expect(']');
        } else if (c == '"') {
            v.kind = Json::Kind::String;
            v.text = string();
        } else if (c == 't') {
            word("true");
            v.kind = Json::Kind::Bool;
            v.boolean = true;
        } else if (c == 'f') {
            word("false");
            v.kind = Json::Kind::Bool;
        } else if (c == 'n') {
            word("null");
        } else if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
            const std::size_t start = i;
            if (s[i] == '-') ++i;
            if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) fail("bad number");
            if (s[i] == '0' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))
                fail("leading zero");
            while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
            if (i < s.size() && s[i] == '.') {
                ++i;
                if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) fail("bad fraction");
                while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
            }
            if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
                ++i;
                if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
                if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) fail("bad exponent");
                while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
            }
            v.kind = Json::Kind::Number;
            v.text = s.substr(start, i - start);
        } else {
            fail("unexpected character");
        }
        return v;
    }
};

}  // namespace

bool Json::has(const std::string& key) const {
    for (const auto& m : members)
        if (m.first == key) return true;
    return false;
}

const Json& Json::operator[](const std::string& key) const {
    static const Json null;
    for (const auto& m : members)
        if (m.first == key) return m.second;
    return null;
}

std::int64_t Json::as_int() const {
    if (kind != Kind::Number) throw std::runtime_error("not a number");
    // Written as an integer: "4000000.0" or "4e6" where a count is due is
    // what the reader is here to catch.
    if (text.find_first_of(".eE") != std::string::npos) throw std::runtime_error("not an integer: " + text);
    return std::strtoll(text.c_str(), nullptr, 10);
}

double Json::as_double() const {
    if (kind != Kind::Number) throw std::runtime_error("not a number");
    return std::strtod(text.c_str(), nullptr);
}

Json parse_json(const std::string& text) {
    Parser p{text};
    Json v = p.value();
    p.blanks();
    if (p.i != text.size()) p.fail("trailing text");
    return v;
}

std::vector<Json> parse_json_lines(const std::string& text) {
    std::vector<Json> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) throw std::runtime_error("last line has no newline: " + text.substr(start));
        const std::string line = text.substr(start, end - start);
        try {
            out.push_back(parse_json(line));
        } catch (const std::runtime_error& e) {
            throw std::runtime_error(std::string(e.what()) + " in line " + std::to_string(out.size() + 1) + ": " + line);
        }
        start = end + 1;
    }
    return out;
}

}  // namespace pikit::test
