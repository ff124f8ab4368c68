#include "model.h"

#include <map>

namespace pikit::sim {

const char* to_string(ShownType t) {
    switch (t) {
    case ShownType::Flag: return "flag";
    case ShownType::Integer: return "integer";
    case ShownType::Number: return "number";
    case ShownType::Text: return "text";
    case ShownType::Record: return "record";
    }
    return "?";
}

const Action* Model::action(const std::string& name) const {
    for (const Action& a : actions)
        if (a.name == name) return &a;
    return nullptr;
}

std::string Model::action_names() const {
    std::string s;
    for (const Action& a : actions) s += (s.empty() ? "" : ", ") + a.name;
    return s.empty() ? "none" : s;
}

namespace {
std::map<std::string, Model>& registry() {
    static std::map<std::string, Model> r;
    return r;
}
}  // namespace

DeviceRegistrar::DeviceRegistrar(Model model) {
    std::string type = model.type;
    registry()[type] = std::move(model);
}

const Model* find_model(const std::string& type) {
    auto it = registry().find(type);
    return it == registry().end() ? nullptr : &it->second;
}

std::vector<const Model*> models() {
    std::vector<const Model*> out;
    for (const auto& kv : registry()) out.push_back(&kv.second);
    return out;
}

std::string known_device_types() {
    std::string s;
    for (const auto& kv : registry()) s += (s.empty() ? "" : ", ") + kv.first;
    return s.empty() ? "none" : s;
}

}  // namespace pikit::sim
