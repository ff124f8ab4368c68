#include "support/json.h"

#include <stdexcept>

namespace pikit::test {

Json parse_json(const std::string& text) {
    try {
        return Json::parse(text);
    } catch (const Json::parse_error& e) {
        throw std::runtime_error(std::string("not JSON: ") + e.what());
    }
}

std::vector<Json> parse_json_lines(const std::string& text) {
    std::vector<Json> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        try {
            out.push_back(parse_json(text.substr(at, nl - at)));
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("line " + std::to_string(out.size() + 1) + ": " + e.what());
        }
        at = nl + 1;
    }
    return out;
}

std::string text(const Json& object, const char* key) {
    if (!object.is_object()) return "";
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return "";
    return it->is_string() ? it->get<std::string>() : it->dump();
}

std::int64_t as_int(const Json& v) {
    if (!v.is_number_integer()) throw std::runtime_error("not a whole number: " + v.dump());
    return v.get<std::int64_t>();
}

double as_double(const Json& v) {
    if (!v.is_number()) throw std::runtime_error("not a number: " + v.dump());
    return v.get<double>();
}

}  // namespace pikit::test
